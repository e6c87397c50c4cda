"""The command-line tool's model file: read and written exactly as the tool does.

One record a line, a keyword then its values; every double in the shortest text
that reads back to the same bits, spelled as the tool spells it, so that a model
written here and one written by the tool from the same training are the same
bytes. Format 2 adds named classes, ignored columns, the row order and voting
members; a model that needs none of them is written as format 1.
"""

import math
import re
import struct
from dataclasses import dataclass, field
from decimal import Decimal
from typing import List, Tuple

MAGIC = "quorv-model"
VERSION = 2  # the newest; 1 and 2 are read
_MAX_MEMBERS = 1000
_INT_MIN, _INT_MAX = -(2 ** 31), 2 ** 31 - 1
_LONG_MAX = 2 ** 63 - 1
_MAX_FEATURES = _INT_MAX // 2  # template rows hold 2M values in a plug-in int

_DEFAULT_NAN_BITS = struct.unpack("<Q", struct.pack("<d", float("nan")))[0]
_DECIMAL = re.compile(r"(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?\Z")
_SPECIAL = re.compile(r"(?:inf|infinity|nan(?:\([0-9A-Za-z_]*\))?)\Z", re.IGNORECASE)
_WHOLE = re.compile(r"(?:\+|-)?[0-9]+\Z")


@dataclass
class Member:
    """The nodes of one training run: one label and one template row each."""
    list_presentations: float
    labels: List[float] = field(default_factory=list)
    templates: List[List[float]] = field(default_factory=list)


@dataclass
class Model:
    """What a model file holds; template rows are M lower bounds, then M upper bounds."""
    label_name: str
    scaled: bool
    feature_names: List[str]
    feature_min: List[float]
    feature_max: List[float]
    training_patterns: int
    vigilance: float
    min_size: float
    learning_rate: float
    epsilon: float
    max_list_presentations: int
    trim_option: int
    members: List[Member] = field(default_factory=list)  # the first, then the other voters
    classes: List[Tuple[float, str]] = field(default_factory=list)  # (code, name), codes ascending
    ignored: List[str] = field(default_factory=list)  # data columns left out of the features
    shuffle_seed: int = -1  # -1: trained in file order


def format_double(value):
    """The shortest text that reads back to the same bits, as the tool writes it:
    fixed or exponent notation, whichever is shorter (fixed on a tie)."""
    if math.isnan(value):
        bits = struct.unpack("<Q", struct.pack("<d", value))[0]
        if bits == _DEFAULT_NAN_BITS:
            return "nan"
        return "%snan(0x%x)" % ("-" if bits >> 63 else "", bits & ((1 << 52) - 1))
    if math.isinf(value):
        return "-inf" if value < 0 else "inf"
    sign = "-" if math.copysign(1.0, value) < 0 else ""
    if value == 0:
        return sign + "0"
    # repr gives the shortest round-tripping digits; only their layout differs.
    _, digit_tuple, exponent = Decimal(repr(abs(value))).normalize().as_tuple()
    digits = "".join(map(str, digit_tuple))
    n = len(digits)
    if exponent >= 0:
        fixed = str(int(abs(value)))  # a whole number in fixed form shows all its exact digits
    elif -exponent < n:
        fixed = digits[: n + exponent] + "." + digits[n + exponent:]
    else:
        fixed = "0." + "0" * (-exponent - n) + digits
    power = exponent + n - 1
    scientific = digits[0] + ("." + digits[1:] if n > 1 else "") + "e" + ("-" if power < 0 else "+") + \
        "%02d" % abs(power)
    return sign + (fixed if len(fixed) <= len(scientific) else scientific)


def _parse_nan(body, negative):
    """"nan", or "nan(0xHEX)" with the payload the tool writes."""
    bits = _DEFAULT_NAN_BITS & ~(1 << 63)
    if body != "nan":
        found = re.fullmatch(r"nan\(0x([0-9a-fA-F]+)\)", body)
        if not found or not 0 < int(found.group(1), 16) < (1 << 52):
            return None
        bits = 0x7FF0000000000000 | int(found.group(1), 16)
    if negative:
        bits |= 1 << 63
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


def parse_double(text):
    """A double in the tool's number syntax (decimal, inf, nan), or None; text
    beyond the double range is refused, not rounded to inf or 0."""
    negative = text.startswith("-")
    body = text[1:] if text[:1] in ("+", "-") else text
    if body.startswith("nan"):
        return _parse_nan(body, negative)
    if _DECIMAL.match(body):
        value = float(body)
        if math.isinf(value) or (value == 0 and body.lower().split("e")[0].strip("0.") != ""):
            return None
    elif _SPECIAL.match(body):
        value = float("nan") if body[0] in "nN" else float("inf")
    else:
        return None
    return -value if negative else value


