"""The fitted state of a QuorvClassifier: one immutable record, built aside by
`fit` (or `load`, or unpickling) and published with one assignment, so that a
call that reads it while another thread refits sees either the old model or
the new one, never parts of both.

The estimator's fitted attributes (`classes_`, `members_`, `templates_`, ...)
are read-only views of the record. A prediction pins the record it started
with for its thread (`pinned`), so that every attribute it reads, however
often, comes from that one record. While `fit` validates its data, the
attributes scikit-learn's validation sets (`n_features_in_`,
`feature_names_in_`) go into a staging area of the fitting thread (`staging`).
"""

import collections
import contextlib
import threading

import numpy as np

# One member of the model: its nodes (each row: the lower bounds, then the
# upper bounds, in the scaled space), the class of each node, the
# presentations its training made, and for a forest member its features
# (ascending positions among the model's; None for any other model).
Member = collections.namedtuple("Member", "templates node_labels n_presentations features")

_FIELDS = ("classes members feature_min feature_max n_features_in feature_names_in converged draws label_column "
           "training_patterns ignored shuffle_seed format_version class_codes merged_patterns missing_medians oob")


class Fitted(collections.namedtuple("Fitted", _FIELDS)):
    """What `fit` learned and what a model file records beside it.

    classes: the sorted class labels; members: tuple of Member, the first one
    first; feature_min, feature_max: the training ranges; n_features_in and
    feature_names_in (None without names): the features; converged: no member
    stopped at max_presentations; draws: a forest's draws (_forest.Draws) or
    None; the rest, the model file's own fields: label column name, training
    rows, ignored columns, shuffle seed (-1: file order), format version, and
    the class codes a loaded file gave (None: coded by the rule on save), and
    the patterns conflict merging took away (0: none, or merging off), the
    medians that fill missing values (None: missing values refused), and a
    forest's out-of-bag estimate (unclassified given the nearest box, right,
    covered), None when not computed.
    """
    __slots__ = ()

    def is_forest(self):
        return self.members[0].features is not None

    def as_state(self):
        """Plain values for pickling, so that a later layout can read them by name."""
        state = self._asdict()
        state["members"] = [tuple(m) for m in self.members]
        return state


def _frozen(array, dtype=None):
    if array is None:
        return None
    array = np.asarray(array, dtype=dtype)  # arrays fit, load and unpickling made for the record
    array.flags.writeable = False
    return array


def fitted(classes, members, feature_min, feature_max, n_features_in, feature_names_in=None, converged=True,
           draws=None, label_column="label", training_patterns=1, ignored=(), shuffle_seed=-1, format_version=1,
           class_codes=None, merged_patterns=0, missing_medians=None, oob=None):
    """A record of the arrays, made read-only; `members` as (templates, node labels,
    presentations[, features]) sequences."""
    members = tuple(Member(_frozen(m[0]), _frozen(m[1]), int(m[2]),
                           _frozen(m[3], np.int64) if len(m) > 3 and m[3] is not None else None) for m in members)
    return Fitted(classes=_frozen(classes), members=members, feature_min=_frozen(feature_min),
                  feature_max=_frozen(feature_max), n_features_in=int(n_features_in),
                  feature_names_in=_frozen(feature_names_in, object), converged=bool(converged), draws=draws,
                  label_column=label_column, training_patterns=int(training_patterns), ignored=tuple(ignored),
                  shuffle_seed=int(shuffle_seed), format_version=int(format_version),
                  class_codes=_frozen(class_codes, np.float64), merged_patterns=int(merged_patterns),
                  missing_medians=_frozen(missing_medians, np.float64),
                  oob=None if oob is None else (bool(oob[0]), int(oob[1]), int(oob[2])))


def replaced(record, **fields):
    """The record with some fields replaced (values made read-only)."""
    return fitted(**dict(record._asdict(), **fields))


