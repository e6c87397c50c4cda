"""The estimator's parameter checks: each names the parameter it refuses."""

import numbers

import numpy as np

_INT_MAX = 2 ** 31 - 1


def _real(name, value):
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise ValueError("%s must be a number, got %r" % (name, value))
    return float(value)


def _whole(name, value):
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Integral) or \
            not -_INT_MAX - 1 <= value <= _INT_MAX:
        raise ValueError("%s must be a whole number in the 32-bit int range, got %r" % (name, value))
    return int(value)


def _flag(name, value):
    if value not in (True, False):
        raise ValueError("%s must be True or False, got %r" % (name, value))
    return bool(value)


def _unclassified(value):
    """True for "nearest" (the pass at vigilance 0 and the fallback), False for "unknown"."""
    if not isinstance(value, str) or value not in ("nearest", "unknown"):
        raise ValueError("unclassified must be 'nearest' or 'unknown', got %r" % (value,))
    return value == "nearest"


def _missing(name, value):
    """True for "median", False for "error" (NaN refused)."""
    if value not in ("error", "median"):
        raise ValueError("%s must be 'error' or 'median', got %r" % (name, value))
    return value == "median"
