"""Installs geometry.trigonometry with its sibling modules.

    python3.9 -m pip install --no-build-isolation --no-index .

Installs the package geometry (the compiled module trigonometry, its type
stub, constants) and vantor.algebra.algebra from python/. The compiled sources
come from sources.txt and the compile options from TRIG_COMPILE_OPTIONS in
CMakeLists.txt, the lists the CMake build reads, so the two builds cannot
drift apart.

The setuptools build directory is build-setuptools/, not build/: build/ is
where CMake builds by default.
"""

import os
import re
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext
from setuptools.command.egg_info import egg_info

BUILD_BASE = "build-setuptools"
HERE = os.path.dirname(os.path.abspath(__file__))


def read(name):
    with open(os.path.join(HERE, name), encoding="utf-8") as f:
        return f.read()


def compiled_sources():
    lines = (line.strip() for line in read("sources.txt").splitlines())
    return [line for line in lines if line and not line.startswith("#")]


def compile_options():
    found = re.search(r"^set\(TRIG_COMPILE_OPTIONS\s+([^)]*)\)", read("CMakeLists.txt"), re.M)
    options = found.group(1).split() if found else []
    # Anything but plain flags (a variable, a generator expression) would
    # need CMake to evaluate it; stop rather than compile with other flags.
    if not options or not all(re.fullmatch(r"-[-\w=+.]+", option) for option in options):
        sys.exit("setup.py: cannot read TRIG_COMPILE_OPTIONS from CMakeLists.txt")
    return ["-std=c++17"] + options


def headers():
    return sorted(os.path.join(folder, name)
                  for folder in ("module", "runtime", "trig")
                  for name in os.listdir(os.path.join(HERE, folder)) if name.endswith(".h"))


class BuildExt(build_ext):
    """Generates the string table header, then compiles the sources in parallel."""

    def build_extension(self, ext):
        generated = os.path.join(self.build_temp, "generated")
        os.makedirs(os.path.join(generated, "module"), exist_ok=True)
        subprocess.check_call([sys.executable, os.path.join("tools", "gen_strings.py"),
                               os.path.join("module", "strings.txt"),
                               os.path.join(generated, "module", "strings_data.h")])
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


setup(
    name="geometry-trigonometry",
    version="0.1.0",
    description="Trigonometry computed by its own numerical methods on Python number objects",
    python_requires=">=3.9, <3.10",
    package_dir={"": "python"},
    packages=["geometry", "vantor", "vantor.algebra"],
    package_data={"geometry": ["trigonometry.pyi", "py.typed"]},
    ext_modules=[Extension(
        "geometry.trigonometry",
        sources=compiled_sources(),
        depends=headers() + [os.path.join("module", "strings.txt"), os.path.join("tools", "gen_strings.py")],
        include_dirs=["."],
        extra_compile_args=compile_options(),
        language="c++",
    )],
    cmdclass={"build_ext": BuildExt, "egg_info": EggInfo},
    options={"build": {"build_base": BUILD_BASE}},
    zip_safe=False,
)
