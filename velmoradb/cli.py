"""The `velmoradb` command: demo, info, check, import, search, compact.

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

    demo = commands.add_parser(
        "demo", help="nearest neighbours of handwritten digits (or, with 'text', a docstring search), "
        "checked against numpy"
    )
    demo.add_argument(
        "data", nargs="?", choices=("digits", "text"), default="digits",
        help="digits (default): scikit-learn's handwritten digits; text: the standard library's docstrings, "
        "searched in plain English",
    )
    demo.add_argument(
        "--dir", help="build the collection here (an empty or new directory) and keep it; "
        "by default a temporary directory, deleted at the end"
    )
    demo.add_argument(
        "--limit", type=int, metavar="N", help="text only: index N of the docstrings (at least 10; default all)"
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
    load.add_argument(
        "--batch-size", type=int, metavar="N",
        help="vectors per insert_batch (default: 256 MiB of vectors, at least 10000)",
    )
    load.add_argument(
        "--payloads", metavar="FILE.jsonl",
        help="payloads: one JSON object per line, one line per vector (default: none)",
    )
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
    search.add_argument(
        "--where", metavar="JSON", help='only records whose payload matches this filter, e.g. \'{"genre": "jazz"}\''
    )
    search.add_argument("--payloads", action="store_true", help="print each hit's payload")
    search.add_argument("--json", action="store_true", help="print JSON")
    search.set_defaults(run=_run_search)

    compact = commands.add_parser("compact", help="rewrite data.vdb without deleted and replaced records")
    compact.add_argument("dir", metavar="DIR")
    compact.add_argument("--json", action="store_true", help="print JSON")
    compact.set_defaults(run=_run_compact)
    return parser


# --- demo -------------------------------------------------------------------


def _run_demo(args: argparse.Namespace) -> int:
    if args.data == "text":
        from velmoradb import demo_text

        return EXIT_OK if demo_text.run(args.dir, args.limit) else EXIT_FAILED
    if args.limit is not None:
        raise ValueError("--limit applies to 'velmoradb demo text' only")
    from velmoradb import demo

    return EXIT_OK if demo.run(args.dir) else EXIT_FAILED


# --- info -------------------------------------------------------------------


def _run_info(args: argparse.Namespace) -> int:
    found = health.inspect(args.dir)
    summary = _info_summary(found)
    summary["reclaimable_bytes"], summary["reclaimable_unknown"] = _reclaimable(found)
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
        ("records", f"{found.data.live} live, {found.data.retired} deleted or replaced in data.vdb"),
        ("reclaimable", f"{summary['reclaimable_bytes']:,} bytes (velmoradb compact removes them)"
                        if summary["reclaimable_bytes"] is not None
                        else f"unknown: {summary['reclaimable_unknown']}"),
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


def _reclaimable(found: health.Inspection) -> tuple[int | None, str | None]:
    """The bytes of data.vdb that compaction would remove, as the engine
    counts them through a read-only open (which never writes); None and the
    reason when the collection cannot be opened so (not a collection,
    damage, or a writer holding it)."""
    from velmoradb import Collection

    if found.meta is None:
        return None, "no readable meta.json"
    try:
        with Collection.open(found.directory, read_only=True) as collection:
            return collection.reclaimable_bytes, None
    except (OSError, ValueError, RuntimeError) as e:
        return None, _describe(e)


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


_IMPORT_BATCH_BYTES = 256 << 20
_IMPORT_MIN_BATCH = 10_000


def _run_import(args: argparse.Namespace) -> int:
    from tqdm import tqdm

    if args.batch_size is not None and args.batch_size < 1:
        raise ValueError("--batch-size must be at least 1")
    vectors = vectorfiles.load_vectors(args.file)
    count, dimension = vectors.shape
    # Large batches are bulk inserts, written once, straight to the data
    # file; each costs a few forced writes, so they are made large.
    batch_size = args.batch_size or max(_IMPORT_MIN_BATCH, _IMPORT_BATCH_BYTES // (4 * max(dimension, 1)))
    ids = vectorfiles.load_ids(args.ids, count) if args.ids else None
    if ids is None and not 0 <= args.first_id <= formats.MAX_ID - max(count - 1, 0):
        raise ValueError(f"--first-id {args.first_id}: the ids would leave 0 .. 2**64 - 1")
    meta = _read_meta(args.dir)
    stored = _stored_metric(args.dir, meta, dimension)
    metric = args.metric or stored or "euclidean"
    bad = vectorfiles.first_non_finite_row(vectors, batch_size)
    if bad is not None:
        raise ValueError(
            f"{args.file}: row {bad} has a NaN or infinite component (as float32); nothing was imported"
        )
    payloads = _load_payloads(args.payloads, count, args.file) if args.payloads else None
    distinct = count if ids is None else _distinct_count(ids)

    collection = _open_for_import(args.dir, dimension, metric, with_payloads=payloads is not None,
                                  metric_changes=stored is not None and metric != stored)
    try:
        # The count before the import, as the open left it (log replayed): a
        # checkpoint writes it to meta.json.
        collection.flush()
        before = _read_meta(args.dir)
        with tqdm(total=count, unit="vec", desc="import", disable=None, file=sys.stderr) as bar:
            for start in range(0, count, batch_size):
                stop = min(start + batch_size, count)
                batch_ids: Sequence[int] = (
                    ids[start:stop].tolist() if ids is not None
                    else range(args.first_id + start, args.first_id + stop)
                )
                rows = vectorfiles.contiguous_rows(vectors, start, stop)
                if payloads is None:
                    collection.insert_batch(batch_ids, rows)
                else:
                    collection.insert_batch(batch_ids, rows, payloads[start:stop])
                bar.update(stop - start)
        collection.flush()
    finally:
        if hasattr(collection, "close"):  # the payload-free class closes when collected
            collection.close()
    after = _read_meta(args.dir)
    assert before is not None and after is not None  # both written by the flushes
    with_payloads = f" with payloads from {args.payloads}" if payloads is not None else ""
    print(f"imported {count} vectors of dimension {dimension}{with_payloads} into {args.dir} ({metric}); flushed")
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


def _open_for_import(directory: str, dimension: int, metric: str, *, with_payloads: bool,
                     metric_changes: bool) -> Any:
    """The records class, whose large batches are bulk inserts; the
    payload-free class for a plain import whose --metric differs from the
    stored one (it allows that, and the flush writes the new metric)."""
    if with_payloads or not metric_changes:
        import velmoradb

        return velmoradb.Collection.open_or_create(directory, dimension, metric)
    from _velmoradb import Collection

    return Collection.open_or_create(directory, dimension, metric)


# The payload rules the engine applies, checked here for the whole file
# first so that a bad line is reported by its number before anything is
# written: ints -2**63 .. 2**64-1, finite floats, at most this many nested
# containers counting the payload object itself.
_MIN_PAYLOAD_INT = -(2**63)
_MAX_PAYLOAD_INT = 2**64 - 1
_MAX_PAYLOAD_DEPTH = 126


def _load_payloads(path: str, count: int, vectors_file: str) -> list[dict[str, Any]]:
    """One payload per line of the JSON-lines file `path`, each a JSON
    object; `count` of them. Every line is checked before any is used."""
    with open(path, "rb") as f:
        data = f.read()
    lines = data.split(b"\n")
    if lines and lines[-1] == b"":
        lines.pop()  # the newline that ends the last line
    if len(lines) != count:
        raise ValueError(
            f"{path} has {len(lines)} lines, {vectors_file} {count} vectors: one payload per vector; nothing was imported"
        )
    payloads: list[dict[str, Any]] = []
    for number, line in enumerate(lines, 1):
        try:
            payloads.append(_parse_payload_line(line))
        except (ValueError, RecursionError) as e:
            reason = "nested too deeply" if isinstance(e, RecursionError) else _describe(e)
            raise ValueError(f"{path} line {number}: {reason}; nothing was imported") from None
    return payloads


def _reject_constant(name: str) -> Any:
    raise ValueError(f"{name} is not a number a payload may hold")


def _parse_payload_line(line: bytes) -> dict[str, Any]:
    try:
        text = line.decode("utf-8")
    except UnicodeDecodeError as e:
        raise ValueError(f"not UTF-8 (byte {e.start})") from None
    if not text.strip():
        raise ValueError("an empty line (each line holds one JSON object, {} for none)")
    try:
        value = json.loads(text, parse_constant=_reject_constant)
    except json.JSONDecodeError as e:
        raise ValueError(f"not valid JSON: {e}") from None
    if not isinstance(value, dict):
        raise ValueError(f"a payload is a JSON object, not {type(value).__name__}")
    _check_payload_value(value, "payload", 1)
    return value


def _check_payload_value(value: Any, place: str, depth: int) -> None:
    if isinstance(value, (dict, list)):
        if depth > _MAX_PAYLOAD_DEPTH:
            raise ValueError(f"{place}: nested more than {_MAX_PAYLOAD_DEPTH} levels deep")
        items = value.items() if isinstance(value, dict) else enumerate(value)
        for key, item in items:
            _check_payload_value(item, f"{place}[{key!r}]", depth + 1)
    elif isinstance(value, int) and not isinstance(value, bool):
        if not _MIN_PAYLOAD_INT <= value <= _MAX_PAYLOAD_INT:
            raise ValueError(f"{place}: {value} is outside -2**63 .. 2**64-1")
    elif isinstance(value, float) and not math.isfinite(value):
        raise ValueError(f"{place}: a number beyond the range of a float")


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
    if args.k < 0:
        raise ValueError("-k must not be negative")
    where = _parse_where(args.where) if args.where is not None else None
    meta = _read_meta(args.dir)
    if meta is None:
        raise ValueError(f"not a collection (no meta.json): {args.dir}")
    records = where is not None or args.payloads
    if records and args.metric and args.metric != meta.python_metric:
        raise ValueError(
            f"--where and --payloads search with the collection's metric ({meta.python_metric or meta.metric}), "
            f"not --metric {args.metric}"
        )
    metric = args.metric or meta.python_metric
    if metric is None:
        raise ValueError(f"meta.json names the metric {meta.metric!r}; choose one with --metric")
    queries = _queries(args, meta.dimension)
    payloads: dict[int, Any] | None = None
    if records:
        import velmoradb

        # A read-only open: it replays the log in memory and never writes.
        with velmoradb.Collection.open(args.dir, read_only=True) as collection:
            results = collection.search_batch(queries, args.k, where=where)
            if args.payloads:
                hit_ids = sorted({i for hits in results for i, _ in hits})
                payloads = {r.id: r.payload for r in collection.get_batch(hit_ids) if r is not None}
    else:
        from _velmoradb import Collection  # the payload-free class: its messages, and a search may use another metric than the stored one

        results = Collection.open_or_create(args.dir, meta.dimension, metric).search_batch(queries, args.k)
    if args.json:
        print(json.dumps([[_json_hit(i, d, payloads) for i, d in hits] for hits in results]))
    else:
        _print_table(results, payloads, filtered=where is not None)
    return EXIT_OK


def _parse_where(text: str) -> dict[str, Any]:
    """The --where filter as JSON; its operators are checked by the engine."""
    try:
        where = json.loads(text, parse_constant=_reject_constant)
    except json.JSONDecodeError as e:
        raise ValueError(f"--where is not valid JSON: {e}") from None
    except ValueError as e:
        raise ValueError(f"--where: {e}") from None
    if not isinstance(where, dict):
        raise ValueError(f"--where must be a JSON object, not {type(where).__name__}")
    return where


def _json_hit(id: int, distance: float, payloads: dict[int, Any] | None) -> dict[str, Any]:
    hit: dict[str, Any] = {"id": id, "distance": _json_float(distance)}
    if payloads is not None:
        hit["payload"] = payloads.get(id)
    return hit


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


def _print_table(
    results: list[list[tuple[int, float]]], payloads: dict[int, Any] | None = None, *, filtered: bool = False
) -> None:
    rows = [("query", "rank", "id", "distance")]
    for number, hits in enumerate(results):
        rows += [(str(number), str(rank), str(i), f"{d:.9g}") for rank, (i, d) in enumerate(hits, 1)]
    widths = [max(len(row[c]) for row in rows) for c in range(4)]
    for line, row in enumerate(rows):
        text = "  ".join(cell.rjust(width) for cell, width in zip(row, widths))
        if payloads is not None:
            # The payload as compact JSON, the last column, not padded.
            text += "  " + ("payload" if line == 0 else json.dumps(payloads.get(int(row[2])), ensure_ascii=False))
        print(text.rstrip())
    if all(not hits for hits in results):
        if filtered:
            print("(no results: no record matches --where, or k is 0)")
        else:
            print("(no results: the collection is empty or k is 0)")


# --- compact ----------------------------------------------------------------


def _run_compact(args: argparse.Namespace) -> int:
    import velmoradb

    if _read_meta(args.dir) is None:
        raise ValueError(f"not a collection (no meta.json): {args.dir}")
    with velmoradb.Collection.open(args.dir) as collection:
        stats = collection.compact()
    if args.json:
        print(json.dumps(stats._asdict()))
        return EXIT_OK
    print(
        f"compacted {args.dir}: data.vdb {stats.bytes_before:,} -> {stats.bytes_after:,} bytes "
        f"({stats.bytes_before - stats.bytes_after:,} reclaimed); "
        f"{_plural(stats.records_dropped, 'record')} dropped"
    )
    return EXIT_OK
