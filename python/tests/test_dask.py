"""Distributed training and classification on a local Dask cluster of two worker processes."""

import pickle

import joblib

import dask.array as da
import dask.dataframe as dd
import numpy as np
import pytest
from distributed import Client, LocalCluster

import quorv
import quorv.dask
from conftest import dataset


@pytest.fixture(scope="module")
def client():
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster) as c:
        yield c


@pytest.fixture(scope="module")
def digits():
    _, X, y = dataset("digits")
    model = quorv.QuorvClassifier(vigilance=0.8).fit(X, y.map(lambda k: "digit %d" % k))
    return model, X


@pytest.mark.filterwarnings("ignore:X does not have valid feature names")
def test_arrays_classified_on_the_workers_as_locally(client, digits):
    model, X = digits
    X = X.to_numpy()
    expected = model.predict(X)
    for chunks in ((200, X.shape[1]), (300, 16)):  # whole rows, and rows split across blocks
        labels = quorv.dask.predict(model, da.from_array(X, chunks=chunks))
        graph = dict(labels.__dask_graph__())
        assert sum(isinstance(task, quorv.QuorvClassifier) for task in graph.values()) == 1  # shipped once
        np.testing.assert_array_equal(labels.compute(), expected)
    workers = client.run(lambda dask_worker: len(dask_worker.data) + dask_worker.state.executed_count)
    assert len(workers) == 2 and all(done > 0 for done in workers.values())


def test_dataframes_and_the_unknown_label(client, digits):
    model, X = digits
    strict = pickle.loads(pickle.dumps(model)).set_params(vigilance=0.99, unknown_label=-1, unclassified="unknown")
    for estimator in (model, strict):
        labels = quorv.dask.predict(estimator, dd.from_pandas(X, npartitions=4)).compute()
        np.testing.assert_array_equal(labels.to_numpy(), estimator.predict(X))
        assert list(labels.index) == list(X.index)


def test_refusals(digits):
    model, X = digits
    with pytest.raises(TypeError, match="Dask array or DataFrame"):
        quorv.dask.predict(model, X.to_numpy())
    with pytest.raises(ValueError, match="not fitted"):
        quorv.dask.predict(quorv.QuorvClassifier(), da.zeros((4, 64)))


def test_a_forest_trained_on_the_cluster_equals_the_local_one(client):
    _, X, y = dataset("vehicle")
    settings = dict(n_estimators=8, max_features=0.5, vigilance=0.9, random_state=3)
    local = quorv.QuorvClassifier(**settings).fit(X, y)
    before = client.run(lambda dask_worker: dask_worker.state.executed_count)
    with joblib.parallel_backend("dask"):
        spread = quorv.QuorvClassifier(n_jobs=-1, **settings).fit(X, y)
    after = client.run(lambda dask_worker: dask_worker.state.executed_count)
    assert all(after[w] > before[w] for w in after)  # both workers trained members
    for a, b in zip([(local.templates_, local.node_labels_)] + [v[:2] for v in local.voters_],
                    [(spread.templates_, spread.node_labels_)] + [v[:2] for v in spread.voters_]):
        assert a[0].tobytes() == b[0].tobytes() and (a[1] == b[1]).all()
    labels = quorv.dask.predict(spread, dd.from_pandas(X, npartitions=3)).compute()
    np.testing.assert_array_equal(labels.to_numpy(), local.predict(X))
