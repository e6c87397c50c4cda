"""The `quorv` command that `pip install` adds (quorv_command.py): it runs the
tool inside the package, which must load the package's own plug-ins and host
library, whatever lies in the folder it is started from, and give what the
build's tool gives."""

import os
import re
import shutil
import subprocess
import sys

import pytest

import quorv_command

PACKAGE_TOOL = os.path.join(os.path.dirname(os.path.abspath(quorv_command.__file__)), "quorv", "plugins", "quorv")


def run_command(args, cwd, env=None):
    return subprocess.run([sys.executable, "-m", "quorv_command"] + args, cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=300)


def comparable(text):
    """The demo's output without its data path and elapsed milliseconds."""
    text = re.sub(r"^(Dataset [^(]*)\(.*\)$", r"\1(PATH)", text, flags=re.M)
    return re.sub(r", \d+ ms$", ", N ms", text, flags=re.M)


def test_demo_as_the_build_tool_gives_it(cli, tmp_path):
    ours = run_command(["demo", "--dataset", "wine", "--seed", "3"], tmp_path)
    theirs = subprocess.run([cli, "demo", "--dataset", "wine", "--seed", "3"], cwd=tmp_path,
                            capture_output=True, text=True, timeout=300)
    assert ours.returncode == 0, ours.stderr
    assert comparable(ours.stdout) == comparable(theirs.stdout)
    assert os.path.join("quorv", "plugins", "data", "wine.csv") in ours.stdout.splitlines()[0]


def test_files_in_the_current_folder_are_never_loaded(tmp_path):
    # Planted plug-ins and host library that would fail if loaded; the data set
    # comes from the package, the plug-ins from beside the tool.
    for name in ("quorv_train.mexa64", "quorv_perf.mexa64", "libquorv_minihost.so"):
        (tmp_path / name).write_text("not a library\n")
    (tmp_path / "plugins").mkdir()
    env = {k: v for k, v in os.environ.items() if k not in ("QUORV_PLUGIN_DIR", "LD_LIBRARY_PATH")}
    done = run_command(["demo"], tmp_path, env)
    assert done.returncode == 0, done.stderr
    assert "Accuracy: " in done.stdout
    assert sorted(os.listdir(tmp_path)) == ["libquorv_minihost.so", "plugins", "quorv_perf.mexa64",
                                            "quorv_train.mexa64"]


def test_the_tool_searches_only_its_own_folders():
    readelf = shutil.which("readelf")
    if not readelf:
        pytest.skip("readelf not found (Debian package binutils)")
    dynamic = subprocess.run([readelf, "-d", PACKAGE_TOOL], capture_output=True, text=True, check=True).stdout
    paths = re.findall(r"\((?:RUNPATH|RPATH)\)\s+Library r(?:un)?path: \[(.*)\]", dynamic)
    assert paths, dynamic
    for entry in paths[0].split(":"):
        assert entry.startswith("$ORIGIN"), "search path %r of %s" % (paths[0], PACKAGE_TOOL)


def test_exit_status_and_messages_pass_through(tmp_path):
    done = run_command(["train", "nothing.csv", "-o", "x.model"], tmp_path)
    assert done.returncode == 1
    assert done.stderr.startswith("quorv: ") and "nothing.csv" in done.stderr
    assert run_command(["--version"], tmp_path).stdout.strip().endswith("1.0.0")
