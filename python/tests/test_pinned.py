"""Model files written by the tool at 4700a12 (data/pinned, made by its
make.sh) and what both front ends must predict with them: the tool's files
byte for byte, Python's labels and shares the same."""

import os
import subprocess

import numpy as np
import pandas as pd
import pytest

import quorv

PINNED = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "pinned")


def cases():
    with open(os.path.join(PINNED, "cases.txt")) as lines:
        return [line.split() for line in lines if line.strip()]


def read(name, **options):
    return pd.read_csv(os.path.join(PINNED, name), float_precision="round_trip", **options)


@pytest.mark.parametrize("name, model, data, vigilance, how", cases())
def test_the_tool_predicts_what_is_pinned(cli, tmp_path, name, model, data, vigilance, how):
    out = tmp_path / "p.csv"
    args = [cli, "classify", model, data, "-o", str(out), "--proba", "--keep", "id", "--unclassified", how]
    if vigilance != "model":
        args += ["--vigilance", vigilance]
    run = subprocess.run(args, cwd=PINNED, capture_output=True, text=True, check=True)
    with open(os.path.join(PINNED, "expected", name + ".txt")) as text:
        assert run.stdout.replace(str(out), "PREDICTIONS") == text.read()
    with open(os.path.join(PINNED, "expected", name + ".csv"), "rb") as pinned:
        assert out.read_bytes() == pinned.read()


@pytest.mark.parametrize("name, model, data, vigilance, how", cases())
def test_python_predicts_what_is_pinned(name, model, data, vigilance, how):
    estimator = quorv.load(os.path.join(PINNED, model))
    estimator.set_params(unclassified=how)
    if vigilance != "model":
        estimator.set_params(vigilance=float(vigilance))
    rows = read(data).drop(columns=["id", "label"])
    expected = read(os.path.join("expected", name + ".csv"), dtype={"label": str})
    assert [str(label) for label in estimator.predict(rows)] == list(expected["label"])
    shares = expected[[c for c in expected.columns if c.startswith("share:")]].to_numpy()
    np.testing.assert_array_equal(estimator.predict_proba(rows)[:, :shares.shape[1]], shares)


# The forest's defaults changed after 4700a12: these options (and --no-merge
# and --no-oob, since merging and the estimate came later) must still write
# its files byte for byte.
OLD = ["--max-presentations", "100", "--no-trim", "--no-merge", "--no-oob"]
OLD_PARAMS = dict(max_presentations=100, trim=False, merge_conflicts=False)


@pytest.mark.parametrize("model, options, params", [
    ("single.model", ["--vigilance", "0.9"], dict(vigilance=0.9)),
    ("votes.model", ["--votes", "3", "--seed", "5", "--vigilance", "0.9"], None),  # members over shuffles: the tool's
    ("forest.model", ["--votes", "5", "--max-features", "0.5", "--seed", "2", "--vigilance", "0.95"],
     dict(n_estimators=5, max_features=0.5, random_state=2, vigilance=0.95)),
])
def test_the_old_settings_given_write_the_pinned_files(cli, tmp_path, model, options, params):
    out = tmp_path / "again.model"
    subprocess.run([cli, "train", "train.csv", "-o", str(out), "--jobs", "1"] + options + OLD, cwd=PINNED,
                   capture_output=True, check=True)
    with open(os.path.join(PINNED, model)) as pinned:
        expected = pinned.read()
    assert out.read_text() == expected
    if params is None:
        return
    frame = read("train.csv")
    fitted = quorv.QuorvClassifier(**params, **OLD_PARAMS).fit(frame.iloc[:, :-1], frame.iloc[:, -1])
    fitted.save(tmp_path / "python.model")
    assert (tmp_path / "python.model").read_text() == expected
