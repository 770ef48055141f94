"""Build hook for pip: compiles the native modules with the project's CMake build.

Everything declarative lives in pyproject.toml.  This file only replaces
setuptools' build_ext by one that configures and builds CMakeLists.txt with
the running interpreter and writes the extension modules straight into the
wheel's staging tree (build_lib/vordex/...).  The plain Python files and the
package data are copied by setuptools' own build_py.
"""

import os
import pathlib
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = pathlib.Path(__file__).resolve().parent


class CMakeExtension(Extension):
    """Stands for the whole CMake project; it has no sources of its own."""

    def __init__(self, name: str) -> None:
        super().__init__(name, sources=[])


class CMakeBuild(build_ext):
    def run(self) -> None:
        if shutil.which("cmake") is None:
            raise RuntimeError("building vordex needs CMake (apt-get install cmake)")
        if self.inplace:
            package_dir = ROOT / "vordex"
        else:
            package_dir = pathlib.Path(self.build_lib).resolve() / "vordex"
        build_dir = pathlib.Path(self.build_temp).resolve() / "cmake"
        build_dir.mkdir(parents=True, exist_ok=True)

        configure = [
            "cmake", "-S", str(ROOT), "-B", str(build_dir),
            f"-DPython_EXECUTABLE={sys.executable}",
            "-DCMAKE_BUILD_TYPE=Release",
            "-DVORDEX_BUILD_TESTS=OFF",
            "-DVORDEX_BUILD_CORETEST=OFF",
            f"-DVORDEX_PACKAGE_DIR={package_dir}",
        ]
        if shutil.which("ninja") and not (build_dir / "CMakeCache.txt").exists():
            configure += ["-G", "Ninja"]
        self.announce("configuring: " + " ".join(configure), level=2)
        subprocess.run(configure, check=True)

        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or str(os.cpu_count() or 1)
        subprocess.run(["cmake", "--build", str(build_dir), "--parallel", jobs], check=True)

    # setuptools asks these for the wheel's file list; the modules are named
    # by the CMake build, so report what it produced.
    def get_outputs(self):
        if self.inplace:
            base = ROOT / "vordex"
        else:
            base = pathlib.Path(self.build_lib) / "vordex"
        if not base.is_dir():
            return []
        return [str(p) for p in base.rglob("*.so")]

    def get_source_files(self):
        return []

    def copy_extensions_to_source(self):
        # In-place builds already write the modules into the source tree.
        pass


setup(
    ext_modules=[CMakeExtension("vordex._native")],
    cmdclass={"build_ext": CMakeBuild},
)
