"""ShardedCollection: one collection spread over Ray actors, one per shard.

ROOT holds the manifest (`velmoradb-shards.json`, see _manifest.py) and the
shard directories `shard-0000`, `shard-0001`, ... Each shard is an ordinary
velmoradb.Collection directory, owned by one Ray actor (_actor.py). An id
lives on the shard chosen by _routing.shard_of, so a replacement or a delete
reaches the record it names.

Writes are checked here first (_batch.py), so no shard writes a part of a
batch that another shard would refuse; then each shard writes its part and
forces it to disk before confirming, in parallel. Reads fan out and merge
(_merge.py); _shards.py says what happens when an actor is lost.

Thread safety: one ShardedCollection may be used from several threads; the
actors serialise the writes of each shard.
"""

from __future__ import annotations

import os
import threading
from collections.abc import Mapping, Sequence
from types import TracebackType
from typing import Any

import numpy as np
import ray

from velmoradb import Collection, CompactStats, Record
from velmoradb.ray import _batch
from velmoradb.ray._actor import Hit, ShardActor
from velmoradb.ray._manifest import check_layout, manifest_path, read_manifest, shard_path, write_manifest
from velmoradb.ray._merge import merge_hits, merge_ids
from velmoradb.ray._routing import parts_by_shard, shard_of
from velmoradb.ray._shards import ShardSet

DEFAULT_TIMEOUT = 120.0
"""Seconds a call waits for its shards (a restarting actor included) before
raising ShardUnavailableError (reads) or IncompleteWriteError (writes)."""

DEFAULT_MAX_CONCURRENCY = 4
"""Calls one shard actor runs at once (searches run in parallel; the
collection serialises writes)."""

_PUT_BYTES = 64 << 10

_RemoteShard: Any = ray.remote(ShardActor)

# Roots open in this process, so a second open of one root fails at once with a
# clear message instead of waiting on the shard directories' locks; the Ray Data
# paths use the open collection when there is one.
_open_roots: dict[str, ShardedCollection] = {}
_open_roots_lock = threading.Lock()


def open_collection_at(root: str) -> ShardedCollection | None:
    with _open_roots_lock:
        return _open_roots.get(os.path.realpath(root))


