"""Prediction through the members made ready once (prepared) against the
classification plug-in: random boxes and patterns with ties, duplicate and
nested boxes, NaN and far patterns, at vigilance 0 to 1, for one model,
members over shuffles and forests, with and without the nearest-box pass."""

import numpy as np
import pytest

from quorv import _host


def random_members(rng, n_members, n_features, forest):
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
        codes = rng.integers(0, 4, size=k).astype(np.float64)
        members.append((np.ascontiguousarray(np.hstack([lower, upper])), codes))
        features.append(sorted(rng.choice(n_features, size=m, replace=False).tolist()))
    return members, (features if forest else None)


def random_patterns(rng, n, n_features):
    X = np.round(rng.random((n, n_features)) * 8) / 8
    X[::11, 0] = np.nan
    X[5::13] = 1e6  # far from every box
    return X


CASES = [  # (members, features, forest)
    (1, 5, False), (3, 4, False), (7, 6, True), (12, 3, True),
]


@pytest.mark.parametrize("n_members,n_features,forest", CASES)
def test_prepared_answers_as_the_plugin(n_members, n_features, forest):
    rng = np.random.default_rng(31 + n_members)
    members, features = random_members(rng, n_members, n_features, forest)
    X = random_patterns(rng, 400, n_features)
    scaling = (np.zeros(n_features), np.full(n_features, 2.0))
    prepared = _host.prepare(members, features, n_features, 4)
    for vigilance in (0.0, 0.3, 0.75, 1.0):
        for nearest in (True, False):
            for scaled in (None, scaling):
                args = (members, features, X, scaled, 4, vigilance, nearest, 0, True)
                codes, shares = _host.predict(*args)
                p_codes, p_shares = _host.predict(*args, prepared=prepared)
                assert np.array_equal(codes.view(np.uint64), p_codes.view(np.uint64))
                assert np.array_equal(shares.view(np.uint64), p_shares.view(np.uint64))


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
