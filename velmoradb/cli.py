"""The `velmoradb` command: demo, info, check, import, search.

Exit status: 0 on success (and for `check`, a healthy collection, torn tails
included: they are what a crash leaves and the next open cuts them off); 1
when `check` finds damage or the demo finds a result that disagrees with
numpy; 2 for every error (bad arguments, missing or unreadable files, a
refused vector), reported on stderr as one line.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
from collections.abc import Sequence
from typing import Any

from velmoradb import __version__, formats, health, vectorfiles

EXIT_OK = 0
EXIT_FAILED = 1
EXIT_ERROR = 2

PYTHON_METRICS = ("euclidean", "cosine", "dot")


def main(argv: Sequence[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    try:
        return int(args.run(args))
    except KeyboardInterrupt:
        print("velmoradb: interrupted", file=sys.stderr)
        return 130
    except (OSError, ValueError, TypeError, OverflowError, RuntimeError, ImportError, MemoryError) as e:
        print(f"velmoradb: error: {_describe(e)}", file=sys.stderr)
        return EXIT_ERROR


def _describe(error: BaseException) -> str:
    if isinstance(error, OSError) and error.strerror and error.filename:
        text = f"{error.strerror}: {error.filename}"
    else:
        text = str(error) or type(error).__name__
    return " ".join(text.split())


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="velmoradb", description="Embedded vector database: tools for collection directories."
    )
    parser.add_argument("--version", action="version", version=f"velmoradb {__version__}")
    commands = parser.add_subparsers(title="commands", required=True, metavar="COMMAND")

    demo = commands.add_parser("demo", help="nearest neighbours of handwritten digits, checked against numpy")
    demo.add_argument("--dir", help="build the collection here (an empty or new directory) instead of a temporary one")
    demo.set_defaults(run=_run_demo)

    info = commands.add_parser("info", help="settings, counts and file sizes of a collection (reads only)")
    info.add_argument("dir", metavar="DIR")
    info.add_argument("--json", action="store_true", help="print JSON")
    info.set_defaults(run=_run_info)

    check = commands.add_parser("check", help="read every log frame and data record; exit 1 on damage")
    check.add_argument("dir", metavar="DIR")
    check.set_defaults(run=_run_check)

    load = commands.add_parser("import", help="insert vectors from a .npy or .fvecs file, then flush")
    load.add_argument("dir", metavar="DIR")
    load.add_argument("file", metavar="FILE", help=".npy (2-D float32/float64) or .fvecs")
    load.add_argument("--ids", metavar="IDS.npy", help="1-D .npy of integer ids, one per vector (default: row numbers)")
    load.add_argument("--first-id", type=int, default=0, help="id of row 0 when ids are row numbers (default 0)")
    load.add_argument("--metric", choices=PYTHON_METRICS, help="default: the collection's, or euclidean for a new one")
    load.add_argument("--batch-size", type=int, default=10_000, metavar="N", help="vectors per insert_batch")
    load.set_defaults(run=_run_import)

    search = commands.add_parser("search", help="nearest neighbours of one or more queries")
    search.add_argument("dir", metavar="DIR")
    query = search.add_mutually_exclusive_group(required=True)
    query.add_argument("--query", help='one query as numbers: "1,2,3"')
    query.add_argument("--query-file", metavar="Q.npy", help="1-D (one query) or 2-D (one per row) .npy")
    search.add_argument("-k", type=int, default=10, help="neighbours per query (default 10)")
    search.add_argument("--metric", choices=PYTHON_METRICS, help="default: the metric in meta.json")
    search.add_argument("--json", action="store_true", help="print JSON")
    search.set_defaults(run=_run_search)
    return parser


# --- demo -------------------------------------------------------------------


def _run_demo(args: argparse.Namespace) -> int:
    from velmoradb import demo

    return EXIT_OK if demo.run(args.dir) else EXIT_FAILED


# --- info -------------------------------------------------------------------


def _run_info(args: argparse.Namespace) -> int:
    found = health.inspect(args.dir)
    summary = _info_summary(found)
    if args.json:
        print(json.dumps(summary, indent=2))
        return EXIT_OK
    meta = found.meta
    rows = [("collection", os.path.abspath(args.dir))]
    if meta is not None:
        opened_as = f"--metric {meta.python_metric}" if meta.python_metric else "no Python name"
        rows += [("dimension", str(meta.dimension)), ("metric", f"{meta.metric} ({opened_as})")]
    rows += [
        ("vectors", f"{summary['vectors']} after replaying the log"
                    + (f" (meta.json: {meta.vector_count})" if meta else "")),
        ("records", f"{found.data.live} live, {found.data.retired} retired (replaced) in data.vdb"),
        ("log entries", f"{len(found.log.entries)} waiting for a checkpoint"),
        ("next_id", f"{summary['next_id']}" + (f" (meta.json: {meta.next_id})" if meta else "")),
    ]
    rows += [(name, _bytes(size)) for name, size in found.sizes.items()]
    width = max(len(label) for label, _ in rows)
    for label, value in rows:
        print(f"{label:<{width}}  {value}")
    for warning in found.warnings:
        print(f"warning: {warning}")
    if found.damage is not None:
        print(f"damage: {found.damage.file} at byte offset {found.damage.offset} (run velmoradb check)")
    return EXIT_OK


def _info_summary(found: health.Inspection) -> dict[str, Any]:
    meta = found.meta
    return {
        "directory": os.path.abspath(found.directory),
        "dimension": meta.dimension if meta else None,
        "metric": meta.metric if meta else None,
        "vectors": len(health.live_ids_after_replay(found)),
        "live_records": found.data.live,
        "retired_records": found.data.retired,
        "log_entries": len(found.log.entries),
        "next_id": health.next_id_after_replay(found),
        "meta": None if meta is None else {"vector_count": meta.vector_count, "next_id": meta.next_id},
        "file_sizes": found.sizes,
        "healthy": found.healthy,
        "warnings": found.warnings,
    }


def _bytes(size: int | None) -> str:
    return "absent" if size is None else f"{size:,} bytes"


# --- check ------------------------------------------------------------------


def _run_check(args: argparse.Namespace) -> int:
    found = health.inspect(args.dir)
    for warning in found.warnings:
        print(f"warning: {warning}")
    if found.damage is not None:
        d = found.damage
        print(f"damage: {d.file} at byte offset {d.offset}: {d.message}")
        print("The collection is damaged: copy the directory before opening it.")
        return EXIT_FAILED
    print(
        f"healthy: {os.path.abspath(args.dir)}: meta.json, "
        f"{len(found.log.entries)} log frames ({_bytes(found.log.file_length)}), "
        f"{found.data.live + found.data.retired} data records ({_bytes(found.data.file_length)})"
    )
    return EXIT_OK


# --- import -----------------------------------------------------------------


def _run_import(args: argparse.Namespace) -> int:
    from tqdm import tqdm

    from velmoradb import Collection

    if args.batch_size < 1:
        raise ValueError("--batch-size must be at least 1")
    vectors = vectorfiles.load_vectors(args.file)
    count, dimension = vectors.shape
    ids = vectorfiles.load_ids(args.ids, count) if args.ids else None
    if ids is None and not 0 <= args.first_id <= formats.MAX_ID - max(count - 1, 0):
        raise ValueError(f"--first-id {args.first_id}: the ids would leave 0 .. 2**64 - 1")
    metric = args.metric or _stored_metric(args.dir, dimension) or "euclidean"
    bad = vectorfiles.first_non_finite_row(vectors, args.batch_size)
    if bad is not None:
        raise ValueError(f"{args.file}: row {bad} has a NaN or infinite component; nothing was imported")

    collection = Collection.open_or_create(args.dir, dimension, metric)
    with tqdm(total=count, unit="vec", desc="import", disable=None, file=sys.stderr) as bar:
        for start in range(0, count, args.batch_size):
            stop = min(start + args.batch_size, count)
            batch_ids: Sequence[int] = (
                ids[start:stop].tolist() if ids is not None
                else range(args.first_id + start, args.first_id + stop)
            )
            collection.insert_batch(batch_ids, vectorfiles.contiguous_rows(vectors, start, stop))
            bar.update(stop - start)
    collection.flush()
    print(f"imported {count} vectors of dimension {dimension} into {args.dir} ({metric}); flushed")
    return EXIT_OK


def _stored_metric(directory: str, dimension: int) -> str | None:
    """The metric of an existing collection, checked against the file's dimension."""
    try:
        meta = formats.read_meta(directory)
    except FileNotFoundError:
        return None
    if meta.dimension != dimension:
        raise ValueError(f"the vectors have {dimension} components, the collection in {directory} {meta.dimension}")
    if meta.python_metric is None:
        raise ValueError(f"meta.json names the metric {meta.metric!r}; choose one with --metric")
    return meta.python_metric


