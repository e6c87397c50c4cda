"""The two plug-ins, run through the embedded host by the extension module."""

import os
import re
import sys

import numpy as np

from . import _quorv

# Plug-in argument names and the parameters of QuorvClassifier that set them.
_PARAMETER_OF = {
    "vigilance": "vigilance",
    "min_size": "min_size",
    "learning_rate": "learning_rate",
    "epsilon": "epsilon",
    "max_list_presentations": "max_presentations",
    "trim_option": "trim",
    "oflag": "verbose",
}


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


def _refusal(error):
    """The plug-in's own message, naming the parameter it concerns."""
    message = str(error)
    found = re.search(r"input argument \((\w+)\)", message)
    if found and found.group(1) in _PARAMETER_OF:
        message += " (parameter %s)" % _PARAMETER_OF[found.group(1)]
    return ValueError(message)


def train(patterns, labels, order, scaling, vigilance, min_size, learning_rate, epsilon, max_presentations, trim,
          verbose):
    """quorv_train on float64 patterns taken in `order` (row indices, or None for
    their own order) and scaled on the way by `scaling` (lo, hi) unless None."""
    lo, hi = scaling if scaling is not None else (None, None)
    try:
        return _quorv.train(plugin_path("quorv_train"), patterns, labels, order, lo, hi, vigilance, min_size,
                            learning_rate, epsilon, float(max_presentations), float(trim), float(verbose),
                            _write)
    except ValueError as error:
        raise _refusal(error) from None
    finally:
        _flush()


def classify(templates, node_labels, vigilance, patterns, scaling, unknown_label, verbose):
    """quorv_perf; one float64 label per pattern."""
    lo, hi = scaling if scaling is not None else (None, None)
    templates = np.asarray(templates, dtype=np.float64)  # as unpickled or loaded: any float64 array
    try:
        return _quorv.classify(plugin_path("quorv_perf"), templates, node_labels, vigilance, patterns, lo, hi,
                               float(unknown_label), float(verbose), _write)
    except ValueError as error:
        raise _refusal(error) from None
    finally:
        _flush()
