"""The Ray actor that owns one shard: one velmoradb.Collection directory.

Ray runs `__init__` again, with the same arguments, each time it restarts the
actor after its process died; the collection is opened (never created) there,
so a restart replays the shard's log and serves exactly what was durable.
Every write that the driver acknowledges is forced to disk here first
(`flush()`), so the loss of the process loses nothing acknowledged.

The collection is thread safe and releases the interpreter lock while it
works, so the actor may run with max_concurrency > 1: searches of one shard
then run in parallel.
"""

from __future__ import annotations

import os
import time
from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt
import ray

from velmoradb import Collection

# How long a restarting actor waits for the directory's lock: the process it
# replaces may not have been reaped yet when Ray starts the new one.
_LOCK_WAIT_SECONDS = 30.0

Hit = tuple[int, float]
RecordTuple = tuple[int, list[float], dict[str, Any]]


def _open(path: str, restarted: bool) -> Collection:
    deadline = time.monotonic() + (_LOCK_WAIT_SECONDS if restarted else 0.0)
    while True:
        try:
            return Collection.open(path)
        except FileNotFoundError:
            raise
        except OSError as e:
            if "lock failed" not in str(e) or time.monotonic() >= deadline:
                raise
            time.sleep(0.1)


class ShardActor:
    """Owns the collection directory `path`."""

    def __init__(self, path: str, shard: int) -> None:
        self._shard = shard
        restarted = ray.get_runtime_context().was_current_actor_reconstructed
        self._collection = _open(path, restarted)

    def describe(self) -> tuple[int, str, int]:
        """(dimension, metric, process id)."""
        c = self._collection
        return c.dimension, c.metric, os.getpid()

    def insert_batch(
        self, ids: npt.NDArray[np.uint64], vectors: npt.NDArray[np.float32],
        payloads: Sequence[Mapping[str, Any] | None] | None, durable: bool,
    ) -> int:
        self._collection.insert_batch(ids, vectors, payloads)
        if durable:
            self._collection.flush()
        return len(ids)

    def delete_batch(self, ids: npt.NDArray[np.uint64], durable: bool) -> int:
        removed = self._collection.delete_batch(ids.tolist())
        if durable:
            self._collection.flush()
        return removed

    def get_batch(self, ids: npt.NDArray[np.uint64]) -> list[RecordTuple | None]:
        # Plain tuples travel through Ray's serialiser without the extension module's types.
        return [None if r is None else (r.id, r.vector, r.payload) for r in self._collection.get_batch(ids.tolist())]

    def search_batch(self, queries: npt.NDArray[np.float32], k: int, where: Mapping[str, Any] | None) -> list[list[Hit]]:
        return self._collection.search_batch(queries, k, where=where)

    def ids(self, where: Mapping[str, Any] | None) -> list[int]:
        return self._collection.ids(where)

    def count(self) -> int:
        return len(self._collection)

    def flush(self) -> None:
        self._collection.flush()

    def wait_for_bound_codes(self) -> None:
        self._collection.wait_for_bound_codes()

    def compact(self) -> tuple[int, int, int]:
        stats = self._collection.compact()
        return stats.bytes_before, stats.bytes_after, stats.records_dropped

    def close(self) -> None:
        self._collection.close()