class ShardedCollection:
    """A collection whose records are spread over `shards` Ray actors."""

    def __init__(self, shard_set: ShardSet, key: str) -> None:
        # Instances come from create() and open().
        self._shard_set = shard_set
        self._key = key
        self._closed = False

    @staticmethod
    def create(
        root: str | os.PathLike[str], dimension: int, metric: str, *, shards: int,
        timeout: float = DEFAULT_TIMEOUT, actor_options: Mapping[str, Any] | None = None,
    ) -> ShardedCollection:
        """Creates ROOT (and missing parents) with `shards` empty shard
        directories and the manifest, then opens it. FileExistsError when ROOT
        already holds a sharded collection or a shard directory."""
        path = os.fspath(root)
        manifest = check_layout(shards, dimension, metric)
        if os.path.exists(manifest_path(path)):
            raise FileExistsError(f"{path!r} already holds a sharded collection")
        os.makedirs(path, exist_ok=True)
        # The shards first, the manifest last: a root without a manifest is no
        # collection, whatever a crash during create left in it.
        for s in range(manifest.shards):
            Collection.create(shard_path(path, s), manifest.dimension, manifest.metric).close()
        write_manifest(path, manifest)
        return ShardedCollection.open(path, timeout=timeout, actor_options=actor_options)

    @staticmethod
    def open(
        root: str | os.PathLike[str], *, timeout: float = DEFAULT_TIMEOUT,
        actor_options: Mapping[str, Any] | None = None,
    ) -> ShardedCollection:
        """Opens the sharded collection in ROOT on the running Ray cluster: one
        actor per shard, each opening its directory (and replaying its log).

        `timeout` (seconds) bounds each later call's wait for its shards.
        `actor_options` go to the actors' `.options()` (num_cpus, resources,
        scheduling_strategy, max_restarts, max_concurrency...); by default an
        actor is restarted whenever its process dies (max_restarts=-1).
        FileNotFoundError when ROOT holds no sharded collection or a shard
        directory is missing; OSError when ROOT is already open in this process.
        """
        # Absolute: the actors' processes may have another working directory,
        # or run on another machine.
        path = os.path.abspath(os.fspath(root))
        if isinstance(timeout, bool) or not isinstance(timeout, (int, float)) or not timeout > 0:
            raise ValueError(f"timeout must be a positive number of seconds, got {timeout!r}")
        manifest = read_manifest(path)
        for s in range(manifest.shards):
            if not os.path.isdir(shard_path(path, s)):
                raise FileNotFoundError(f"shard {s} of the sharded collection at {path!r} is missing: {shard_path(path, s)!r}")
        key = os.path.realpath(path)
        with _open_roots_lock:
            if key in _open_roots:
                raise OSError(f"the sharded collection at {path!r} is already open in this process (close it first, or use that object)")
            options: dict[str, Any] = {"max_restarts": -1, "max_task_retries": 0, "max_concurrency": DEFAULT_MAX_CONCURRENCY}
            options.update(actor_options or {})
            actors = [_RemoteShard.options(**options).remote(shard_path(path, s), s) for s in range(manifest.shards)]
            shard_set = ShardSet(path, manifest, actors, float(timeout))
            try:
                described = shard_set.read("describe", {s: () for s in range(manifest.shards)}, opening=True)
            except BaseException:
                for actor in actors:
                    ray.kill(actor)
                raise
            for s, (dimension, metric, _pid) in described.items():
                if (dimension, metric) != (manifest.dimension, manifest.metric):
                    for actor in actors:
                        ray.kill(actor)
                    raise ValueError(
                        f"shard {s} of {path!r} has dimension {dimension} and metric {metric!r}, "
                        f"the manifest says {manifest.dimension} and {manifest.metric!r}"
                    )
            collection = ShardedCollection(shard_set, key)
            _open_roots[key] = collection
        return collection

    # Properties ------------------------------------------------------------

    @property
    def root(self) -> str:
        """The root directory, as an absolute path."""
        return self._shard_set.root

    @property
    def dimension(self) -> int:
        return self._shard_set.manifest.dimension

    @property
    def metric(self) -> str:
        return self._shard_set.manifest.metric

    @property
    def shards(self) -> int:
        return self._shard_set.manifest.shards

    @property
    def timeout(self) -> float:
        return self._shard_set.timeout

    @property
    def closed(self) -> bool:
        return self._closed

    @property
    def shard_set(self) -> ShardSet:
        """The actors, for the Ray Data paths (picklable)."""
        self._check_open()
        return self._shard_set

    def shard_of(self, id: int) -> int:
        """The shard that holds (or would hold) the id."""
        return shard_of(_batch.to_id(id), self.shards)

    def __repr__(self) -> str:
        return f"<velmoradb.ray.ShardedCollection root={self.root!r} shards={self.shards} dimension={self.dimension} metric={self.metric!r}{' closed' if self._closed else ''}>"

    # Writes ----------------------------------------------------------------

    def insert(self, id: int, vector: Sequence[float] | np.ndarray[Any, Any], payload: Mapping[str, Any] | None = None) -> None:
        """Inserts or replaces one record; durable when it returns."""
        self.insert_batch([_batch.to_id(id)], [vector], [payload])

    def insert_batch(self, ids: Any, vectors: Any, payloads: Sequence[Mapping[str, Any] | None] | None = None) -> None:
        """Inserts or replaces the records; each id replaces the record it
        has. Every row is checked before any shard writes. When the call
        returns, every shard it touched has forced its part to disk; when it
        raises IncompleteWriteError, that error names the ids that may not have
        been applied."""
        self._check_open()
        id_array = _batch.to_ids(ids)
        rows = _batch.to_rows(vectors, self.dimension, "vectors", id_array)
        if len(rows) != len(id_array):
            raise ValueError(f"ids has {len(id_array)} items but vectors has {len(rows)} rows")
        checked = None if payloads is None else _batch.check_payloads(payloads, id_array)
        insert_parts(self._shard_set, id_array, rows, checked, durable=True)

    def delete(self, id: int) -> bool:
        """Whether the id was present; durable when it returns."""
        return self.delete_batch([_batch.to_id(id)]) == 1

    def delete_batch(self, ids: Any) -> int:
        """How many of the ids were present; durable on every shard touched
        when it returns (IncompleteWriteError otherwise, as insert_batch)."""
        self._check_open()
        id_array = _batch.to_ids(ids)
        parts = parts_by_shard(id_array, self.shards)
        results = self._shard_set.write(
            "delete_batch", {s: (id_array[p], True) for s, p in parts.items()}, id_array, parts, repeatable=False
        )
        return sum(results.values())

    def flush(self) -> None:
        """The checkpoint of every shard (flush() of each collection)."""
        self._check_open()
        self._shard_set.read("flush", {s: () for s in range(self.shards)})

    def compact(self) -> CompactStats:
        """compact() of every shard; the statistics added up."""
        self._check_open()
        stats = self._shard_set.read("compact", {s: () for s in range(self.shards)})
        before, after, dropped = (sum(column) for column in zip(*stats.values()))
        return CompactStats(before, after, dropped)

    def wait_for_bound_codes(self) -> None:
        """wait_for_bound_codes() of every shard: returns once each shard's
        collection has its bound codes in use (each builds them on a thread
        of its own after its actor opens it; until then its searches scan
        every vector, with the same answers)."""
        self._check_open()
        self._shard_set.read("wait_for_bound_codes", {s: () for s in range(self.shards)})

    # Reads -----------------------------------------------------------------

    def get(self, id: int) -> Record | None:
        return self.get_batch([_batch.to_id(id)])[0]

    def get_batch(self, ids: Any) -> list[Record | None]:
        """The record of each id (None for a missing one), in the order given."""
        self._check_open()
        id_array = _batch.to_ids(ids)
        parts = parts_by_shard(id_array, self.shards)
        replies = self._shard_set.read("get_batch", {s: (id_array[p],) for s, p in parts.items()})
        records: list[Record | None] = [None] * len(id_array)
        for s, positions in parts.items():
            for position, found in zip(positions.tolist(), replies[s]):
                records[position] = None if found is None else Record(*found)
        return records

    def __contains__(self, id: object) -> bool:
        try:
            number = _batch.to_id(id)
        except (TypeError, OverflowError):
            return False
        return self.get(number) is not None

    def ids(self, where: Mapping[str, Any] | None = None) -> list[int]:
        """The ids of the records `where` matches, ascending."""
        self._check_open()
        replies = self._shard_set.read("ids", {s: (where,) for s in range(self.shards)})
        return merge_ids([replies[s] for s in range(self.shards)])

    def __len__(self) -> int:
        self._check_open()
        return sum(self._shard_set.read("count", {s: () for s in range(self.shards)}).values())

    def search(self, query: Any, k: int, *, where: Mapping[str, Any] | None = None) -> list[Hit]:
        """The k nearest records `where` matches, as (id, distance), nearest
        first: the same distances, bit for bit, as one collection holding every
        record would return."""
        self._check_open()
        return search_rows(self._shard_set, _batch.to_query(query, self.dimension), _check_k(k), where)[0]

    def search_batch(self, queries: Any, k: int, *, where: Mapping[str, Any] | None = None) -> list[list[Hit]]:
        """search() for each query."""
        self._check_open()
        return search_rows(self._shard_set, _batch.to_rows(queries, self.dimension, "queries"), _check_k(k), where)

    # Closing ---------------------------------------------------------------

    def close(self) -> None:
        """Closes every shard's collection (its log forced) and ends the
        actors. Idempotent; any other call afterwards raises
        ValueError("collection is closed")."""
        if self._closed:
            return
        self._closed = True
        shard_set = self._shard_set
        try:
            shard_set.read("close", {s: () for s in range(shard_set.manifest.shards)})
        finally:
            for actor in shard_set.actors:
                ray.kill(actor, no_restart=True)
            with _open_roots_lock:
                if _open_roots.get(self._key) is self:
                    del _open_roots[self._key]

    def __enter__(self) -> ShardedCollection:
        return self

    def __exit__(self, exc_type: type[BaseException] | None, exc_value: BaseException | None, traceback: TracebackType | None) -> None:
        self.close()

    def _check_open(self) -> None:
        if self._closed:
            raise ValueError("collection is closed")


