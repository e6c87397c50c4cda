"""QuorvClassifier: the training and classification plug-ins as a scikit-learn estimator."""

import copy
import inspect
import numbers
import weakref

import numpy as np
import sklearn.utils.validation as _sklearn_validation
from sklearn.base import BaseEstimator, ClassifierMixin
from sklearn.utils import check_random_state
from sklearn.utils.multiclass import check_classification_targets
from sklearn.utils.validation import check_is_fitted

from . import _file, _fitted, _forest, _host, _quorv
from ._checks import _INT_MAX, _flag, _missing, _real, _unclassified, _whole
from ._fitted import Member  # noqa: F401 (the records of members_)

_MAX_SEED = _quorv.MAX_SEED  # the core library's one limit, as the model file and the tool's --seed take it
# Each estimator's checked fitted record (with its scale setting) and its members made ready for predict.
_PREPARED = weakref.WeakKeyDictionary()
_UNKNOWN_CODE = -1.0  # never a class code: codes are 0, 1, ...


def _seed(shuffle, random_state):
    """The seed of the training order, as the model file records it: the int
    itself, one drawn from a RandomState, or a fresh one for None; -1 when the
    rows keep their order."""
    if not shuffle:
        return -1
    if isinstance(random_state, numbers.Integral) and not isinstance(random_state, (bool, np.bool_)):
        if not 0 <= random_state <= _MAX_SEED:
            raise ValueError("random_state must be a whole number from 0 to %d, got %r" % (_MAX_SEED, random_state))
        return int(random_state)
    return int(check_random_state(random_state).randint(0, _INT_MAX))


def _validated(estimator, *args, **kwargs):
    """scikit-learn's validate_data (1.6 and later), else the estimator's own
    _validate_data (earlier releases, which have no validate_data)."""
    validate = getattr(_sklearn_validation, "validate_data", None)
    if validate is not None:
        return validate(estimator, *args, **kwargs)
    return estimator._validate_data(*args, **kwargs)


def _allow_nan(allow):
    """The validation keyword that lets NaN through, by scikit-learn release."""
    if not allow:
        return {}
    if getattr(_sklearn_validation, "validate_data", None) is not None:
        return {"ensure_all_finite": "allow-nan"}
    return {"force_all_finite": "allow-nan"}


def _has_unknowns(model):
    """Whether predict may answer the unknown label: with unknown_label set,
    or with unclassified="unknown" (the pass at vigilance 0 off)."""
    return model.unknown_label is not None or getattr(model, "unclassified", "nearest") == "unknown"


def _unknown_value(model):
    """unknown_label, or when None the tool's default: -1, or the first whole
    number below it that is no class (by value or text)."""
    if model.unknown_label is not None:
        return model.unknown_label
    taken = model.classes_.tolist()
    codes = [float(c) for c in taken if isinstance(c, numbers.Real)]
    return _quorv.free_unknown_label(codes, [str(c) for c in taken])


def prediction_dtype(model):
    """The dtype of `model.predict`'s labels: that of classes_, or when the
    predictions may hold the unknown label, one that holds both (object when
    one is text and the other numbers). Refuses an unknown_label that is no
    single label or that is a class, as the tool refuses it (the predictions
    could not tell "unclassified" from that class)."""
    classes = model.classes_
    if not _has_unknowns(model):
        return classes.dtype
    label = _unknown_value(model)
    unknown = np.asarray(label)
    if unknown.ndim != 0:
        raise ValueError("unknown_label must be one label, got %r" % (model.unknown_label,))
    if any(c == label or str(c) == str(label) for c in classes.tolist()):
        raise ValueError("unknown_label %r is a class label of the model; choose a label no class uses"
                         % (model.unknown_label,))
    same_kind = (classes.dtype.kind in "biuf") == (unknown.dtype.kind in "biuf")
    return np.result_type(classes.dtype, unknown.dtype) if same_kind else np.dtype(object)


def label_name(model):
    """The name of the label column a fitted model was trained on (a pandas
    Series' name, or the model file's), "label" when it had none."""
    return model._state().label_column


_VALIDATED = ("n_features_in_", "feature_names_in_")  # what scikit-learn's validation sets in fit


