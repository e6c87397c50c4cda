"""Prediction through the members made ready once (prepared) against the
classification plug-in: random boxes and patterns with ties, duplicate and
nested boxes, NaN and far patterns, at vigilance 0 to 1, for one model,
members over shuffles and forests, with and without the nearest-box pass."""

import numpy as np
import pytest

from quorv import _host


def random_members(rng, n_members, n_features, forest, n_classes=4):
    members, features = [], []
    for _ in range(n_members):
        m = int(rng.integers(1, n_features + 1)) if forest else n_features
        k = int(rng.integers(5, 300))
        lower = np.round(rng.random((k, m)) * 4) / 4  # a coarse lattice: ties
        upper = lower + np.round(rng.random((k, m)) * 4) / 8
        twins = rng.integers(0, k, size=k // 5)
        lower[twins[1:]], upper[twins[1:]] = lower[twins[0]], upper[twins[0]]  # duplicates
        nested = rng.integers(0, k, size=k // 5)
        lower[nested], upper[nested] = lower[nested] + 0.01, np.maximum(upper[nested] - 0.01, lower[nested] + 0.01)
        codes = rng.integers(0, n_classes, size=k).astype(np.float64)
        members.append((np.ascontiguousarray(np.hstack([lower, upper])), codes))
        features.append(sorted(rng.choice(n_features, size=m, replace=False).tolist()))
    return members, (features if forest else None)


def random_patterns(rng, n, n_features):
    X = np.round(rng.random((n, n_features)) * 8) / 8
    X[::11, 0] = np.nan
    X[5::13] = 1e6  # far from every box
    return X


CASES = [  # (members, features, forest, classes, rows): the one call (classify) beside predict's member calls
    (1, 5, False, 4, 400), (3, 4, False, 4, 400), (7, 6, True, 4, 400), (12, 3, True, 4, 400),
    (150, 5, True, 4, 60),  # many members
    (9, 4, True, 400, 300),  # many classes
    (40, 6, True, 5, 1),  # one row
    (10, 4, True, 3, 0),  # no rows
]


@pytest.mark.parametrize("n_members,n_features,forest,n_classes,rows", CASES)
def test_prepared_answers_as_the_plugin(n_members, n_features, forest, n_classes, rows):
    rng = np.random.default_rng(31 + n_members)
    members, features = random_members(rng, n_members, n_features, forest, n_classes)
    X = random_patterns(rng, rows, n_features)
    scaling = (np.zeros(n_features), np.full(n_features, 2.0))
    prepared = _host.prepare(members, features, n_features, n_classes)
    for vigilance in (0.0, 0.3, 0.75, 1.0):
        for nearest in (True, False):
            for scaled in (None, scaling):
                args = (members, features, X, scaled, n_classes, vigilance, nearest, 0, True)
                codes, shares = _host.predict(*args)
                for p_codes, p_shares in (_host.predict(*args, prepared=prepared),
                                          _host.classify(prepared, X, scaled, vigilance, nearest, True)):
                    assert np.array_equal(codes.view(np.uint64), p_codes.view(np.uint64))
                    assert np.array_equal(shares.view(np.uint64), p_shares.view(np.uint64))


def test_one_model_predicts_from_several_threads_at_once():
    """The one call runs without the GIL: threads share one prepared forest."""
    import concurrent.futures
    rng = np.random.default_rng(8)
    members, features = random_members(rng, 20, 6, True)
    X = random_patterns(rng, 300, 6)
    prepared = _host.prepare(members, features, 6, 4)
    alone = [_host.classify(prepared, X[:n], None, v, True, True) for n, v in ((300, 0.75), (1, 0.9), (57, 0.0))]
    with concurrent.futures.ThreadPoolExecutor(3) as pool:
        together = [pool.submit(_host.classify, prepared, X[:n], None, v, True, True)
                    for _ in range(4) for n, v in ((300, 0.75), (1, 0.9), (57, 0.0))]
    for k, future in enumerate(together):
        codes, shares = future.result()
        assert np.array_equal(codes, alone[k % 3][0]) and np.array_equal(shares, alone[k % 3][1])


def test_estimator_prepares_once_per_fit():
    from quorv import QuorvClassifier
    rng = np.random.default_rng(5)
    X = rng.random((120, 3))
    y = (X[:, 0] > 0.5).astype(int)
    clf = QuorvClassifier().fit(X, y)
    first = clf.predict(X)
    assert np.array_equal(clf.predict(X), first)
    clf.fit(X, 1 - y)  # a refit is prepared anew
    assert np.array_equal(clf.predict(X), 1 - first)