def _check_k(k: object) -> int:
    if isinstance(k, bool) or not isinstance(k, int):
        raise TypeError(f"k must be an int, got {type(k).__name__}")
    if k < 0:
        raise OverflowError(f"k must not be negative, got {k}")
    return k


def insert_parts(
    shard_set: ShardSet, ids: np.ndarray[Any, Any], rows: np.ndarray[Any, Any],
    payloads: Sequence[Mapping[str, Any] | None] | None, *, durable: bool,
) -> int:
    """Sends each shard its rows of a checked batch; how many were written."""
    parts = parts_by_shard(ids, shard_set.manifest.shards)
    args = {
        s: (ids[p], rows[p], None if payloads is None else [payloads[i] for i in p.tolist()], durable)
        for s, p in parts.items()
    }
    return sum(shard_set.write("insert_batch", args, ids, parts, repeatable=True).values())


def search_rows(shard_set: ShardSet, queries: np.ndarray[Any, Any], k: int, where: Mapping[str, Any] | None) -> list[list[Hit]]:
    """The merged k nearest of every shard for each checked query row."""
    if len(queries) == 0:
        return []
    shards = shard_set.manifest.shards
    # Large batches go to the object store once, for every shard to read; a
    # put costs more than sending a few queries inline with each call.
    shared = ray.put(queries) if queries.nbytes >= _PUT_BYTES else queries
    replies = shard_set.read("search_batch", {s: (shared, k, where) for s in range(shards)})
    return [merge_hits([replies[s][q] for s in range(shards)], k) for q in range(len(queries))]
