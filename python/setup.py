# SPDX-License-Identifier: Apache-2.0
"""Builds the package with the shared library bundled inside it.

Where the library comes from, in order:
  ZEVUD_LIBRARY=/path/libzevud.so.N   bundle that file (e.g. an existing build)
  ZEVUD_USE_INSTALLED=1               bundle nothing; load the installed one
  ../CMakeLists.txt present           build it with CMake (Ninja if present;
                                      ZEVUD_CMAKE_ARGS adds arguments)
  otherwise                           bundle nothing when an installed library
                                      is found, else fail
No network and no compiler for Python extensions are needed.
"""
import ctypes.util
import glob
import os
import shutil
import subprocess

from setuptools import setup
from setuptools.command.build_py import build_py
from setuptools.dist import Distribution

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)


def build_with_cmake(build_dir):
    gen = ["-G", "Ninja"] if shutil.which("ninja") else []
    extra = os.environ.get("ZEVUD_CMAKE_ARGS", "").split()
    subprocess.check_call(["cmake", "-S", SOURCE, "-B", build_dir, *gen, "-DCMAKE_BUILD_TYPE=Release",
                           "-DZEVUD_TESTS=OFF", "-DZEVUD_BENCH=OFF", *extra])
    jobs = os.environ.get("ZEVUD_BUILD_JOBS", str(os.cpu_count() or 1))
    subprocess.check_call(["cmake", "--build", build_dir, "--target", "zevud", "-j", jobs])
    found = sorted(glob.glob(os.path.join(build_dir, "libzevud.so.*.*")))
    if not found:
        raise RuntimeError(f"the CMake build left no libzevud.so.* in {build_dir}")
    return found[-1]


def library_to_bundle():
    given = os.environ.get("ZEVUD_LIBRARY")
    if given:
        if not os.path.isfile(given):
            raise RuntimeError(f"ZEVUD_LIBRARY={given} is not a file")
        return os.path.realpath(given)
    if os.environ.get("ZEVUD_USE_INSTALLED") == "1":
        return None
    if os.path.isfile(os.path.join(SOURCE, "CMakeLists.txt")) and os.path.isdir(os.path.join(SOURCE, "src")):
        return build_with_cmake(os.path.join(HERE, "build", "cmake"))
    if ctypes.util.find_library("zevud"):
        return None
    raise RuntimeError("no libzevud to bundle: set ZEVUD_LIBRARY, install the library, or build from the "
                       "source tree")


class BuildWithLibrary(build_py):
    def run(self):
        super().run()
        lib = library_to_bundle()
        if lib:
            target = os.path.join(self.build_lib, "zevud", "libzevud.so")
            self.announce(f"bundling {lib}", level=2)
            shutil.copyfile(lib, target)


class BinaryDistribution(Distribution):
    """The wheel carries a shared library, so it is tied to the platform."""

    def has_ext_modules(self):
        return True


setup(cmdclass={"build_py": BuildWithLibrary}, distclass=BinaryDistribution)
