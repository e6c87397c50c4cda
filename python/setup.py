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


def cache_entries(build):
    """The NAME:TYPE=VALUE lines of a CMake build's cache, as a dict by NAME."""
    entries = {}
    try:
        with open(os.path.join(build, "CMakeCache.txt"), encoding="utf-8", errors="replace") as f:
            for line in f:
                name, sep, value = line.rstrip("\n").partition("=")
                if sep and not line.startswith(("#", "//")):
                    entries[name.split(":")[0]] = value
    except OSError:
        pass
    return entries


def reusable_build():
    """The checkout's own build (make build, make demo; QUORV_BUILD_DIR names
    another), when it was configured from this source with the Python package
    for this interpreter: only what changed since is compiled again."""
    build = os.path.abspath(os.environ.get("QUORV_BUILD_DIR") or os.path.join(SOURCE, "build"))
    cache = cache_entries(build)
    python = cache.get("Python3_EXECUTABLE") or cache.get("_Python3_EXECUTABLE") or "/usr/bin/python3"
    same_source = os.path.realpath(cache.get("CMAKE_HOME_DIRECTORY", "")) == os.path.realpath(SOURCE)
    same_python = os.path.realpath(python) == os.path.realpath(sys.executable)
    python_on = cache.get("QUORV_PYTHON", "ON").upper() in ("ON", "1", "TRUE", "YES")
    return build if same_source and same_python and python_on and cache.get("CMAKE_CROSSCOMPILING") != "TRUE" else None


def step(text):
    print("quorv: " + text, file=sys.stderr, flush=True)


class CMakeBuild(build_ext):
    def run(self):
        jobs = os.environ.get("QUORV_JOBS", str(os.cpu_count() or 2))
        build = reusable_build()
        if build:
            step("building on the checkout's build in " + build)
        else:
            # Only what the package holds, without the tests, optimised as the
            # project's own build is (-O2; the results are the same to the
            # bit at any level) and without link-time optimisation: both
            # would lengthen the build for little.
            build = os.path.abspath(os.path.join(self.build_temp, "cmake"))
            step("configuring a build of the package alone in " + build)
            subprocess.check_call(["cmake", "-S", SOURCE, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
                                   "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG", "-DQUORV_TESTS=OFF", "-DQUORV_PYTHON=ON",
                                   "-DCMAKE_INTERPROCEDURAL_OPTIMIZATION=OFF",
                                   "-DPython3_EXECUTABLE=" + sys.executable], stdout=subprocess.DEVNULL)
        step("compiling (one line per finished part)")
        self.build_target(build, jobs)
        built = os.path.join(build, "python", "quorv")
        target = os.path.join(os.path.abspath(self.build_lib), "quorv")
        os.makedirs(os.path.join(target, "plugins"), exist_ok=True)
        for name in os.listdir(built):  # the binaries; build_py brings the modules
            if name.endswith(".so"):
                shutil.copy2(os.path.join(built, name), target)
        # The plug-ins, the command-line tool beside them and its data sets.
        shutil.copytree(os.path.join(built, "plugins"), os.path.join(target, "plugins"), dirs_exist_ok=True)

    @staticmethod
    def build_target(build, jobs):
        """cmake --build, its output shown as one line per finished target
        (all of it when it fails)."""
        command = ["cmake", "--build", build, "--target", "quorv_python", "-j", jobs]
        process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                   errors="replace")
        lines = []
        for line in process.stdout:
            lines.append(line)
            if "] Built target " in line:
                step("  " + line.strip())
        if process.wait() != 0:
            sys.stderr.write("".join(lines))
            raise subprocess.CalledProcessError(process.returncode, command)


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
