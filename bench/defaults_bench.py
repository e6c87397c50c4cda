#!/usr/bin/python3
"""Defaults benchmark: quorv's forest and single model beside the commonest
class, 1-NN, a 100-tree random forest and gradient boosting, on a stratified
75/25 split of each data set: accuracy, balanced accuracy, nodes per member
and against the member's distinct training rows, file size and training
time, all from one run on one machine.

    bench/defaults_bench.py [--build build] [--seeds 1] [--members 100]
        [--config NAME=OPTIONS ...] [--no-baselines] [--ratio DATA.csv] DATA.csv[:LEVELS] ...

DATA.csv is a file in the form of data/*.csv (the label column last);
`:LEVELS` rounds every feature, scaled to [0, 1], to that many levels first,
which turns distinct rows into repeats and conflicts. Each --config is one
quorv model, trained by `quorv train` with the split's training rows and
OPTIONS (default: the recommended forest and the default single model).
Public sets to try: `Rscript bench/export_public.R FOLDER`. Needs the build
(build/quorv, build/python), numpy and scikit-learn.
"""

import argparse
import os
import shlex
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)
sys.path.insert(0, HERE)
from forest_bench import processor  # noqa: E402

FOREST = "--votes {members} --max-features 0.5 --vigilance 0.95"


def read_set(spec):
    path, _, levels = spec.partition(":")
    frame = np.genfromtxt(path, delimiter=",", names=True, dtype=float)
    names = list(frame.dtype.names)
    table = np.column_stack([frame[n] for n in names])
    X, y = table[:, :-1], table[:, -1]
    if levels:
        k = int(levels) - 1
        lo, span = X.min(axis=0), np.ptp(X, axis=0)
        X = np.round((X - lo) / np.where(span > 0, span, 1) * k) / k
    name = os.path.splitext(os.path.basename(path))[0] + (":" + levels if levels else "")
    return name, names, X, y


def write_csv(path, names, X, y):
    np.savetxt(path, np.column_stack([X, y]), delimiter=",", header=",".join(names), comments="", fmt="%.17g")


def model_members(path):
    """Per member: (nodes, presentations, features used or None for all)."""
    members, presentations, uses = [], None, None
    with open(path) as f:
        for line in f:
            key, _, rest = line.rstrip("\n").partition(" ")
            if key == "uses":
                uses = [int(j) - 1 for j in rest.split()]
            elif key == "list_presentations":
                presentations = int(rest)
            elif key == "nodes":
                members.append((int(rest), presentations, uses))
    return members


def distinct_rows(model, X, members, seed):
    """Per member: its distinct training rows in its features (the draws of
    the library), or the distinct rows of X for members over all rows."""
    from quorv import _quorv
    out = []
    text = open(model).read()
    sample = [line.split() for line in text.splitlines() if line.startswith("sample ")]
    features = [int(line.split()[1]) for line in text.splitlines() if line.startswith("member_features ")]
    for k, (_, _, uses) in enumerate(members):
        if not sample:
            out.append(len(np.unique(X, axis=0)))
            continue
        rows, cols = _quorv.draw_member(X.shape[0], int(sample[0][1]), sample[0][2] == "with_replacement",
                                        X.shape[1], features[0], seed, k)
        out.append(len(np.unique(X[np.ix_(rows, cols)], axis=0)))
    return out


def run_quorv(quorv, options, folder, train, test, X_train, names, seed):
    model = os.path.join(folder, "m.model")
    command = [quorv, "train", train, "-o", model, "--seed", str(seed)] + shlex.split(options)
    if "--votes" not in options:
        command.remove("--seed"), command.remove(str(seed))
    start = time.perf_counter()
    subprocess.run(command, check=True, capture_output=True)
    seconds = time.perf_counter() - start
    predictions = os.path.join(folder, "p.csv")
    subprocess.run([quorv, "classify", model, test, "-o", predictions], check=True, capture_output=True)
    table = np.genfromtxt(predictions, delimiter=",", names=True, dtype=None, encoding=None)
    predicted = np.asarray(table["label"], dtype=float)
    members = model_members(model)
    distinct = distinct_rows(model, X_train, members, seed)
    nodes = np.array([m[0] for m in members], dtype=float)
    stopped = sum(m[1] is not None and m[1] >= presentations_limit(options, len(members)) for m in members)
    return dict(predicted=predicted, seconds=seconds, kb=os.path.getsize(model) / 1024.0,
                nodes=nodes.mean(), ratio=float(np.max(nodes / np.array(distinct))), stopped=stopped / len(members))


def presentations_limit(options, members):
    words = shlex.split(options)
    if "--max-presentations" in words:
        return int(words[words.index("--max-presentations") + 1])
    return LIMITS.get(members > 1 and "--max-features" in words, 100)


LIMITS = {}  # set in main: the forest members' default limit, read from `quorv train --help`


