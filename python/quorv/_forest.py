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
import os
import sys

import numpy as np
from joblib import Parallel, delayed
from joblib import parallel as _parallel

from . import _host, _quorv

MAX_MEMBERS = 1000  # as many as a model file holds

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


def draw(draws, member, total_rows, total_features):
    """Member `member`'s (0-based) rows, in the order drawn, and features."""
    return _quorv.draw_member(total_rows, draws.sample_rows, draws.bootstrap, total_features, draws.features,
                              draws.seed, member)


def fit_member(X, codes, scaling, draws, member, params):
    """One member: its draw, then one training call on those rows (in the order
    drawn) and features. Returns (templates, node codes, presentations, features)."""
    rows, columns = draw(draws, member, X.shape[0], X.shape[1])
    patterns = np.ascontiguousarray(X[np.ix_(rows, columns)])
    lo_hi = None if scaling is None else (np.ascontiguousarray(scaling[0][columns]),
                                          np.ascontiguousarray(scaling[1][columns]))
    templates, node_codes, presentations = _host.train(patterns, np.ascontiguousarray(codes[rows]), None, lo_hi,
                                                       *params)
    if node_codes.size == 0:
        raise ValueError("training made no nodes (member %d)" % (member + 1))
    return templates, node_codes, float(presentations), columns


def fit_members(X, codes, scaling, draws, count, params, n_jobs):
    """Every member, in joblib's processes (the same arrays are sent once per
    worker); results in member order whatever ran where."""
    backend, n_jobs = _quick_loky(n_jobs)
    return Parallel(n_jobs=n_jobs, backend=backend, prefer="processes")(
        delayed(fit_member)(X, codes, scaling, draws, k, params) for k in range(count))


def _quick_loky(n_jobs):
    """(backend, n_jobs) for Parallel: None (whatever is active) unless the
    active backend is joblib's own loky in an interpreter where setuptools
    stands in for distutils; then the same loky whose workers keep the
    standard library's distutils. joblib imports distutils in every worker,
    and setuptools' stand-in costs a worker more start-up time than training
    a small member (one worker per core starts afresh on each first fit).
    joblib reuses a pool only for the same environment: forests reuse theirs,
    and a caller's own loky pool in between costs a fresh start of the pool."""
    if _QuickLoky is None or "_distutils_hack" not in sys.modules or sys.version_info >= (3, 12) or \
            "SETUPTOOLS_USE_DISTUTILS" in os.environ:
        return None, n_jobs
    try:
        active, context_jobs = _parallel.get_active_backend(prefer="processes")
        if type(active) is not _Loky:
            return None, n_jobs
        quick = _QuickLoky(nesting_level=active.nesting_level, inner_max_num_threads=active.inner_max_num_threads)
    except (AttributeError, TypeError, ValueError):  # another joblib than the one this was made for
        return None, n_jobs
    return quick, context_jobs if n_jobs is None else n_jobs


_Loky = _parallel.BACKENDS.get("loky")
_QuickLoky = None
if _Loky is not None and hasattr(_Loky, "_prepare_worker_env"):
    class _QuickLoky(_Loky):
        def _prepare_worker_env(self, n_jobs):
            env = super()._prepare_worker_env(n_jobs)
            env["SETUPTOOLS_USE_DISTUTILS"] = "stdlib"
            return env

