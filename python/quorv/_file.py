"""The command-line tool's model file for QuorvClassifier: a fitted record
(_fitted.Fitted) and the parameters as the file holds them, both ways, through
the tool's own reader and writer; the classes coded by the tool's rule
(`_classes`), and refused on saving when the file could not give them back as
they are."""

import numbers
import os

import numpy as np

from . import _classes, _fitted, _forest, _quorv

_PARAMETER_OF = {"vigilance": "vigilance", "min_size": "min_size", "learning_rate": "learning_rate",
                 "epsilon": "epsilon", "max_list_presentations": "max_presentations", "trim_option": "trim"}


def default_feature_names(count):
    return ["x%d" % j for j in range(count)]


def path_argument(path, name="path"):
    """A file name for the bindings: bytes as the system spells it (str through
    the file system encoding, so surrogate-escaped names work as with
    `open()`); an embedded NUL refused as `open()` refuses it."""
    try:
        encoded = os.fsencode(path)
    except TypeError:
        raise TypeError("%s must be a str, bytes or os.PathLike, got %s" % (name, type(path).__name__)) from None
    except UnicodeError as error:
        raise ValueError("%s %r is no file name this system can spell: %s" % (name, path, error)) from None
    if b"\0" in encoded:
        raise ValueError("embedded null byte")
    return encoded


def _value(label):
    return label.item() if isinstance(label, np.generic) else label


def _text(label):
    return _quorv.format_double(label) if isinstance(label, float) else str(label)


def file_classes(classes):
    """(codes, names) of classes_ (one each, in the order of classes_) by the
    tool's rule: whole numbers in the int range are their own codes, any other
    classes are coded by their text."""
    values = [_value(c) for c in classes]
    if all(isinstance(v, numbers.Real) and not isinstance(v, bool) for v in values):
        try:
            coded = _classes.code_numbers(np.array(values, dtype=np.float64))
        except OverflowError:  # ints beyond the doubles
            coded = None
        if coded is not None:
            return coded
    names = [_text(v) for v in values]
    if len(set(names)) != len(names):
        raise ValueError("two classes have the same text, which the model file cannot tell apart: %r" % names)
    return _classes.code_names(names)


def classes_of_file(codes, names):
    """classes_ of a file's classes (by ascending code), sorted, and their
    codes in that order: numbers when every class is named by its code,
    else the names as str."""
    codes = np.asarray(codes, dtype=np.float64)
    if _classes.numbered(codes, names):
        return codes.astype(np.int64), codes
    by_name = sorted(range(len(names)), key=names.__getitem__)
    values = np.empty(len(names), dtype=object)
    values[:] = [names[k] for k in by_name]
    return values, codes[by_name]


def _class_code(value):
    """Whether the file holds a label as its own code (the core library's rule)."""
    try:
        return isinstance(value, numbers.Real) and not isinstance(value, bool) and \
            _classes.code_numbers(np.array([value], dtype=np.float64)) is not None
    except OverflowError:
        return False


def _check_given_back(classes, codes, names):
    """Refuses classes the file would give back as other values or kinds
    (booleans, whole numbers beyond the int range and fractions come back as
    text, text spelling the codes 1, 2, ... as numbers), naming the first
    culprit: a number that is no class code turns the others into text."""
    numbered = _classes.numbered(np.asarray(codes, dtype=np.float64), names)
    wrong = []
    for label, code, name in zip(classes, codes, names):
        value, again = _value(label), int(code) if numbered else name
        numeric = isinstance(value, numbers.Real) and not isinstance(value, bool)
        if numeric != numbered or (value != again if numeric else not isinstance(value, str)):
            wrong.append((_class_code(value), value, again))
    if wrong:
        _, value, again = min(wrong, key=lambda w: w[0])
        raise ValueError("class %r (%s) cannot be saved: the model file would give it back as %r (%s). It gives "
                         "back whole numbers in the 32-bit int range as int and text as str (text that spells the "
                         "codes 1, 2, ... as int): refit with labels of those kinds" % (
                             value, type(value).__name__, again, type(again).__name__))


def _by_code(codes, names):
    order = np.argsort(codes, kind="stable")  # the file lists classes by ascending code
    return np.asarray(codes, dtype=np.float64)[order], [names[k] for k in order]


