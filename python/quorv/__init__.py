"""Quorv for Python: the hyperbox classifier's own plug-ins as a scikit-learn estimator.

    >>> from quorv import QuorvClassifier
    >>> model = QuorvClassifier(vigilance=0.8).fit(X, y)
    >>> model.predict(X_new)

`quorv.load(path)` reads a model file of the command-line tool and
`QuorvClassifier.save(path)` writes one; `quorv.dask.predict` classifies Dask
arrays and DataFrames on a cluster.
"""

__all__ = ["QuorvClassifier", "load"]
__version__ = "1.0.0"


def __getattr__(name):
    # The estimator (and scikit-learn with it) is imported on first use, so
    # that a worker process training forest members imports only the forest's
    # own modules: scikit-learn is most of the package's import time.
    if name in __all__:
        from . import _classifier
        return getattr(_classifier, name)
    raise AttributeError("module %r has no attribute %r" % (__name__, name))


def __dir__():
    return sorted(list(globals()) + __all__)
