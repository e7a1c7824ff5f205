"""The `velmoradb` command: demo, info, check, import, search.

Exit status: 0 on success (and for `check`, a healthy collection, torn tails
included: they are what a crash leaves and the next open cuts them off); 1
when `check` finds damage or the demo finds a result that disagrees with
numpy; 2 for every error (bad arguments, missing or unreadable files, a
refused vector), reported on stderr as one line; 141 (128 + SIGPIPE), with
nothing on stderr, when the reader of stdout goes away early, as in
`velmoradb info DIR | head -1`.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import signal
import struct
import sys
from collections.abc import Sequence
from typing import Any, NoReturn

from velmoradb import __version__, formats, health, vectorfiles

EXIT_OK = 0
EXIT_FAILED = 1
EXIT_ERROR = 2
EXIT_BROKEN_PIPE = 128 + signal.SIGPIPE

PYTHON_METRICS = ("euclidean", "cosine", "dot")


def main(argv: Sequence[str] | None = None) -> int:
    try:
        try:
            args = _parser().parse_args(argv)
        except SystemExit as e:  # --help, --version, or a usage error already reported
            sys.stdout.flush()
            return e.code if isinstance(e.code, int) else EXIT_OK
        status = int(args.run(args))
        # Output still buffered must reach a closed pipe here, inside the
        # handler, and not at interpreter exit.
        sys.stdout.flush()
        return status
    except BrokenPipeError:
        return _reader_went_away()
    except KeyboardInterrupt:
        print("velmoradb: interrupted", file=sys.stderr)
        return 130
    except (OSError, ValueError, TypeError, OverflowError, RuntimeError, ImportError, MemoryError) as e:
        print(f"velmoradb: error: {_describe(e)}", file=sys.stderr)
        return EXIT_ERROR


def _reader_went_away() -> int:
    """Ends quietly, as a Unix tool stopped by SIGPIPE does (the shell shows
    141). Python ignores SIGPIPE, so the closed pipe came back as an error;
    stdout is pointed at /dev/null so that the flush at exit fails no more."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)
    return EXIT_BROKEN_PIPE


def _describe(error: BaseException) -> str:
    if isinstance(error, OSError) and error.strerror and error.filename:
        text = f"{error.strerror}: {error.filename}"
    else:
        text = str(error) or type(error).__name__
    return " ".join(text.split())


class _Parser(argparse.ArgumentParser):
    """Reports a usage error as every other error: one line on stderr, exit 2."""

    def error(self, message: str) -> NoReturn:
        hint = f"{self.prog} --help"
        self.exit(EXIT_ERROR, f"velmoradb: error: {' '.join(message.split())} (see {hint})\n")


def _parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="velmoradb", description="Embedded vector database: tools for collection directories.")
    parser.add_argument("--version", action="version", version=f"velmoradb {__version__}")
    commands = parser.add_subparsers(title="commands", required=True, metavar="COMMAND")

    demo = commands.add_parser("demo", help="nearest neighbours of handwritten digits, checked against numpy")
    demo.add_argument(
        "--dir", help="build the collection here (an empty or new directory) and keep it; "
        "by default a temporary directory, deleted at the end"
    )
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
    load.add_argument("--batch-size", type=int, default=10_000, metavar="N", help="vectors per insert_batch (default 10000)")
    load.set_defaults(run=_run_import)

    search = commands.add_parser("search", help="nearest neighbours of one or more queries")
    search.add_argument("dir", metavar="DIR")
    query = search.add_mutually_exclusive_group(required=True)
    query.add_argument(
        "--query", help='one query as numbers: "1,2,3" or "1 2 3" (--query=-1,2,3 when the first is negative)'
    )
    query.add_argument(
        "--query-file", metavar="FILE", help="queries from a .npy (1-D: one query; 2-D: one per row) or .fvecs file"
    )
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
        ("next_id", _next_id_text(summary, meta)),
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
    next_id = health.next_id_after_replay(found)
    return {
        "directory": os.path.abspath(found.directory),
        "dimension": meta.dimension if meta else None,
        "metric": meta.metric if meta else None,
        "vectors": len(health.live_ids_after_replay(found)),
        "live_records": found.data.live,
        "retired_records": found.data.retired,
        "log_entries": len(found.log.entries),
        "next_id": next_id,
        # next_id is kept modulo 2**64; 0 is one more than the largest id, 2**64 - 1.
        "next_id_wrapped": next_id == 0,
        "meta": None if meta is None else {"vector_count": meta.vector_count, "next_id": meta.next_id},
        "file_sizes": found.sizes,
        "healthy": found.healthy,
        "warnings": found.warnings,
    }


