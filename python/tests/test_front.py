"""The Python package on the tool's own rules: model files read and written by
the shared library, saving through the tool's output code, refits that
reproduce a file, and models pickled by the first release."""

import os
import pickle
import signal
import stat
import subprocess
import threading
import time

import dask.array as da
import numpy as np
import pandas as pd
import pytest
from sklearn.base import clone

import quorv
import quorv.dask
from conftest import HERE, dataset


def run(*args):
    return subprocess.run(list(args), capture_output=True, text=True, check=True).stdout


@pytest.fixture(scope="module")
def iris_named(tmp_path_factory):
    _, X, y = dataset("iris")
    names = y.map({1: "setosa", 2: "versicolor", 3: "virginica"}).rename("species")
    folder = tmp_path_factory.mktemp("iris")
    X.assign(row=range(len(X)), species=names).to_csv(folder / "named.csv", index=False)
    return folder / "named.csv", X, names


HAND_MADE = [
    # format 1, as the first release wrote it
    "quorv-model 1\nlabel_column label\nscaling min-max\nfeatures 2\nfeature 0 1 a\nfeature -0 2 b\n"
    "training_patterns 2\nvigilance 0.75\nmin_size 0\nlearning_rate 1\nepsilon 0.001\n"
    "max_list_presentations 100\ntrim_option 0\nlist_presentations 2\nnodes 2\n"
    "node 1 0 0 0.5 0.5\nnode 2 0.5 0.5 1 1\n",
    # format 2 whose content format 1 could hold: stays format 2
    "quorv-model 2\nlabel_column label\nscaling none\nfeatures 1\nfeature 0 1 a\nignored 0\nclasses 2\n"
    "class 1 1\nclass 2 2\ntraining_patterns 2\nvigilance 0.5\nmin_size 0\nlearning_rate 1\nepsilon 0.001\n"
    "max_list_presentations 100\ntrim_option 1\norder file\nmembers 1\nmember 1\nlist_presentations 1\n"
    "nodes 2\nnode 1 0 0\nnode 2 1 1\n",
    # named classes with free codes, a class without nodes, a long name
    "quorv-model 2\nlabel_column k\nscaling min-max\nfeatures 1\nfeature 0 1 x\nignored 1\nignore id\n"
    "classes 3\nclass -7 b\nclass 4 a\nclass 9 " + "\u00e9" * 5000 + "\ntraining_patterns 3\nvigilance 0.75\n"
    "min_size 0\nlearning_rate 1\nepsilon 0.001\nmax_list_presentations 100\ntrim_option 0\n"
    "order shuffled 12\nmembers 1\nmember 1\nlist_presentations 3\nnodes 2\nnode 4 0 0.2\nnode -7 0.5 1\n",
]


def test_every_kind_of_file_reads_and_writes_back_byte_for_byte(cli, tmp_path, iris_named):
    csv, _, _ = iris_named
    kinds = [[], ["--no-scale", "--trim", "--vigilance", "0.9"], ["--shuffle", "--seed", "3"],
             ["--votes", "3", "--seed", "5"], ["--ignore", "row", "--learning-rate", "0.5"]]
    files = []
    for k, options in enumerate(kinds):
        path = tmp_path / ("tool%d.model" % k)
        run(cli, "train", str(csv), "-o", str(path), "--verbose", "0", *options)
        files.append(path.read_bytes())
    files += [text.encode() for text in HAND_MADE]
    for k, content in enumerate(files):
        (tmp_path / "in.model").write_bytes(content)
        model = quorv.load(tmp_path / "in.model")
        model.save(tmp_path / "out.model")
        assert (tmp_path / "out.model").read_bytes() == content, k
        # ... and the tool reads what Python wrote as it read the original.
        assert run(cli, "info", str(tmp_path / "out.model")).replace("out.model", "in.model") == \
            run(cli, "info", str(tmp_path / "in.model"))
    long_name = quorv.load(tmp_path / "in.model").classes_
    assert long_name.dtype == object and all(type(c) is str for c in long_name)


def test_a_wide_model_loads_in_one_pass(tmp_path):
    features = 200000
    lines = ["quorv-model 1", "label_column label", "scaling none", "features %d" % features]
    lines += ["feature 0 1 f%d" % j for j in range(features)]
    lines += ["training_patterns 1", "vigilance 0.75", "min_size 0", "learning_rate 1", "epsilon 0.001",
              "max_list_presentations 100", "trim_option 0", "list_presentations 1", "nodes 1",
              "node 1 " + " ".join(["0.25"] * features + ["0.5"] * features)]
    (tmp_path / "wide.model").write_text("\n".join(lines) + "\n")
    model = quorv.load(tmp_path / "wide.model")  # quadratic splitting took minutes here
    assert model.templates_.shape == (1, 2 * features) and model.feature_names_in_[-1] == "f199999"