class _Reader:
    """Walks the text line by line; every record must come in its place."""

    def __init__(self, text, path):
        self.text = text
        self.path = path
        self.pos = 0
        self.line = 0

    def fail(self, what):
        raise ValueError("%s:%d: %s" % (self.path, self.line, what))

    def expect(self, key):
        """The text after "key " on the next line (which may end in CR LF)."""
        self.line += 1
        if self.pos == len(self.text):
            self.fail("ends where '%s' was expected" % key)
        end = self.text.find("\n", self.pos)
        if end < 0:
            self.fail("last line has no line end")
        line = self.text[self.pos:end]
        self.pos = end + 1
        if line.endswith("\r"):
            line = line[:-1]
        if len(line) <= len(key) + 1 or not line.startswith(key + " "):
            self.fail("expected '%s ...', found '%s'" % (key, line[:40]))
        if line[-1] in " \t\r":
            self.fail("blank at the end of the line")
        return line[len(key) + 1:]

    def expect_end(self):
        self.line += 1
        if self.pos != len(self.text):
            self.fail("unexpected text after the last node")

    def name(self, text, what):
        if not text:
            self.fail("%s has no name" % what)
        if text[0] in " \t":
            self.fail("%s name '%s' begins with a blank" % (what, text[:40]))
        return text

    def number(self, text, what, fits=None, range_text=None):
        value = parse_double(text)
        if value is None:
            body = text[1:] if text[:1] in "+-" else text
            self.fail("%s '%s' is %s" % (what, text, "out of the range of doubles" if _DECIMAL.match(body)
                                         else "not a number"))
        if fits is not None and not fits(value):
            self.fail("%s '%s' in the model file is not %s" % (what, text, range_text))
        return value

    def integer(self, text, what, lo, hi):
        if not _WHOLE.match(text) or not lo <= int(text) <= hi:
            self.fail("%s '%s' is not a whole number in [%d, %d]" % (what, text, lo, hi))
        return int(text)


def _field(rest):
    first, _, after = rest.partition(" ")
    return first, after


def _read_member(r, model, named_classes):
    """The records of one member's nodes; with named classes, labels must be class codes."""
    member = Member(float(r.integer(r.expect("list_presentations"), "list_presentations", 0,
                                    model.max_list_presentations)))
    nodes = r.integer(r.expect("nodes"), "node count", 1, _INT_MAX)
    features = len(model.feature_names)
    width = 2 * features
    codes = {code for code, _ in model.classes}
    for k in range(nodes):
        rest = r.expect("node")
        text, rest = _field(rest)
        label = r.number(text, "node label")
        if not (math.isfinite(label) and label == math.trunc(label) and _INT_MIN <= label <= _INT_MAX):
            r.fail("node label %s is not a whole number in the int range" % format_double(label))
        if named_classes and label not in codes:
            r.fail("node label %s is not a class of the model" % format_double(label))
        row = []
        for j in range(width):
            if not rest:
                r.fail("node has %d bounds, not %d" % (j, width))
            text, rest = _field(rest)
            row.append(r.number(text, "node bound", math.isfinite, "a finite number"))
        if rest:
            r.fail("node has more than %d bounds" % width)
        for j in range(features):
            if not row[j] <= row[features + j]:
                r.fail("node %d: lower bound %s is above the upper bound %s of feature '%s'" %
                       (k + 1, format_double(row[j]), format_double(row[features + j]), model.feature_names[j]))
        member.labels.append(label)
        member.templates.append(row)
    return member


