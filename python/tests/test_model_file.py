"""Models shared with the command-line tool, and the model file itself."""

import os
import shutil
import subprocess

import numpy as np
import pandas as pd
import pytest

import quorv
from conftest import dataset
from quorv._quorv import format_double

CASES = [("iris", [], {}),
         ("glass", ["--no-scale", "--trim", "--vigilance", "0.9", "--learning-rate", "0.5"],
          dict(scale=False, trim=True, vigilance=0.9, learning_rate=0.5))]


def run(*args):
    return subprocess.run(list(args), capture_output=True, text=True, check=True).stdout


@pytest.mark.parametrize("name, options, params", CASES)
def test_python_and_the_command_line_train_the_same_model_file(cli, tmp_path, name, options, params):
    csv, X, y = dataset(name)
    run(cli, "train", csv, "-o", str(tmp_path / "cli.model"), "--verbose", "0", *options)
    python = quorv.QuorvClassifier(**params).fit(X, y)
    python.save(tmp_path / "python.model")
    assert (tmp_path / "python.model").read_bytes() == (tmp_path / "cli.model").read_bytes()

    loaded = quorv.load(tmp_path / "cli.model")
    assert loaded.templates_.tobytes() == python.templates_.tobytes()
    np.testing.assert_array_equal(loaded.node_labels_, python.node_labels_)
    # A file records merging only where it merged something (none here): read as off,
    # which refits these data to the same file; the limit and trim as they were taken.
    assert loaded.get_params() == dict(python.get_params(), merge_conflicts=False, max_presentations=100,
                                       trim=params.get("trim", False))

    # The tool classifies with the model Python wrote as Python does (unknown -1 in both).
    run(cli, "classify", str(tmp_path / "python.model"), csv, "-o", str(tmp_path / "p.csv"), "--verbose", "0")
    by_cli = pd.read_csv(tmp_path / "p.csv")["label"].to_numpy()
    np.testing.assert_array_equal(python.set_params(unknown_label=-1).predict(X), by_cli)
    np.testing.assert_array_equal(loaded.set_params(unknown_label=-1).predict(X), by_cli)


def test_model_files_round_trip_bit_for_bit(tmp_path):
    _, X, y = dataset("wine")
    model = quorv.QuorvClassifier(learning_rate=0.3, epsilon=1e-7, shuffle=True, random_state=3).fit(X * 1e-3, y)
    model.save(tmp_path / "m.model")
    back = quorv.load(tmp_path / "m.model")
    for attribute in ("templates_", "feature_min_", "feature_max_", "node_labels_"):
        assert getattr(back, attribute).tobytes() == getattr(model, attribute).tobytes(), attribute
    assert list(back.feature_names_in_) == list(model.feature_names_in_)
    back.save(tmp_path / "again.model")
    assert (tmp_path / "again.model").read_bytes() == (tmp_path / "m.model").read_bytes()
    np.testing.assert_array_equal(back.predict(X * 1e-3), model.predict(X * 1e-3))


@pytest.mark.parametrize("value, text", [
    (0.75, "0.75"), (1.0, "1"), (-0.0, "-0"), (1e-300, "1e-300"), (100000.0, "1e+05"), (0.0001, "1e-04"),
    (123456.0, "123456"), (2.0 ** 60, "1152921504606846976"), (0.41666666666666663, "0.41666666666666663"),
])
def test_numbers_are_spelled_as_the_tool_spells_them(value, text):
    assert format_double(value) == text


GOOD = ("quorv-model 1\nlabel_column label\nscaling min-max\nfeatures 2\nfeature 0 1 a\nfeature 0 2 b\n"
        "training_patterns 2\nvigilance 0.75\nmin_size 0\nlearning_rate 1\nepsilon 0.001\n"
        "max_list_presentations 100\ntrim_option 0\nlist_presentations 2\nnodes 2\n"
        "node 1 0 0 0.5 0.5\nnode 2 0.5 0.5 1 1\n")


