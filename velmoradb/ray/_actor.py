"""The Ray actor that owns one shard: one velmoradb.Collection directory.

Ray runs `__init__` again, with the same arguments, each time it restarts the
actor after its process died; the collection is opened (never created) there,
so a restart replays the shard's log and serves exactly what was durable.
Every write that the driver acknowledges is forced to disk here first
(`flush()`), so the loss of the process loses nothing acknowledged.

write_dataset's rows are staged: `stage_batch` keeps them in the actor's
memory and writes them as one `insert_batch` once DEFAULT_STAGE_BYTES of
vectors (or the load's own budget) have gathered, so a load pays the
checkpoint and fsync calls of the collection's bulk path for many rows at a
time; `finish_load` writes the rest and flushes. Staged rows are not durable and die
with the process: each incarnation of the actor has a random `incarnation`
name, which `stage_batch` and `finish_load` return, so the driver can tell that
a restart came between them (_load.py). Every other call writes what is
staged before it runs, so it sees every row staged before it and a write
never overtakes a staged row of the same id.

The collection is thread safe and releases the interpreter lock while it
works, so the actor may run with max_concurrency > 1: searches of one shard
then run in parallel. The staging has a lock of its own, held while staged
rows are written, so two writes of staged rows never overtake each other.
"""

from __future__ import annotations

import os
import threading
import time
import uuid
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt
import ray

from velmoradb import Collection

# How long a restarting actor waits for the directory's lock: the process it
# replaces may not have been reaped yet when Ray starts the new one.
_LOCK_WAIT_SECONDS = 30.0

DEFAULT_STAGE_BYTES = 64 << 20
"""Bytes of vectors a shard actor stages for write_dataset before it writes
them as one insert_batch: sixteen times the collection's 4 MiB bulk
threshold, so the checkpoint and fsync calls of a bulk insert are paid once
per 64 MiB rather than for every part a task sends (a task's 32 MiB split
over the shards). Small enough that the writes go on while the load runs,
not all at its end, and that the actor holds little beside its shard."""

Hit = tuple[int, float]
RecordTuple = tuple[int, list[float], dict[str, Any]]
Payloads = Sequence[Mapping[str, Any] | None]
LoadReport = tuple[str, int, int]
"""finish_load's reply: (incarnation, rows of the load written, rows of the
load dropped because writing them failed), counted by this incarnation."""


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


@dataclass
class _LoadTally:
    """What became of one load's staged rows in this incarnation."""

    written: int = 0
    dropped: int = 0


@dataclass
class _StagedRows:
    """The staged rows, in the order they arrived: views of the staging's
    buffers, valid until the staging changes."""

    ids: npt.NDArray[np.uint64]
    vectors: npt.NDArray[np.float32]
    payloads: list[Mapping[str, Any] | None] | None
    rows_by_load: dict[str, int]


class _Staging:
    """The rows staged for write_dataset loads, in arrival order, copied into
    one pair of buffers that insert_batch reads in place (no joining copy when
    they are written). The buffers are kept from one write to the next, so a
    long load fills memory already in use. Not thread safe: the actor guards
    it with its staging lock."""

    def __init__(self, dimension: int) -> None:
        self._dimension = dimension
        self._ids: npt.NDArray[np.uint64]
        self._vectors: npt.NDArray[np.float32]
        self.allocate(0)
        self.clear()

    def release(self) -> None:
        """Empties the staging and frees its buffers."""
        self.clear()
        if len(self._ids):
            self.allocate(0)

    def clear(self) -> None:
        """Empties the staging; the buffers stay for the next rows."""
        self.rows = 0
        self._payloads: list[Mapping[str, Any] | None] = []
        self._with_payloads = False
        self._rows_by_load: dict[str, int] = {}

    @property
    def vector_bytes(self) -> int:
        return self.rows * self._vectors.itemsize * self._dimension

    def fits(self, rows: int) -> bool:
        return self.rows + rows <= len(self._ids)

    def allocate(self, rows: int) -> None:
        """New, empty buffers for `rows` rows; nothing may be staged."""
        self._ids = np.empty(rows, dtype=np.uint64)
        self._vectors = np.empty((rows, self._dimension), dtype=np.float32)

    def rows_in(self, vector_bytes: int) -> int:
        return vector_bytes // (self._vectors.itemsize * self._dimension)

    def add(self, load: str, ids: npt.NDArray[np.uint64], vectors: npt.NDArray[np.float32], payloads: Payloads | None) -> None:
        """Copies the rows in after those staged; they must fit."""
        count = len(ids)
        end = self.rows + count
        self._ids[self.rows : end] = ids
        self._vectors[self.rows : end] = vectors
        self._payloads.extend([None] * count if payloads is None else payloads)
        self._with_payloads = self._with_payloads or payloads is not None
        self._rows_by_load[load] = self._rows_by_load.get(load, 0) + count
        self.rows = end

    def staged(self) -> _StagedRows:
        return _StagedRows(
            self._ids[: self.rows],
            self._vectors[: self.rows],
            self._payloads if self._with_payloads else None,
            dict(self._rows_by_load),
        )


