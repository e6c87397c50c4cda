"""Times QuorvClassifier.predict beside KNeighborsClassifier(1).predict in one
run, on one row and on 1,000 rows, and prints the ratios with where a call's
time goes. Run by hand, never by the test suite (figures depend on the machine):

    PYTHONPATH=build/python /usr/bin/python3 bench/predict_bench.py [--repeat N] [--forest MODEL]

With --forest, MODEL is the recommended forest trained by the tool on
satellite (quorv train data/satellite.csv -o MODEL --votes 100 --max-features
0.5 --vigilance 0.95 --no-merge): its one-row predict (loaded with quorv.load)
is timed beside RandomForestClassifier(n_estimators=100).predict, and `quorv
classify` of all satellite rows (the tool: $QUORV_CLI, else build/quorv) beside
the random forest's predict of those rows; both n_jobs=1.

Rows of the breakdown (medians of N calls, microseconds):
  predict             the estimator's whole call
  checks and voting   what predict adds around the plug-in calls (input checks,
                      node codes, the vote)
  plug-in call        _host.predict of one member with the nearest-box pass off:
                      arrays into host arrays, one quorv_perf call, result
  of which the model  the same call with a one-node model of the same width
                      subtracted: per-call work that grows with the model
                      (templates copied into host arrays, nodes rebuilt by the
                      plug-in)
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
import warnings

import numpy as np
from sklearn.datasets import load_iris
from sklearn.ensemble import RandomForestClassifier
from sklearn.neighbors import KNeighborsClassifier

import quorv
from quorv import _host

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.environ.get("QUORV_DATA_DIR") or os.path.join(os.path.dirname(HERE), "data")


def median_us(call, repeat):
    call()  # the first call loads and checks the plug-in: not what is timed
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return statistics.median(times) * 1e6


def satellite():
    table = np.genfromtxt(os.path.join(DATA, "satellite.csv"), delimiter=",", skip_header=1)
    return table[:, :-1], table[:, -1]


def bench(name, X, y, params, repeat):
    model = quorv.QuorvClassifier(**params).fit(X, y)
    knn = KNeighborsClassifier(1).fit(X, y)
    nodes = model.templates_.shape[0]
    print("%s: %d patterns, %d features, %d nodes (%s)" % (name, X.shape[0], X.shape[1], nodes,
                                                          ", ".join("%s=%s" % kv for kv in params.items()) or
                                                          "defaults"))
    rng = np.random.default_rng(0)
    codes = np.searchsorted(model.classes_, model.node_labels_).astype(np.float64)
    tiny_t, tiny_c = model.templates_[:1].copy(), codes[:1].copy()
    for rows in (1, 1000):
        batch = np.ascontiguousarray(X[rng.integers(0, X.shape[0], rows)])
        ours = median_us(lambda: model.predict(batch), repeat)
        theirs = median_us(lambda: knn.predict(batch), repeat)
        def one_call(templates, node_codes):
            return _host.predict([(templates, node_codes)], None, batch, model._scaling(), len(model.classes_),
                                 model.vigilance, False, 0, False)

        plugin = median_us(lambda: one_call(model.templates_, codes), repeat)
        tiny = median_us(lambda: one_call(tiny_t, tiny_c), repeat)
        print("  %4d row%s: predict %9.1f us   1-NN %9.1f us   ratio %5.2f" % (
            rows, " " if rows == 1 else "s", ours, theirs, ours / theirs))
        print("             checks and voting %9.1f us, plug-in call %9.1f us, of which the model %9.1f us" % (
            max(ours - plugin, 0.0), plugin, max(plugin - tiny, 0.0)))


def seconds(call):
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def bench_forest(path, X, y, repeat):
    # The file names its features; these rows do not (as the random forest's).
    warnings.filterwarnings("ignore", message="X does not have valid feature names")
    model = quorv.load(path)
    forest = RandomForestClassifier(n_estimators=100, n_jobs=1, random_state=0).fit(X, y)
    nodes = sum(m.templates.shape[0] for m in model._state().members)
    print("forest %s: %d members, %d nodes; RandomForestClassifier(n_estimators=100), n_jobs=1"
          % (path, model.n_estimators, nodes))
    rng = np.random.default_rng(0)
    first = seconds(lambda: model.predict(X[:1]))  # prepares the members
    one = np.ascontiguousarray(X[rng.integers(0, X.shape[0], 1)])
    ours = median_us(lambda: model.predict(one), repeat)
    theirs = median_us(lambda: forest.predict(one), repeat)
    print("     1 row : predict %9.1f us   random forest %9.1f us   ratio %5.2f   (first predict, preparing: %.2f s)"
          % (ours, theirs, ours / theirs, first))
    tool = os.environ.get("QUORV_CLI") or os.path.join(os.path.dirname(HERE), "build", "quorv")
    csv = os.path.join(DATA, "satellite.csv")
    with tempfile.TemporaryDirectory() as scratch:
        out = os.path.join(scratch, "predictions.csv")
        command = [tool, "classify", path, csv, "-o", out]
        ours = min(seconds(lambda: subprocess.run(command, check=True, stdout=subprocess.DEVNULL)) for _ in range(3))
    theirs = min(seconds(lambda: forest.predict(X)) for _ in range(3))
    print("  %d rows: quorv classify %7.2f s   random forest predict %7.3f s   ratio %5.1f   (best of 3)"
          % (X.shape[0], ours, theirs, ours / theirs))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=200, help="calls timed per figure (median)")
    parser.add_argument("--forest", metavar="MODEL", help="the recommended forest's model file (see above)")
    args = parser.parse_args()
    print("quorv predict beside KNeighborsClassifier(1).predict; medians of %d calls" % args.repeat)
    X, y = load_iris(return_X_y=True)
    bench("iris", X, y, {}, args.repeat)
    X, y = satellite()
    bench("satellite", X, y, {"vigilance": 0.95}, max(args.repeat // 10, 5))
    if args.forest:
        bench_forest(args.forest, X, y, max(args.repeat // 4, 5))
    sys.stdout.flush()


if __name__ == "__main__":
    main()
