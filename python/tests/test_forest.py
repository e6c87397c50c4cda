"""Forests: members on samples of the rows and features, trained in processes, voting."""

import subprocess
import sys

import numpy as np
import pandas as pd
import pytest
from sklearn.base import clone
from sklearn.calibration import CalibratedClassifierCV
from sklearn.ensemble import VotingClassifier
from sklearn.model_selection import cross_val_score
from sklearn.neighbors import KNeighborsClassifier
from sklearn.utils.estimator_checks import parametrize_with_checks

import quorv
from conftest import dataset
from quorv import QuorvClassifier


@parametrize_with_checks([QuorvClassifier(n_estimators=3, max_features=0.5, random_state=0)])
def test_scikit_learn_checks_of_a_forest(estimator, check):
    check(estimator)


@pytest.fixture(scope="module")
def wine():
    _, X, y = dataset("wine")
    return X.to_numpy(), y.to_numpy()


def members(model):
    return [(model.templates_, model.node_labels_)] + [(t, l) for t, l, _ in model.voters_]


def same_members(a, b):
    return len(a.voters_) == len(b.voters_) and all(
        ta.tobytes() == tb.tobytes() and (la == lb).all() for (ta, la), (tb, lb) in zip(members(a), members(b)))


def test_one_estimator_is_the_single_model_whatever_the_rest_say(wine):
    X, y = wine
    single = QuorvClassifier().fit(X, y)
    also = QuorvClassifier(n_estimators=1, max_features=0.3, max_samples=10, bootstrap=False, n_jobs=2).fit(X, y)
    assert same_members(single, also) and also.estimators_features_ is None
    shares = single.predict_proba(X)
    np.testing.assert_array_equal(shares, single.classes_ == single.predict(X)[:, None])  # one-hot


def test_members_draw_from_their_seeds_in_processes_as_in_one(wine):
    X, y = wine
    settings = dict(n_estimators=6, max_features=0.5, max_samples=0.8, vigilance=0.9, random_state=4)
    one = QuorvClassifier(**settings).fit(X, y)
    two = QuorvClassifier(n_jobs=2, **settings).fit(X, y)
    assert same_members(one, two) and len(one.voters_) == 5
    assert all((a == b).all() for a, b in zip(one.estimators_features_, two.estimators_features_))
    assert [len(f) for f in one.estimators_features_] == [6] * 6  # half of 13 features
    assert not same_members(one, QuorvClassifier(**dict(settings, random_state=5)).fit(X, y))


def test_shares_sum_to_one_and_predict_takes_the_largest(wine):
    X, y = wine
    forest = QuorvClassifier(n_estimators=7, max_features=0.3, vigilance=0.95, random_state=1).fit(X, y)
    shares = forest.predict_proba(X)
    assert shares.shape == (len(X), 3)
    np.testing.assert_allclose(shares.sum(axis=1), 1.0)
    np.testing.assert_array_equal(forest.classes_[shares.argmax(axis=1)], forest.predict(X))
    assert set(np.round(shares.ravel() * 7, 9)) <= set(range(8))  # answers over members
    # With the pass off, members answer by their boxes alone; the unknown share is the rest of 1.
    strict = QuorvClassifier(n_estimators=7, max_features=0.3, vigilance=0.99, random_state=1,
                             unknown_label=-1, unclassified="unknown").fit(X, y)
    shares, unknown = strict.predict_proba(X[:40] * 3), strict.predict_unknown_share(X[:40] * 3)
    assert shares.shape == (40, 3) and unknown.shape == (40,) and unknown.max() > 0.5
    np.testing.assert_allclose(shares.sum(axis=1) + unknown, 1.0)
    labels = strict.predict(X[:40] * 3)
    np.testing.assert_array_equal(labels == -1, np.column_stack([shares, unknown]).argmax(axis=1) == 3)
    assert not forest.predict_unknown_share(X).any()


