import os
import shutil

import pandas as pd
import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
DATA_DIR = os.environ.get("QUORV_DATA_DIR") or os.path.join(HERE, "..", "..", "data")


@pytest.fixture(scope="session")
def cli():
    """The command-line tool, as the build passes it (or on PATH)."""
    path = os.environ.get("QUORV_CLI") or shutil.which("quorv")
    if not path:
        pytest.skip("the quorv command-line tool is not given (QUORV_CLI)")
    return path


def dataset(name):
    """A bundled data set: features as a DataFrame, labels as a Series named 'label'."""
    path = os.path.join(DATA_DIR, name + ".csv")
    frame = pd.read_csv(path)
    return path, frame.iloc[:, :-1], frame.iloc[:, -1]
