#!/usr/bin/python3
"""Forest benchmark: training a forest on all cores against member after
member, through `quorv train` and through QuorvClassifier.fit, and a forest's
classification time and memory against a single model's; all in one run, on
the same machine, as ratios.

    bench/forest_bench.py [--build build] [--data data/satellite.csv] [--members 25]
                          [--max-features 0.5] [--vigilance 0.95] [--rounds 3]

Needs the build (`make build`): build/quorv and build/python. Times are wall
clock, the best of --rounds; on a busy machine run it more than once.
"""

import argparse
import os
import platform
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)


def processor():
    try:
        for line in subprocess.run(["lscpu"], capture_output=True, text=True).stdout.splitlines():
            if line.startswith("Model name:"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown processor"


def run(command, env=None, timed_inside=False):
    """Wall seconds and peak resident memory (MB) of one child process; with
    timed_inside, the seconds the child prints itself (its work alone), one
    figure per line it prints."""
    start = time.perf_counter()
    child = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    out = child.stdout.read()
    _, status, usage = os.wait4(child.pid, 0)
    seconds = time.perf_counter() - start
    code = os.waitstatus_to_exitcode(status)
    if code != 0:
        raise SystemExit("failed (%d): %s\n%s" % (code, " ".join(command), child.stderr.read().decode()))
    return ([float(t) for t in out.split()] if timed_inside else seconds), usage.ru_maxrss / 1024.0


def best(rounds, measure):
    results = [measure() for _ in range(rounds)]
    return min(r[0] for r in results), max(r[1] for r in results)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(TOP, "build"))
    parser.add_argument("--data", default=os.path.join(TOP, "data", "satellite.csv"))
    parser.add_argument("--members", type=int, default=25)
    parser.add_argument("--max-features", default="0.5")
    parser.add_argument("--vigilance", default="0.95")
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()

    quorv = os.path.join(args.build, "quorv")
    python_dir = os.path.join(args.build, "python")
    cores = len(os.sched_getaffinity(0))
    forest = ["--votes", str(args.members), "--max-features", args.max_features, "--seed", "1",
              "--vigilance", args.vigilance]
    print("Forest benchmark on %s: %s, %d members, --max-features %s, --vigilance %s, %d cores usable, "
          "best of %d" % (processor(), os.path.basename(args.data), args.members, args.max_features,
                          args.vigilance, cores, args.rounds))
    if cores < 2:
        print("only one core usable: the training rows are skipped (nothing to share out)")

    with tempfile.TemporaryDirectory() as folder:
        forest_model = os.path.join(folder, "forest.model")
        single_model = os.path.join(folder, "single.model")
        rows = []
        if cores >= 2:
            train = [quorv, "train", args.data, "-o", forest_model] + forest
            one = best(args.rounds, lambda: run(train + ["--jobs", "1"]))
            two = best(args.rounds, lambda: run(train + ["--jobs", "2"]))
            rows.append(("quorv train, 1 worker / 2 workers", one[0], two[0]))

            fit = [sys.executable, "-c", FIT, args.data, str(args.members), args.max_features, args.vigilance]
            env = dict(os.environ, PYTHONPATH=python_dir)
            # The first fit of a process starts joblib's workers; the second finds them running.
            ones = [run(fit + ["1"], env, timed_inside=True)[0] for _ in range(args.rounds)]
            twos = [run(fit + ["2"], env, timed_inside=True)[0] for _ in range(args.rounds)]
            for k, name in enumerate(("fit(n_jobs=1) / fit(n_jobs=2)", "  again in the same process")):
                rows.append((name, min(t[k] for t in ones), min(t[k] for t in twos)))
        else:
            run([quorv, "train", args.data, "-o", forest_model] + forest)
        run([quorv, "train", args.data, "-o", single_model, "--shuffle", "--vigilance", args.vigilance])

        print("\n%-40s %10s %10s %8s" % ("training", "first s", "second s", "ratio"))
        for name, a, b in rows:
            print("%-40s %10.2f %10.2f %7.2fx" % (name, a, b, a / b))

        single = best(args.rounds, lambda: run([quorv, "classify", single_model, args.data]))
        many = best(args.rounds, lambda: run([quorv, "classify", forest_model, args.data]))
        print("\n%-40s %10s %10s" % ("classify (all rows)", "seconds", "peak MB"))
        print("%-40s %10.2f %10.1f" % ("single model", single[0], single[1]))
        print("%-40s %10.2f %10.1f" % ("forest of %d" % args.members, many[0], many[1]))
        print("%-40s %9.1fx %9.2fx" % ("forest / single", many[0] / single[0], many[1] / single[1]))


# Trains the forest twice in a fresh process: argv = data, members, max_features, vigilance, n_jobs.
FIT = """
import sys, time
import pandas as pd
import quorv
data, members, features, vigilance, jobs = sys.argv[1:]
frame = pd.read_csv(data)
X, y = frame.iloc[:, :-1], frame.iloc[:, -1]
features = float(features) if "." in features else int(features)
model = quorv.QuorvClassifier(n_estimators=int(members), max_features=features, vigilance=float(vigilance),
                              random_state=1, n_jobs=int(jobs))
for _ in range(2):
    start = time.perf_counter()
    model.fit(X, y)
    print(time.perf_counter() - start)
"""

if __name__ == "__main__":
    main()
