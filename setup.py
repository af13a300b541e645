"""Builds the Python package lumivex through the project's CMake: the module
and, where their libraries are installed, the programs the batches run
(lumivex-import, lumivex-preview), which go into the package's bin folder.
The version is the project's own (CMakeLists.txt)."""

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent
PROGRAMS = ["lumivex", "lumivex-import", "lumivex-preview", "lumivex-bake"]


def project_version():
    match = re.search(r"project\(lumivex VERSION (\d+\.\d+\.\d+)", (ROOT / "CMakeLists.txt").read_text())
    return match.group(1)


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build = Path(self.build_temp).resolve() / "cmake"
        subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                        "-DLUMIVEX_BUILD_TESTS=OFF", f"-DPython_EXECUTABLE={sys.executable}"], check=True)
        available = subprocess.run(["cmake", "--build", str(build), "--target", "help"], check=True,
                                   capture_output=True, text=True).stdout
        programs = [name for name in PROGRAMS if re.search(rf"\.\.\. {re.escape(name)}$", available, re.M)]
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", str(os.cpu_count() or 1))
        subprocess.run(["cmake", "--build", str(build), "-j", jobs, "--target", "_lumivex", *programs], check=True)

        destination = Path(self.get_ext_fullpath(ext.name))
        destination.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(next((build / "python" / "lumivex").glob("_lumivex*.so")), destination)
        bin_folder = destination.parent / "bin"
        bin_folder.mkdir(exist_ok=True)
        for name in programs:
            shutil.copy2(build / name, bin_folder / name)


setup(
    version=project_version(),
    ext_modules=[Extension("lumivex._lumivex", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
)
