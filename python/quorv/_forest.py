"""Forests for QuorvClassifier: members trained on seeded samples of the rows
and features, one plug-in call each, in processes through joblib.

The draws are the front-end library's (bound in `_quorv`), the ones `quorv
train` uses, so the same settings and seed give the same forest from either;
the forest's vote is the library's classification policy (`_quorv.predict`).
A plug-in call holds its process (the plug-ins keep process-wide state), so
members run in processes: with joblib's default backend on the cores of this
machine, under `joblib.parallel_backend("dask")` on the workers of a Dask
cluster.
"""

import collections
import numbers

import joblib
import numpy as np

from . import _host, _quorv
from ._checks import _flag, _whole

MAX_MEMBERS = 1000  # as many as a model file holds
MAX_JOBS = 256  # workers at most, as the tool's --jobs takes at most

# How a forest's members draw: the seed S (member k: S + k - 1), rows per
# member, with replacement or not, and features per member.
Draws = collections.namedtuple("Draws", "seed sample_rows bootstrap features")


def amount(name, value, total, things, rules=False):
    """max_features / max_samples as scikit-learn reads them: a float is a
    fraction in (0, 1], an int a count from 1 to `total`; with `rules`
    (max_features) also "sqrt" and "log2", counted by the tool's rule."""
    if rules and isinstance(value, str) and value in ("sqrt", "log2"):
        return int(_quorv.amount_of(value, 0.0, total, name, things))
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise ValueError("%s must be a fraction in (0, 1]%s or a whole number of %s, got %r"
                         % (name, ", 'sqrt', 'log2'" if rules else "", things, value))
    if isinstance(value, numbers.Integral):
        if value < 1:
            raise ValueError("%s must be a count >= 1 (or a fraction in (0, 1]), got %r" % (name, value))
        if value > total:
            raise ValueError("%s: %d is more than the %d %s" % (name, value, total, things))
        return int(value)
    if not 0 < value <= 1:
        raise ValueError("%s must be a fraction in (0, 1] (or a whole number of %s), got %r" % (name, things, value))
    return int(_quorv.amount_of("fraction", float(value), total, name, things))


def training_defaults(max_presentations, trim, forest):
    """max_presentations and trim as given, each None taking the library's
    default for a forest's members (`forest`) or for other models."""
    presentations, trimmed = _quorv.training_defaults(forest)
    return (presentations if max_presentations is None else _whole("max_presentations", max_presentations),
            bool(trimmed) if trim is None else _flag("trim", trim))


def draw(draws, member, total_rows, total_features):
    """Member `member`'s (0-based) rows, in the order drawn, and features."""
    return _quorv.draw_member(total_rows, draws.sample_rows, draws.bootstrap, total_features, draws.features,
                              draws.seed, member)


def fit_member(X, codes, scaling, draws, member, params, merge=False):
    """One member: its draw, then one training call on those rows (in the order
    drawn) and features, its conflicts merged there when `merge`. Returns
    (templates, node codes, presentations, features, patterns merged away)."""
    rows, columns = draw(draws, member, X.shape[0], X.shape[1])
    patterns = np.ascontiguousarray(X[np.ix_(rows, columns)])
    lo_hi = None if scaling is None else (np.ascontiguousarray(scaling[0][columns]),
                                          np.ascontiguousarray(scaling[1][columns]))
    templates, node_codes, presentations, merged = _host.train(
        patterns, np.ascontiguousarray(codes[rows]), None, lo_hi, *params, merge=merge)
    if node_codes.size == 0:
        raise ValueError("training made no nodes (member %d)" % (member + 1))
    return templates, node_codes, float(presentations), columns, merged


def out_of_bag(members, X, codes, n_classes, scaling, draws, vigilance, nearest):
    """(nearest, right, covered) of the forest's out-of-bag estimate, by the
    core library's rule (front/oob.h): each training row voted on by the
    members that did not draw it; `members` as fit_members gives them."""
    lo, hi = scaling if scaling is not None else (None, None)
    right, covered = _quorv.out_of_bag([(m[0], m[1]) for m in members], [m[3] for m in members], X, lo, hi,
                                       n_classes, vigilance, nearest, codes.astype(np.float64),
                                       draws.sample_rows, draws.features, draws.seed)
    return nearest, right, covered


def check_jobs(n_jobs):
    if n_jobs is not None and (isinstance(n_jobs, (bool, np.bool_)) or not isinstance(n_jobs, numbers.Integral) or
                               n_jobs == 0):
        raise ValueError("n_jobs must be None or a whole number other than 0 (-1: all cores), got %r" % (n_jobs,))


def jobs(n_jobs, members):
    """Workers for `members` members: n_jobs as joblib reads it (None: the
    active backend's, one by default; -1 all cores, -2 all but one, ...), at
    most one per member and MAX_JOBS."""
    check_jobs(n_jobs)
    return max(1, min(joblib.effective_n_jobs(n_jobs), members, MAX_JOBS))


def fit_members(X, codes, scaling, draws, count, params, n_jobs, merge=False):
    """Every member, in joblib's processes (the same arrays are sent once per
    worker); results in member order whatever ran where."""
    return joblib.Parallel(n_jobs=jobs(n_jobs, count), prefer="processes")(
        joblib.delayed(fit_member)(X, codes, scaling, draws, k, params, merge) for k in range(count))
