"""Classification of data larger than one machine, on Dask.

Every pattern is classified on its own, so each chunk of rows is classified
where it lives, by the same plug-in, with the same result as one local call;
a forest's members all vote on each chunk. One model trains in one plug-in
call, since its result depends on the order of all its patterns; a forest's
members are independent calls, which spread over a cluster's workers under
`joblib.parallel_backend("dask")` and give the forest a local fit gives.
"""

import numpy as np
import pandas as pd

import dask
import dask.array as da
import dask.dataframe as dd

from ._classifier import label_name, prediction_dtype


def _predict_block(block, model):
    if block.shape[0] == 0:  # common after boolean filtering
        return np.empty(0, dtype=prediction_dtype(model))
    return model.predict(block)


def _predict_partition(frame, model):
    labels = model.predict(frame) if len(frame) else np.empty(0, dtype=prediction_dtype(model))
    return pd.Series(labels, index=frame.index, name=label_name(model))


def predict(model, X):
    """Labels of the rows of X, a Dask array (2-D) or DataFrame, as a lazy Dask
    array (one label per row, chunked as X's rows) or a Dask Series.

    The fitted model enters the task graph once, as one key, so each worker
    receives it once, however many chunks it classifies. Call `.compute()` on
    the result (on a distributed Client, the work runs on its workers).
    """
    if not hasattr(model, "classes_"):
        raise ValueError("the model is not fitted")
    shipped = dask.delayed(model, pure=True, traverse=False)
    dtype = prediction_dtype(model)
    if isinstance(X, dd.DataFrame):
        return X.map_partitions(_predict_partition, shipped, meta=(label_name(model), dtype))
    if isinstance(X, da.Array):
        if X.ndim != 2:
            raise ValueError("X must be a 2-D Dask array of patterns, got %d dimensions" % X.ndim)
        if X.numblocks[1] != 1:
            X = X.rechunk({1: X.shape[1]})  # whole rows in each block
        return X.map_blocks(_predict_block, shipped, drop_axis=1, dtype=dtype, meta=np.empty(0, dtype=dtype))
    raise TypeError("X must be a Dask array or DataFrame, got %s" % type(X).__name__)