def test_refit_of_a_loaded_model_writes_the_same_file(cli, tmp_path, iris_named):
    csv, X, names = iris_named
    run(cli, "train", str(csv), "-o", str(tmp_path / "tool.model"), "--shuffle", "--seed", "3",
        "--ignore", "row", "--verbose", "0")
    loaded = quorv.load(tmp_path / "tool.model")
    assert loaded.get_params()["shuffle"] is True and loaded.get_params()["random_state"] == 3
    refit = clone(loaded).fit(X, names)
    refit._fitted = refit._fitted._replace(ignored=("row",))  # a column the data frame never had
    refit.save(tmp_path / "refit.model")
    assert (tmp_path / "refit.model").read_bytes() == (tmp_path / "tool.model").read_bytes()

    # Without --ignore, straight from fit to save.
    run(cli, "train", str(csv), "-o", str(tmp_path / "t2.model"), "--shuffle", "--seed", "3", "--verbose", "0")
    quorv.QuorvClassifier(shuffle=True, random_state=3).fit(X.assign(row=range(len(X))), names).save(
        tmp_path / "p2.model")
    assert (tmp_path / "p2.model").read_bytes() == (tmp_path / "t2.model").read_bytes()


@pytest.mark.parametrize("random_state", [None, np.random.RandomState(4)])
def test_a_drawn_seed_is_recorded_and_reproduces_the_model(tmp_path, iris_named, random_state):
    _, X, names = iris_named
    model = quorv.QuorvClassifier(shuffle=True, random_state=random_state).fit(X, names)
    model.save(tmp_path / "m.model")
    seed = quorv.load(tmp_path / "m.model").get_params()["random_state"]
    assert isinstance(seed, int) and "order shuffled %d\n" % seed in (tmp_path / "m.model").read_text()
    again = quorv.QuorvClassifier(shuffle=True, random_state=seed).fit(X, names)
    assert again.templates_.tobytes() == model.templates_.tobytes()


def test_models_pickled_by_the_first_release_still_work():
    with open(os.path.join(HERE, "data", "pickled_1_0.pkl"), "rb") as f:
        old = pickle.load(f)
    for kind in ("named", "numbered"):
        np.testing.assert_array_equal(old[kind].predict(old["X"]), old[kind + "_predictions"])
        old[kind].save(os.devnull)  # saves with the attributes it had


def test_models_pickled_when_members_lived_in_two_places_predict_the_same():
    with open(os.path.join(HERE, "data", "pickled_two_places.pkl"), "rb") as f:
        old = pickle.load(f)
    for kind, case in old.items():
        model = case["model"]
        for again in (model, pickle.loads(pickle.dumps(model))):  # and in this release's layout
            np.testing.assert_array_equal(again.predict(case["X"]), case["predictions"], kind)
            proba = again.predict_proba(case["X"])
            np.testing.assert_array_equal(proba, case["proba"][:, :len(again.classes_)], kind)
            unknown = case["proba"][:, -1] if case["proba"].shape[1] > len(again.classes_) else 0.0
            np.testing.assert_array_equal(again.predict_unknown_share(case["X"]), unknown, kind)
            assert len(again.members_) == 1 + len(again.voters_) and again.get_params()["n_jobs"] is None
            again.save(os.devnull)
    assert len(old["votes"]["model"].voters_) == 2 and len(old["forest"]["model"].estimators_features_) == 4


def tool_and_python_outputs(cli, tmp_path, prepare):
    """Writes one model through the tool's -o and one through save, onto
    targets that `prepare(folder)` makes; returns the two folders."""
    _, X, y = dataset("iris")
    data = tmp_path / "iris.csv"
    X.assign(label=y).to_csv(data, index=False)
    folders = []
    for who in ("tool", "python"):
        folder = tmp_path / who
        folder.mkdir()
        target = prepare(folder)
        if who == "tool":
            subprocess.run([cli, "train", str(data), "-o", str(target), "--verbose", "0"], capture_output=True)
        else:
            try:
                quorv.QuorvClassifier().fit(X, y).save(target)
            except ValueError:
                pass
        folders.append(folder)
    return folders


def describe(folder):
    out = {}
    for name in sorted(os.listdir(folder)):
        s = os.lstat(folder / name)
        out[name] = (stat.S_IFMT(s.st_mode), stat.S_IMODE(s.st_mode), s.st_nlink,
                     os.readlink(folder / name) if stat.S_ISLNK(s.st_mode) else
                     (folder / name).read_bytes() if stat.S_ISREG(s.st_mode) else None)
    return out


def symlink(folder):
    (folder / "real.model").write_text("old")
    os.symlink("real.model", folder / "link.model")
    return folder / "link.model"


def two_links(folder):
    (folder / "a.model").write_text("old")
    os.chmod(folder / "a.model", 0o600)
    os.link(folder / "a.model", folder / "b.model")
    return folder / "a.model"


def read_only(folder):
    sub = folder / "ro"
    sub.mkdir()
    os.chmod(sub, 0o500)
    return sub / "m.model"


@pytest.mark.parametrize("prepare", [symlink, two_links, read_only])
def test_save_treats_its_target_as_the_tools_output_does(cli, tmp_path, prepare):
    if prepare is read_only and os.geteuid() == 0:
        pytest.skip("root writes into read-only folders")
    tool, python = tool_and_python_outputs(cli, tmp_path, prepare)
    assert describe(tool) == describe(python)
    for folder in (tool, python):
        for sub in folder.iterdir():
            if sub.is_dir():
                os.chmod(sub, 0o700)
                assert not list(sub.iterdir())


