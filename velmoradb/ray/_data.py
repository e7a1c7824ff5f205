"""Bulk work through Ray Data: loading a dataset into the shards, and
answering a dataset of queries.

Both run as `map_batches` tasks that carry the collection's ShardSet (the
actor handles): a load task checks its batch, splits it by shard and sends
each shard its rows, so every shard loads from several tasks at once; a search
task fans its queries out to every shard and merges, as ShardedCollection does.

A load's rows are staged in the shard actors' memory and written as few large
batches; at the end every shard writes the rest and flushes, and the driver
checks that no actor lost staged rows to a restart (_load.py).
"""

from __future__ import annotations

import functools
import os
from collections.abc import Iterator, Mapping, Sequence
from contextlib import contextmanager
from typing import Any

import numpy as np
import pyarrow as pa
import ray
import ray.data
from ray.data.block import BlockAccessor

from velmoradb.ray import _batch
from velmoradb.ray._actor import DEFAULT_STAGE_BYTES
from velmoradb.ray._collection import DEFAULT_TIMEOUT, ShardedCollection, open_collection_at, search_rows
from velmoradb.ray._load import LoadLedger, Receipt, finish_load, new_load, stage_parts
from velmoradb.ray._manifest import manifest_path, read_manifest
from velmoradb.ray._shards import ShardSet

RESULT_COLUMNS = ("ids", "distances")

_BATCH_BYTES = 32 << 20

_RECEIPT_SCHEMA = pa.schema([("shard", pa.int32()), ("rows", pa.int64()), ("incarnation", pa.string())])


