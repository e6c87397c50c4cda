"""QuorvClassifier: the training and classification plug-ins as a scikit-learn estimator."""

import numbers
import os
import tempfile

import numpy as np
from sklearn.base import BaseEstimator, ClassifierMixin
from sklearn.utils import check_random_state
from sklearn.utils.multiclass import check_classification_targets
from sklearn.utils.validation import check_is_fitted

from . import _host, _modelfile

_INT_MAX = 2 ** 31 - 1
_UNKNOWN_CODE = -1.0  # never a class code: codes are 0, 1, ...


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


def _default_feature_names(count):
    return ["x%d" % j for j in range(count)]


def _ranges(X):
    """Each feature's minimum and maximum, each the first of equal values in row
    order (as the command-line tool takes them), so that even the sign of a zero
    bound agrees with the tool's."""
    lo, hi = X.min(axis=0), X.max(axis=0)
    for bound in (lo, hi):
        for j in np.flatnonzero(bound == 0):
            column = X[:, j]
            bound[j] = column[np.argmax(column == 0)]
    return lo, hi


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
        What `predict` gives a pattern that no box passing the vigilance test
        takes. None gives the label of the nearest box instead (classification
        again at vigilance 0, in a second plug-in call); a pattern that not
        even that classifies (its grown box would span n_features or more with
        every node, possible only far outside the training range) gets the
        class with the most nodes.
    shuffle : bool, default False
        Present the training patterns in a random order. Training depends on
        the order; by default it is the order of the rows, as on the command line.
    random_state : int, RandomState or None, default None
        Seeds the order when `shuffle` is True.
    verbose : int, default 0
        The plug-ins' console detail (0 silent, 1 summary, 2 to 4 add a trace;
        classification stops at 3), printed to sys.stdout.

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
        empty after `fit`. With members, `predict` takes their majority vote.
    n_features_in_ : int; feature_names_in_ : ndarray, when fitted on a DataFrame.
    """

    def __init__(self, vigilance=0.75, min_size=0.0, learning_rate=1.0, epsilon=0.001, max_presentations=100,
                 trim=False, scale=True, unknown_label=None, shuffle=False, random_state=None, verbose=0):
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

        name = getattr(y, "name", None)  # a pandas Series names the label column
        X, y = self._validate_data(X, y, dtype=np.float64)
        check_classification_targets(y)
        classes, codes = np.unique(y, return_inverse=True)
        lo, hi = _ranges(X)
        if scale:
            spans = hi - lo
            wide = np.flatnonzero(~np.isfinite(spans))
            if wide.size:
                raise ValueError("feature %d spans too wide a range to scale (try scale=False)" % wide[0])
        order = check_random_state(self.random_state).permutation(X.shape[0]) if shuffle else None
        if order is not None:
            order = np.ascontiguousarray(order, dtype=np.int64)

        templates, node_codes, presentations = _host.train(
            X, codes.astype(np.float64), order, (lo, hi) if scale else None, vigilance, min_size,
            learning_rate, epsilon, max_presentations, 1 if trim else 0, verbose)
        if node_codes.size == 0:
            raise ValueError("training made no nodes")

        self.classes_ = classes
        self.templates_ = templates
        self.node_labels_ = classes[node_codes.astype(np.intp)]
        self.n_presentations_ = int(presentations)
        self.converged_ = self.n_presentations_ < max_presentations
        self.feature_min_, self.feature_max_ = lo, hi
        self.voters_ = []
        self._label_column = name if isinstance(name, str) else "label"
        self._training_patterns = X.shape[0]
        self._ignored, self._shuffle_seed = [], -1
        return self

    def _scaling(self):
        return (self.feature_min_, self.feature_max_) if self.scale else None

    def _members(self):
        """Each voting member's templates and node codes (positions in classes_)."""
        members = [(self.templates_, self.node_labels_)] + [(t, l) for t, l, _ in getattr(self, "voters_", [])]
        return [(t, np.searchsorted(self.classes_, l).astype(np.float64)) for t, l in members]

    def _voted(self, members, X, vigilance, verbose):
        """Every member's codes for X; with several members, the majority of the
        answers that are not unknown, a tie going to the earliest member among
        the tied ones (as the command-line tool votes)."""
        answers = [_host.classify(t, codes, vigilance, X, self._scaling(), _UNKNOWN_CODE, verbose)
                   for t, codes in members]
        if len(answers) == 1:
            return answers[0]
        best = np.full(X.shape[0], _UNKNOWN_CODE)
        best_count = np.zeros(X.shape[0], dtype=np.intp)
        for label in answers:
            count = sum((other == label).astype(np.intp) for other in answers)
            better = (label != _UNKNOWN_CODE) & (count > best_count)
            best[better], best_count[better] = label[better], count[better]
        return best

    def predict(self, X):
        """The class of each row of X."""
        check_is_fitted(self)
        X = self._validate_data(X, dtype=np.float64, reset=False)
        vigilance = _real("vigilance", self.vigilance)
        verbose = min(_whole("verbose", self.verbose), 3)
        members = self._members()
        codes = self._voted(members, X, vigilance, verbose)
        unclassified = np.flatnonzero(codes == _UNKNOWN_CODE)
        if self.unknown_label is not None:
            return self._with_unknown(codes, unclassified)
        if unclassified.size and vigilance > 0:
            codes[unclassified] = self._voted(members, X[unclassified], 0.0, verbose)
            unclassified = unclassified[codes[unclassified] == _UNKNOWN_CODE]
        if unclassified.size:
            # The class with the most nodes; the first of equals.
            nodes = np.concatenate([c for _, c in members]).astype(np.intp)
            codes[unclassified] = np.argmax(np.bincount(nodes, minlength=len(self.classes_)))
        return self.classes_[codes.astype(np.intp)]

    def _with_unknown(self, codes, unclassified):
        unknown = np.asarray(self.unknown_label)
        if unknown.ndim != 0:
            raise ValueError("unknown_label must be one label, got %r" % (self.unknown_label,))
        same_kind = (self.classes_.dtype.kind in "biuf") == (unknown.dtype.kind in "biuf")
        dtype = np.result_type(self.classes_.dtype, unknown.dtype) if same_kind else object
        codes[unclassified] = 0
        labels = self.classes_.astype(dtype)[codes.astype(np.intp)]
        labels[unclassified] = self.unknown_label
        return labels

    # ---- the command-line tool's model file ----

    def save(self, path):
        """Writes the model in the command-line tool's model file format, which
        `quorv classify` reads (and `quorv.load` reads back bit for bit).
        Classes that are whole numbers are stored as themselves; any others by
        name (their text), which format 2 of the file holds."""
        check_is_fitted(self)
        names = list(getattr(self, "feature_names_in_", _default_feature_names(self.n_features_in_)))
        label_column = getattr(self, "_label_column", "label")
        ignored = list(getattr(self, "_ignored", []))
        for name in names + [label_column] + ignored:
            _check_name("column name", name)
        if len(set(names + [label_column] + ignored)) != len(names) + len(ignored) + 1:
            raise ValueError("the feature names and the label column name %r must all differ" % label_column)
        classes = _file_classes(self.classes_)
        members = [(self.templates_, self.node_labels_, self.n_presentations_)] + list(getattr(self, "voters_", []))
        model = _modelfile.Model(
            label_column, bool(self.scale), names, [float(v) for v in self.feature_min_],
            [float(v) for v in self.feature_max_], int(getattr(self, "_training_patterns", 1)),
            float(self.vigilance), float(self.min_size), float(self.learning_rate), float(self.epsilon),
            int(self.max_presentations), 1 if self.trim else 0,
            members=[_modelfile.Member(float(presentations),
                                       [classes[i][0] for i in np.searchsorted(self.classes_, labels)],
                                       [[float(v) for v in row] for row in templates])
                     for templates, labels, presentations in members],
            classes=classes, ignored=ignored, shuffle_seed=int(getattr(self, "_shuffle_seed", -1)))
        _write_atomically(os.fspath(path), _modelfile.model_text(model))