GOOD2 = GOOD.replace("quorv-model 1\n", "quorv-model 2\n").replace(
    "training_patterns", "ignored 1\nignore id\nclasses 2\nclass 1 a\nclass 2 b\ntraining_patterns").replace(
    "list_presentations 2\n", "order file\nmembers 2\nmember 1\nlist_presentations 2\n") + \
    "member 2\nlist_presentations 1\nnodes 1\nnode 1 0 0 1 1\n"


@pytest.mark.parametrize("old, new, message", [
    ("quorv-model 1\n", "quorv-model 9\n", "1: model format version '9' is not supported (this quorv reads 1 to 4)"),
    ("feature 0 2 b\n", "feature 0 2 a\n", "6: name 'a' is used twice"),
    ("feature 0 2 b\n", "feature 0 2  b\n", "6: feature name ' b' begins with a blank"),
    ("feature 0 2 b\n", "feature 2 0 b\n", "6: feature 'b': minimum 2 is above the maximum 0"),
    ("feature 0 2 b\n", "feature 0 inf b\n", "6: feature maximum 'inf' in the model file is not a finite number"),
    ("feature 0 2 b\n", "feature -1e308 1e308 b\n", "6: feature 'b': the range from -1e+308 to 1e+308 is too wide"),
    ("epsilon 0.001\n", "epsilon x\n", "11: epsilon 'x' is not a number"),
    ("epsilon 0.001\n", "epsilon 1e999\n", "11: epsilon '1e999' is out of the range of doubles"),
    ("epsilon 0.001\n", "epsilon 0.001 \n", "11: blank at the end of the line"),
    ("vigilance 0.75\n", "vigilance nan\n", "8: vigilance 'nan' in the model file is not a number in [0, 1]"),
    ("min_size 0\n", "min_size 0.6\n", "9: min_size '0.6' in the model file is above M*(1-vigilance)"),
    ("trim_option 0\n", "trim_option 7\n", "13: trim_option '7' is not a whole number in [0, 1]"),
    ("list_presentations 2\n", "list_presentations 2.5\n", "14: list_presentations '2.5' is not a whole number"),
    ("nodes 2\n", "nodes 0\n", "15: node count '0' is not a whole number"),
    ("node 1 0 0 0.5 0.5\n", "node 1 0 0 0.5\n", "16: node has 3 bounds, not 4"),
    ("node 1 0 0 0.5 0.5\n", "node 1 0 0 0.5 0.5 1\n", "16: node has more than 4 bounds"),
    ("node 1 0 0 0.5 0.5\n", "node -nan 0 0 0.5 0.5\n", "16: node label -nan(0x8000000000000) is not a whole"),
    ("node 1 0 0 0.5 0.5\n", "node 1 0.6 0 0.5 0.5\n", "16: node 1: lower bound 0.6 is above the upper bound 0.5 of feature 'a'"),
    ("node 2 0.5 0.5 1 1\n", "node 2 0.5 0.5 1 1\nnode 3\n", "18: unexpected text after the last node"),
    ("node 2 0.5 0.5 1 1\n", "node 2 0.5 0.5 1 1", "17: last line has no line end"),
    ("node 2 0.5 0.5 1 1\n", "", "17: ends where 'node' was expected"),
    # format 2
    ("class 2 b\n", "class 1 b\n", "11: class codes must ascend"),
    ("class 2 b\n", "class 2 a\n", "11: class name 'a' is used twice"),
    ("order file\n", "order random\n", "19: order must be 'file' or 'shuffled SEED'"),
    ("member 2\n", "member 3\n", "26: expected 'member 2'"),
    ("nodes 1\nnode 1 ", "nodes 1\nnode 3 ", "29: node label 3 is not a class of the model"),
    ("ignore id\n", "ignore a\n", "8: name 'a' is used twice"),
])
def test_the_reader_is_as_strict_as_the_tools(cli, tmp_path, old, new, message):
    good = GOOD if old in GOOD else GOOD2
    assert old in good
    path = tmp_path / "m.model"
    path.write_text(good.replace(old, new))
    with pytest.raises(ValueError) as refused:
        quorv.load(path)
    assert str(refused.value).startswith("%s:%s" % (path, message))
    (tmp_path / "d.csv").write_text("a,b\n0.5,0.5\n")
    tool = subprocess.run([cli, "classify", str(path), str(tmp_path / "d.csv")], capture_output=True, text=True)
    assert tool.stderr == "quorv: %s\n" % refused.value