@pytest.mark.parametrize("params, message", [
    (dict(n_estimators=0), "n_estimators must be in [1, 1000]"),
    (dict(n_estimators=1001), "n_estimators must be in [1, 1000]"),
    (dict(n_estimators=2.5), "n_estimators must be a whole number"),
    (dict(max_features=0.0), "max_features must be a fraction in (0, 1]"),
    (dict(max_features=1.5), "max_features must be a fraction in (0, 1]"),
    (dict(max_features=14), "max_features: 14 is more than the 13 features"),
    (dict(max_features=0), "max_features must be a count >= 1"),
    (dict(max_features="auto"), "max_features must be a fraction in (0, 1], 'sqrt', 'log2' or a whole number of"),
    (dict(max_samples=True), "max_samples must be a fraction in (0, 1] or a whole number of rows"),
    (dict(max_samples="sqrt"), "max_samples must be a fraction in (0, 1] or a whole number of rows"),
    (dict(max_samples=179), "max_samples: 179 is more than the 178 rows"),
    (dict(bootstrap="yes"), "bootstrap must be True or False"),
    (dict(random_state=-1), "random_state must be a whole number from 0 to"),
    (dict(random_state=2 ** 62), "random_state must be a whole number from 0 to 4611686018427387903, got"),
])
def test_refusals_name_the_parameter(wine, params, message):
    X, y = wine
    with pytest.raises(ValueError) as refused:
        QuorvClassifier(**dict(dict(n_estimators=3), **params)).fit(X, y)
    assert message in str(refused.value)


def test_scoring_calibration_and_soft_voting_take_the_shares():
    _, X, y = dataset("breast_cancer")
    forest = QuorvClassifier(n_estimators=9, max_features=0.5, random_state=1)
    assert cross_val_score(forest, X, y, cv=3, scoring="roc_auc").mean() > 0.9
    calibrated = CalibratedClassifierCV(forest, cv=3).fit(X, y)
    np.testing.assert_allclose(calibrated.predict_proba(X).sum(axis=1), 1.0)
    soft = VotingClassifier([("forest", forest), ("knn", KNeighborsClassifier(1))], voting="soft").fit(X, y)
    assert (soft.predict(X) == y).mean() > 0.9


# The tool records a bootstrap forest's out-of-bag estimate unless --no-oob;
# Python computes it with oob_score=True, as scikit-learn's forests.
@pytest.mark.parametrize("options, params", [
    (["--votes", "6", "--max-features", "0.5", "--vigilance", "0.95", "--seed", "3"],
     dict(n_estimators=6, max_features=0.5, vigilance=0.95, random_state=3, oob_score=True)),
    (["--votes", "4", "--max-features", "3", "--max-samples", "0.7", "--no-bootstrap", "--seed", "0"],
     dict(n_estimators=4, max_features=3, max_samples=0.7, bootstrap=False, random_state=0)),
    (["--votes", "5", "--max-features", "sqrt", "--seed", "2", "--no-oob"],
     dict(n_estimators=5, max_features="sqrt", random_state=2)),
    # Seeds beyond 32 bits, up to the core library's one limit, as on Windows.
    (["--votes", "3", "--max-features", "0.5", "--seed", "5000000000"],
     dict(n_estimators=3, max_features=0.5, random_state=5000000000, oob_score=True)),
    (["--votes", "2", "--max-features", "2", "--seed", "4611686018427387903"],
     dict(n_estimators=2, max_features=2, random_state=2 ** 62 - 1, oob_score=True)),
])
def test_a_forest_from_python_is_the_tool_s_file_byte_for_byte(cli, tmp_path, options, params):
    csv, X, y = dataset("wine")
    out = subprocess.run([cli, "train", csv, "-o", str(tmp_path / "cli.model")] + options, check=True,
                         capture_output=True, text=True).stdout
    python = QuorvClassifier(n_jobs=2, **params).fit(X, y)
    python.save(tmp_path / "python.model")
    assert (tmp_path / "python.model").read_bytes() == (tmp_path / "cli.model").read_bytes()
    if params.get("oob_score"):
        said = "Out-of-bag estimate: %.2f %% accuracy over %d of 178 patterns" % (100 * python.oob_score_,
                                                                                   python.oob_patterns_)
        assert said in out and 0 < python.oob_patterns_ <= 178
    else:
        assert "Out-of-bag" not in out and not hasattr(python, "oob_score_")

    loaded = quorv.load(tmp_path / "cli.model")
    assert same_members(loaded, python)
    assert all((a == b).all() for a, b in zip(loaded.estimators_features_, python.estimators_features_))
    clone(loaded).fit(X, y).save(tmp_path / "again.model")  # the file's settings draw the same forest
    assert (tmp_path / "again.model").read_bytes() == (tmp_path / "cli.model").read_bytes()

    subprocess.run([cli, "classify", str(tmp_path / "python.model"), csv, "-o", str(tmp_path / "p.csv"), "--proba"],
                   check=True, capture_output=True)
    by_cli = pd.read_csv(tmp_path / "p.csv", float_precision="round_trip")
    np.testing.assert_array_equal(by_cli["label"].to_numpy(), loaded.predict(X))
    np.testing.assert_array_equal(by_cli[["share:1", "share:2", "share:3"]].to_numpy(), loaded.predict_proba(X))