def test_save_writes_into_a_fifo_for_its_reader(tmp_path):
    _, X, y = dataset("iris")
    model = quorv.QuorvClassifier().fit(X, y)
    os.mkfifo(tmp_path / "pipe")
    got = []
    reader = threading.Thread(target=lambda: got.append((tmp_path / "pipe").read_bytes()))
    reader.start()
    model.save(tmp_path / "pipe")
    reader.join()
    model.save(tmp_path / "file.model")
    assert got == [(tmp_path / "file.model").read_bytes()]
    assert stat.S_ISFIFO(os.lstat(tmp_path / "pipe").st_mode)


def test_saving_from_threads_leaves_ctrl_c_to_python(tmp_path):
    _, X, y = dataset("iris")
    model = quorv.QuorvClassifier().fit(X, y)
    before = signal.getsignal(signal.SIGINT)
    threads = [threading.Thread(target=model.save, args=(tmp_path / ("m%d.model" % k),)) for k in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert (tmp_path / "m0.model").read_bytes() == (tmp_path / "m1.model").read_bytes()
    assert signal.getsignal(signal.SIGINT) is before
    with pytest.raises(KeyboardInterrupt):
        os.kill(os.getpid(), signal.SIGINT)
        time.sleep(1)
    assert sorted(os.listdir(tmp_path)) == ["m0.model", "m1.model"]


def test_models_that_would_not_read_back_and_broken_attributes_are_refused(tmp_path):
    _, X, y = dataset("iris")
    with pytest.raises(ValueError, match=r"epsilon inf is not a finite number >= 0 \(parameter epsilon\)"):
        quorv.QuorvClassifier(epsilon=float("inf")).fit(X, y)
    model = quorv.QuorvClassifier().fit(X, y)
    with pytest.raises(ValueError, match="unknown_label 2 is a class label of the model"):
        model.set_params(unknown_label=2).predict(X)
    model.set_params(unknown_label=None)
    broken = [("templates_", lambda m: m.templates_[:, :4], "templates_ must have at least one row of 2 \\*"),
              ("templates_", lambda m: m.templates_[:0], "templates_ must have at least one row"),
              ("templates_", lambda m: np.where(m.templates_ == m.templates_[0, 0], np.nan, m.templates_),
               "templates_ must hold finite bounds"),
              ("templates_", lambda m: m.templates_[:, ::-1], "templates_ must hold finite bounds"),
              ("node_labels_", lambda m: m.node_labels_ + 10, "node_labels_ holds labels that are not in classes_"),
              ("feature_min_", lambda m: m.feature_min_[:2], "feature_min_ must hold 4 finite numbers")]
    for name, spoil, message in broken:
        spoilt = clone(model).fit(X, y)
        setattr(spoilt, name, spoil(spoilt))
        for call in (lambda: spoilt.predict(X), lambda: spoilt.save(tmp_path / "m.model")):
            with pytest.raises(ValueError, match=message):
                call()
    assert not os.listdir(tmp_path)


def test_an_empty_dask_chunk_gives_no_labels():
    _, X, y = dataset("iris")
    model = quorv.QuorvClassifier().fit(X.to_numpy(), y)
    data = da.from_array(X.to_numpy(), chunks=(50, 4))
    filtered = data[data[:, 0] > 100]  # no row left in any chunk
    labels = quorv.dask.predict(model, filtered).compute()
    assert labels.shape == (0,) and labels.dtype == model.classes_.dtype


def test_the_tool_refuses_names_that_are_not_utf8(cli, tmp_path):
    (tmp_path / "latin1.csv").write_bytes(b"a,label\n1,caf\xe9\n2,tea\n")
    done = subprocess.run([cli, "train", str(tmp_path / "latin1.csv"), "-o", str(tmp_path / "m.model")],
                          capture_output=True, text=True, errors="replace")
    assert done.returncode == 1
    assert done.stderr.endswith("latin1.csv:2: column 2 (label): label 'caf\\xe9' is not UTF-8 text (byte 4); "
                                "save the file as UTF-8\n")
    assert os.listdir(tmp_path) == ["latin1.csv"]


@pytest.mark.parametrize("sig", [signal.SIGXCPU, signal.SIGUSR1, signal.SIGALRM, signal.SIGHUP, signal.SIGTERM,
                                 signal.SIGINT])
def test_no_signal_that_ends_the_tool_leaves_its_temporary(cli, tmp_path, sig):
    csv, _, _ = dataset("satellite")
    tool = subprocess.Popen([cli, "train", csv, "-o", str(tmp_path / "m.model"), "--vigilance", "0.95",
                             "--votes", "5"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.time() + 30
    while not any(".tmp-" in name for name in os.listdir(tmp_path)) and time.time() < deadline:
        time.sleep(0.01)
    assert tool.poll() is None, "training ended before the signal"
    tool.send_signal(sig)
    assert tool.wait(30) == -sig
    assert os.listdir(tmp_path) == []
