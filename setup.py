"""Installs geometry.trigonometry with its sibling modules.

    python3.X -m pip install --no-build-isolation --no-index .

Installs the package geometry (the compiled module trigonometry, its type
stub, constants) and vantor.algebra.algebra from python/, for the
interpreter that runs pip (CPython 3.9 to 3.13). The compiled sources come
from sources.txt, the list the CMake build reads too. The compile options are
this file's own: those that decide the results (no contraction into fused
multiply-adds, no fast-math), and none that turn warnings into errors, so that
a newer compiler's new warning cannot break an install.

The setuptools build directory is build-setuptools/, not build/: build/ is
where CMake builds by default.
"""

import base64
import glob
import hashlib
import os
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import zipfile
from concurrent.futures import ThreadPoolExecutor

from setuptools import Command, Extension, setup
from setuptools.command.build_ext import build_ext
from setuptools.command.egg_info import egg_info

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


# Floating point must give what Python computes step by step.
COMPILE_OPTIONS = ["-std=c++17", "-ffp-contract=off", "-fno-fast-math", "-fvisibility=hidden", "-fno-plt"]


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

        # One compiler run per source, as many at once as there are cores (or
        # as --parallel says); the objects keep the order of the sources.
        compile_one = self.compiler.compile
        jobs = self.parallel if isinstance(self.parallel, int) and self.parallel > 0 else os.cpu_count() or 1

        def compile_all(sources, **kwargs):
            with ThreadPoolExecutor(max_workers=jobs) as pool:
                batches = list(pool.map(lambda source: compile_one([source], **kwargs), sources))
            return [obj for batch in batches for obj in batch]

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


class BdistWheel(Command):
    """A wheel of the build, for pip's standard build path.

    pip asks setuptools for a wheel; setuptools before 70.1 leaves that
    command to the separate `wheel` package, which the interpreters here may
    lack, so this one stands in (it is used only then). It packs the built
    modules, pure and compiled, with the metadata that egg_info writes, as a
    wheel for this interpreter and platform."""

    description = "build a wheel for this interpreter"
    user_options = [("dist-dir=", "d", "directory to put the wheel in")]

    def initialize_options(self):
        self.dist_dir = None

    def finalize_options(self):
        if self.dist_dir is None:
            self.dist_dir = "dist"

    def egg2dist(self, egg_info_dir, dist_info_dir):
        """Turns the egg-info into a dist-info (setuptools' dist_info asks for this)."""
        os.makedirs(dist_info_dir, exist_ok=True)
        shutil.copyfile(os.path.join(egg_info_dir, "PKG-INFO"), os.path.join(dist_info_dir, "METADATA"))
        shutil.copyfile(os.path.join(egg_info_dir, "top_level.txt"), os.path.join(dist_info_dir, "top_level.txt"))

    def run(self):
        self.run_command("build")
        self.run_command("egg_info")
        build_lib = self.get_finalized_command("build").build_lib
        egg_info_dir = self.get_finalized_command("egg_info").egg_info
        name = self.distribution.get_name().replace("-", "_")
        stem = "%s-%s" % (name, self.distribution.get_version())
        python = "cp%d%d" % sys.version_info[:2]
        tag = "%s-%s-%s" % (python, python, sysconfig.get_platform().replace("-", "_").replace(".", "_"))
        os.makedirs(self.dist_dir, exist_ok=True)
        records = []
        with zipfile.ZipFile(os.path.join(self.dist_dir, "%s-%s.whl" % (stem, tag)), "w",
                             zipfile.ZIP_DEFLATED) as wheel:
            def add(name, data):
                wheel.writestr(name, data)
                digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
                records.append("%s,sha256=%s,%d" % (name, digest, len(data)))

            def add_tree(root, prefix=""):
                for folder, dirs, files in os.walk(root):
                    dirs.sort()
                    for f in sorted(files):
                        path = os.path.join(folder, f)
                        with open(path, "rb") as data:
                            add(prefix + os.path.relpath(path, root).replace(os.sep, "/"), data.read())

            add_tree(build_lib)
            dist_info = stem + ".dist-info"
            with tempfile.TemporaryDirectory() as scratch:
                self.egg2dist(egg_info_dir, scratch)
                add_tree(scratch, dist_info + "/")
            add(dist_info + "/WHEEL", ("Wheel-Version: 1.0\nGenerator: geometry-trigonometry setup.py\n"
                                       "Root-Is-Purelib: false\nTag: %s\n" % tag).encode())
            wheel.writestr(dist_info + "/RECORD", "\n".join(records + [dist_info + "/RECORD,,"]) + "\n")


def wheel_command():
    """The cmdclass entry for bdist_wheel: none when setuptools or the wheel
    package has the command."""
    for module in ("setuptools.command.bdist_wheel", "wheel.bdist_wheel"):
        try:
            __import__(module)
            return {}
        except ImportError:
            pass
    return {"bdist_wheel": BdistWheel}


setup(
    name="geometry-trigonometry",
    version="0.1.0",
    description="Trigonometry computed by its own numerical methods on Python number objects",
    # Newer versions stop the build with a message until they are checked.
    python_requires=">=3.9",
    package_dir={"": "python"},
    packages=["geometry", "vantor", "vantor.algebra"],
    package_data={"geometry": ["trigonometry.pyi", "py.typed"]},
    ext_modules=[Extension(
        "geometry.trigonometry",
        sources=compiled_sources(),
        depends=headers() + [os.path.join("module", "strings.txt"), os.path.join("tools", "gen_strings.py")],
        include_dirs=["."],
        extra_compile_args=COMPILE_OPTIONS,
        language="c++",
    )],
    cmdclass={"build_ext": BuildExt, "egg_info": EggInfo, **wheel_command()},
    options={"build": {"build_base": BUILD_BASE}},
    zip_safe=False,
)
