"""QuorvClassifier: the training and classification plug-ins as a scikit-learn estimator."""

import numbers
import os

import numpy as np
from sklearn.base import BaseEstimator, ClassifierMixin
from sklearn.utils import check_random_state
from sklearn.utils.multiclass import check_classification_targets
from sklearn.utils.validation import check_is_fitted

from . import _forest, _host, _quorv

_INT_MAX = 2 ** 31 - 1
_MAX_SEED = 2 ** 62 - 1  # as the model file and the tool's --seed take them
_UNKNOWN_CODE = -1.0  # never a class code: codes are 0, 1, ...
# The model file's names of the training parameters, and the estimator's.
_PARAMETER_OF = {"vigilance": "vigilance", "min_size": "min_size", "learning_rate": "learning_rate",
                 "epsilon": "epsilon", "max_list_presentations": "max_presentations", "trim_option": "trim"}


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


def _default_feature_names(count):
    return ["x%d" % j for j in range(count)]


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
    max_presentations : int >= 1, default 100
        Most presentations of the whole training set.
    trim : bool, default False
        Leave out the nodes that no pattern of the last presentation selected.
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
    n_jobs : int or None, default None
        Processes that train a forest's members at once (joblib: None is one,
        -1 all cores; under `joblib.parallel_backend("dask")` the members are
        trained on the workers of a Dask cluster).

    Attributes
    ----------
    classes_ : ndarray of the class labels, sorted.
    templates_ : ndarray of shape (n_nodes, 2 * n_features)
        Each node's lower bounds, then its upper bounds, in the scaled space.
    node_labels_ : ndarray of shape (n_nodes,), the class of each node.
    n_presentations_ : int, presentations of the training set that training made.
    converged_ : bool, whether training ended because a presentation changed nothing.
    feature_min_, feature_max_ : ndarray of shape (n_features,), the training ranges.
    voters_ : list of (templates, node_labels, n_presentations) of further voting
        members, as a model file trained with `quorv train --votes N` holds them;
        empty after `fit`. With members, `predict` takes their majority vote:
        the members whose boxes take a pattern vote, a tie going to the
        earliest member's label; for a pattern none takes, the members' full
        answers (see `unclassified`).
    n_features_in_ : int; feature_names_in_ : ndarray, when fitted on a DataFrame.
    """

    def __init__(self, vigilance=0.75, min_size=0.0, learning_rate=1.0, epsilon=0.001, max_presentations=100,
                 trim=False, scale=True, unknown_label=None, shuffle=False, random_state=None, verbose=0,
                 n_estimators=1, max_features=1.0, max_samples=1.0, bootstrap=True, n_jobs=None,
                 unclassified="nearest"):
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

    def fit(self, X, y):
        """Trains on X (n_samples, n_features) and the labels y (numbers or strings)."""
        vigilance = _real("vigilance", self.vigilance)
        min_size = _real("min_size", self.min_size)
        learning_rate = _real("learning_rate", self.learning_rate)
        epsilon = _real("epsilon", self.epsilon)
        max_presentations = _whole("max_presentations", self.max_presentations)
        trim = _flag("trim", self.trim)
        scale = _flag("scale", self.scale)
        shuffle = _flag("shuffle", self.shuffle)
        verbose = _whole("verbose", self.verbose)
        n_estimators = _whole("n_estimators", self.n_estimators)
        if not 1 <= n_estimators <= _forest.MAX_MEMBERS:
            raise ValueError("n_estimators must be in [1, %d], got %r" % (_forest.MAX_MEMBERS, n_estimators))
        bootstrap = _flag("bootstrap", self.bootstrap)
        # A forest's members draw from the seed whether or not the rows are shuffled.
        seed = _seed(shuffle or n_estimators > 1, self.random_state)

        name = getattr(y, "name", None)  # a pandas Series names the label column
        X, y = self._validate_data(X, y, dtype=np.float64)
        check_classification_targets(y)
        classes, codes = np.unique(y, return_inverse=True)
        lo, hi, wide = _quorv.fit_scaling(X)
        if scale and wide is not None:
            raise ValueError("feature %d spans too wide a range to scale (try scale=False)" % wide)
        params = (vigilance, min_size, learning_rate, epsilon, max_presentations, 1 if trim else 0, verbose)
        draws, features = None, None
        if n_estimators == 1:
            order = _quorv.shuffled_rows(X.shape[0], seed) if seed >= 0 else None
            templates, node_codes, presentations = _host.train(
                X, codes.astype(np.float64), order, (lo, hi) if scale else None, *params)
            if node_codes.size == 0:
                raise ValueError("training made no nodes")
            members = [(templates, node_codes, presentations)]
        else:
            draws = _forest.Draws(seed=seed,
                                  sample_rows=_forest.amount("max_samples", self.max_samples, X.shape[0], "rows"),
                                  bootstrap=bootstrap,
                                  features=_forest.amount("max_features", self.max_features, X.shape[1],
                                                          "features", rules=True))
            fitted = _forest.fit_members(np.ascontiguousarray(X), codes.astype(np.float64),
                                         (lo, hi) if scale else None, draws, n_estimators, params, self.n_jobs)
            members = [(t, c, p) for t, c, p, _ in fitted]
            features = [f for _, _, _, f in fitted]
        # What the plug-in takes but a model file cannot hold (epsilon=inf): refused
        # here, by the rules the model reader applies, so that every model saves.
        _check_ranges(vigilance, min_size, learning_rate, epsilon, max_presentations, trim,
                      X.shape[1] if draws is None else draws.features)

        self.classes_ = classes
        self.templates_ = members[0][0]
        self.node_labels_ = classes[members[0][1].astype(np.intp)]
        self.n_presentations_ = int(members[0][2])
        self.converged_ = all(p < max_presentations for _, _, p in members)
        self.feature_min_, self.feature_max_ = lo, hi
        self.voters_ = [(t, classes[c.astype(np.intp)], int(p)) for t, c, p in members[1:]]
        self.estimators_features_ = features
        self._draws = draws
        self._label_column = name if isinstance(name, str) else "label"
        self._training_patterns = X.shape[0]
        self._ignored, self._shuffle_seed = [], seed
        self._format_version, self._class_codes = (1 if draws is None else 3), None
        return self

    def _scaling(self):
        return (self.feature_min_, self.feature_max_) if self.scale else None

    def _members(self):
        """Each voting member's templates and node codes (positions in classes_)."""
        members = [(self.templates_, self.node_labels_)] + [(t, l) for t, l, _ in getattr(self, "voters_", [])]
        return [(t, np.searchsorted(self.classes_, l).astype(np.float64)) for t, l in members]

    def _check_fitted(self):
        """The fitted attributes, checked before they reach a plug-in: each
        fault is named by its attribute."""
        check_is_fitted(self)
        n = getattr(self, "n_features_in_", None)
        classes = np.asarray(self.classes_)
        if classes.ndim != 1 or classes.size == 0:
            raise ValueError("classes_ must be a non-empty 1-D array of labels")
        if self.scale:
            for name in ("feature_min_", "feature_max_"):
                bounds = np.asarray(getattr(self, name), dtype=np.float64)
                if bounds.shape != (n,) or not np.all(np.isfinite(bounds)):
                    raise ValueError("%s must hold %d finite numbers, one per feature" % (name, n))
        members = [(self.templates_, self.node_labels_, "templates_", "node_labels_")] + \
            [(t, l, "voters_[%d][0]" % k, "voters_[%d][1]" % k) for k, (t, l, _) in enumerate(getattr(self, "voters_", []))]
        features = getattr(self, "estimators_features_", None)
        if features is not None:
            if len(features) != len(members) or not all(
                    np.asarray(f).ndim == 1 and len(f) and np.all(np.diff(f) > 0) and 0 <= f[0] and f[-1] < n
                    for f in features):
                raise ValueError("estimators_features_ must hold one ascending list of feature positions per member")
        for k, (templates, labels, t_name, l_name) in enumerate(members):
            templates = np.asarray(templates)
            m = n if features is None else len(features[k])  # a forest member's own features
            if templates.ndim != 2 or templates.shape[0] == 0 or templates.shape[1] != 2 * m:
                raise ValueError("%s must have at least one row of 2 * %d bounds (its features), got shape %r"
                                 % (t_name, m, templates.shape))
            t = templates.astype(np.float64)
            if not np.all(np.isfinite(t)) or np.any(t[:, :m] > t[:, m:]):
                raise ValueError("%s must hold finite bounds, each lower bound at most its upper bound" % t_name)
            labels = np.asarray(labels)
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
        self._check_fitted()
        X = self._validate_data(X, dtype=np.float64, reset=False)
        vigilance = _real("vigilance", self.vigilance)
        verbose = min(_whole("verbose", self.verbose), 3)
        nearest = _unclassified(getattr(self, "unclassified", "nearest"))  # pickled before it existed
        features = self.estimators_features_ if self._is_forest() else None
        return _host.predict(self._members(), features, X, self._scaling(), len(self.classes_), vigilance, nearest,
                             verbose, shares)

    def predict(self, X):
        """The class of each row of X."""
        codes, _ = self._codes_and_shares(X, shares=False)
        unclassified = np.flatnonzero(codes == _UNKNOWN_CODE)
        if self.unknown_label is not None or unclassified.size:
            return self._with_unknown(codes, unclassified)
        return self.classes_[codes.astype(np.intp)]

    def predict_proba(self, X):
        """Each row's vote shares, one column per class of classes_: for a
        forest, the share of its members answering each class; one-hot for a
        single model (as a 1-nearest-neighbour classifier gives); for members
        voting over shuffles, the shares among the members that voted. With
        unknown_label set or unclassified="unknown", a last column holds the
        unknown share. Rows sum to 1, and predict gives a class of the largest
        share (for a forest, the first of equal shares)."""
        _, shares = self._codes_and_shares(X)
        unknowns = self.unknown_label is not None or getattr(self, "unclassified", "nearest") == "unknown"
        return shares if unknowns else np.ascontiguousarray(shares[:, :-1])

    def _unknown_value(self):
        """unknown_label, or when None the tool's default: -1, or the first
        whole number below it that is no class (by value or text)."""
        if self.unknown_label is not None:
            return self.unknown_label
        taken = self.classes_.tolist()
        label = -1
        while any(c == label or str(c) == str(label) for c in taken):
            label -= 1
        return label

    def _with_unknown(self, codes, unclassified):
        label = self._unknown_value()
        unknown = np.asarray(label)
        if unknown.ndim != 0:
            raise ValueError("unknown_label must be one label, got %r" % (self.unknown_label,))
        # As the tool refuses it: the predictions could not tell "unclassified" from that class.
        if any(c == label or str(c) == str(label) for c in self.classes_.tolist()):
            raise ValueError("unknown_label %r is a class label of the model; choose a label no class uses"
                             % (self.unknown_label,))
        same_kind = (self.classes_.dtype.kind in "biuf") == (unknown.dtype.kind in "biuf")
        dtype = np.result_type(self.classes_.dtype, unknown.dtype) if same_kind else object
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
        failure leaves the old file as it was. Classes that are whole numbers are
        stored as themselves; any others by name (their text), which format 2 of
        the file holds."""
        self._check_fitted()
        names = list(getattr(self, "feature_names_in_", _default_feature_names(self.n_features_in_)))
        codes, class_names = _file_classes(self.classes_, getattr(self, "_class_codes", None))
        members = [(self.templates_, self.node_labels_, self.n_presentations_)] + list(getattr(self, "voters_", []))
        node_codes = [codes[np.searchsorted(self.classes_, labels)] for _, labels, _ in members]
        features = getattr(self, "estimators_features_", None) or [None] * len(members)
        by_code = np.argsort(codes, kind="stable")  # the file lists classes by ascending code
        codes, class_names = codes[by_code], [class_names[k] for k in by_code]
        model = dict(
            version=int(getattr(self, "_format_version", 1)), label_name=getattr(self, "_label_column", "label"),
            scaled=bool(self.scale), feature_names=[_text("feature name", n) for n in names],
            feature_min=np.asarray(self.feature_min_, dtype=np.float64),
            feature_max=np.asarray(self.feature_max_, dtype=np.float64),
            ignored=list(getattr(self, "_ignored", [])), class_codes=codes, class_names=class_names,
            training_patterns=int(getattr(self, "_training_patterns", 1)),
            vigilance=_real("vigilance", self.vigilance), min_size=_real("min_size", self.min_size),
            learning_rate=_real("learning_rate", self.learning_rate), epsilon=_real("epsilon", self.epsilon),
            max_list_presentations=_whole("max_presentations", self.max_presentations),
            trim_option=1 if _flag("trim", self.trim) else 0, shuffle_seed=int(getattr(self, "_shuffle_seed", -1)),
            members=[(np.asarray(t, dtype=np.float64), c, float(p), f)
                     for (t, _, p), c, f in zip(members, node_codes, features)],
            forest=None if not self._is_forest() else dict(
                sample_rows=int(self._draws.sample_rows), bootstrap=bool(self._draws.bootstrap),
                features=int(self._draws.features)))
        _quorv.save_model(os.fspath(path), model)


def _check_ranges(vigilance, min_size, learning_rate, epsilon, max_presentations, trim, features):
    fault = _quorv.check_params(vigilance, min_size, learning_rate, epsilon, max_presentations, 1 if trim else 0,
                                features)
    if fault is not None:
        raise ValueError("%s (parameter %s)" % (fault[1], _PARAMETER_OF[fault[0]]))


def _text(what, name):
    if not isinstance(name, str):
        raise ValueError("%s %r cannot be written to a model file: not a str" % (what, name))
    return name


def _file_classes(classes, codes=None):
    """The classes' codes (float64, in the order of classes_) and names as the
    file holds them: the codes a loaded file gave them, else whole numbers in
    the int range as themselves and any other classes coded 1, 2, ... by their
    text, as the command-line tool codes text labels."""
    values = [c.item() if hasattr(c, "item") else c for c in classes]
    if all(isinstance(v, numbers.Real) and not isinstance(v, bool) and float(v).is_integer() and
           -_INT_MAX - 1 <= v <= _INT_MAX for v in values):
        numeric = np.array([float(v) for v in values])
        return numeric, [_quorv.format_double(v) for v in numeric]
    names = [_quorv.format_double(v) if isinstance(v, float) else str(v) for v in values]
    if len(set(names)) != len(names):
        raise ValueError("two classes have the same text, which the model file cannot tell apart: %r" % names)
    if codes is not None and len(codes) == len(names):
        return np.asarray(codes, dtype=np.float64), names
    return np.arange(1.0, len(names) + 1.0), names


def load(path):
    """A fitted QuorvClassifier from a model file of the command-line tool, read
    by the tool's own reader (the same refusals, word for word). `get_params`
    gives the settings the file records, so that `clone(model).fit(X, y)` on
    the same data writes the same file."""
    m = _quorv.read_model(os.fspath(path))
    seed = m["shuffle_seed"]
    model = QuorvClassifier(vigilance=m["vigilance"], min_size=m["min_size"], learning_rate=m["learning_rate"],
                            epsilon=m["epsilon"], max_presentations=m["max_list_presentations"],
                            trim=bool(m["trim_option"]), scale=m["scaled"], shuffle=seed >= 0,
                            random_state=seed if seed >= 0 else None)
    codes, names = m["class_codes"], m["class_names"]
    if all(name == _quorv.format_double(code) for code, name in zip(codes.tolist(), names)):
        model.classes_ = codes.astype(np.int64)
        values = model.classes_  # in file order, which is ascending
        model._class_codes = None
    else:
        by_name = sorted(range(len(names)), key=names.__getitem__)
        values = np.empty(len(names), dtype=object)
        values[:] = names
        model.classes_ = values[by_name]
        model._class_codes = codes[by_name]

    def labels_of(node_codes):
        return values[np.searchsorted(codes, node_codes)]

    members = [(templates, labels_of(node_codes), int(presentations))
               for templates, node_codes, presentations, _ in m["members"]]
    model.templates_, model.node_labels_, model.n_presentations_ = members[0]
    model.voters_ = members[1:]
    model.converged_ = model.n_presentations_ < m["max_list_presentations"]
    model.feature_min_, model.feature_max_ = m["feature_min"], m["feature_max"]
    model.n_features_in_ = len(m["feature_names"])
    if m["feature_names"] != _default_feature_names(model.n_features_in_):
        model.feature_names_in_ = np.array(m["feature_names"], dtype=object)
    model._label_column = m["label_name"]
    model._training_patterns = m["training_patterns"]
    model._ignored = m["ignored"]
    model._shuffle_seed = seed
    model._format_version = m["version"]
    model.estimators_features_, model._draws = None, None
    forest = m["forest"]
    if forest is not None:  # the settings that draw the same forest again
        model._draws = _forest.Draws(seed=seed, sample_rows=forest["sample_rows"], bootstrap=forest["bootstrap"],
                                     features=forest["features"])
        model.estimators_features_ = [features for _, _, _, features in m["members"]]
        model.set_params(n_estimators=len(members), max_features=forest["features"],
                         max_samples=forest["sample_rows"], bootstrap=forest["bootstrap"], shuffle=False)
        model.converged_ = all(p < m["max_list_presentations"] for _, _, p in members)
    return model