def computed(name):
    """The writer of an attribute that only fit computes: assigning it is refused."""
    def refuse(record, value):
        raise AttributeError("%s is computed by fit and cannot be assigned" % name)
    return refuse


def with_first(record, **fields):
    """The record with fields of its first member replaced."""
    return replaced(record, members=(record.members[0]._replace(**fields),) + record.members[1:])


def with_voters(record, voters):
    """The record with the members after the first replaced by `voters`, each
    (templates, node labels, presentations), keeping their features."""
    features = [m.features for m in record.members[1:]]
    features += [None] * (len(voters) - len(features))
    return replaced(record, members=record.members[:1] + tuple(
        tuple(v[:3]) + (f,) for v, f in zip(voters, features)))


def with_features(record, features):
    """The record with each member's features replaced (None: none is a forest member)."""
    features = [None] * len(record.members) if features is None else list(features)
    if len(features) != len(record.members):
        raise ValueError("estimators_features_ must hold one ascending list of feature positions per member")
    return replaced(record, members=tuple(m._replace(features=f) for m, f in zip(record.members, features)))


def from_state(state):
    """The record of a pickled state: this layout's (`as_state`), or the
    attributes of the estimator that kept its first member in templates_ and
    node_labels_ and the others in voters_ (those keys leave `state`)."""
    if isinstance(state.get("_fitted"), dict):
        return fitted(**state.pop("_fitted"))
    if "templates_" not in state:
        return state.pop("_fitted", None)
    old = {key: state.pop(key) for key in list(state)
           if key.endswith("_") and not key.startswith("__") or key in _LEGACY_PRIVATE}
    features = old.get("estimators_features_")
    firsts = [(old["templates_"], old["node_labels_"], old["n_presentations_"])] + \
        [tuple(v[:3]) for v in old.get("voters_", [])]
    members = [m + (None if features is None else features[k],) for k, m in enumerate(firsts)]
    return fitted(classes=old["classes_"], members=members, feature_min=old["feature_min_"],
                  feature_max=old["feature_max_"], n_features_in=old["n_features_in_"],
                  feature_names_in=old.get("feature_names_in_"), converged=old.get("converged_", True),
                  draws=old.get("_draws"), label_column=old.get("_label_column", "label"),
                  training_patterns=old.get("_training_patterns", 1), ignored=old.get("_ignored", ()),
                  shuffle_seed=old.get("_shuffle_seed", -1), format_version=old.get("_format_version", 1),
                  class_codes=old.get("_class_codes"))


_LEGACY_PRIVATE = ("_draws", "_label_column", "_training_patterns", "_ignored", "_shuffle_seed", "_format_version",
                   "_class_codes")


class _Pins(threading.local):
    def __init__(self):
        self.records = {}  # id(model): the record its current prediction reads
        self.staged = {}   # id(model): the attributes its current fit's validation set


_pins = _Pins()
_NONE = object()


def current(model):
    """The record `model`'s attributes read on this thread: the pinned one,
    else the published one; None when the model is not fitted."""
    record = _pins.records.get(id(model), _NONE)
    return record if record is not _NONE else model.__dict__.get("_fitted")


@contextlib.contextmanager
def pinned(model):
    """Within it, this thread reads one record of `model` (the one published
    when it began; None when not fitted), also in nested calls."""
    key = id(model)
    if key in _pins.records:
        yield _pins.records[key]
        return
    record = _pins.records[key] = model.__dict__.get("_fitted")
    try:
        yield record
    finally:
        del _pins.records[key]


@contextlib.contextmanager
def staging(model):
    """A dict that receives the attributes set on `model` by this thread
    within it (scikit-learn's validation in `fit`)."""
    staged = _pins.staged[id(model)] = {}
    try:
        yield staged
    finally:
        del _pins.staged[id(model)]


def staged(model):
    """The staging dict of `model` on this thread; None outside `staging`."""
    return _pins.staged.get(id(model))
