"""The directory of a framework's vector store (LangChain, LlamaIndex).

Such a store is given a directory and a metric before it knows the
dimension: it opens a collection the directory already holds at once (the
metric must match), and creates one on its first write otherwise.
"""

from __future__ import annotations

import os

from velmoradb._core import Collection

METRICS = ("euclidean", "cosine", "dot")


def check_metric(metric: str) -> None:
    """ValueError unless `metric` is one of METRICS."""
    if metric not in METRICS:
        raise ValueError(f"unknown metric {metric!r} (expected one of 'euclidean', 'cosine', 'dot')")


def open_existing(path: str, metric: str) -> Collection | None:
    """The collection in `path` opened, or None when it holds none yet; a
    ValueError (and nothing left open) when its metric is not `metric`."""
    if not os.path.exists(os.path.join(path, "meta.json")):
        return None
    collection = Collection.open(path)
    if collection.metric != metric:
        collection.close()
        raise ValueError(f"the collection at {path!r} has metric {collection.metric!r}, not {metric!r}")
    return collection