def test_crlf_line_ends_are_read_as_the_tool_reads_them(tmp_path):
    (tmp_path / "m.model").write_bytes(GOOD.replace("\n", "\r\n").encode())
    assert quorv.load(tmp_path / "m.model").templates_.tolist() == [[0, 0, 0.5, 0.5], [0.5, 0.5, 1, 1]]


@pytest.mark.parametrize("text, classes", [(GOOD, [1, 2]), (GOOD2, ["a", "b"])])
def test_good_files_load_classify_and_write_back_the_same(tmp_path, text, classes):
    (tmp_path / "m.model").write_text(text)
    model = quorv.load(tmp_path / "m.model")
    assert model.classes_.tolist() == classes and model.n_features_in_ == 2
    np.testing.assert_array_equal(model.predict(pd.DataFrame({"a": [0.1, 0.9], "b": [0.2, 1.8]})), classes)
    model.save(tmp_path / "again.model")
    assert (tmp_path / "again.model").read_text() == text


def test_text_labels_and_voting_members_shared_with_the_tool(cli, tmp_path):
    _, X, y = dataset("iris")
    names = y.map({1: "setosa", 2: "versicolor", 3: "virginica"})
    X.assign(label=names).to_csv(tmp_path / "train.csv", index=False)
    (X * 1.05 + 0.1).to_csv(tmp_path / "new.csv", index=False)
    run(cli, "train", str(tmp_path / "train.csv"), "-o", str(tmp_path / "one.model"), "--verbose", "0")
    quorv.QuorvClassifier().fit(X, names).save(tmp_path / "python.model")
    assert (tmp_path / "python.model").read_bytes() == (tmp_path / "one.model").read_bytes()

    run(cli, "train", str(tmp_path / "train.csv"), "-o", str(tmp_path / "votes.model"), "--votes", "3")
    model = quorv.load(tmp_path / "votes.model")
    assert list(model.classes_) == ["setosa", "versicolor", "virginica"] and len(model.voters_) == 2
    model.save(tmp_path / "again.model")
    assert (tmp_path / "again.model").read_bytes() == (tmp_path / "votes.model").read_bytes()
    for options, unknown, how in (([], None, "nearest"), (["--unclassified", "unknown"], "-1", "unknown")):
        run(cli, "classify", str(tmp_path / "votes.model"), str(tmp_path / "new.csv"), "-o",
            str(tmp_path / "p.csv"), "--vigilance", "0.95", *options)
        by_cli = pd.read_csv(tmp_path / "p.csv", dtype=str)["label"].to_numpy()
        model.set_params(vigilance=0.95, unknown_label=unknown, unclassified=how)
        np.testing.assert_array_equal(model.predict(X * 1.05 + 0.1), by_cli)


@pytest.mark.parametrize("classes", [["a", " b"], ["a", "b\nc"], ["a", "b "]])
def test_save_refuses_what_the_file_cannot_hold(tmp_path, classes):
    model = quorv.QuorvClassifier().fit([[0.0], [1.0]], classes)
    with pytest.raises(ValueError, match="the model cannot be written.* class name"):
        model.save(tmp_path / "m.model")
    assert os.listdir(tmp_path) == []  # nothing half-written


