"""Builds the module ledcube for pip: the toolkit's CMake builds the extension
ledcube._core from the sources one folder up, with the Python that runs pip,
and setuptools packages it beside ledcube/__init__.py.

It needs what the toolkit's build needs (cmake, a C++20 compiler, the sound
libraries) and Debian's pybind11-dev and python3-dev.
"""

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent


def toolkit_version():
    """The toolkit's version, from its CMakeLists.txt, so that the two never differ."""
    found = re.search(r"project\(ledcube VERSION ([0-9.]+)", (ROOT / "CMakeLists.txt").read_text())
    if not found:
        sys.exit(f"setup.py: no 'project(ledcube VERSION ...)' in {ROOT / 'CMakeLists.txt'}")
    return found.group(1)


class CMakeBuild(build_ext):
    """Builds the extension with CMake: only its target, without the viewers or the tests."""

    def build_extension(self, ext):
        build = Path(self.build_temp).resolve() / "cmake"
        subprocess.run(["cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                        f"-DPython3_EXECUTABLE={sys.executable}", "-DCUBE_PYTHON=ON", "-DCUBE_VIEWER=OFF",
                        "-DBUILD_TESTING=OFF"], check=True)
        subprocess.run(["cmake", "--build", str(build), "--target", "ledcube_python", "-j", str(os.cpu_count() or 1)],
                       check=True)
        built = next((build / "python" / "ledcube").glob("_core*.so"))
        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, target)


setup(
    name="ledcube",
    version=toolkit_version(),
    description="Write and play LED cube animations from Python, with numpy",
    packages=["ledcube"],
    ext_modules=[Extension("ledcube._core", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    install_requires=["numpy"],
    python_requires=">=3.9",
)