def baselines(X_train, y_train, X_test):
    from sklearn.ensemble import HistGradientBoostingClassifier, RandomForestClassifier
    from sklearn.neighbors import KNeighborsClassifier
    from threadpoolctl import threadpool_limits
    lo, span = X_train.min(axis=0), np.ptp(X_train, axis=0)
    scale = lambda X: (X - lo) / np.where(span > 0, span, 1)  # noqa: E731
    classes, counts = np.unique(y_train, return_counts=True)
    out = [("commonest class", np.full(len(X_test), classes[np.argmax(counts)]), 0.0)]
    for name, model, Xa, Xb in (
            ("1-NN", KNeighborsClassifier(1), scale(X_train), scale(X_test)),
            ("RandomForest(100)", RandomForestClassifier(100, n_jobs=2, random_state=1), X_train, X_test),
            ("HistGradientBoosting", HistGradientBoostingClassifier(random_state=1), X_train, X_test)):
        start = time.perf_counter()
        # Gradient boosting's OpenMP threads spin for minutes on a shared machine: one thread.
        with threadpool_limits(1 if "Gradient" in name else None):
            model.fit(Xa, y_train)
        seconds = time.perf_counter() - start
        out.append((name, model.predict(Xb), seconds))
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("sets", nargs="+")
    parser.add_argument("--build", default=os.path.join(TOP, "build"))
    parser.add_argument("--seeds", type=int, default=1)
    parser.add_argument("--members", type=int, default=100)
    parser.add_argument("--config", action="append", default=[])
    parser.add_argument("--no-baselines", action="store_true")
    parser.add_argument("--ratio", action="append", default=[], metavar="DATA.csv",
                        help="also train each forest on all of DATA.csv against a random forest")
    args = parser.parse_args()
    sys.path.insert(0, os.path.join(args.build, "python"))
    from sklearn.metrics import accuracy_score, balanced_accuracy_score
    from sklearn.model_selection import train_test_split
    quorv = os.path.join(args.build, "quorv")
    configs = [c.partition("=")[::2] for c in args.config] or [
        ("forest", FOREST.format(members=args.members)), ("single", "")]
    configs = [(n, o.replace("{members}", str(args.members))) for n, o in configs]
    LIMITS[True] = member_limit(quorv)
    print("Defaults benchmark on %s, load %.2f; %d seed(s), 75/25 stratified split; "
          "RandomForest on 2 threads, HistGradientBoosting on 1"
          % (processor(), os.getloadavg()[0], args.seeds))
    for name, options in configs:
        print("  %-10s quorv train %s" % (name, options))
    for spec in args.ratio:
        time_ratios(quorv, spec, configs)
    print("\n%-14s %-22s %6s %6s %8s %7s %6s %9s %8s" % ("data", "model", "acc %", "bal %", "nodes/m", "max x d",
                                                         "stop%", "file KB", "train s"))
    for spec in args.sets:
        name, names, X, y = read_set(spec)
        rows = {}
        for seed in range(1, args.seeds + 1):
            X_train, X_test, y_train, y_test = train_test_split(X, y, test_size=0.25, stratify=y, random_state=seed)
            with tempfile.TemporaryDirectory() as folder:
                train, test = os.path.join(folder, "train.csv"), os.path.join(folder, "test.csv")
                write_csv(train, names, X_train, y_train)
                write_csv(test, names, X_test, y_test)
                results = []
                if not args.no_baselines:
                    results += [(n, dict(predicted=p, seconds=s)) for n, p, s in baselines(X_train, y_train, X_test)]
                for config, options in configs:
                    results.append((config, run_quorv(quorv, options, folder, train, test, X_train, names, seed)))
            for model, r in results:
                r["acc"] = 100 * accuracy_score(y_test, r["predicted"])
                r["bal"] = 100 * balanced_accuracy_score(y_test, r["predicted"])
                rows.setdefault(model, []).append(r)
        for model, runs in rows.items():
            mean = lambda key: np.mean([r[key] for r in runs]) if key in runs[0] else float("nan")  # noqa: E731
            print("%-14s %-22s %6.1f %6.1f %8.0f %7.2f %6.0f %9.0f %8.2f" % (
                name, model, mean("acc"), mean("bal"), mean("nodes"), mean("ratio"), 100 * mean("stopped"),
                mean("kb"), mean("seconds")), flush=True)
        print(flush=True)


def time_ratios(quorv, spec, configs):
    """Training time on the whole of `spec`: each forest config against
    RandomForestClassifier(100, n_jobs=2), one after the other in this run."""
    from sklearn.ensemble import RandomForestClassifier
    name, names, X, y = read_set(spec)
    print("Training on all %d rows of %s, %d cores usable:" % (len(y), name, len(os.sched_getaffinity(0))))
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "all.csv")
        write_csv(path, names, X, y)
        start = time.perf_counter()
        RandomForestClassifier(n_estimators=100, n_jobs=2, random_state=1).fit(X, y)
        forest = time.perf_counter() - start
        print("  %-40s %8.2f s" % ("RandomForestClassifier(100, n_jobs=2)", forest))
        for config, options in configs:
            if "--votes" not in options:
                continue
            start = time.perf_counter()
            subprocess.run([quorv, "train", path, "-o", os.path.join(folder, "m.model"), "--seed", "1", "--jobs",
                            "2"] + shlex.split(options), check=True, capture_output=True)
            seconds = time.perf_counter() - start
            print("  %-40s %8.2f s %6.1fx" % ("quorv " + config, seconds, seconds / forest), flush=True)


def member_limit(quorv):
    """A forest member's default presentation limit as `quorv train --help` states it."""
    text = subprocess.run([quorv, "train", "--help"], capture_output=True, text=True).stdout
    marker = "forest members: "
    at = text.find(marker)
    return int(text[at + len(marker):].split()[0].rstrip(",);")) if at >= 0 else 100


if __name__ == "__main__":
    main()