class ShardActor:
    """Owns the collection directory `path`."""

    def __init__(self, path: str, shard: int) -> None:
        self._shard = shard
        restarted = ray.get_runtime_context().was_current_actor_reconstructed
        self._collection = _open(path, restarted)
        self._incarnation = uuid.uuid4().hex
        self._staging = _Staging(self._collection.dimension)
        self._staging_lock = threading.Lock()
        self._tallies: dict[str, _LoadTally] = {}

    def describe(self) -> tuple[int, str, int]:
        """(dimension, metric, process id)."""
        c = self._collection
        return c.dimension, c.metric, os.getpid()

    # write_dataset's staging -----------------------------------------------

    def stage_batch(
        self, load: str, ids: npt.NDArray[np.uint64], vectors: npt.NDArray[np.float32],
        payloads: Payloads | None, stage_bytes: int,
    ) -> str:
        """Stages the rows of `load` (copied: Ray's object store may release
        the arrays once this returns); they are written once `stage_bytes` of
        vectors are staged, or by the next other call. This incarnation's name."""
        with self._staging_lock:
            self._make_room_locked(len(ids), stage_bytes)
            self._staging.add(load, ids, vectors, payloads)
            if self._staging.vector_bytes >= stage_bytes:
                self._write_staged_locked()
        return self._incarnation

    def _make_room_locked(self, rows: int, stage_bytes: int) -> None:
        """Room in the staging for `rows` more rows: what is staged is written
        first when they do not fit (so the rows keep their order), and the
        buffers are made larger (`stage_bytes` of vectors, or these rows) when
        that is not enough."""
        if self._staging.fits(rows):
            return
        self._write_staged_locked()
        if not self._staging.fits(rows):
            self._staging.allocate(max(rows, self._staging.rows_in(stage_bytes)))

    def finish_load(self, load: str) -> LoadReport:
        """Writes everything staged and flushes; what became of `load`'s rows
        in this incarnation (which forgets the load)."""
        try:
            self._write_staged()
        finally:
            with self._staging_lock:
                tally = self._tallies.pop(load, _LoadTally())
        self._collection.flush()
        return self._incarnation, tally.written, tally.dropped

    def _write_staged(self) -> None:
        """Writes what is staged, and frees the staging's buffers: a load that
        is still running allocates them again."""
        with self._staging_lock:
            self._write_staged_locked()
            self._staging.release()

    def _write_staged_locked(self) -> None:
        """One insert_batch of everything staged; the caller holds the staging
        lock. Rows whose write failed are dropped (a retry could not tell
        which of them the collection kept) and counted for their loads."""
        if not self._staging.rows:
            return
        staged = self._staging.staged()
        self._staging.clear()
        try:
            self._collection.insert_batch(staged.ids, staged.vectors, staged.payloads)
        except Exception as e:
            self._count(staged.rows_by_load, written=False)
            e.add_note(f"shard {self._shard}: {len(staged.ids)} rows staged by write_dataset were not written")
            raise
        self._count(staged.rows_by_load, written=True)

    def _count(self, rows_by_load: Mapping[str, int], written: bool) -> None:
        for load, rows in rows_by_load.items():
            tally = self._tallies.setdefault(load, _LoadTally())
            if written:
                tally.written += rows
            else:
                tally.dropped += rows

    # Every other call writes what is staged first --------------------------

    def insert_batch(
        self, ids: npt.NDArray[np.uint64], vectors: npt.NDArray[np.float32],
        payloads: Payloads | None, durable: bool,
    ) -> int:
        self._write_staged()
        self._collection.insert_batch(ids, vectors, payloads)
        if durable:
            self._collection.flush()
        return len(ids)

    def delete_batch(self, ids: npt.NDArray[np.uint64], durable: bool) -> int:
        self._write_staged()
        removed = self._collection.delete_batch(ids.tolist())
        if durable:
            self._collection.flush()
        return removed

    def get_batch(self, ids: npt.NDArray[np.uint64]) -> list[RecordTuple | None]:
        self._write_staged()
        # Plain tuples travel through Ray's serialiser without the extension module's types.
        return [None if r is None else (r.id, r.vector, r.payload) for r in self._collection.get_batch(ids.tolist())]

    def search_batch(self, queries: npt.NDArray[np.float32], k: int, where: Mapping[str, Any] | None) -> list[list[Hit]]:
        self._write_staged()
        return self._collection.search_batch(queries, k, where=where)

    def ids(self, where: Mapping[str, Any] | None) -> list[int]:
        self._write_staged()
        return self._collection.ids(where)

    def count(self) -> int:
        self._write_staged()
        return len(self._collection)

    def flush(self) -> None:
        self._write_staged()
        self._collection.flush()

    def wait_for_bound_codes(self) -> None:
        self._collection.wait_for_bound_codes()

    def compact(self) -> tuple[int, int, int]:
        self._write_staged()
        stats = self._collection.compact()
        return stats.bytes_before, stats.bytes_after, stats.records_dropped

    def close(self) -> None:
        try:
            self._write_staged()
        finally:
            self._collection.close()
