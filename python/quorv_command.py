"""The `quorv` command that `pip install` puts on the PATH: it runs the
command-line tool built into the package (quorv/plugins/quorv), which loads the
plug-ins beside it, as `quorv.QuorvClassifier` does, and reads the data sets
beside it for `quorv demo`. A module of its own, outside the package, so that
starting the tool imports neither numpy nor scikit-learn; the tool is found
from this file's own place, never through a search path."""

import os
import sys


def main():
    tool = os.path.join(os.path.dirname(os.path.abspath(__file__)), "quorv", "plugins", "quorv")
    if not os.access(tool, os.X_OK):
        sys.exit("quorv: the command-line tool is missing from the package (%s); reinstall it" % tool)
    os.execv(tool, [tool] + sys.argv[1:])


if __name__ == "__main__":
    main()
