"""The command-line tool's model file: read and written exactly as the tool does.

One record a line, a keyword then its values; every double in the shortest text
that reads back to the same bits, spelled as the tool spells it, so that a model
written here and one written by the tool from the same training are the same
bytes.
"""

import math
import re
import struct
from dataclasses import dataclass, field
from decimal import Decimal
from typing import List

MAGIC = "quorv-model"
VERSION = 1
_INT_MIN, _INT_MAX = -(2 ** 31), 2 ** 31 - 1
_LONG_MAX = 2 ** 63 - 1
_MAX_FEATURES = _INT_MAX // 2  # template rows hold 2M values in a plug-in int

_DEFAULT_NAN_BITS = struct.unpack("<Q", struct.pack("<d", float("nan")))[0]
_DECIMAL = re.compile(r"(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?\Z")
_WHOLE = re.compile(r"[+-]?[0-9]+\Z")


@dataclass
class Model:
    """What a model file holds; templates row-major, nodes x 2M."""
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
    list_presentations: float
    labels: List[float] = field(default_factory=list)
    templates: List[List[float]] = field(default_factory=list)


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


def parse_double(text):
    """A finite double in the tool's number syntax, or None."""
    body = text[1:] if text[:1] in "+-" else text
    if not _DECIMAL.match(body):
        return None  # also refuses inf and nan: no record of a model may hold them
    value = float(body)
    if math.isinf(value) or (value == 0 and body.lower().split("e")[0].strip("0.") != ""):
        return None  # out of the double range; the tool refuses it rather than rounding to inf or 0
    return -value if text.startswith("-") else value


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
        """The text after "key " on the next line."""
        self.line += 1
        if self.pos == len(self.text):
            self.fail("ends where '%s' was expected" % key)
        end = self.text.find("\n", self.pos)
        if end < 0:
            self.fail("last line has no line end")
        line = self.text[self.pos:end]
        self.pos = end + 1
        if len(line) <= len(key) + 1 or not line.startswith(key + " "):
            self.fail("expected '%s ...', found '%s'" % (key, line[:40]))
        return line[len(key) + 1:]

    def expect_end(self):
        self.line += 1
        if self.pos != len(self.text):
            self.fail("unexpected text after the last node")

    def number(self, text, what):
        value = parse_double(text)
        if value is None:
            self.fail("%s '%s' is not a finite number" % (what, text))
        return value

    def integer(self, text, what, lo, hi):
        if not _WHOLE.match(text) or not lo <= int(text) <= hi:
            self.fail("%s '%s' is not a whole number in [%d, %d]" % (what, text, lo, hi))
        return int(text)

    def name(self, text, what, taken):
        if not text:
            self.fail("%s has no name" % what)
        if text in taken:
            self.fail("name '%s' is used twice" % text)
        taken.add(text)
        return text


def _field(rest):
    first, _, after = rest.partition(" ")
    return first, after


def parse_model(text, path):
    """The model in a file's text; ValueError "PATH:LINE: ..." for anything else."""
    if not text.startswith(MAGIC + " "):
        raise ValueError("%s is not a quorv model file (its first line is not '%s %d')" % (path, MAGIC, VERSION))
    r = _Reader(text, path)
    version = r.expect(MAGIC)
    if version != str(VERSION):
        r.fail("model format version '%s' is not supported (this quorv reads %d)" % (version, VERSION))
    label_name = r.expect("label_column")
    taken = {label_name}
    scaling = r.expect("scaling")
    if scaling not in ("min-max", "none"):
        r.fail("scaling must be 'min-max' or 'none'")
    features = r.integer(r.expect("features"), "feature count", 1, _MAX_FEATURES)
    names, lo, hi = [], [], []
    for _ in range(features):
        rest = r.expect("feature")
        low, rest = _field(rest)
        high, rest = _field(rest)
        lo.append(r.number(low, "feature minimum"))
        hi.append(r.number(high, "feature maximum"))
        if lo[-1] > hi[-1]:
            r.fail("feature minimum %s is above its maximum %s" % (low, high))
        names.append(r.name(rest, "feature", taken))

    patterns = r.integer(r.expect("training_patterns"), "training pattern count", 1, _LONG_MAX)
    vigilance = r.number(r.expect("vigilance"), "vigilance")
    if not 0 <= vigilance <= 1:
        r.fail("vigilance %s is not in [0, 1]" % format_double(vigilance))
    min_size = r.number(r.expect("min_size"), "min_size")
    if not 0 <= min_size <= features * (1.0 - vigilance):
        r.fail("min_size %s is not in [0, M*(1-vigilance)]" % format_double(min_size))
    learning_rate = r.number(r.expect("learning_rate"), "learning_rate")
    if not 0 < learning_rate <= 1:
        r.fail("learning_rate %s is not in (0, 1]" % format_double(learning_rate))
    epsilon = r.number(r.expect("epsilon"), "epsilon")
    if epsilon < 0:
        r.fail("epsilon %s is negative" % format_double(epsilon))
    most = r.integer(r.expect("max_list_presentations"), "max_list_presentations", 1, _INT_MAX)
    trim = r.integer(r.expect("trim_option"), "trim_option", 0, 1)
    presentations = r.number(r.expect("list_presentations"), "list_presentations")

    model = Model(label_name, scaling == "min-max", names, lo, hi, patterns, vigilance, min_size,
                  learning_rate, epsilon, most, trim, presentations)
    nodes = r.integer(r.expect("nodes"), "node count", 1, _INT_MAX)
    width = 2 * features
    for _ in range(nodes):
        rest = r.expect("node")
        text, rest = _field(rest)
        label = r.number(text, "node label")
        if label != math.trunc(label) or not _INT_MIN <= label <= _INT_MAX:
            r.fail("node label %s is not a whole number in the int range" % format_double(label))
        row = []
        for j in range(width):
            if not rest:
                r.fail("node has %d bounds, not %d" % (j, width))
            text, rest = _field(rest)
            row.append(r.number(text, "node bound"))
        if rest:
            r.fail("node has more than %d bounds" % width)
        for j in range(features):
            if row[j] > row[features + j]:
                r.fail("node's lower bound %s is above its upper bound %s" %
                       (format_double(row[j]), format_double(row[features + j])))
        model.labels.append(label)
        model.templates.append(row)
    r.expect_end()
    return model


def model_text(m):
    """The file's text for a model; parse_model gives it back bit for bit."""
    out = ["%s %d" % (MAGIC, VERSION), "label_column " + m.label_name,
           "scaling " + ("min-max" if m.scaled else "none"), "features %d" % len(m.feature_names)]
    for lo, hi, name in zip(m.feature_min, m.feature_max, m.feature_names):
        out.append("feature %s %s %s" % (format_double(lo), format_double(hi), name))
    out += ["training_patterns %d" % m.training_patterns,
            "vigilance " + format_double(m.vigilance),
            "min_size " + format_double(m.min_size),
            "learning_rate " + format_double(m.learning_rate),
            "epsilon " + format_double(m.epsilon),
            "max_list_presentations %d" % m.max_list_presentations,
            "trim_option %d" % m.trim_option,
            "list_presentations " + format_double(m.list_presentations),
            "nodes %d" % len(m.labels)]
    for label, row in zip(m.labels, m.templates):
        out.append("node " + " ".join(format_double(v) for v in [label] + list(row)))
    return "\n".join(out) + "\n"
