"""Builds the package with the project's own CMake build, so that the plug-ins
come from the one list of their sources: `pip install ./python` from the top of
the checkout (see README.md for the flags an offline machine needs). It also
installs the `quorv` command: the command-line tool inside the package."""

import os
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)


class CMakeBuild(build_ext):
    def run(self):
        build = os.path.abspath(os.path.join(self.build_temp, "cmake"))
        subprocess.check_call(["cmake", "-S", SOURCE, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
                               "-DQUORV_TESTS=OFF", "-DQUORV_PYTHON=ON", "-DPython3_EXECUTABLE=" + sys.executable])
        subprocess.check_call(["cmake", "--build", build, "--target", "quorv_python",
                               "-j", os.environ.get("QUORV_JOBS", "2")])
        built = os.path.join(build, "python", "quorv")
        target = os.path.join(os.path.abspath(self.build_lib), "quorv")
        os.makedirs(os.path.join(target, "plugins"), exist_ok=True)
        for name in os.listdir(built):  # the binaries; build_py brings the modules
            if name.endswith(".so"):
                shutil.copy2(os.path.join(built, name), target)
        # The plug-ins, the command-line tool beside them and its data sets.
        shutil.copytree(os.path.join(built, "plugins"), os.path.join(target, "plugins"), dirs_exist_ok=True)


setup(
    name="quorv",
    version="1.0.0",
    description="Hyperbox classifier: the quorv plug-ins as a scikit-learn estimator",
    license="BSD-3-Clause",
    packages=["quorv"],
    py_modules=["quorv_command"],
    entry_points={"console_scripts": ["quorv = quorv_command:main"]},
    python_requires=">=3.9",
    # Lower bounds: the releases Debian 12 ships, on which the package is tested.
    install_requires=["numpy>=1.24", "scikit-learn>=1.2", "joblib>=1.2"],
    extras_require={"dask": ["dask[array,dataframe]>=2022.12", "distributed>=2022.12", "pandas>=1.5"]},
    ext_modules=[Extension("quorv._quorv", sources=[])],  # built by CMake above
    cmdclass={"build_ext": CMakeBuild},
    zip_safe=False,
)