def _check_name(what, name):
    """A name the model file can hold on the rest of a line, and that reads back the same."""
    if not isinstance(name, str) or not name or name[0] in " \t" or name[-1] in " \t" or \
            any(c in name for c in "\r\n"):
        raise ValueError("%s %r cannot be written to a model file (empty, a blank at an end, or a line break)"
                         % (what, name))


def _file_classes(classes):
    """(code, name) per class, in the order of classes_: whole numbers in the int
    range are their own codes; otherwise codes 1, 2, ... and the classes' text,
    as the command-line tool codes text labels."""
    values = [c.item() if hasattr(c, "item") else c for c in classes]
    if all(isinstance(v, numbers.Real) and not isinstance(v, bool) and float(v).is_integer() and
           -_INT_MAX - 1 <= v <= _INT_MAX for v in values):
        return [(float(v), _modelfile.format_double(float(v))) for v in values]
    names = [_modelfile.format_double(v) if isinstance(v, float) else str(v) for v in values]
    for name in names:
        _check_name("class name", name)
    if len(set(names)) != len(names):
        raise ValueError("two classes have the same text, which the model file cannot tell apart: %r" % names)
    return [(float(k + 1), name) for k, name in enumerate(names)]


def _write_atomically(path, text):
    """Writes through a temporary file in the same folder, so that a failure
    never leaves a half-written model."""
    folder = os.path.dirname(os.path.abspath(path))
    fd, temporary = tempfile.mkstemp(prefix=".quorv-", suffix=".tmp", dir=folder)
    try:
        with os.fdopen(fd, "w", encoding="utf-8", newline="\n") as out:
            out.write(text)
            out.flush()
            os.fsync(out.fileno())
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(temporary, 0o666 & ~umask)
        os.replace(temporary, path)
    except BaseException:
        if os.path.exists(temporary):
            os.unlink(temporary)
        raise


