"""The plug-ins as the package loads them: once per process and kept, again
only when the file changes; checked against the digest beside them and the
name in their stamp before any of their code runs."""

import contextlib
import io
import os
import re
import shutil

import numpy as np
import pytest
from sklearn.datasets import load_iris

import quorv

PLUGINS = os.path.join(os.path.dirname(quorv.__file__), "plugins")
X, Y = load_iris(return_X_y=True)


def flops_of(model):
    """The FLOPs count quorv_perf's summary prints for one predict."""
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        model.predict(X[:5])
    return int(re.search(r"(\d+) FLOPs", out.getvalue()).group(1))


@pytest.fixture
def plugin_dir(tmp_path, monkeypatch):
    """A copy of the package's plug-ins and digests, used through QUORV_PLUGIN_DIR."""
    for name in os.listdir(PLUGINS):
        if os.path.isfile(os.path.join(PLUGINS, name)):  # not the bundled data folder
            shutil.copy2(os.path.join(PLUGINS, name), tmp_path)
    monkeypatch.setenv("QUORV_PLUGIN_DIR", str(tmp_path))
    return tmp_path


def test_kept_loaded_across_calls_and_reloaded_when_the_file_changes(plugin_dir):
    model = quorv.QuorvClassifier(verbose=1).fit(X, Y)
    first = flops_of(model)
    # Running totals, as in a real host: the plug-in was not loaded again.
    second, third = flops_of(model), flops_of(model)
    assert first < second < third and second - first == third - second
    # A new file at the path (same bytes, new modification time): loaded anew.
    perf = plugin_dir / "quorv_perf.mexa64"
    os.utime(perf, ns=(perf.stat().st_atime_ns, perf.stat().st_mtime_ns + 1_000_000_000))
    assert flops_of(model) == first


@pytest.mark.parametrize("damage, message", [
    ("byte", "its bytes do not match the digest in quorv_perf.mexa64.sha256"),
    ("no digest", "no digest file quorv_perf.mexa64.sha256 beside it"),
    ("train as perf", "its version stamp names 'quorv_train', not quorv_perf"),
])
def test_damaged_or_misplaced_plugins_are_refused(plugin_dir, damage, message):
    model = quorv.QuorvClassifier().fit(X, Y)
    perf = plugin_dir / "quorv_perf.mexa64"
    if damage == "byte":
        data = bytearray(perf.read_bytes())
        data[len(data) // 2] ^= 0x40
        perf.write_bytes(bytes(data))
    elif damage == "no digest":
        (plugin_dir / "quorv_perf.mexa64.sha256").unlink()
    else:
        shutil.copy2(plugin_dir / "quorv_train.mexa64", perf)
        shutil.copy2(plugin_dir / "quorv_train.mexa64.sha256", plugin_dir / "quorv_perf.mexa64.sha256")
    # Silent predictions never load quorv_perf (the prepared models answer);
    # with console detail the plug-in does, and is checked first.
    assert np.array_equal(model.predict(X[:3]), Y[:3])
    model.set_params(verbose=1)
    with pytest.raises(RuntimeError, match=re.escape(message)):
        model.predict(X[:3])
    # The package's own plug-ins still answer.
    os.environ.pop("QUORV_PLUGIN_DIR")
    assert np.array_equal(model.predict(X[:3]), Y[:3])