# --- search -----------------------------------------------------------------


def _run_search(args: argparse.Namespace) -> int:
    from velmoradb import Collection

    if args.k < 0:
        raise ValueError("-k must not be negative")
    try:
        meta = formats.read_meta(args.dir)
    except FileNotFoundError:
        raise ValueError(f"not a collection (no meta.json): {args.dir}") from None
    metric = args.metric or meta.python_metric
    if metric is None:
        raise ValueError(f"meta.json names the metric {meta.metric!r}; choose one with --metric")
    queries: Any = [vectorfiles.parse_query(args.query)] if args.query else vectorfiles.load_queries(args.query_file)
    for number, query in enumerate(queries):
        if len(query) != meta.dimension:
            raise ValueError(f"query {number} has {len(query)} components, the collection {meta.dimension}")

    collection = Collection.open_or_create(args.dir, meta.dimension, metric)
    results = collection.search_batch(queries, args.k)
    if args.json:
        print(json.dumps([[{"id": i, "distance": _json_float(d)} for i, d in hits] for hits in results]))
    else:
        _print_table(results)
    return EXIT_OK


def _json_float(value: float) -> float | str:
    # JSON has no NaN or infinity; say them as text.
    return value if math.isfinite(value) else str(value)


def _print_table(results: list[list[tuple[int, float]]]) -> None:
    rows = [("query", "rank", "id", "distance")]
    for number, hits in enumerate(results):
        rows += [(str(number), str(rank), str(i), f"{d:.9g}") for rank, (i, d) in enumerate(hits, 1)]
    widths = [max(len(row[c]) for row in rows) for c in range(4)]
    for row in rows:
        print("  ".join(cell.rjust(width) for cell, width in zip(row, widths)).rstrip())
    if all(not hits for hits in results):
        print("(no results: the collection is empty or k is 0)")