FOREST = ["--votes", "4", "--max-features", "0.5", "--vigilance", "0.95", "--seed", "1"]
FOREST_PARAMS = dict(n_estimators=4, max_features=0.5, vigilance=0.95, random_state=1)


# A forest's members have defaults of their own (the library's); the options
# and parameters that set them set them for every kind of model.
@pytest.mark.parametrize("options, params, single", [
    ([], {}, False),
    (["--max-presentations", "100", "--no-trim"], dict(max_presentations=100, trim=False), False),
    (["--max-presentations", "3"], dict(max_presentations=3), False),
    (["--no-trim"], dict(trim=False), False),
    ([], {}, True),
    (["--trim", "--max-presentations", "7"], dict(trim=True, max_presentations=7), True),
])
def test_training_defaults_are_the_same_in_the_tool_and_python(cli, tmp_path, options, params, single):
    from quorv import _quorv
    csv, X, y = dataset("vehicle")
    # The tool records a bootstrap forest's out-of-bag estimate unless --no-oob.
    tool, python = (options, params) if single else (FOREST + options, dict(FOREST_PARAMS, oob_score=True, **params))
    subprocess.run([cli, "train", csv, "-o", str(tmp_path / "cli.model")] + tool, check=True, capture_output=True)
    QuorvClassifier(**python).fit(X, y).save(tmp_path / "python.model")
    text = (tmp_path / "cli.model").read_text()
    assert (tmp_path / "python.model").read_text() == text
    presentations, trim = _quorv.training_defaults(not single)
    presentations, trim = params.get("max_presentations", presentations), params.get("trim", trim)
    assert "\nmax_list_presentations %d\ntrim_option %d\n" % (presentations, trim) in text
    assert (_quorv.training_defaults(False), _quorv.training_defaults(True)[1]) == ((100, 0), 1)
    assert all(int(line.split()[1]) <= presentations for line in text.splitlines()
               if line.startswith("list_presentations "))


def test_a_member_s_process_needs_no_scikit_learn(tmp_path):
    # Each worker imports what unpickling a member's task imports; scikit-learn
    # would double a worker's start-up. The package's names still resolve.
    script = ("import sys, quorv._forest; print('sklearn' in sys.modules); "
              "from quorv import QuorvClassifier, load; import quorv; "
              "print(QuorvClassifier.__name__, load.__name__, 'QuorvClassifier' in dir(quorv))")
    out = subprocess.run([sys.executable, "-c", script], check=True, capture_output=True, text=True).stdout
    assert out.split() == ["False", "QuorvClassifier", "load", "True"]
    with pytest.raises(AttributeError, match="no attribute 'Forest'"):
        quorv.Forest