def _next_id_text(summary: dict[str, Any], meta: formats.Meta | None) -> str:
    text = str(summary["next_id"])
    notes = ["wrapped: the largest id is 2**64 - 1, and one more is 0 modulo 2**64"] if summary["next_id_wrapped"] else []
    if meta is not None:
        notes.append(f"meta.json: {meta.next_id}")
    return text + (f" ({'; '.join(notes)})" if notes else "")


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

    from _velmoradb import Collection  # the payload-free class: its messages, and a search may use another metric than the stored one

    if args.batch_size < 1:
        raise ValueError("--batch-size must be at least 1")
    vectors = vectorfiles.load_vectors(args.file)
    count, dimension = vectors.shape
    ids = vectorfiles.load_ids(args.ids, count) if args.ids else None
    if ids is None and not 0 <= args.first_id <= formats.MAX_ID - max(count - 1, 0):
        raise ValueError(f"--first-id {args.first_id}: the ids would leave 0 .. 2**64 - 1")
    meta = _read_meta(args.dir)
    metric = args.metric or _stored_metric(args.dir, meta, dimension) or "euclidean"
    bad = vectorfiles.first_non_finite_row(vectors, args.batch_size)
    if bad is not None:
        raise ValueError(
            f"{args.file}: row {bad} has a NaN or infinite component (as float32); nothing was imported"
        )
    distinct = count if ids is None else _distinct_count(ids)

    collection = Collection.open_or_create(args.dir, dimension, metric)
    # The count before the import, as the open left it (log replayed): a
    # checkpoint writes it to meta.json.
    collection.flush()
    before = _read_meta(args.dir)
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
    after = _read_meta(args.dir)
    assert before is not None and after is not None  # both written by the flushes
    print(f"imported {count} vectors of dimension {dimension} into {args.dir} ({metric}); flushed")
    # An insert of an id the collection holds replaces it, the last row of an
    # id wins. Replacements: repeats within the file (count - distinct), and
    # ids the collection held before (what the count did not grow by).
    in_file = count - distinct
    in_collection = before.vector_count + distinct - after.vector_count
    replaced = in_file + in_collection
    print(
        (f"{replaced} replaced an earlier vector of the same id ({in_file} repeated within the file, "
         f"{in_collection} already in the collection)" if replaced else "no id replaced an earlier vector")
        + f"; the collection holds {_plural(after.vector_count, 'vector')}"
    )
    return EXIT_OK


def _plural(count: int, noun: str) -> str:
    return f"{count} {noun}" if count == 1 else f"{count} {noun}s"


def _distinct_count(ids: Any) -> int:
    np = vectorfiles.require_numpy("counting ids")
    return int(np.unique(ids).size)


def _read_meta(directory: str) -> formats.Meta | None:
    """meta.json of `directory`, or None if it has none; a file that cannot
    be decoded is an error that names it."""
    path = os.path.join(directory, formats.META_FILE)
    try:
        return formats.read_meta(directory)
    except FileNotFoundError:
        return None
    except NotADirectoryError:
        raise ValueError(f"{directory} is a file, not a directory") from None
    except formats.FormatError as e:
        raise ValueError(f"{path} cannot be decoded: {e}") from None


def _stored_metric(directory: str, meta: formats.Meta | None, dimension: int) -> str | None:
    """The metric of an existing collection, checked against the file's dimension."""
    if meta is None:
        return None
    if meta.dimension != dimension:
        raise ValueError(f"the vectors have {dimension} components, the collection in {directory} {meta.dimension}")
    if meta.python_metric is None:
        raise ValueError(f"meta.json names the metric {meta.metric!r}; choose one with --metric")
    return meta.python_metric


# --- search -----------------------------------------------------------------


def _run_search(args: argparse.Namespace) -> int:
    from _velmoradb import Collection  # the payload-free class: its messages, and a search may use another metric than the stored one

    if args.k < 0:
        raise ValueError("-k must not be negative")
    meta = _read_meta(args.dir)
    if meta is None:
        raise ValueError(f"not a collection (no meta.json): {args.dir}")
    metric = args.metric or meta.python_metric
    if metric is None:
        raise ValueError(f"meta.json names the metric {meta.metric!r}; choose one with --metric")
    queries = _queries(args, meta.dimension)
    collection = Collection.open_or_create(args.dir, meta.dimension, metric)
    results = collection.search_batch(queries, args.k)
    if args.json:
        print(json.dumps([[{"id": i, "distance": _json_float(d)} for i, d in hits] for hits in results]))
    else:
        _print_table(results)
    return EXIT_OK


def _queries(args: argparse.Namespace, dimension: int) -> Any:
    """The queries, each of `dimension` components, all finite as float32:
    a list of one list for --query (no numpy needed), else a 2-D array."""
    if args.query is not None:
        query = vectorfiles.parse_query(args.query)
        if len(query) != dimension:
            raise ValueError(f"--query has {len(query)} numbers, the collection's dimension is {dimension}")
        if not all(_finite_float32(x) for x in query):
            raise ValueError(f"--query: {next(x for x in query if not _finite_float32(x))} is not a finite float32")
        return [query]
    queries = vectorfiles.load_vectors(args.query_file, one_vector_as_1d=True)
    if queries.shape[1] != dimension:
        raise ValueError(
            f"{args.query_file}: the queries have {queries.shape[1]} components, the collection's dimension is {dimension}"
        )
    bad = vectorfiles.first_non_finite_row(queries, 10_000)
    if bad is not None:
        raise ValueError(f"{args.query_file}: row {bad} has a NaN or infinite component (as float32)")
    return vectorfiles.contiguous_rows(queries, 0, queries.shape[0])


def _finite_float32(value: float) -> bool:
    try:
        struct.pack("<f", value)  # rounds to float32; OverflowError beyond its range
    except OverflowError:
        return False
    return math.isfinite(value)


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