def _attribute(name, read, write, absent_if_none=False):
    """A fitted attribute: read from the record this thread reads; assigned
    as a new record with it replaced (a copy of the value); set by
    scikit-learn's validation in fit, into the fit's staging area."""

    def get(self):
        record = _fitted.current(self)
        value = None if record is None else read(record)
        if record is None or (absent_if_none and value is None):
            raise AttributeError("%r object has no attribute %r" % (type(self).__name__, name))
        return value

    def put(self, value):
        staged = _fitted.staged(self)
        if staged is not None and name in _VALIDATED:
            staged[name] = value
        elif self.__dict__.get("_fitted") is None:
            raise AttributeError("%s can only be assigned on a fitted model" % name)
        else:
            self._fitted = write(self._fitted, copy.deepcopy(value))

    def delete(self):
        staged = _fitted.staged(self)
        if staged is not None and name in _VALIDATED:
            staged.pop(name, None)
        elif name == "feature_names_in_" and self.__dict__.get("_fitted") is not None:
            self._fitted = _fitted.replaced(self._fitted, feature_names_in=None)
        else:
            raise AttributeError("%s cannot be deleted" % name)

    return property(get, put, delete)


class QuorvClassifier(ClassifierMixin, BaseEstimator):
    """Hyperbox classifier trained and applied by the quorv plug-ins.

    Each class is covered by axis-parallel boxes ("nodes"). Training presents
    the patterns again and again; each one selects the node whose box, grown to
    hold it, stays smallest (when that box passes the vigilance test and the
    node has its label) and may grow it, or makes a node of its own. Training
    ends when a presentation changes nothing, or after `max_presentations`.

    Parameters
    ----------
    vigilance : float in [0, 1], default 0.75
        Higher makes smaller boxes: a grown box may span at most
        (1 - vigilance) * n_features in total (summed over the features).
    min_size : float, default 0.0
        Size of a new box, in [0, n_features * (1 - vigilance)].
    learning_rate : float in (0, 1], default 1.0
        1 is fast learning (a box grows to hold the pattern at once).
    epsilon : float >= 0, default 0.001
        Tolerance of slow learning (learning_rate < 1).
    max_presentations : int >= 1 or None, default None
        Most presentations of the whole training set; None is 100, and 3 for
        the members of a forest (n_estimators > 1), as `quorv train` has it.
    trim : bool or None, default None
        Leave out the nodes that no pattern of the last presentation selected;
        None is False, and True for the members of a forest.
    scale : bool, default True
        Scale every feature to [0, 1] with the training set's own minimum and
        maximum (a constant feature maps to 0), as the command-line tool does.
        The plug-ins measure box sizes in the units they are given, so the
        default suits data whose features have different units.
    unknown_label : label or None, default None
        The label `predict` gives a pattern left unclassified, which only
        unclassified="unknown" leaves; None gives -1 as `quorv classify` does
        (or the first whole number below it that is no class). It only sets
        the label: until this version, setting it also turned the nearest-box
        pass off; a script that relied on that passes unclassified="unknown".
    unclassified : "nearest" or "unknown", default "nearest"
        What becomes of a pattern that no box passing the vigilance test
        takes, as the tool's `--unclassified`. "nearest": every member that
        leaves it out answers with its nearest box (classification again at
        vigilance 0, in a second plug-in call), and where even that leaves it
        out (its grown box would span n_features or more with every node,
        possible only far outside the training range) with its class with the
        most nodes, the lowest of equals; a single model gives that answer.
        "unknown": nothing is asked at vigilance 0, and the pattern gets
        unknown_label (for members, when none of their boxes takes it; for a
        forest, when more members leave it out than give any one class).
    missing : "error" or "median", default "error"
        NaN in X, as the tool's `--missing`: "error" refuses it; "median"
        fills each NaN with its feature's median over the training rows that
        have it, in fit and in every prediction. `save` records the medians in
        the model file as the tool does, so a model file answers the same in both.
    shuffle : bool, default False
        Present the training patterns in a random order. Training depends on
        the order; by default it is the order of the rows, as on the command line.
    random_state : int, RandomState or None, default None
        Seeds the order when `shuffle` is True, drawn as `quorv train --shuffle
        --seed` draws it (the same int gives the same model from both). A
        RandomState gives a seed drawn from it, None a fresh one; `save`
        records the seed, and a loaded model's `get_params` gives it back.
        A forest's member k draws with seed S + k - 1, as `quorv train --seed S`
        does, so that both give the same forest.
    verbose : int, default 0
        The plug-ins' console detail (0 silent, 1 summary, 2 to 4 add a trace;
        classification stops at 3), printed to sys.stdout.
    n_estimators : int in [1, 1000], default 1
        Members of a forest. 1 is the single model, whatever max_features,
        max_samples and bootstrap say. More: each member trains on its own
        sample of the rows (max_samples, bootstrap), in the order drawn, and
        of the features (max_features); predict takes the class most members
        give (each member answering in full as `unclassified` says), a tie
        going to the lowest class.
    max_features : float in (0, 1], int, "sqrt" or "log2", default 1.0
        A forest member's features, drawn without replacement: a float is a
        fraction of them (at least one), an int a count, "sqrt" and "log2"
        the square root or base-2 logarithm of their number, rounded down (at
        least one). For the best accuracy: n_estimators=100, max_features=0.5,
        vigilance=0.95 (cli/README.md has the measurement).
    max_samples : float in (0, 1] or int, default 1.0
        A forest member's training rows: a float is a fraction of the rows, an
        int a count; drawn with replacement when `bootstrap`, else without.
    bootstrap : bool, default True
        Draw a member's rows with replacement.
    merge_conflicts : bool, default True
        Before each training call (the single model's, each forest member's
        after its draw of rows and features), patterns identical in what the
        call sees, after scaling, but labelled differently become one pattern
        with the label most of them carry (the lowest class among equals), at
        the group's first place; identical patterns with one label stay as
        they are. Without it such patterns make a node on every presentation
        until max_presentations. As `quorv train` does unless --no-merge.
    oob_score : bool, default False
        With a forest drawing its rows with replacement (else ValueError),
        `fit` sets oob_score_: each training row classified by the vote of
        the members that did not draw it, as `unclassified` says, by the core
        library's rule; `quorv train` records the same by default.
    n_jobs : int or None, default None
        Processes that train a forest's members at once (joblib: None is one,
        -1 all cores; under `joblib.parallel_backend("dask")` the members are
        trained on the workers of a Dask cluster), at most one per member and
        at most 256 (`quorv train --jobs` takes at most as many).

    Attributes
    ----------
    classes_ : ndarray of the class labels, sorted.
    members_ : list of Member (templates, node_labels, n_presentations,
        features), one per member, the first first: a single model has one, a
        model file trained with `quorv train --votes N` or a forest N.
        `templates` has shape (n_nodes, 2 * n_member_features): each node's
        lower bounds, then its upper bounds, in the scaled space;
        `node_labels` the class of each node; `features` a forest member's
        features (positions among the model's), None for any other model.
    templates_, node_labels_, n_presentations_ : those of the first member.
    voters_ : list of (templates, node_labels, n_presentations) of the members
        after the first. With members, `predict` takes their vote: the members
        whose boxes take a pattern vote, a tie going to the earliest member's
        label; for a pattern none takes, the members' full answers (see
        `unclassified`).
    estimators_features_ : list of each member's features for a forest, else None.
    merged_patterns_ : int, the patterns conflict merging took away, over all
        members (0 with merge_conflicts=False); a model file records it.
    oob_score_ : float, with oob_score=True: the accuracy of each training
        row's vote by the members that did not draw it (NaN when every member
        drew every row); oob_patterns_ : int, the rows it covers (those some
        member did not draw). A model file records both.
    converged_ : bool, whether training ended because a presentation changed
        nothing (for every member).
    feature_min_, feature_max_ : ndarray of shape (n_features,), the training ranges.
    n_features_in_ : int; feature_names_in_ : ndarray, when fitted on a DataFrame.

    The fitted attributes are views of one record that `fit` publishes when
    it is done: a prediction made while another thread refits the model
    reads either the old model or the new one. Their arrays are read-only;
    assigning an attribute publishes a new record with it replaced.
    """

    def __init__(self, vigilance=0.75, min_size=0.0, learning_rate=1.0, epsilon=0.001, max_presentations=None,
                 trim=None, scale=True, unknown_label=None, shuffle=False, random_state=None, verbose=0,
                 n_estimators=1, max_features=1.0, max_samples=1.0, bootstrap=True, n_jobs=None,
                 unclassified="nearest", merge_conflicts=True, missing="error", oob_score=False):
        self.vigilance = vigilance
        self.min_size = min_size
        self.learning_rate = learning_rate
        self.epsilon = epsilon
        self.max_presentations = max_presentations
        self.trim = trim
        self.scale = scale
        self.unknown_label = unknown_label
        self.shuffle = shuffle
        self.random_state = random_state
        self.verbose = verbose
        self.n_estimators = n_estimators
        self.max_features = max_features
        self.max_samples = max_samples
        self.bootstrap = bootstrap
        self.n_jobs = n_jobs
        self.unclassified = unclassified
        self.merge_conflicts = merge_conflicts
        self.missing = missing
        self.oob_score = oob_score

    def fit(self, X, y):
        """Trains on X (n_samples, n_features) and the labels y (numbers or strings)."""
        vigilance = _real("vigilance", self.vigilance)
        min_size = _real("min_size", self.min_size)
        learning_rate = _real("learning_rate", self.learning_rate)
        epsilon = _real("epsilon", self.epsilon)
        scale = _flag("scale", self.scale)
        shuffle = _flag("shuffle", self.shuffle)
        verbose = _whole("verbose", self.verbose)
        n_estimators = _whole("n_estimators", self.n_estimators)
        if not 1 <= n_estimators <= _forest.MAX_MEMBERS:
            raise ValueError("n_estimators must be in [1, %d], got %r" % (_forest.MAX_MEMBERS, n_estimators))
        max_presentations, trim = _forest.training_defaults(self.max_presentations, self.trim, n_estimators > 1)
        bootstrap = _flag("bootstrap", self.bootstrap)
        merge = _flag("merge_conflicts", self.merge_conflicts)
        oob = _flag("oob_score", getattr(self, "oob_score", False))
        if oob and (n_estimators == 1 or not bootstrap):
            raise ValueError("oob_score=True needs a forest whose members draw their rows with replacement "
                             "(n_estimators > 1, bootstrap=True)")
        _forest.check_jobs(self.n_jobs)
        # A forest's members draw from the seed whether or not the rows are shuffled.
        seed = _seed(shuffle or n_estimators > 1, self.random_state)

        name = getattr(y, "name", None)  # a pandas Series names the label column
        median = _missing("missing", getattr(self, "missing", "error"))
        with _fitted.staging(self) as validated:  # published with the rest, once fit is done
            X, y = _validated(self, X, y, dtype=np.float64, **_allow_nan(median))
        medians = None
        if median:  # the tool's rule (front/missing.h): NaN takes its feature's training median
            medians = _quorv.feature_medians(X)
            if np.isnan(medians).any():
                raise ValueError("feature %d has no value in any row, so no median" % int(np.flatnonzero(
                    np.isnan(medians))[0]))
            X = _quorv.fill_missing(medians, X)
        check_classification_targets(y)
        classes, codes = np.unique(y, return_inverse=True)
        lo, hi, wide = _quorv.fit_scaling(X)
        if scale and wide is not None:
            raise ValueError("feature %d spans too wide a range to scale (try scale=False)" % wide)
        params = (vigilance, min_size, learning_rate, epsilon, max_presentations, 1 if trim else 0, verbose)
        draws = None
        if n_estimators == 1:
            order = _quorv.shuffled_rows(X.shape[0], seed) if seed >= 0 else None
            templates, node_codes, presentations, merged = _host.train(
                X, codes.astype(np.float64), order, (lo, hi) if scale else None, *params, merge=merge)
            if node_codes.size == 0:
                raise ValueError("training made no nodes")
            members = [(templates, node_codes, presentations, None, merged)]
        else:
            draws = _forest.Draws(seed=seed,
                                  sample_rows=_forest.amount("max_samples", self.max_samples, X.shape[0], "rows"),
                                  bootstrap=bootstrap,
                                  features=_forest.amount("max_features", self.max_features, X.shape[1],
                                                          "features", rules=True))
            too_many = _quorv.forest_draws_fault(n_estimators, draws.features, X.shape[1])
            if too_many:
                raise ValueError("n_estimators: " + too_many)
            members = _forest.fit_members(np.ascontiguousarray(X), codes.astype(np.float64),
                                          (lo, hi) if scale else None, draws, n_estimators, params, self.n_jobs,
                                          merge)
        # What the plug-in takes but a model file cannot hold (epsilon=inf): refused
        # here, so that every model saves.
        _file.check_ranges(vigilance, min_size, learning_rate, epsilon, max_presentations, trim,
                           X.shape[1] if draws is None else draws.features)
        if oob:
            oob = _forest.out_of_bag(members, X, codes, len(classes), (lo, hi) if scale else None, draws, vigilance,
                                     _unclassified(getattr(self, "unclassified", "nearest")))
        self._fitted = _fitted.fitted(
            classes=classes, members=[(t, classes[c.astype(np.intp)], p, f) for t, c, p, f, _ in members],
            feature_min=lo, feature_max=hi, n_features_in=validated["n_features_in_"],
            feature_names_in=validated.get("feature_names_in_"),
            converged=all(p < max_presentations for _, _, p, _, _ in members), draws=draws,
            label_column=name if isinstance(name, str) else "label", training_patterns=X.shape[0],
            shuffle_seed=seed, format_version=1 if draws is None else 3,
            merged_patterns=sum(int(m[4]) for m in members) if merge else 0, missing_medians=medians,
            oob=oob or None)
        return self

    # ---- the fitted state: one record (see _fitted) ----

    classes_ = _attribute("classes_", lambda r: r.classes, lambda r, v: _fitted.replaced(r, classes=v))
    members_ = _attribute("members_", lambda r: list(r.members), lambda r, v: _fitted.replaced(r, members=v))
    templates_ = _attribute("templates_", lambda r: r.members[0].templates,
                            lambda r, v: _fitted.with_first(r, templates=v))
    node_labels_ = _attribute("node_labels_", lambda r: r.members[0].node_labels,
                              lambda r, v: _fitted.with_first(r, node_labels=v))
    n_presentations_ = _attribute("n_presentations_", lambda r: r.members[0].n_presentations,
                                  lambda r, v: _fitted.with_first(r, n_presentations=v))
    voters_ = _attribute("voters_", lambda r: [tuple(m[:3]) for m in r.members[1:]], _fitted.with_voters)
    estimators_features_ = _attribute(
        "estimators_features_", lambda r: [m.features for m in r.members] if r.is_forest() else None,
        _fitted.with_features)
    merged_patterns_ = _attribute("merged_patterns_", lambda r: r.merged_patterns,
                                  lambda r, v: _fitted.replaced(r, merged_patterns=v))
    oob_score_ = _attribute("oob_score_", lambda r: None if r.oob is None else r.oob[1] / r.oob[2] if r.oob[2]
                            else float("nan"), _fitted.computed("oob_score_"), absent_if_none=True)
    oob_patterns_ = _attribute("oob_patterns_", lambda r: None if r.oob is None else r.oob[2],
                               _fitted.computed("oob_patterns_"), absent_if_none=True)
    converged_ = _attribute("converged_", lambda r: r.converged, lambda r, v: _fitted.replaced(r, converged=v))
    feature_min_ = _attribute("feature_min_", lambda r: r.feature_min,
                              lambda r, v: _fitted.replaced(r, feature_min=v))
    feature_max_ = _attribute("feature_max_", lambda r: r.feature_max,
                              lambda r, v: _fitted.replaced(r, feature_max=v))
    n_features_in_ = _attribute("n_features_in_", lambda r: r.n_features_in,
                                lambda r, v: _fitted.replaced(r, n_features_in=v))
    feature_names_in_ = _attribute("feature_names_in_", lambda r: r.feature_names_in,
                                   lambda r, v: _fitted.replaced(r, feature_names_in=v), absent_if_none=True)

    def __sklearn_is_fitted__(self):
        return _fitted.current(self) is not None

    def _state(self, snapshot=None):
        """The fitted record a call reads: `snapshot` when given, else the one
        this thread has pinned, else the one published."""
        record = snapshot if snapshot is not None else _fitted.current(self)
        if record is None:
            check_is_fitted(self)
        return record

    def __getstate__(self):
        state = dict(super().__getstate__())
        if state.get("_fitted") is not None:
            state["_fitted"] = state["_fitted"].as_state()
        return state

    def __setstate__(self, state):
        """Also models pickled when members lived in templates_/node_labels_
        and voters_, and before some parameters existed (their defaults)."""
        state = dict(state)
        record = _fitted.from_state(state)
        # Before `unclassified` existed, an unknown_label turned the nearest-box
        # pass off: such a model keeps answering as it did.
        if "unclassified" not in state and state.get("unknown_label") is not None:
            state["unclassified"] = "unknown"
        for name, parameter in inspect.signature(QuorvClassifier.__init__).parameters.items():
            if parameter.default is not inspect.Parameter.empty:
                state.setdefault(name, parameter.default)
        super().__setstate__(state)
        if record is not None:
            self.__dict__["_fitted"] = record

    def _scaling(self):
        return (self.feature_min_, self.feature_max_) if self.scale else None

    def _members(self, snapshot=None):
        """Each member's templates and node codes (positions in classes_), of
        `snapshot` (a fitted record) or of the record this call reads."""
        record = self._state(snapshot)
        return [(m.templates, np.searchsorted(record.classes, m.node_labels).astype(np.float64))
                for m in record.members]

    def _check_fitted(self):
        """The fitted record, checked before it reaches a plug-in: each fault
        is named by its attribute."""
        record = self._state()
        n = record.n_features_in
        classes = np.asarray(record.classes)
        if classes.ndim != 1 or classes.size == 0:
            raise ValueError("classes_ must be a non-empty 1-D array of labels")
        if self.scale:
            for name in ("feature_min_", "feature_max_"):
                bounds = np.asarray(getattr(record, name[:-1]), dtype=np.float64)
                if bounds.shape != (n,) or not np.all(np.isfinite(bounds)):
                    raise ValueError("%s must hold %d finite numbers, one per feature" % (name, n))
        if record.is_forest() and not all(
                f is not None and f.ndim == 1 and len(f) and np.all(np.diff(f) > 0) and 0 <= f[0] and f[-1] < n
                for f in (m.features for m in record.members)):
            raise ValueError("estimators_features_ must hold one ascending list of feature positions per member")
        for k, member in enumerate(record.members):
            t_name, l_name = ("templates_", "node_labels_") if k == 0 else \
                ("voters_[%d][0]" % (k - 1), "voters_[%d][1]" % (k - 1))
            templates = np.asarray(member.templates)
            m = n if member.features is None else len(member.features)  # a forest member's own features
            if templates.ndim != 2 or templates.shape[0] == 0 or templates.shape[1] != 2 * m:
                raise ValueError("%s must have at least one row of 2 * %d bounds (its features), got shape %r"
                                 % (t_name, m, templates.shape))
            t = templates.astype(np.float64)
            if not np.all(np.isfinite(t)) or np.any(t[:, :m] > t[:, m:]):
                raise ValueError("%s must hold finite bounds, each lower bound at most its upper bound" % t_name)
            labels = np.asarray(member.node_labels)
            if labels.shape != (templates.shape[0],):
                raise ValueError("%s must hold one label per row of %s" % (l_name, t_name))
            at = np.searchsorted(classes, labels)
            if np.any(at >= classes.size) or np.any(classes[np.minimum(at, classes.size - 1)] != labels):
                raise ValueError("%s holds labels that are not in classes_" % l_name)

    def _is_forest(self):
        return getattr(self, "estimators_features_", None) is not None

    def _codes_and_shares(self, X, shares=True):
        """(codes, shares) of X by the front library's classification policy,
        the one `quorv classify` applies: codes are positions in classes_ (-1:
        unknown), shares (when asked, else None) one column per class and the
        unknown share last. See `unclassified` for the rule."""
        kept = _PREPARED.get(self)
        if kept is None or kept[0] is not self._state() or kept[1] != bool(self.scale):
            self._check_fitted()  # once per record and scale: the record never changes
            kept = None
        medians = self._state().missing_medians
        X = _validated(self, X, dtype=np.float64, reset=False, **_allow_nan(medians is not None))
        if medians is not None:
            X = _quorv.fill_missing(medians, X)
        vigilance = _real("vigilance", self.vigilance)
        verbose = min(_whole("verbose", self.verbose), 3)
        nearest = _unclassified(getattr(self, "unclassified", "nearest"))  # pickled before it existed
        features = self.estimators_features_ if self._is_forest() else None
        members, prepared = kept[2:] if kept is not None else self._prepared(features, X.shape[1])
        if verbose == 0 and 0.0 <= vigilance <= 1.0:  # what the prepared members answer alone
            return _host.classify(prepared, X, self._scaling(), vigilance, nearest, shares)
        return _host.predict(members, features, X, self._scaling(), len(self.classes_), vigilance, nearest,
                             verbose, shares, prepared)

    def _prepared(self, features, n_features):
        """The members of the record this call reads, and their prepared
        models: made once per fitted record (checked) and kept aside, outside the
        estimator (which a prediction leaves as it was, and pickles without
        them), for as long as the estimator lives."""
        record = self._state()
        members = self._members()
        prepared = _host.prepare(members, features, n_features, len(record.classes))
        _PREPARED[self] = (record, bool(self.scale), members, prepared)
        return members, prepared

    def predict(self, X):
        """The class of each row of X."""
        with _fitted.pinned(self):
            codes, _ = self._codes_and_shares(X, shares=False)
            if not _has_unknowns(self):
                return self.classes_[codes.astype(np.intp)]
            return self._with_unknown(codes, np.flatnonzero(codes == _UNKNOWN_CODE))

    def predict_proba(self, X):
        """Each row's vote shares, one column per class of classes_: for a
        forest, the share of its members answering each class; one-hot for a
        single model (as a 1-nearest-neighbour classifier gives); for members
        voting over shuffles, the shares among the members that voted. predict
        gives a class of the largest share (for a forest, the first of equal
        shares). Rows sum to 1, but with unclassified="unknown", where they sum
        to 1 minus the unknown share (`predict_unknown_share`): 0 for a
        pattern no member classifies."""
        with _fitted.pinned(self):
            _, shares = self._codes_and_shares(X)
            return np.ascontiguousarray(shares[:, :len(self.classes_)])

    def predict_unknown_share(self, X):
        """Each row's unknown share: the share of the vote that classified the
        row as unknown (with unclassified="unknown": 1 for a pattern no box
        takes; for a forest, the share of its members that leave it
        unclassified), the rest of 1 beside predict_proba's row. With the
        default unclassified="nearest" every pattern gets a class, and the
        share is 0."""
        with _fitted.pinned(self):
            _, shares = self._codes_and_shares(X)
            return np.ascontiguousarray(shares[:, len(self.classes_)])

    def _with_unknown(self, codes, unclassified):
        dtype = prediction_dtype(self)
        label = _unknown_value(self)
        codes[unclassified] = 0
        labels = self.classes_.astype(dtype)[codes.astype(np.intp)]
        labels[unclassified] = label
        return labels

    # ---- the command-line tool's model file ----

    def save(self, path):
        """Writes the model in the command-line tool's model file format, which
        `quorv classify` reads (and `quorv.load` reads back bit for bit), through
        the tool's own output code: a file's mode and hard links are kept, a
        symbolic link is followed, a FIFO or device is written in place, and a
        failure leaves the old file as it was. Classes that are whole numbers in
        the 32-bit int range are stored as themselves, text by name, and
        `quorv.load` gives them back as int and str; classes it could not give
        back as they are (booleans, larger whole numbers, fractions, text that
        spells the codes 1, 2, ...) are refused, naming one."""
        with _fitted.pinned(self) as record:
            self._check_fitted()
            names = record.feature_names_in
            names = list(names) if names is not None else _file.default_feature_names(record.n_features_in)
            params = dict(vigilance=_real("vigilance", self.vigilance), min_size=_real("min_size", self.min_size),
                          learning_rate=_real("learning_rate", self.learning_rate),
                          epsilon=_real("epsilon", self.epsilon),
                          scale=bool(self.scale),
                          merge_conflicts=_flag("merge_conflicts", self.merge_conflicts))
            params["max_presentations"], params["trim"] = _forest.training_defaults(
                self.max_presentations, self.trim, record.is_forest())
            _file.write(path, _file.model_dict(record, params, names))


def load(path):
    """A fitted QuorvClassifier from a model file of the command-line tool, read
    by the tool's own reader (the same refusals, word for word). `get_params`
    gives the settings the file records, so that `clone(model).fit(X, y)` on
    the same data writes the same file."""
    params, record = _file.read(path)
    model = QuorvClassifier(**params)
    model._fitted = record
    return model