@pytest.mark.parametrize("labels, back", [
    (np.array([3, -7], dtype=np.int32), [-7, 3]),
    (np.array([1.0, 2.0]), [1, 2]),                                     # whole floats: as int
    (np.array([2 ** 31 - 1, -2 ** 31]), [-2 ** 31, 2 ** 31 - 1]),
    (np.array([1, 2], dtype=np.uint64), [1, 2]),
    (np.array(["b", "a"]), ["a", "b"]),
    (np.array(["2", "5"], dtype=object), ["2", "5"]),                   # text, coded 1 and 2
    (np.array([False, True]), "class False (bool) cannot be saved: the model file would give it back as 'False' (str)"),
    (np.array([0, 2 ** 31]), "class 2147483648 (int) cannot be saved"),
    (np.array([5, 2 ** 40]), "class 1099511627776 (int) cannot be saved"),
    (np.array([1, 2 ** 63], dtype=np.uint64), "class 9223372036854775808 (int) cannot be saved"),
    (np.array(["1", "2"]), "class '1' (str) cannot be saved: the model file would give it back as 1 (int)"),
])
def test_classes_come_back_as_they_were_or_are_refused(tmp_path, labels, back):
    model = quorv.QuorvClassifier().fit(np.arange(4.0).reshape(4, 1), np.repeat(labels, 2))
    if isinstance(back, str):
        with pytest.raises(ValueError) as refused:
            model.save(tmp_path / "m.model")
        assert str(refused.value).startswith(back)
        assert os.listdir(tmp_path) == []
        return
    model.save(tmp_path / "m.model")
    loaded = quorv.load(tmp_path / "m.model")
    assert loaded.classes_.tolist() == back and [type(c) for c in loaded.classes_.tolist()] == [type(b) for b in back]
    assert loaded.score(np.arange(4.0).reshape(4, 1), np.repeat(labels, 2)) == 1.0


def test_paths_as_open_takes_them(tmp_path):
    model = quorv.QuorvClassifier().fit([[0.0], [1.0]], [1, 2])
    (tmp_path / "notes.txt").write_text("notes")
    for call in (model.save, quorv.load):
        with pytest.raises(ValueError, match="^embedded null byte$"):
            call(str(tmp_path / "notes.txt\0.model"))
        with pytest.raises(ValueError, match="^embedded null byte$"):
            call(os.fsencode(tmp_path / "notes.txt\0.model"))
        with pytest.raises(ValueError, match="path '.*\\\\ud800.model' is no file name this system can spell"):
            call(str(tmp_path / "\ud800.model"))
        with pytest.raises(TypeError, match="path must be a str, bytes or os.PathLike, got int"):
            call(3)
    assert sorted(os.listdir(tmp_path)) == ["notes.txt"] and (tmp_path / "notes.txt").read_text() == "notes"
    escaped = os.fsdecode(os.fsencode(tmp_path) + b"/caf\xe9.model")  # a name that is not UTF-8, as listdir gives it
    model.save(escaped)
    assert sorted(os.listdir(os.fsencode(tmp_path))) == [b"caf\xe9.model", b"notes.txt"]
    assert quorv.load(escaped).classes_.tolist() == [1, 2]
    with pytest.raises(ValueError, match=r"cannot read .*/caf\\xe9.model.mis: No such file"):
        quorv.load(escaped + ".mis")


def test_the_bindings_take_paths_as_open_takes_them(tmp_path, monkeypatch):
    (tmp_path / "notes.txt").write_text("notes")
    for call in (quorv._quorv.read_model, lambda path: quorv._quorv.save_model(path, {})):
        with pytest.raises(ValueError, match="^embedded null byte$"):
            call(str(tmp_path / "notes.txt\0.model"))
    assert (tmp_path / "notes.txt").read_text() == "notes"
    # The plug-ins are found in a folder whose name is no UTF-8 text.
    model = quorv.QuorvClassifier().fit([[0.0], [1.0]], [1, 2])
    odd = os.path.join(os.fsencode(tmp_path), b"plug\xffins")
    os.mkdir(odd)
    plugins = os.path.dirname(quorv._host.plugin_path("quorv_perf"))
    for name in os.listdir(plugins):
        if os.path.isfile(os.path.join(plugins, name)):
            shutil.copy(os.path.join(plugins, name), os.fsdecode(odd))
    monkeypatch.setenv("QUORV_PLUGIN_DIR", os.fsdecode(odd))
    assert model.predict([[1.0]]).tolist() == [2]


