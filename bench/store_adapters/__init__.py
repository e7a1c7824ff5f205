"""The embedded stores of bench/stores.py behind one small interface.

Every store is driven the way its documentation shows a user: vectors go in
from a float32 numpy array in batches, with a string column `tag` beside
them (`t0` ... `t9`, the id modulo 10) so that a filter `tag = 't3'` keeps
10 % of the rows; euclidean distance; k nearest, nearest first. Each store
lives in a module of its own and is imported only by the process that runs
it, so a library that is missing or crashes costs only its own rows.

An adapter answers with ids only; the driver measures recall against an
exact reference, so an approximate store (Chroma) is judged by the same
yardstick as the exact ones.
"""

from __future__ import annotations

import importlib
import os
from typing import ClassVar

# The filter column: row i carries TAGS[i % 10]; FILTER_TAG selects 10 %.
TAGS = tuple(f"t{i}" for i in range(10))
FILTER_TAG = "t3"

# Environment for a child that runs with one thread: the thread pools of
# the usual runtimes (OpenMP, BLAS, Rayon, Tokio; Arrow's CPU pool follows
# OMP_NUM_THREADS, its I/O pool ARROW_IO_THREADS). A store adds its own
# variables in `one_thread_env`.
ONE_THREAD_ENV = {
    "OMP_NUM_THREADS": "1",
    "OPENBLAS_NUM_THREADS": "1",
    "MKL_NUM_THREADS": "1",
    "VECLIB_MAXIMUM_THREADS": "1",
    "RAYON_NUM_THREADS": "1",
    "TOKIO_WORKER_THREADS": "1",
    "ARROW_IO_THREADS": "1",
}

STORES = {
    "velmoradb": ("velmoradb_store", "VelmoradbStore"),
    "lancedb": ("lancedb_store", "LanceStore"),
    "sqlite-vec": ("sqlite_vec_store", "SqliteVecStore"),
    "chroma": ("chroma_store", "ChromaStore"),
    "duckdb": ("duckdb_store", "DuckdbStore"),
    "faiss": ("faiss_store", "FaissStore"),
}


class Unsupported(Exception):
    """The store cannot do this figure; the message says why (shown as n/a)."""


def tags_for(start, stop):
    return [TAGS[i % 10] for i in range(start, stop)]


def store_class(name):
    module, cls = STORES[name]
    return getattr(importlib.import_module(f"{__name__}.{module}"), cls)


class Store:
    """One store in one directory.

    Lifecycle in the load process: `__init__`, `load`, `make_durable`,
    `close`. In the query process: `__init__`, `open`, then searches.
    `threads` is 1 or None (the library's default: every core).
    """

    name = ""
    exact = True
    # True when search_batch is one call of the library; False when it is a
    # loop of single queries (the library has no batch form).
    native_batch = False
    one_thread_env: ClassVar[dict[str, str]] = {}
    # What the store itself does to make the data durable, in words.
    durability = ""
    # Where one thread cannot be enforced, why (empty when it can).
    thread_caveat = ""

    def __init__(self, path, dim, threads):
        self.path = path
        self.dim = dim
        self.threads = threads
        self.notes: list[str] = []

    @classmethod
    def child_env(cls, threads):
        env = {}
        if threads == 1:
            env.update(ONE_THREAD_ENV)
            env.update(cls.one_thread_env)
        return env

    def version(self) -> str:
        raise NotImplementedError

    def load(self, data, batch):
        """Insert every row of `data` (ids 0 .. n-1) with its tag, in
        batches of `batch` rows."""
        raise NotImplementedError

    def make_durable(self):
        """Whatever the store offers to put the data on disk for good."""

    def open(self):
        raise NotImplementedError

    def search(self, query, k) -> list[int]:
        raise NotImplementedError

    def search_batch(self, queries, k) -> list[list[int]]:
        return [self.search(q, k) for q in queries]

    def search_filtered(self, query, k, tag) -> list[int]:
        raise Unsupported("no filtered search")

    def close(self):
        pass


def fsync_tree(path):
    """Force every file and directory under `path` to disk: what a store
    that forces nothing would still owe for durability."""
    for root, dirs, files in os.walk(path):
        for name in files:
            fd = os.open(os.path.join(root, name), os.O_RDONLY)
            try:
                os.fsync(fd)
            finally:
                os.close(fd)
        fd = os.open(root, os.O_RDONLY)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)
