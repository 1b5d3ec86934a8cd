"""The compiled module geometry.trigonometry, for setuptools.

The package's metadata and its Python files are declared in pyproject.toml;
this file adds what static metadata cannot say: the extension, its sources
and its compile options. The sources come from sources.txt, the list the
CMake build reads too. The compile options are this file's own: those that
decide the results (no contraction into fused multiply-adds, no fast-math),
those that keep the module small and free of the C++ runtime (no debug
information, no exceptions), and none that turn warnings into errors, so
that a newer compiler's new warning cannot break an install.

The setuptools build directory is build-setuptools/, not build/: build/ is
where CMake builds by default.
"""

import glob
import os
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext
from setuptools.command.egg_info import egg_info
from setuptools.command.sdist import sdist

BUILD_BASE = "build-setuptools"
HERE = os.path.dirname(os.path.abspath(__file__))


def read(name):
    with open(os.path.join(HERE, name), encoding="utf-8") as f:
        return f.read()


def compiled_sources():
    """The files and patterns (trig/*.cpp) of sources.txt, expanded."""
    lines = (line.strip() for line in read("sources.txt").splitlines())
    entries = [line for line in lines if line and not line.startswith("#")]
    return [os.path.relpath(path, HERE) for entry in entries
            for path in sorted(glob.glob(os.path.join(HERE, entry)))]


# Floating point must give what Python computes step by step. The module
# needs nothing of the C++ runtime: without exceptions nothing refers to its
# personality routine, and --as-needed (the default of some toolchains only)
# has the linker leave libstdc++ out of the libraries the module loads, so a
# wheel depends on the C library alone. No debug information, whatever the
# interpreter's CFLAGS ask: it made up seven eighths of the module. The
# symbol table and the unwind tables stay, for a backtrace of a crash; -g0
# changes no code, only what is recorded beside it.
COMPILE_OPTIONS = ["-std=c++17", "-ffp-contract=off", "-fno-fast-math", "-fvisibility=hidden", "-fno-plt",
                   "-fno-exceptions", "-g0"]
LINK_OPTIONS = ["-Wl,--as-needed"]


def headers():
    return sorted(os.path.join(folder, name)
                  for folder in ("module", "runtime", os.path.join("runtime", "compat"), "trig")
                  for name in os.listdir(os.path.join(HERE, folder)) if name.endswith(".h"))


class BuildExt(build_ext):
    """Generates the string table header, then compiles the sources in parallel."""

    def build_extension(self, ext):
        generated = os.path.join(self.build_temp, "generated")
        os.makedirs(generated, exist_ok=True)
        subprocess.check_call([sys.executable, os.path.join("tools", "gen_strings.py"),
                               os.path.join("module", "strings.txt"),
                               os.path.join(generated, "strings_data.h")])
        if generated not in ext.include_dirs:
            ext.include_dirs.append(generated)
        # The module loads no library of its own: a run path that the
        # interpreter's LDSHARED adds (pyenv's names its lib folder) would only
        # travel with the wheel to machines that have no such folder.
        self.compiler.linker_so = [arg for arg in self.compiler.linker_so if not arg.startswith("-Wl,-rpath")]

        # One compiler run per source, as many at once as there are cores (or
        # as --parallel says); the objects keep the order of the sources.
        compile_one = self.compiler.compile
        jobs = self.parallel if isinstance(self.parallel, int) and self.parallel > 0 else os.cpu_count() or 1

        def compile_all(sources, **kwargs):
            # The first source alone first: on an interpreter the runtime has
            # not been checked against, its version gate stops the build, and
            # its message should appear once rather than once per compiler run.
            first = compile_one(sources[:1], **kwargs)
            with ThreadPoolExecutor(max_workers=jobs) as pool:
                batches = list(pool.map(lambda source: compile_one([source], **kwargs), sources[1:]))
            return first + [obj for batch in batches for obj in batch]

        self.compiler.compile = compile_all
        try:
            super().build_extension(ext)
        finally:
            del self.compiler.compile


class EggInfo(egg_info):
    """Writes the egg-info into the build directory rather than into python/."""

    def finalize_options(self):
        if self.egg_base is None:
            self.egg_base = self.get_finalized_command("build").build_base
            os.makedirs(self.egg_base, exist_ok=True)
        super().finalize_options()


class Sdist(sdist):
    """Leaves out the file list that egg_info writes into the build
    directory: the sdist carries sources only (PKG-INFO is written anew)."""

    def make_release_tree(self, base_dir, files):
        super().make_release_tree(base_dir, [f for f in files if not f.startswith(BUILD_BASE + "/")])


setup(
    ext_modules=[Extension(
        "geometry.trigonometry",
        sources=compiled_sources(),
        depends=headers() + [os.path.join("module", "strings.txt"), os.path.join("tools", "gen_strings.py")],
        include_dirs=["."],
        extra_compile_args=COMPILE_OPTIONS,
        extra_link_args=LINK_OPTIONS,
        language="c++",
    )],
    cmdclass={"build_ext": BuildExt, "egg_info": EggInfo, "sdist": Sdist},
    options={"build": {"build_base": BUILD_BASE}},
)