def write_dataset(
    ds: ray.data.Dataset, root: str | os.PathLike[str] | ShardedCollection, *,
    dimension: int | None = None, metric: str | None = None, shards: int | None = None,
    id_column: str = "id", vector_column: str = "vector", payload_columns: Sequence[str] | None = None,
    batch_size: int | None = None, stage_bytes: int = DEFAULT_STAGE_BYTES, timeout: float = DEFAULT_TIMEOUT,
    actor_options: Mapping[str, Any] | None = None,
) -> int:
    """Loads `ds` into the sharded collection at `root`; returns the number of
    rows written.

    Columns: `id_column` (unsigned 64-bit ints), `vector_column` (fixed-size
    vectors) and payload fields: `payload_columns`, or by default every other
    column (a null leaves the field out of that record's payload). An id
    already present is replaced. When `root` holds no collection, `dimension`,
    `metric` and `shards` create one; given for an existing one, they must
    match it. `root` may be an open ShardedCollection (or the root of one open
    in this process): it is used and left open; otherwise the collection is
    opened for the load and closed after it.

    `batch_size` rows go to each task (by default about 32 MiB of vectors):
    larger batches spread Ray's fixed cost per task over more rows. Each
    shard's actor keeps the rows it is sent in memory until `stage_bytes` of
    vectors have gathered (DEFAULT_STAGE_BYTES, 64 MiB), then writes them as
    one batch; the rest are written at the end.

    Durable when it returns: every shard writes what it holds and is flushed
    at the end. Until then the staged rows live only in the actors' memory;
    IncompleteLoadError names the shards whose actor was restarted during the
    load (losing them), or that failed to write or flush. A load that fails may
    have written part of the dataset (rows still staged are written by the
    shard's next call, or when the collection is closed); running it again is
    safe. An id given twice keeps the later row when both are in one batch;
    across batches, whichever batch's task reaches the shard last (Ray does
    not order them).
    """
    _check_positive("batch_size", batch_size, allow_none=True)
    _check_positive("stage_bytes", stage_bytes, allow_none=False)
    names = _column_names(ds)
    fields = [name for name in names if name not in (id_column, vector_column)] if payload_columns is None else list(payload_columns)
    missing = [c for c in (id_column, vector_column, *fields) if c not in names]
    if missing:
        raise ValueError(f"the dataset has no column {missing[0]!r} (columns: {', '.join(names)})")
    with _collection(root, dimension, metric, shards, timeout, actor_options) as collection:
        if batch_size is None:
            batch_size = max(1_000, _BATCH_BYTES // (4 * collection.dimension))
        load = new_load()
        stage = functools.partial(
            _load_batch,
            shard_set=collection.shard_set,
            load=load,
            stage_bytes=stage_bytes,
            id_column=id_column,
            vector_column=vector_column,
            payload_columns=fields,
        )
        # The receipts stream back to this process (an aggregate would add a
        # shuffle stage to the job).
        ledger = LoadLedger()
        for receipts in ds.map_batches(stage, batch_size=batch_size, batch_format="pyarrow").iter_batches(
            batch_format="numpy", batch_size=None
        ):
            for shard, rows, incarnation in zip(receipts["shard"], receipts["rows"], receipts["incarnation"]):
                ledger.record(int(shard), int(rows), str(incarnation))
        finish_load(collection.shard_set, load, ledger)
        return ledger.total_rows


def search_dataset(
    ds: ray.data.Dataset, root: str | os.PathLike[str] | ShardedCollection, k: int, *,
    where: Mapping[str, Any] | None = None, vector_column: str = "vector", batch_size: int = 1_000,
    timeout: float = DEFAULT_TIMEOUT, actor_options: Mapping[str, Any] | None = None,
) -> ray.data.Dataset:
    """The k nearest records (`where` matches) for each query of `ds`.

    The result holds every column of `ds` and two more: `ids` (list of
    uint64) and `distances` (list of float32, the exact distances a
    collection returns), nearest first, row for row. It is materialised
    before this returns, so it stays valid after the collection is closed.
    """
    if isinstance(k, bool) or not isinstance(k, int) or k < 0:
        raise ValueError(f"k must be a non-negative int, got {k!r}")
    names = _column_names(ds)
    if vector_column not in names:
        raise ValueError(f"the dataset has no column {vector_column!r} (columns: {', '.join(names)})")
    clash = [c for c in RESULT_COLUMNS if c in names]
    if clash:
        raise ValueError(f"the dataset already has a column {clash[0]!r}; the results are written there")
    with _collection(root, None, None, None, timeout, actor_options) as collection:
        answer = functools.partial(
            _search_batch, shard_set=collection.shard_set, vector_column=vector_column, k=k, where=where
        )
        results: ray.data.Dataset = ds.map_batches(answer, batch_size=batch_size, batch_format="pyarrow").materialize()
        return results


def _check_positive(name: str, value: object, *, allow_none: bool) -> None:
    if value is None and allow_none:
        return
    if isinstance(value, bool) or not isinstance(value, int) or value < 1:
        raise ValueError(f"{name} must be a positive int, got {value!r}")


def _column_names(ds: ray.data.Dataset) -> list[str]:
    schema = ds.schema()  # None for a dataset without blocks
    return [] if schema is None else list(schema.names)


@contextmanager
def _collection(
    root: str | os.PathLike[str] | ShardedCollection, dimension: int | None, metric: str | None,
    shards: int | None, timeout: float, actor_options: Mapping[str, Any] | None,
) -> Iterator[ShardedCollection]:
    """The collection to work on, closed afterwards only when opened here."""
    given = root if isinstance(root, ShardedCollection) else open_collection_at(os.fspath(root))
    if given is not None:
        _check_matches(given.dimension, given.metric, given.shards, dimension, metric, shards, given.root)
        yield given
        return
    path = os.fspath(root)  # type: ignore[arg-type]
    if os.path.exists(manifest_path(path)):
        manifest = read_manifest(path)
        _check_matches(manifest.dimension, manifest.metric, manifest.shards, dimension, metric, shards, path)
        opened = ShardedCollection.open(path, timeout=timeout, actor_options=actor_options)
    elif dimension is None or metric is None or shards is None:
        raise FileNotFoundError(f"no sharded collection at {path!r}; give dimension, metric and shards to create one")
    else:
        opened = ShardedCollection.create(path, dimension, metric, shards=shards, timeout=timeout, actor_options=actor_options)
    with opened:
        yield opened


def _check_matches(
    dimension: int, metric: str, shards: int, want_dimension: int | None, want_metric: str | None,
    want_shards: int | None, root: str,
) -> None:
    for name, have, want in (("dimension", dimension, want_dimension), ("metric", metric, want_metric), ("shards", shards, want_shards)):
        if want is not None and want != have:
            raise ValueError(f"the sharded collection at {root!r} has {name} {have!r}, not {want!r}")


def _vectors(table: pa.Table, column: str) -> Any:
    vectors = BlockAccessor.for_block(table.select([column])).to_numpy(column)
    if isinstance(vectors, np.ndarray) and vectors.dtype == object:
        # A list column (vectors of any length): rows of their own.
        return list(vectors)
    return vectors


def _load_batch(
    table: pa.Table, shard_set: ShardSet, load: str, stage_bytes: int, id_column: str, vector_column: str,
    payload_columns: list[str],
) -> pa.Table:
    """Checks the batch and stages its rows on their shards; the receipt, a row
    per shard."""
    id_values = table.column(id_column)
    if id_values.null_count:
        raise ValueError(f"column {id_column!r} holds nulls: every row needs an id")
    # Through Ray's own conversion: ids beyond 2**63 may arrive as a column of Python objects.
    ids = _batch.to_ids(BlockAccessor.for_block(table.select([id_column])).to_numpy(id_column))
    rows = _batch.to_rows(_vectors(table, vector_column), shard_set.manifest.dimension, vector_column, ids)
    payloads = None
    if payload_columns:
        payloads = [
            {name: value for name, value in record.items() if value is not None} or None
            for record in table.select(payload_columns).to_pylist()
        ]
        _batch.check_payloads(payloads, ids)
    receipt = stage_parts(shard_set, load, ids, rows, payloads, stage_bytes) if len(ids) else {}
    return _receipt_table(receipt)


def _receipt_table(receipt: Receipt) -> pa.Table:
    shards = sorted(receipt)
    return pa.Table.from_pylist(
        [{"shard": s, "rows": receipt[s][0], "incarnation": receipt[s][1]} for s in shards], schema=_RECEIPT_SCHEMA
    )


def _search_batch(
    table: pa.Table, shard_set: ShardSet, vector_column: str, k: int, where: Mapping[str, Any] | None,
) -> pa.Table:
    queries = _batch.to_rows(_vectors(table, vector_column), shard_set.manifest.dimension, "queries")
    hits = search_rows(shard_set, queries, k, where)
    ids = pa.array([[i for i, _ in row] for row in hits], type=pa.list_(pa.uint64()))
    distances = pa.array([[d for _, d in row] for row in hits], type=pa.list_(pa.float32()))
    return table.append_column("ids", ids).append_column("distances", distances)