@pytest.mark.parametrize("options, params", [
    ([], {}),
    (["--no-merge", "--max-presentations", "5"], dict(merge_conflicts=False, max_presentations=5)),
    (["--votes", "4", "--max-features", "0.5", "--seed", "3", "--jobs", "1"],
     dict(n_estimators=4, max_features=0.5, random_state=3, oob_score=True)),
])
def test_conflicts_are_merged_the_same_by_python_and_the_tool(cli, tmp_path, options, params):
    _, X, y = dataset("iris")
    X = np.round(np.asarray(X, dtype=np.float64))  # a few levels: identical rows of different classes
    csv = tmp_path / "rounded.csv"
    with open(csv, "w") as f:
        f.write("a,b,c,d,label\n")
        for row, label in zip(X, y):
            f.write(",".join(format_double(v) for v in row) + ",%s\n" % label)
    out = run(cli, "train", str(csv), "-o", str(tmp_path / "cli.model"), *options)
    python = quorv.QuorvClassifier(**params).fit(pd.DataFrame(X, columns=list("abcd")), pd.Series(y, name="label"))
    python.save(tmp_path / "python.model")
    text = (tmp_path / "cli.model").read_text()
    assert (tmp_path / "python.model").read_text() == text
    merge = params.get("merge_conflicts", True)
    assert (python.merged_patterns_ > 0) == merge
    assert ("\nConflicts: %d patterns merged" % python.merged_patterns_ in out) == merge
    assert ("\nsettings %d\nconflicts merge %d\n" % (1 + params.get("oob_score", False), python.merged_patterns_)
            in text) == merge
    assert text.startswith("quorv-model 4\n" if merge else "quorv-model 1\n")
    loaded = quorv.load(tmp_path / "cli.model")
    assert loaded.merge_conflicts == merge and loaded.merged_patterns_ == python.merged_patterns_
    # A refit of the loaded model's settings writes the same file.
    quorv.QuorvClassifier(**loaded.get_params()).fit(pd.DataFrame(X, columns=list("abcd")),
                                                     pd.Series(y, name="label")).save(tmp_path / "refit.model")
    assert (tmp_path / "refit.model").read_text() == text


def test_missing_median_gives_the_tools_model_file_and_answers(cli, tmp_path):
    from quorv import _quorv
    X = np.array([[0.1, np.nan], [0.5, 0.2], [0.9, 0.6], [np.nan, np.nan]])
    medians = _quorv.feature_medians(X)
    assert list(medians) == [0.5, 0.4]
    assert np.array_equal(_quorv.fill_missing(medians, X), [[0.1, 0.4], [0.5, 0.2], [0.9, 0.6], [0.5, 0.4]])

    data = tmp_path / "d.csv"
    data.write_text("a,b,label\n0.1,0.2,1\n0.5,,2\n0.9,0.6,2\n")
    run(cli, "train", str(data), "-o", str(tmp_path / "cli.model"), "--missing", "median", "--verbose", "0")
    assert "\nsettings 1\nmissing median 0.5 0.4\n" in (tmp_path / "cli.model").read_text()
    frame = pd.DataFrame({"a": [0.1, 0.5, 0.9], "b": [0.2, np.nan, 0.6]})
    python = quorv.QuorvClassifier(missing="median").fit(frame, pd.Series([1, 2, 2], name="label"))
    python.save(tmp_path / "python.model")
    assert (tmp_path / "python.model").read_bytes() == (tmp_path / "cli.model").read_bytes()

    holes = pd.DataFrame({"a": [np.nan, 0.9, np.nan], "b": [0.2, np.nan, np.nan]})
    (tmp_path / "holes.csv").write_text("a,b\n,0.2\n0.9,NA\n,\n")
    tool = run(cli, "classify", str(tmp_path / "cli.model"), str(tmp_path / "holes.csv")).split("\n")[1:-1]
    loaded = quorv.load(tmp_path / "cli.model")
    assert loaded.missing == "median"
    assert [str(v) for v in loaded.predict(holes)] == tool
    with pytest.raises(ValueError):
        quorv.QuorvClassifier().fit(frame, [1, 2, 2])
    with pytest.raises(ValueError, match="missing must be 'error' or 'median'"):
        quorv.QuorvClassifier(missing="mean").fit(frame.fillna(0), [1, 2, 2])
