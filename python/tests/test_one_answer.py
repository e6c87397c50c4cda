"""Random single, voting and forest models and random patterns, far outside
the training range included, through the tool and Python: the same labels
and shares to the last bit, whichever front end made the model; and for
single models the labels the Octave plug-ins give by the same rule (skipped
without octave-cli or the Octave build)."""

import os
import shutil
import subprocess

import numpy as np
import pandas as pd
import pytest

import quorv

SEEDS = range(8)
SETTINGS = [(vigilance, how) for vigilance in (None, 1.0, 0.0) for how in ("nearest", "unknown")]


def random_model(cli, folder, seed, kind):
    """(model path, patterns) for a random data set and model of `kind`."""
    rng = np.random.default_rng(seed)
    n, m, c = rng.integers(15, 60), rng.integers(1, 5), rng.integers(2, 5)
    X = rng.normal(size=(n, m)) * rng.uniform(0.1, 10, size=m) + rng.uniform(-5, 5, size=m)
    names = ["x%d" % j for j in range(m)]
    labels = rng.integers(1, c + 1, size=n)
    y = labels if seed % 3 else np.array(["class %d" % k for k in labels], dtype=object)
    vigilance = float(rng.uniform(0.5, 0.95))
    path = str(folder / ("%s%d.model" % (kind, seed)))
    if kind == "votes":
        pd.DataFrame(X, columns=names).assign(label=y).to_csv(folder / "train.csv", index=False)
        subprocess.run([cli, "train", str(folder / "train.csv"), "-o", path, "--votes", "3", "--seed", str(seed),
                        "--vigilance", repr(vigilance)], check=True, capture_output=True)
    else:
        forest = dict(n_estimators=4, max_features=[0.5, 1.0][seed % 2], random_state=seed) if kind == "forest" else {}
        quorv.QuorvClassifier(vigilance=vigilance, **forest).fit(X, y).save(path)
    lo, span = X.min(axis=0), X.max(axis=0) - X.min(axis=0) + 1e-3
    inside = lo + rng.uniform(-0.2, 1.2, size=(30, m)) * span
    edge = lo + rng.uniform(-4, 5, size=(15, m)) * span  # where some members' nearest boxes reach, some not
    far = lo + rng.uniform(-80, 80, size=(15, m)) * span
    return path, pd.DataFrame(np.vstack([inside, edge, far]), columns=names)


def tool_answers(cli, folder, path, rows, vigilance, how):
    rows.to_csv(folder / "rows.csv", index=False)
    args = [cli, "classify", path, str(folder / "rows.csv"), "-o", str(folder / "p.csv"), "--proba",
            "--unclassified", how]
    if vigilance is not None:
        args += ["--vigilance", repr(vigilance)]
    subprocess.run(args, check=True, capture_output=True)
    out = pd.read_csv(folder / "p.csv", dtype={"label": str}, float_precision="round_trip")
    return list(out["label"]), out[[c for c in out.columns if c.startswith("share:")]].to_numpy()


@pytest.mark.parametrize("kind", ["single", "votes", "forest"])
@pytest.mark.parametrize("seed", SEEDS)
def test_the_tool_and_python_give_the_same_answers(cli, tmp_path, kind, seed):
    path, rows = random_model(cli, tmp_path, seed, kind)
    model = quorv.load(path)
    trained_at = model.vigilance
    for vigilance, how in SETTINGS:
        labels, shares = tool_answers(cli, tmp_path, path, rows, vigilance, how)
        model.set_params(vigilance=trained_at if vigilance is None else vigilance, unclassified=how)
        assert [str(label) for label in model.predict(rows.to_numpy())] == labels, (vigilance, how)
        np.testing.assert_array_equal(model.predict_proba(rows.to_numpy())[:, :shares.shape[1]], shares)
        if how == "nearest":
            assert "-1" not in labels  # every pattern gets a class


OCTAVE_DIR = os.environ.get("QUORV_OCTAVE_PLUGIN_DIR", "")
OCTAVE = shutil.which("octave-cli")


def octave_labels(folder, cases):
    """Labels of quorv_perf in Octave for each case (templates, node labels,
    scaled patterns, vigilance, nearest), the rule written again in Octave:
    the boxes, then the nearest box, then the most frequent node label (the
    lowest of equals, as Octave's mode gives it)."""
    script = ["addpath('%s');" % OCTAVE_DIR]
    for k, (templates, node_labels, patterns, vigilance, nearest) in enumerate(cases):
        for name, array in (("t", templates), ("l", node_labels.reshape(-1, 1)), ("p", patterns)):
            np.asfortranarray(array, dtype=np.float64).T.tofile(folder / ("%s%d.bin" % (name, k)))  # column-major
            script.append("f = fopen('%s'); %s = fread(f, [%d, %d], 'double'); fclose(f);"
                          % (folder / ("%s%d.bin" % (name, k)), name, array.shape[0], array.shape[1]))
        script.append("a = quorv_perf(t, l, %r, p, -1, 0);" % vigilance)
        if nearest:
            script.append("r = find(a == -1); if %r > 0 && ~isempty(r), a(r) = quorv_perf(t, l, 0, p(r, :), -1, 0);"
                          " end; a(a == -1) = mode(l);" % vigilance)
        script.append("f = fopen('%s', 'w'); fwrite(f, a, 'double'); fclose(f);" % (folder / ("a%d.bin" % k)))
    subprocess.run([OCTAVE, "--norc", "--quiet", "--no-window-system", "--no-history", "--eval", "\n".join(script)],
                   check=True, capture_output=True, cwd=folder)
    return [np.fromfile(folder / ("a%d.bin" % k), dtype=np.float64) for k in range(len(cases))]


@pytest.mark.skipif(not OCTAVE or not os.path.isfile(os.path.join(OCTAVE_DIR, "quorv_perf.mex")),
                    reason="octave-cli or the Octave plug-ins (octave_plugins target) missing")
def test_the_octave_plugins_give_single_models_the_same_labels(cli, tmp_path):
    cases, expected = [], []
    for seed in [s for s in SEEDS if s % 3]:  # numeric classes
        path, rows = random_model(cli, tmp_path, seed, "single")
        model = quorv.load(path)
        lo, hi = model.feature_min_, model.feature_max_
        x = rows.to_numpy()
        scaled = np.where(hi > lo, (x - lo) / np.where(hi > lo, hi - lo, 1.0), 0.0)
        for vigilance, how in SETTINGS:
            vigilance = model.vigilance if vigilance is None else vigilance
            cases.append((model.templates_, model.node_labels_.astype(np.float64), scaled, vigilance,
                          how == "nearest"))
            expected.append([float(label) for label in tool_answers(cli, tmp_path, path, rows, vigilance, how)[0]])
    for got, want in zip(octave_labels(tmp_path, cases), expected):
        np.testing.assert_array_equal(got, want)
