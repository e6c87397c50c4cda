"""The estimator as scikit-learn and its users see it."""

import pickle
import subprocess
import sys
import threading
import tracemalloc

import numpy as np
import pytest
from sklearn.model_selection import GridSearchCV
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler
from sklearn.utils.estimator_checks import parametrize_with_checks

from conftest import dataset
from quorv import QuorvClassifier


# Every check scikit-learn has for a classifier; none is skipped.
@parametrize_with_checks([QuorvClassifier(), QuorvClassifier(shuffle=True, random_state=0, trim=True)])
def test_scikit_learn_checks(estimator, check):
    check(estimator)


@pytest.fixture(scope="module")
def iris():
    _, X, y = dataset("iris")
    return X.to_numpy(), y.to_numpy()


@pytest.mark.parametrize("relabel", [
    lambda y: y,                                      # whole numbers, as in the file
    lambda y: -7 * y + 3,                             # negative, in the reverse order
    lambda y: np.array(["setosa", "versicolor", "virginica"])[y - 1],
    lambda y: y + 0.0,                                # floats
    lambda y: y == 2,                                 # booleans (two classes)
])
def test_labels_of_any_kind_give_the_same_boxes(iris, relabel):
    X, y = iris
    if relabel(y).dtype == bool:
        y = np.where(y == 2, 2, 1)
    reference = QuorvClassifier().fit(X, y)
    model = QuorvClassifier().fit(X, relabel(y))
    assert model.templates_.tobytes() == reference.templates_.tobytes()
    np.testing.assert_array_equal(model.classes_, np.unique(relabel(y)))
    np.testing.assert_array_equal(model.node_labels_, relabel(reference.node_labels_))
    np.testing.assert_array_equal(model.predict(X), relabel(reference.predict(X)))


@pytest.mark.parametrize("params, at_predict, message", [
    (dict(vigilance=1.5), False, "QUORV_TRAIN: 3rd input argument (vigilance) must be in [0,1]. (parameter vigilance)"),
    (dict(min_size=2.0), False, "4th input argument (min_size) must be in [0.0, 1.000000]\n( in [0.0, M*(1.0-vigilance)] ). (parameter min_size)"),
    (dict(learning_rate=0.0), False, "(learning_rate) must be in (0.0, 1.0]. (parameter learning_rate)"),
    (dict(epsilon=-1.0), False, "(epsilon) must be non-negative. (parameter epsilon)"),
    (dict(max_presentations=0), False, "must  be greater than 0. (parameter max_presentations)"),
    (dict(verbose=5), False, "(oflag) must be 0,1,2,3 or 4. (parameter verbose)"),
    (dict(vigilance=-0.5), True, "QUORV_PERF: 3rd input argument (vigilance) must be in [0.0, 1.0]. (parameter vigilance)"),
    (dict(vigilance="high"), False, "vigilance must be a number, got 'high'"),
    (dict(max_presentations=2 ** 32 + 1), False, "max_presentations must be a whole number in the 32-bit int range"),
    (dict(trim=2), False, "trim must be True or False, got 2"),
])
def test_refusals_are_value_errors_with_the_plugins_words(iris, params, at_predict, message):
    X, y = iris
    model = QuorvClassifier()
    if at_predict:
        model.fit(X, y)
    model.set_params(**params)
    with pytest.raises(ValueError) as refused:
        model.predict(X) if at_predict else model.fit(X, y)
    assert message in str(refused.value)


def test_console_goes_to_sys_stdout(iris, capsys):
    X, y = iris
    model = QuorvClassifier(verbose=2).fit(X, y)
    model.predict(X[:3])
    out = capsys.readouterr().out
    assert "List presentation #1: " in out and "\nQuorv training converged after" in out
    assert "Pattern #3 selected by node #" in out and "Test set contained 3 test patterns" in out
    QuorvClassifier().fit(X, y).predict(X)
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("error, raised", [(OSError("disk full"), RuntimeError), (KeyboardInterrupt(), KeyboardInterrupt)])
def test_a_console_that_fails_ends_the_call_cleanly(iris, monkeypatch, error, raised):
    class Failing:
        def write(self, text):
            raise error

    X, y = iris
    monkeypatch.setattr(sys, "stdout", Failing())
    with pytest.raises(raised):
        QuorvClassifier(verbose=2).fit(X, y)
    monkeypatch.undo()
    assert QuorvClassifier().fit(X, y).score(X, y) == 1.0