def model_dict(state, params, feature_names):
    """The model file's content of a fitted record and the parameters (as
    the estimator checked them), for _quorv.save_model."""
    if state.class_codes is not None and len(state.class_codes) == len(state.classes):
        codes, names = state.class_codes, [_text(_value(c)) for c in state.classes]
    else:
        codes, names = file_classes(state.classes)
        _check_given_back(state.classes, codes, names)
    codes = np.asarray(codes, dtype=np.float64)
    node_codes = [codes[np.searchsorted(state.classes, m.node_labels)] for m in state.members]
    codes, names = _by_code(codes, names)
    forest = state.draws if state.is_forest() else None
    return dict(
        version=state.format_version, label_name=state.label_column, scaled=params["scale"],
        feature_names=[_name("feature name", n) for n in feature_names],
        feature_min=np.asarray(state.feature_min, dtype=np.float64),
        feature_max=np.asarray(state.feature_max, dtype=np.float64),
        ignored=list(state.ignored), class_codes=codes, class_names=names,
        training_patterns=state.training_patterns, vigilance=params["vigilance"], min_size=params["min_size"],
        learning_rate=params["learning_rate"], epsilon=params["epsilon"],
        max_list_presentations=params["max_presentations"], trim_option=1 if params["trim"] else 0,
        shuffle_seed=state.shuffle_seed, merged_patterns=state.merged_patterns if params["merge_conflicts"] else 0,
        missing_medians=None if state.missing_medians is None else np.asarray(state.missing_medians, np.float64),
        oob=state.oob,
        members=[(np.asarray(m.templates, dtype=np.float64), c, float(m.n_presentations), m.features)
                 for m, c in zip(state.members, node_codes)],
        forest=None if forest is None else dict(sample_rows=int(forest.sample_rows),
                                                bootstrap=bool(forest.bootstrap), features=int(forest.features)))


def _name(what, name):
    if not isinstance(name, str):
        raise ValueError("%s %r cannot be written to a model file: not a str" % (what, name))
    return name


def check_ranges(vigilance, min_size, learning_rate, epsilon, max_presentations, trim, features):
    """What the plug-in takes but a model file cannot hold (epsilon=inf),
    refused by the rules the model reader applies."""
    fault = _quorv.check_params(vigilance, min_size, learning_rate, epsilon, max_presentations, 1 if trim else 0,
                                features)
    if fault is not None:
        raise ValueError("%s (parameter %s)" % (fault[1], _PARAMETER_OF[fault[0]]))


def read(path):
    """(parameters, fitted record) of a model file, read by the tool's reader."""
    m = _quorv.read_model(path_argument(path))
    seed = m["shuffle_seed"]
    params = dict(vigilance=m["vigilance"], min_size=m["min_size"], learning_rate=m["learning_rate"],
                  epsilon=m["epsilon"], max_presentations=m["max_list_presentations"], trim=bool(m["trim_option"]),
                  scale=m["scaled"], shuffle=seed >= 0, random_state=seed if seed >= 0 else None,
                  merge_conflicts=m["merged_patterns"] > 0,  # no record: merging off, or nothing merged
                  missing="error" if m.get("missing_medians") is None else "median", oob_score=m["oob"] is not None)
    classes, codes = classes_of_file(m["class_codes"], m["class_names"])
    file_codes = np.asarray(m["class_codes"], dtype=np.float64)
    values = classes[np.argsort(codes, kind="stable")]  # in the file's order, by ascending code
    members = [(t, values[np.searchsorted(file_codes, c)], int(p), f) for t, c, p, f in m["members"]]
    forest, draws = m["forest"], None
    if forest is not None:  # the settings that draw the same forest again
        draws = _forest.Draws(seed=seed, sample_rows=forest["sample_rows"], bootstrap=forest["bootstrap"],
                              features=forest["features"])
        params.update(n_estimators=len(members), max_features=forest["features"], max_samples=forest["sample_rows"],
                      bootstrap=forest["bootstrap"], shuffle=False)
    names = m["feature_names"]
    state = _fitted.fitted(
        classes=classes, members=members, feature_min=m["feature_min"], feature_max=m["feature_max"],
        n_features_in=len(names),
        feature_names_in=None if names == default_feature_names(len(names)) else np.array(names, dtype=object),
        converged=all(p < m["max_list_presentations"] for _, _, p, _ in m["members"]), draws=draws,
        label_column=m["label_name"], training_patterns=m["training_patterns"], ignored=m["ignored"],
        shuffle_seed=seed, format_version=m["version"],
        class_codes=None if classes.dtype != object else codes, merged_patterns=m["merged_patterns"],
        missing_medians=m.get("missing_medians"), oob=m["oob"])
    return params, state


def write(path, model_content):
    _quorv.save_model(path_argument(path), model_content)