def parse_model(text, path):
    """The model in a file's text; ValueError "PATH:LINE: ..." for anything else."""
    if not text.startswith(MAGIC + " "):
        raise ValueError("%s is not a quorv model file (its first line is not '%s %d')" % (path, MAGIC, VERSION))
    r = _Reader(text, path)
    version = r.expect(MAGIC)
    if version not in ("1", "2"):
        r.fail("model format version '%s' is not supported (this quorv reads 1 to %d)" % (version, VERSION))
    v2 = version == "2"
    label_name = r.name(r.expect("label_column"), "label column")
    scaling = r.expect("scaling")
    if scaling not in ("min-max", "none"):
        r.fail("scaling must be 'min-max' or 'none'")
    features = r.integer(r.expect("features"), "feature count", 1, _MAX_FEATURES)
    names, lo, hi, taken = [], [], [], {label_name}
    for _ in range(features):
        rest = r.expect("feature")
        low, rest = _field(rest)
        high, rest = _field(rest)
        low = r.number(low, "feature minimum", math.isfinite, "a finite number")
        high = r.number(high, "feature maximum", math.isfinite, "a finite number")
        name = r.name(rest, "feature")
        if not low <= high:
            r.fail("feature '%s': minimum %s is above the maximum %s" % (name, format_double(low), format_double(high)))
        if scaling == "min-max" and not math.isfinite(high - low):
            r.fail("feature '%s': the range from %s to %s is too wide to scale" %
                   (name, format_double(low), format_double(high)))
        if name in taken:
            r.fail("name '%s' is used twice" % name)
        taken.add(name)
        names.append(name)
        lo.append(low)
        hi.append(high)
    ignored, classes = [], []
    if v2:
        for _ in range(r.integer(r.expect("ignored"), "ignored column count", 0, _INT_MAX)):
            name = r.name(r.expect("ignore"), "ignored column")
            if name in taken:
                r.fail("name '%s' is used twice" % name)
            taken.add(name)
            ignored.append(name)
        class_names = set()
        for _ in range(r.integer(r.expect("classes"), "class count", 1, _INT_MAX)):
            rest = r.expect("class")
            text, rest = _field(rest)
            code = r.number(text, "class code")
            name = r.name(rest, "class")
            if not (math.isfinite(code) and code == math.trunc(code) and _INT_MIN <= code <= _INT_MAX):
                r.fail("class code %s is not a whole number in the int range" % format_double(code))
            if classes and not classes[-1][0] < code:
                r.fail("class codes must ascend")
            if name in class_names:
                r.fail("class name '%s' is used twice" % name)
            class_names.add(name)
            classes.append((code, name))

    # The training parameters, each in the range the training plug-in accepts.
    patterns = r.integer(r.expect("training_patterns"), "training pattern count", 1, _LONG_MAX)
    vigilance = r.number(r.expect("vigilance"), "vigilance", lambda v: 0 <= v <= 1, "a number in [0, 1]")
    text = r.expect("min_size")
    min_size = r.number(text, "min_size", lambda v: v >= 0, "a number >= 0")
    if not min_size <= features * (1.0 - vigilance):
        r.fail("min_size '%s' in the model file is above M*(1-vigilance)" % text)
    learning_rate = r.number(r.expect("learning_rate"), "learning_rate", lambda v: 0 < v <= 1,
                             "a number in (0, 1]")
    epsilon = r.number(r.expect("epsilon"), "epsilon", lambda v: 0 <= v < math.inf, "a finite number >= 0")
    most = r.integer(r.expect("max_list_presentations"), "max_list_presentations", 1, _INT_MAX)
    trim = r.integer(r.expect("trim_option"), "trim_option", 0, 1)
    model = Model(label_name, scaling == "min-max", names, lo, hi, patterns, vigilance, min_size,
                  learning_rate, epsilon, most, trim, classes=classes, ignored=ignored)

    members = 1
    if v2:
        order = r.expect("order")
        if order.startswith("shuffled "):
            model.shuffle_seed = r.integer(order[9:], "shuffle seed", 0, _LONG_MAX // 2)
        elif order != "file":
            r.fail("order must be 'file' or 'shuffled SEED'")
        members = r.integer(r.expect("members"), "member count", 1, _MAX_MEMBERS)
    for i in range(members):
        if v2 and r.expect("member") != str(i + 1):
            r.fail("expected 'member %d'" % (i + 1))
        model.members.append(_read_member(r, model, v2))
    r.expect_end()
    if not v2:  # format 1 knows labels as numbers only
        model.classes = [(code, format_double(code)) for code in sorted(set(model.members[0].labels))]
    return model


def fits_format_1(m):
    """Format 1 holds one member trained in file order, whose classes are numbers
    named by themselves, with nodes in every class, and no ignored columns."""
    if len(m.members) != 1 or m.shuffle_seed >= 0 or m.ignored:
        return False
    codes = sorted(set(m.members[0].labels))
    return [c for c, _ in m.classes] == codes and all(name == format_double(c) for c, name in m.classes)


def _node_lines(member):
    out = ["list_presentations " + format_double(member.list_presentations), "nodes %d" % len(member.labels)]
    for label, row in zip(member.labels, member.templates):
        out.append("node " + " ".join(format_double(v) for v in [label] + list(row)))
    return out


def model_text(m):
    """The file's text for a model, as format 1 when it holds the model; parse_model
    gives it back bit for bit."""
    v1 = fits_format_1(m)
    out = ["%s %d" % (MAGIC, 1 if v1 else 2), "label_column " + m.label_name,
           "scaling " + ("min-max" if m.scaled else "none"), "features %d" % len(m.feature_names)]
    for lo, hi, name in zip(m.feature_min, m.feature_max, m.feature_names):
        out.append("feature %s %s %s" % (format_double(lo), format_double(hi), name))
    if not v1:
        out.append("ignored %d" % len(m.ignored))
        out += ["ignore " + name for name in m.ignored]
        out.append("classes %d" % len(m.classes))
        out += ["class %s %s" % (format_double(code), name) for code, name in m.classes]
    out += ["training_patterns %d" % m.training_patterns,
            "vigilance " + format_double(m.vigilance),
            "min_size " + format_double(m.min_size),
            "learning_rate " + format_double(m.learning_rate),
            "epsilon " + format_double(m.epsilon),
            "max_list_presentations %d" % m.max_list_presentations,
            "trim_option %d" % m.trim_option]
    if v1:
        out += _node_lines(m.members[0])
    else:
        out += ["order " + ("file" if m.shuffle_seed < 0 else "shuffled %d" % m.shuffle_seed),
                "members %d" % len(m.members)]
        for i, member in enumerate(m.members):
            out.append("member %d" % (i + 1))
            out += _node_lines(member)
    return "\n".join(out) + "\n"