def test_unclassified_patterns_nearest_box_or_unknown_label(iris):
    X, y = iris
    model = QuorvClassifier(vigilance=0.9).fit(X, y)
    far = np.vstack([X[:5] + 0.05, [[100.0, 100.0, 100.0, 100.0]]])
    model.set_params(vigilance=1.0, unknown_label="none", unclassified="unknown")
    strict = model.predict(far)
    assert list(strict[:5]) == ["none"] * 5 and strict[5] == "none"
    # unknown_label only names the label; the nearest-box pass is `unclassified`'s.
    nearest = model.set_params(unclassified="nearest").predict(far)
    np.testing.assert_array_equal(nearest[:5], model.set_params(vigilance=0.0).predict(far[:5]))
    counts = np.bincount(np.searchsorted(model.classes_, model.node_labels_))
    assert nearest[5] == model.classes_[np.argmax(counts)]  # beyond every box: the class with the most nodes
    # Without a label, the tool's: -1.
    model.set_params(vigilance=1.0, unknown_label=None, unclassified="unknown")
    assert list(model.predict(far)) == [-1] * 6
    with pytest.raises(ValueError, match="unclassified must be 'nearest' or 'unknown', got 'none'"):
        model.set_params(unclassified="none").predict(far)


def test_memory_orders_and_strides_give_the_same_answer_without_copies(iris):
    X, y = iris
    model = QuorvClassifier().fit(X, y)
    expected = model.predict(X)
    for variant in (np.asfortranarray(X), np.repeat(X, 2, axis=1)[:, ::2], X[::-1][::-1]):
        np.testing.assert_array_equal(model.predict(variant), expected)
        assert QuorvClassifier().fit(variant, y).templates_.tobytes() == model.templates_.tobytes()
    wide = QuorvClassifier(unknown_label=-1).fit(np.tile(X, (1, 10)), y)
    big = np.asfortranarray(np.tile(X, (200, 10)))
    tracemalloc.start()
    wide.predict(big)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    assert peak < big.nbytes / 4  # the patterns go straight into the plug-in's array


def test_threads_share_the_plugins_safely(iris):
    X, y = iris
    model = QuorvClassifier().fit(X, y)
    expected = model.predict(X)
    results = [None] * 6

    def work(i):
        results[i] = QuorvClassifier().fit(X, y).predict(X) if i % 2 else model.predict(X)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(results))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for r in results:
        np.testing.assert_array_equal(r, expected)


def test_pickle_keeps_the_nodes_bit_for_bit_in_a_fresh_process(iris):
    X, y = iris
    model = QuorvClassifier(vigilance=0.8, learning_rate=0.5).fit(X, np.array(["a", "b", "c"])[y - 1])
    script = ("import pickle, sys, numpy as np; m = pickle.loads(sys.stdin.buffer.read());"
              "sys.stdout.buffer.write(pickle.dumps((m.templates_.tobytes(), m.predict(np.load(sys.argv[1])))))")
    path = "/tmp/quorv-pickle-test-%d.npy" % id(model)
    np.save(path, X)
    done = subprocess.run([sys.executable, "-c", script, path], input=pickle.dumps(model), capture_output=True,
                          check=True)
    templates, predicted = pickle.loads(done.stdout)
    assert templates == model.templates_.tobytes()
    np.testing.assert_array_equal(predicted, model.predict(X))


def test_grid_search_over_a_pipeline():
    _, X, y = dataset("wine")
    search = GridSearchCV(make_pipeline(StandardScaler(), QuorvClassifier()),
                          {"quorvclassifier__vigilance": [0.5, 0.75, 0.9]}, cv=3).fit(X, y)
    assert search.best_score_ > 0.85


