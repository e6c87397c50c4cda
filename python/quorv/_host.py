"""The two plug-ins, run through the embedded host by the extension module,
which holds the one plug-in client and classification policy of the front
library: refusals name the estimator's parameter there."""

import os
import sys

from . import _quorv


def plugin_path(name):
    """The plug-in file: in $QUORV_PLUGIN_DIR when set, else in the package."""
    folder = os.environ.get("QUORV_PLUGIN_DIR") or os.path.join(os.path.dirname(__file__), "plugins")
    return os.path.join(folder, name + ".mexa64")


def _write(text):
    # Called with each piece the plug-in prints, while it runs; sys.stdout is
    # looked up each time, so that redirections are honoured.
    sys.stdout.write(text)


def _flush():
    flush = getattr(sys.stdout, "flush", None)
    if flush is not None:
        flush()


def train(patterns, labels, order, scaling, vigilance, min_size, learning_rate, epsilon, max_presentations, trim,
          verbose, merge=False):
    """quorv_train on float64 patterns taken in `order` (row indices, or None for
    their own order) and scaled on the way by `scaling` (lo, hi) unless None,
    conflicts merged first when `merge`. Returns (templates, node codes,
    presentations, patterns merged away)."""
    lo, hi = scaling if scaling is not None else (None, None)
    try:
        # Bytes, so that a folder whose name is no UTF-8 text still reaches the loader.
        return _quorv.train(os.fsencode(plugin_path("quorv_train")), patterns, labels, order, lo, hi, vigilance,
                            min_size, learning_rate, epsilon, int(max_presentations), int(trim), int(verbose), _write,
                            bool(merge))
    finally:
        _flush()


def prepare(members, features, n_features, n_classes):
    """The members made ready once (their nodes and search indexes), for
    predict: the same answers as the plug-in, without its set-up per call."""
    return _quorv.prepare(members, features, n_features, n_classes)


def classify(prepared, X, scaling, vigilance, nearest, shares):
    """predict's (codes, shares or None) through `prepared` alone, in one call
    of the core library without the GIL: silent, vigilance in [0, 1]."""
    lo, hi = scaling if scaling is not None else (None, None)
    return _quorv.classify(prepared, X, lo, hi, vigilance, nearest, shares)


def predict(members, features, X, scaling, n_classes, vigilance, nearest, verbose, shares, prepared=None):
    """(codes, shares or None) of the float64 patterns X by the classification
    policy: `members` as (templates, node codes), `features` a forest's
    members' features (None for members over shuffles), codes the positions of
    the classes and -1 for unknown, shares per class then unknown. Through
    `prepared` (from prepare, for these members) where it serves: silent
    calls the plug-in would take."""
    lo, hi = scaling if scaling is not None else (None, None)
    try:
        return _quorv.predict(os.fsencode(plugin_path("quorv_perf")), members, features, X, lo, hi, n_classes,
                              vigilance, nearest, int(verbose), shares, _write, prepared)
    finally:
        _flush()
