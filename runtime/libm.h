// The C library's maths functions that have more than one version, bound to
// the oldest, so that a module built on a new glibc loads on every glibc
// since 2.17 (the manylinux2014 floor that the wheels are checked against).
// Include it in every file that calls them; a call left unbound makes the
// wheel check fail, since the build then needs the newer version.
//
// glibc 2.29 gave pow, and 2.38 fmod, a new version without the old error
// handling wrapper (SVID's matherr). The old version of each remains: a
// wrapper that calls the same implementation and differs only on the
// error paths (overflow, underflow, an infinite dividend, a zero divisor),
// where it gives the same value and errno. An interpreter linked against
// either version therefore computes float ** 2 and float % exactly as this
// module does on the machine where both run.
//
// GLIBC_2.2.5 is the first version of x86-64's glibc; other machines have
// other version names, and other C libraries have no versions at all.
#pragma once

#include <cmath>

#if defined(__GLIBC__) && defined(__x86_64__) && !defined(__ILP32__)
__asm__(".symver pow,pow@GLIBC_2.2.5");
__asm__(".symver fmod,fmod@GLIBC_2.2.5");
#endif