def test_scikit_learn_s_validate_data_is_used_where_it_exists(iris, monkeypatch):
    # scikit-learn 1.6 and later have validate_data (and 1.7 no _validate_data):
    # a stand-in put where they have it must be the one called.
    import sklearn.utils.validation
    from sklearn.base import BaseEstimator

    X, y = iris
    calls = []

    def validate_data(estimator, *args, **kwargs):
        calls.append((estimator, len(args), kwargs))
        return BaseEstimator._validate_data(estimator, *args, **kwargs)

    def removed(*args, **kwargs):
        raise AssertionError("the estimator's _validate_data called beside validate_data")

    monkeypatch.setattr(sklearn.utils.validation, "validate_data", validate_data, raising=False)
    monkeypatch.setattr(QuorvClassifier, "_validate_data", removed, raising=False)
    model = QuorvClassifier().fit(X, y)
    model.predict(X[:3])
    assert [(e is model, n, k) for e, n, k in calls] == [
        (True, 2, dict(dtype=np.float64)), (True, 1, dict(dtype=np.float64, reset=False))]
    assert model.n_features_in_ == 4


def test_members_are_kept_once_and_assigned_as_a_whole(iris):
    X, y = iris
    model = QuorvClassifier(vigilance=0.9).fit(X, y)
    (first,) = model.members_
    assert first.templates is model.templates_ and first.node_labels is model.node_labels_
    assert model.voters_ == [] and model.estimators_features_ is None and model.n_presentations_ == first[2]
    with pytest.raises(ValueError, match="read-only"):
        model.templates_[0, 0] = 5.0
    expected = model.predict(X)
    model.voters_ = [(first.templates, first.node_labels, first.n_presentations)] * 2  # three equal members
    assert len(model.members_) == 3 and model.members_[1].templates is not first.templates
    np.testing.assert_array_equal(model.predict(X), expected)
    forest = QuorvClassifier(n_estimators=3, max_features=2, random_state=1).fit(X, y)
    assert [len(m.features) for m in forest.members_] == [2, 2, 2]
    assert all(t.shape[1] == 4 for t, _, _ in forest.voters_)
    with pytest.raises(AttributeError):
        QuorvClassifier().members_


def test_predictions_while_another_thread_refits_read_one_model(iris):
    # Refits alternate between a single model of three classes and a forest of
    # two text classes; every prediction must be one of the two, whole.
    X, y = iris
    kinds = [(dict(n_estimators=1), y), (dict(n_estimators=3, max_features=2, random_state=0),
                                         np.where(y == 1, "one", "other"))]
    answers = [QuorvClassifier(**p).fit(X, labels) for p, labels in kinds]
    expected = [(m.predict(X), m.predict_proba(X)) for m in answers]
    model = QuorvClassifier().fit(X, y)
    faults, stop = [], threading.Event()

    def predict():
        while not stop.is_set():
            try:
                labels, proba = model.predict(X), model.predict_proba(X)
                if not any(labels.dtype == e.dtype and np.array_equal(labels, e) for e, _ in expected) or \
                        not any(p.shape == proba.shape and np.array_equal(proba, p) for _, p in expected):
                    faults.append("a mixed answer")
            except Exception as error:  # noqa: BLE001 (any fault is the finding)
                faults.append(repr(error))

    threads = [threading.Thread(target=predict) for _ in range(8)]
    for t in threads:
        t.start()
    for k in range(30):
        params, labels = kinds[k % 2]
        model.set_params(**params).fit(X, labels)
    stop.set()
    for t in threads:
        t.join()
    assert faults == []


@pytest.mark.parametrize("n_jobs, message", [
    ("x", "n_jobs must be None or a whole number other than 0 (-1: all cores), got 'x'"),
    (0, "got 0"), (True, "got True"), (1.5, "got 1.5")])
def test_n_jobs_refusals_name_it(iris, n_jobs, message):
    X, y = iris
    for n_estimators in (1, 3):
        with pytest.raises(ValueError) as refused:
            QuorvClassifier(n_estimators=n_estimators, n_jobs=n_jobs).fit(X, y)
        assert message in str(refused.value)