def load(path):
    """A fitted QuorvClassifier from a model file of the command-line tool."""
    path = os.fspath(path)
    with open(path, "rb") as f:
        data = f.read(65536)
        magic = (_modelfile.MAGIC + " ").encode()
        if data[:len(magic)] == magic[:len(data)]:  # anything else (a huge data file) is not read on
            data += f.read()
    try:
        # Not a model at all: the reader says so, whatever the bytes are.
        text = data.decode("utf-8", errors="strict" if data.startswith(magic) else "replace")
    except UnicodeDecodeError:
        raise ValueError("%s is not a quorv model file (not UTF-8 text)" % path) from None
    m = _modelfile.parse_model(text, path)
    model = QuorvClassifier(vigilance=m.vigilance, min_size=m.min_size, learning_rate=m.learning_rate,
                            epsilon=m.epsilon, max_presentations=m.max_list_presentations,
                            trim=bool(m.trim_option), scale=m.scaled)
    if all(name == _modelfile.format_double(code) for code, name in m.classes):
        model.classes_ = np.array([code for code, _ in m.classes], dtype=np.int64)
        label_of = {code: int(code) for code, _ in m.classes}
    else:
        model.classes_ = np.array(sorted(name for _, name in m.classes))
        label_of = dict(m.classes)
    width = 2 * len(m.feature_names)
    members = [(np.array(member.templates, dtype=np.float64).reshape(len(member.labels), width),
                np.array([label_of[code] for code in member.labels], dtype=model.classes_.dtype),
                int(member.list_presentations)) for member in m.members]
    model.templates_, model.node_labels_, model.n_presentations_ = members[0]
    model.voters_ = members[1:]
    model.converged_ = model.n_presentations_ < m.max_list_presentations
    model.feature_min_ = np.array(m.feature_min, dtype=np.float64)
    model.feature_max_ = np.array(m.feature_max, dtype=np.float64)
    model.n_features_in_ = len(m.feature_names)
    if m.feature_names != _default_feature_names(len(m.feature_names)):
        model.feature_names_in_ = np.array(m.feature_names, dtype=object)
    model._label_column = m.label_name
    model._training_patterns = m.training_patterns
    model._ignored = m.ignored
    model._shuffle_seed = m.shuffle_seed
    return model
