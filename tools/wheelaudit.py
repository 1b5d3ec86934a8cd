"""Checks a repaired wheel for what the machines it claims need of it.

    python3 tools/wheelaudit.py --platform       prints the platform tag to repair to
    python3 tools/wheelaudit.py WHEEL LICENSE    checks WHEEL; exit 1 says why not

The wheels are for manylinux2014: glibc 2.17 or later. WHEEL passes when
 - its platform tags, in its file name and in its WHEEL file, are exactly
   that policy's (manylinux_2_17_<machine> and its alias
   manylinux2014_<machine>);
 - each compiled module in it loads the C library and libm alone (nothing of
   the C++ runtime, which would tie the wheel to a libstdc++) and needs no
   symbol version newer than GLIBC_2.17;
 - each compiled module carries no debug information and keeps its symbol
   table, for a backtrace of a crash;
 - its dist-info holds the license file, the same as LICENSE.
It reads the modules with binutils' readelf, not with auditwheel, so the
check stands on its own; it prints each module's size and newest glibc
version.
"""

import os
import platform
import re
import subprocess
import sys
import tempfile
import zipfile

POLICY, ALIAS, FLOOR = "manylinux_2_17", "manylinux2014", (2, 17)
LIBRARIES = {"libc.so.6", "libm.so.6"}


def platforms():
    machine = platform.machine()
    return {"%s_%s" % (POLICY, machine), "%s_%s" % (ALIAS, machine)}


def readelf(option, path):
    return subprocess.run(["readelf", "-W", option, path], check=True, stdout=subprocess.PIPE,
                          universal_newlines=True).stdout


def module_problems(path):
    """(problems, newest glibc version) of one compiled module."""
    problems = []
    needed = set(re.findall(r"\(NEEDED\)\s+Shared library: \[([^]]+)\]", readelf("-d", path)))
    if needed - LIBRARIES:
        problems.append("loads %s besides %s" % (", ".join(sorted(needed - LIBRARIES)), ", ".join(sorted(LIBRARIES))))
    # The versions the module asks of the libraries it loads.
    needs = readelf("-V", path).partition("Version needs section")[2]
    versions = re.findall(r"Name: (\S+)", needs)
    newest = (0,)
    for name in versions:
        match = re.fullmatch(r"GLIBC_(\d+(?:\.\d+)+)", name)
        if not match:
            problems.append("needs the symbol version %s" % name)
            continue
        number = tuple(int(part) for part in match.group(1).split("."))
        newest = max(newest, number)
        if number > FLOOR:
            problems.append("needs %s, newer than glibc %d.%d" % ((name,) + FLOOR))
    if not versions:
        problems.append("readelf found no symbol versions: not a module built against glibc")
    sections = re.findall(r"^\s*\[\s*\d+\]\s+(\S+)", readelf("-S", path), re.M)
    debug = [s for s in sections if s.startswith((".debug", ".zdebug"))]
    if debug:
        problems.append("carries debug information (%s)" % ", ".join(debug))
    if ".symtab" not in sections:
        problems.append("has no symbol table")
    return problems, newest


def audit(wheel_path, license_path):
    problems = []
    expected = platforms()
    # name-version-python-abi-platform.whl; the platform part joins its tags with dots.
    name_tags = set(os.path.basename(wheel_path)[:-len(".whl")].split("-")[-1].split("."))
    if name_tags != expected:
        problems.append("file name tags %s, not %s" % (sorted(name_tags), sorted(expected)))
    with open(license_path, "rb") as f:
        license_text = f.read()
    with zipfile.ZipFile(wheel_path) as wheel, tempfile.TemporaryDirectory() as scratch:
        names = wheel.namelist()
        dist_info = {n.split("/", 1)[0] for n in names if n.split("/", 1)[0].endswith(".dist-info")}
        if len(dist_info) != 1:
            problems.append("dist-info folders: %s" % sorted(dist_info))
        else:
            info = dist_info.pop()
            tags = re.findall(r"^Tag: (\S+)$", wheel.read(info + "/WHEEL").decode(), re.M)
            tag_platforms = {tag.split("-")[-1] for tag in tags}
            if tag_platforms != expected:
                problems.append("WHEEL file tags %s, not %s" % (sorted(tag_platforms), sorted(expected)))
            licenses = [n for n in names if n in (info + "/LICENSE", info + "/licenses/LICENSE")]
            if not licenses:
                problems.append("no LICENSE in %s" % info)
            problems += ["%s differs from LICENSE" % n for n in licenses if wheel.read(n) != license_text]
        modules = [n for n in names if n.endswith(".so") or ".so." in n.rsplit("/", 1)[-1]]
        if not modules:
            problems.append("no compiled module")
        for member in modules:
            path = wheel.extract(member, scratch)
            found, newest = module_problems(path)
            problems += ["%s %s" % (member, p) for p in found]
            print("%s: %d bytes, newest glibc version needed %s" % (
                member, os.path.getsize(path), ".".join(map(str, newest))))
    return problems


def main(argv):
    if argv == ["--platform"]:
        print("%s_%s" % (POLICY, platform.machine()))
        return 0
    if len(argv) != 2:
        print(__doc__.split("\n\n")[1], file=sys.stderr)
        return 2
    problems = audit(*argv)
    for problem in problems:
        print("wheelaudit: %s: %s" % (os.path.basename(argv[0]), problem), file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
