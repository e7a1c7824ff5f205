"""The libraries of the benchmark behind one small interface.

Each peer says which metrics it has and how to build an index over a float32
array, search one query and search a batch, always with one thread. The
returned ids are not compared here; bench/run.py checks velmoradb's against
an exact reference.
"""

from __future__ import annotations

import numpy as np


class Peer:
    name = ""
    metrics: tuple[str, ...] = ()
    version = ""

    def prepare(self, n):
        """Work done once per data set, outside every timing."""

    def build(self, data, metric):
        raise NotImplementedError

    def search(self, index, query, k):
        raise NotImplementedError

    def search_batch(self, index, queries, k):
        raise NotImplementedError

    def free(self, index):
        del index


class Velmoradb(Peer):
    name = "velmoradb"
    metrics = ("euclidean", "dot", "cosine")

    def __init__(self):
        import _velmoradb

        self.module = _velmoradb
        self.ids = []
        try:
            from importlib.metadata import version

            self.version = version("velmoradb")
        except Exception:
            self.version = "?"

    def prepare(self, n):
        # The ids as the caller would already hold them: a list of ints.
        self.ids = list(range(n))

    def build(self, data, metric):
        index = self.module.Index(metric, data.shape[1])
        ids = self.ids if len(self.ids) == len(data) else list(range(len(data)))
        index.insert_batch(ids, data)
        return index

    def search(self, index, query, k):
        return index.search(query, k)

    def search_batch(self, index, queries, k):
        return index.search_batch(queries, k)


class NumpyBrute(Peer):
    """Brute force as a numpy user writes it: one BLAS product per query (or
    per group of queries), the data norms computed once, argpartition."""

    name = "numpy"
    metrics = ("euclidean", "dot", "cosine")
    group = 64  # queries per product in a batch, to bound the distance matrix

    def __init__(self):
        self.version = np.__version__

    def build(self, data, metric):
        extra = None
        if metric == "euclidean":
            extra = np.einsum("ij,ij->i", data, data)
        elif metric == "cosine":
            extra = np.linalg.norm(data, axis=1)
        return (data, metric, extra)

    @staticmethod
    def _distances(index, q):
        data, metric, extra = index
        s = q @ data.T if q.ndim == 2 else data @ q
        if metric == "dot":
            return -s
        if metric == "euclidean":
            qn = np.einsum("...j,...j->...", q, q)
            return extra - 2 * s + (qn[:, None] if q.ndim == 2 else qn)
        qn = np.linalg.norm(q, axis=-1)
        den = extra * (qn[:, None] if q.ndim == 2 else qn)
        return 1 - s / np.where(den == 0, 1, den)

    def search(self, index, query, k):
        d = self._distances(index, query)
        part = np.argpartition(d, k)[:k]
        return part[np.argsort(d[part])]

    def search_batch(self, index, queries, k):
        out = []
        for start in range(0, len(queries), self.group):
            d = self._distances(index, queries[start:start + self.group])
            part = np.argpartition(d, k, axis=1)[:, :k]
            order = np.argsort(np.take_along_axis(d, part, axis=1), axis=1)
            out.append(np.take_along_axis(part, order, axis=1))
        return np.concatenate(out)


class Faiss(Peer):
    name = "faiss"
    metrics = ("euclidean", "dot")

    def __init__(self):
        import faiss

        faiss.omp_set_num_threads(1)
        self.faiss = faiss
        self.version = faiss.__version__

    def build(self, data, metric):
        index = (self.faiss.IndexFlatL2 if metric == "euclidean" else self.faiss.IndexFlatIP)(data.shape[1])
        index.add(data)
        return index

    def search(self, index, query, k):
        return index.search(query[None, :], k)[1][0]

    def search_batch(self, index, queries, k):
        return index.search(queries, k)[1]


class Hnswlib(Peer):
    name = "hnswlib"
    metrics = ("euclidean", "dot", "cosine")
    spaces = {"euclidean": "l2", "dot": "ip", "cosine": "cosine"}

    def __init__(self):
        import hnswlib

        self.hnswlib = hnswlib
        self.version = getattr(hnswlib, "__version__", "?")

    def build(self, data, metric):
        index = self.hnswlib.BFIndex(space=self.spaces[metric], dim=data.shape[1])
        index.init_index(max_elements=len(data))
        if hasattr(index, "set_num_threads"):
            index.set_num_threads(1)
        index.add_items(data, np.arange(len(data)))
        return index

    def search(self, index, query, k):
        return index.knn_query(query, k=k, num_threads=1)[0]

    def search_batch(self, index, queries, k):
        return index.knn_query(queries, k=k, num_threads=1)[0]


class Usearch(Peer):
    """usearch's exact search over the array itself (no index is built)."""

    name = "usearch"
    metrics = ("euclidean", "dot", "cosine")

    def __init__(self):
        import usearch
        from usearch.index import MetricKind, search

        self.search_fn = search
        self.kinds = {"euclidean": MetricKind.L2sq, "dot": MetricKind.IP, "cosine": MetricKind.Cos}
        self.version = usearch.__version__

    def build(self, data, metric):
        return (data, self.kinds[metric])

    def search(self, index, query, k):
        data, kind = index
        return self.search_fn(data, query, k, kind, exact=True, threads=1).keys

    def search_batch(self, index, queries, k):
        data, kind = index
        return self.search_fn(data, queries, k, kind, exact=True, threads=1).keys


PEERS = {p.name: p for p in (Velmoradb, NumpyBrute, Faiss, Hnswlib, Usearch)}


def load_peers(only=None):
    """The peers that import, velmoradb first; and why the others were left out."""
    peers, skipped = {}, []
    for name, cls in PEERS.items():
        if only and name != "velmoradb" and name not in only:
            continue
        try:
            peers[name] = cls()
        except ImportError as e:
            skipped.append(f"{name}: not installed ({e})")
    return peers, skipped