@pytest.mark.parametrize("far, unclassified, unknown_label", [
    (1, "nearest", None),
    (40, "nearest", None),     # every member's nearest box leaves these rows out: its class with the most nodes
    (40, "unknown", -1),       # members answer by their boxes alone: the unknown share
    (1, "unknown", -1),
])
def test_the_tool_and_python_give_a_forest_the_same_answers(cli, tmp_path, far, unclassified, unknown_label):
    csv, X, y = dataset("wine")
    forest = QuorvClassifier(n_estimators=5, max_features=0.5, vigilance=0.95, random_state=2,
                             unknown_label=unknown_label, unclassified=unclassified).fit(X, y)
    forest.save(tmp_path / "forest.model")
    rows = X.iloc[::7] * far  # far: beyond every box, even grown to span all the member's features
    rows.assign(label=y.iloc[::7]).to_csv(tmp_path / "rows.csv", index=False)
    subprocess.run([cli, "classify", str(tmp_path / "forest.model"), str(tmp_path / "rows.csv"), "-o",
                    str(tmp_path / "out.csv"), "--proba", "--unclassified", unclassified],
                   check=True, capture_output=True)
    by_cli = pd.read_csv(tmp_path / "out.csv", float_precision="round_trip")
    labels = forest.predict(rows)
    np.testing.assert_array_equal(by_cli["label"].to_numpy(), labels)
    shares = by_cli[["share:1", "share:2", "share:3", "share_unknown"]].to_numpy()
    proba, unknown = forest.predict_proba(rows), forest.predict_unknown_share(rows)
    np.testing.assert_array_equal(shares, np.column_stack([proba, unknown]))
    np.testing.assert_allclose(proba.sum(axis=1) + unknown, 1.0)
    if unknown_label is None:
        assert not shares[:, 3].any()  # every member answers with a class
    elif far > 1:
        assert (labels == -1).all()


@pytest.mark.parametrize("n_jobs, members, workers", [
    (10 ** 6, 3, 3), (10 ** 6, 1000, 256), (None, 5, 1), (2, 5, 2), (-10 ** 6, 5, 1)])
def test_workers_are_at_most_one_per_member_and_256(wine, monkeypatch, n_jobs, members, workers):
    import joblib
    from quorv import _forest

    started = []

    class Counting(joblib.Parallel):
        def __init__(self, n_jobs=None, **kwargs):
            started.append(n_jobs)
            super().__init__(n_jobs=1, **kwargs)

    assert _forest.jobs(n_jobs, members) == workers
    monkeypatch.setattr(joblib, "Parallel", Counting)
    X, y = wine
    QuorvClassifier(n_estimators=3, max_features=0.3, n_jobs=n_jobs, random_state=0).fit(X[:40], y[:40])
    assert started == [min(workers, 3)]


@pytest.mark.parametrize("params, message", [
    (dict(oob_score=True), "oob_score=True needs a forest whose members draw their rows with replacement"),
    (dict(n_estimators=3, bootstrap=False, oob_score=True), "oob_score=True needs a forest"),
    (dict(n_estimators=3, oob_score="yes"), "oob_score must be True or False"),
])
def test_oob_score_is_refused_where_there_is_no_bootstrap_forest(params, message):
    _, X, y = dataset("iris")
    with pytest.raises(ValueError, match=message):
        QuorvClassifier(**params).fit(X, y)


def test_oob_score_is_each_row_s_vote_by_the_members_that_did_not_draw_it(tmp_path):
    _, X, y = dataset("iris")
    X, y = np.asarray(X, dtype=np.float64), np.asarray(y)
    forest = QuorvClassifier(n_estimators=5, max_features=0.5, vigilance=0.9, random_state=4, oob_score=True)
    forest.fit(X, y)
    # Each row's vote among the members that did not draw it, by their own predictions.
    answers, drawn = [], []
    for k, member in enumerate(forest.members_):
        rows, _ = quorv._forest.draw(forest._fitted.draws, k, *X.shape)
        f = member.features  # the member alone, on its features, answering in full
        codes = np.searchsorted(forest.classes_, member.node_labels).astype(np.float64)
        alone, _ = quorv._host.predict([(member.templates, codes)], None, X[:, f],
                                       (forest.feature_min_[f], forest.feature_max_[f]), 3, 0.9, True, 0, False)
        answers.append(forest.classes_[alone.astype(np.intp)])
        drawn.append(np.isin(np.arange(len(y)), rows))
    answers, drawn = np.array(answers), np.array(drawn)
    right = covered = 0
    for i in range(len(y)):
        voters = answers[~drawn[:, i], i]
        if voters.size:
            values, counts = np.unique(voters, return_counts=True)  # a tie: the lowest class
            covered += 1
            right += values[np.argmax(counts)] == y[i]
    assert (forest.oob_patterns_, forest.oob_score_) == (covered, right / covered)
    forest.save(tmp_path / "f.model")
    loaded = quorv.load(tmp_path / "f.model")
    assert loaded.oob_score and (loaded.oob_score_, loaded.oob_patterns_) == (forest.oob_score_, covered)
    with pytest.raises(AttributeError, match="computed by fit"):
        loaded.oob_score_ = 1.0
