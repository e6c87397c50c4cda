"""Quorv for Python: the hyperbox classifier's own plug-ins as a scikit-learn estimator.

    >>> from quorv import QuorvClassifier
    >>> model = QuorvClassifier(vigilance=0.8).fit(X, y)
    >>> model.predict(X_new)

`quorv.load(path)` reads a model file of the command-line tool and
`QuorvClassifier.save(path)` writes one; `quorv.dask.predict` classifies Dask
arrays and DataFrames on a cluster.
"""

from ._classifier import QuorvClassifier, load

__all__ = ["QuorvClassifier", "load"]
__version__ = "1.0.0"
