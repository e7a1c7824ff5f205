"""The `velmoradb` command, run as a user runs it: the console script in a
subprocess, on collection directories written by the real module."""

from __future__ import annotations

import hashlib
import json
import os
import shutil
import signal
import struct
import subprocess
import sys
import zlib
from pathlib import Path

import numpy as np
import pytest

import _velmoradb
import velmoradb

DIM = 3
FLUSHED = 10
FRAME_HEADER = struct.Struct("<II")


def velmoradb_command() -> list[str]:
    """The console script installed beside this interpreter."""
    script = shutil.which("velmoradb", path=os.path.dirname(sys.executable))
    if script is None:
        pytest.fail("the velmoradb console script is not installed beside " + sys.executable)
    return [script]


def run(*args: str | os.PathLike[str]) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        velmoradb_command() + [str(a) for a in args], capture_output=True, text=True, timeout=300
    )


def vector(i: int) -> list[float]:
    return [float(i), 1.5, -2.0]


@pytest.fixture
def collection(tmp_path: Path) -> Path:
    """10 flushed inserts, then 5 more and a replacement of id 3 left in the log."""
    path = tmp_path / "c"
    c = _velmoradb.Collection.open_or_create(str(path), DIM, "euclidean")
    c.insert_batch(range(FLUSHED), [vector(i) for i in range(FLUSHED)])
    c.flush()
    for i in range(FLUSHED, FLUSHED + 5):
        c.insert(i, vector(i))
    c.insert(3, [9.0, 9.0, 9.0])
    del c  # writes out the buffers, no checkpoint
    return path


def digest(path: Path) -> dict[str, str]:
    return {p.name: hashlib.sha256(p.read_bytes()).hexdigest() for p in sorted(path.iterdir())}


# --- scenario verbs -----------------------------------------------------------


def frame_offsets(log: Path) -> list[int]:
    data = log.read_bytes()
    offsets, offset = [], 0
    while offset < len(data):
        offsets.append(offset)
        offset += FRAME_HEADER.size + FRAME_HEADER.unpack_from(data, offset)[1]
    return offsets


def record_size() -> int:
    return 17 + 4 * DIM + len(b'{"data":{}}')


def flip_byte(path: Path, offset: int) -> None:
    data = bytearray(path.read_bytes())
    data[offset] ^= 0x20
    path.write_bytes(bytes(data))


def put(path: Path, offset: int, raw: bytes) -> None:
    data = bytearray(path.read_bytes())
    data[offset : offset + len(raw)] = raw
    path.write_bytes(bytes(data))


def rewrite_frame_with_checksum(log: Path, offset: int, text: bytes) -> None:
    """Replaces a frame's JSON and fixes its checksum, so the decoder is what refuses it."""
    data = log.read_bytes()
    size = FRAME_HEADER.unpack_from(data, offset)[1]
    frame = FRAME_HEADER.pack(zlib.crc32(text), len(text)) + text
    log.write_bytes(data[:offset] + frame + data[offset + FRAME_HEADER.size + size :])


def truncate_to(path: Path, length: int) -> None:
    with open(path, "r+b") as f:
        f.truncate(length)


# --- check --------------------------------------------------------------------


def test_check_healthy_collection_exits_0(collection: Path) -> None:
    result = run("check", collection)
    assert result.returncode == 0, result.stderr
    assert "healthy" in result.stdout
    assert "6 log frames" in result.stdout and "16 data records" in result.stdout


def damage_log_data(path: Path) -> tuple[str, int]:
    offset = frame_offsets(path / "wal.log")[1]
    flip_byte(path / "wal.log", offset + 20)
    return "wal.log", offset


def damage_log_checksum(path: Path) -> tuple[str, int]:
    offset = frame_offsets(path / "wal.log")[2]
    flip_byte(path / "wal.log", offset + 1)
    return "wal.log", offset


def damage_log_length(path: Path) -> tuple[str, int]:
    # A length running past the end of the file looks like a torn tail, but
    # intact frames follow it.
    offset = frame_offsets(path / "wal.log")[1]
    put(path / "wal.log", offset + 4, struct.pack("<I", 1 << 20))
    return "wal.log", offset


def damage_log_entry(path: Path) -> tuple[str, int]:
    offset = frame_offsets(path / "wal.log")[3]
    rewrite_frame_with_checksum(path / "wal.log", offset, b'{"kind":"Insert","vector":[1.0,2.0,3.0],"payload":{"data":{}}}')
    return "wal.log", offset


def damage_log_dimension(path: Path) -> tuple[str, int]:
    # A well-formed entry that replay would refuse.
    offset = frame_offsets(path / "wal.log")[0]
    rewrite_frame_with_checksum(path / "wal.log", offset, b'{"kind":"Insert","id":7,"vector":[1.0],"payload":{"data":{}}}')
    return "wal.log", offset


def damage_data_payload(path: Path) -> tuple[str, int]:
    offset = 4 * record_size()
    put(path / "data.vdb", offset + 17 + 4 * DIM, b"x")
    return "data.vdb", offset


def damage_data_dim(path: Path) -> tuple[str, int]:
    offset = 4 * record_size()
    put(path / "data.vdb", offset + 9, struct.pack("<I", 1 << 24 | DIM))
    return "data.vdb", offset


def damage_meta(path: Path) -> tuple[str, int]:
    (path / "meta.json").write_text('{"dimension": 3, "metric": "Euclidean"}')
    return "meta.json", 0


@pytest.mark.parametrize(
    "damage, words",
    [
        (damage_log_data, "checksum mismatch"),
        (damage_log_checksum, "checksum mismatch"),
        (damage_log_length, "length field is damaged"),
        (damage_log_entry, "missing field `id`"),
        (damage_log_dimension, "has 1 components"),
        (damage_data_payload, "payload cannot be decoded"),
        (damage_data_dim, "dim or payload_len field is damaged"),
        (damage_meta, "missing field `vector_count`"),
    ],
    ids=lambda p: getattr(p, "__name__", ""),
)
def test_check_names_the_first_damage_and_exits_1(collection: Path, damage, words: str) -> None:
    file, offset = damage(collection)
    before = digest(collection)
    result = run("check", collection)
    assert result.returncode == 1, result.stdout + result.stderr
    assert f"damage: {file} at byte offset {offset}: " in result.stdout
    assert words in result.stdout
    assert digest(collection) == before  # check changes nothing


@pytest.mark.parametrize("damage", [damage_log_data, damage_log_checksum, damage_log_entry])
def test_log_damage_that_check_reports_also_fails_the_open(collection: Path, damage) -> None:
    damage(collection)
    with pytest.raises(OSError, match="WAL corrupted"):
        _velmoradb.Collection.open_or_create(str(collection), DIM, "euclidean")


@pytest.mark.parametrize("file", ["wal.log", "data.vdb"])
@pytest.mark.parametrize("into_last", [1, 4, 7, 8, 9, 20])
def test_torn_tail_is_a_warning_and_the_open_cuts_it(collection: Path, file: str, into_last: int) -> None:
    path = collection / file
    last = frame_offsets(path)[-1] if file == "wal.log" else path.stat().st_size - record_size()
    truncate_to(path, last + into_last)

    result = run("check", collection)
    assert result.returncode == 0, result.stdout + result.stderr
    assert f"warning: {file} has a torn tail at byte offset {last} ({into_last} bytes)" in result.stdout
    assert "the next open cuts it off" in result.stdout

    _velmoradb.Collection.open_or_create(str(collection), DIM, "euclidean")
    after = run("check", collection)
    assert after.returncode == 0
    assert not [line for line in after.stdout.splitlines() if line.startswith("warning:")]


# What a power cut can leave: a file grown before its data arrived (zeros to
# the end), or a page of the log's append lost with frames after it.
@pytest.mark.parametrize("file, how", [("wal.log", "zeros"), ("data.vdb", "zeros"), ("wal.log", "lost page")])
def test_power_cut_tails_are_warnings_and_the_open_agrees(collection: Path, file: str, how: str) -> None:
    path = collection / file
    data = path.read_bytes()
    if how == "zeros":
        path.write_bytes(data + b"\0" * 5000)
    else:
        last = frame_offsets(path)[-1]
        path.write_bytes(data[:last] + b"\0" * 64 + data[last + 64:])
    result = run("check", collection)
    assert result.returncode == 0, result.stdout + result.stderr
    assert f"warning: {file} has a torn tail" in result.stdout
    assert "zero bytes" in result.stdout

    _velmoradb.Collection.open_or_create(str(collection), DIM, "euclidean")
    after = run("check", collection)
    assert after.returncode == 0
    assert not [line for line in after.stdout.splitlines() if line.startswith("warning:")]
    assert (collection / "wal.log.damaged").exists() == (how == "lost page")


def test_check_reports_a_copy_moved_aside(collection: Path) -> None:
    (collection / "data.vdb.damaged").write_bytes(b"\x00" * 5)
    result = run("check", collection)
    assert result.returncode == 0
    assert "warning: data.vdb.damaged holds an unreadable data-file tail" in result.stdout


# --- info ---------------------------------------------------------------------


def test_info_counts_records_log_entries_and_sizes(collection: Path) -> None:
    before = digest(collection)
    result = run("info", collection, "--json")
    assert result.returncode == 0, result.stderr
    info = json.loads(result.stdout)
    assert info["dimension"] == DIM and info["metric"] == "Euclidean"
    assert info["vectors"] == FLUSHED + 5
    assert (info["live_records"], info["retired_records"]) == (15, 1)
    assert info["log_entries"] == 6
    assert info["next_id"] == FLUSHED + 5
    assert info["meta"] == {"vector_count": FLUSHED, "next_id": FLUSHED}
    assert info["file_sizes"] == {n: (collection / n).stat().st_size for n in ("meta.json", "wal.log", "data.vdb")}
    assert info["healthy"] is True
    assert digest(collection) == before


def test_info_with_unreadable_meta_still_counts_and_flags_damage(collection: Path) -> None:
    (collection / "meta.json").write_text("{")
    result = run("info", collection, "--json")
    assert result.returncode == 0, result.stderr
    info = json.loads(result.stdout)
    assert (info["dimension"], info["live_records"], info["log_entries"]) == (None, 15, 6)
    assert info["healthy"] is False


def test_info_text_reads_a_collection_that_is_open(collection: Path) -> None:
    # info never opens the collection, so another open instance's lock is no obstacle.
    held = _velmoradb.Collection.open_or_create(str(collection), DIM, "euclidean")
    result = run("info", collection)
    del held
    assert result.returncode == 0, result.stderr
    lines = dict(line.split(None, 1) for line in result.stdout.splitlines() if line and not line.startswith("log"))
    assert lines["dimension"] == "3"
    assert lines["metric"].startswith("Euclidean (--metric euclidean)")
    assert "waiting for a checkpoint" in result.stdout


# --- search -------------------------------------------------------------------


def test_search_prints_what_the_collection_finds(collection: Path) -> None:
    query = [4.0, 1.0, -2.0]
    table = run("search", collection, "--query", "4, 1, -2", "-k", "3")
    as_json = run("search", collection, "--query", "4 1 -2", "-k", "3", "--json")
    assert table.returncode == 0 and as_json.returncode == 0, table.stderr + as_json.stderr

    expected = _velmoradb.Collection.open_or_create(str(collection), DIM, "euclidean").search(query, 3)
    assert json.loads(as_json.stdout) == [[{"id": i, "distance": d} for i, d in expected]]
    rows = [line.split() for line in table.stdout.splitlines()[1:]]
    assert [(int(r[2]), float(r[3])) for r in rows] == [(i, float(f"{d:.9g}")) for i, d in expected]


def test_search_query_file_runs_every_row_and_metric_option(collection: Path, tmp_path: Path) -> None:
    queries = np.array([vector(1), vector(12), [0.0, 0.0, 1.0]], dtype=np.float32)
    np.save(tmp_path / "q.npy", queries)
    result = run("search", collection, "--query-file", tmp_path / "q.npy", "-k", "2", "--metric", "dot", "--json")
    assert result.returncode == 0, result.stderr
    hits = json.loads(result.stdout)
    expected = _velmoradb.Collection.open_or_create(str(collection), DIM, "dot").search_batch(queries, 2)
    assert hits == [[{"id": i, "distance": d} for i, d in row] for row in expected]


def write_fvecs(path: Path, vectors: np.ndarray) -> None:
    count, dim = vectors.shape
    rows = np.empty((count, dim + 1), dtype="<i4")
    rows[:, 0] = dim
    rows[:, 1:] = vectors.astype("<f4").view("<i4")
    rows.tofile(path)


@pytest.mark.parametrize("kind", ["fvecs", "npy-float64", "npy-1d", "npy-big-endian"])
def test_search_query_file_takes_every_format_that_import_takes(collection: Path, tmp_path: Path, kind: str) -> None:
    # The regression: a .fvecs query file went to np.load, which took it for a pickle.
    queries = np.array([vector(2), [0.5, 0.25, 1.0]], dtype=np.float32)
    if kind == "fvecs":
        source = tmp_path / "q.fvecs"
        write_fvecs(source, queries)
    else:
        source = tmp_path / "q.npy"
        queries = queries[:1] if kind == "npy-1d" else queries
        data = queries[0] if kind == "npy-1d" else queries
        np.save(source, data.astype({"npy-float64": np.float64, "npy-big-endian": ">f4"}.get(kind, np.float32)))
    result = run("search", collection, "--query-file", source, "-k", "3", "--json")
    assert result.returncode == 0, result.stderr
    expected = _velmoradb.Collection.open_or_create(str(collection), DIM, "euclidean").search_batch(queries, 3)
    assert json.loads(result.stdout) == [[{"id": i, "distance": d} for i, d in row] for row in expected]


# --- import -------------------------------------------------------------------


@pytest.mark.parametrize("kind", ["npy-float32", "npy-float64", "npy-ids", "fvecs"])
def test_import_inserts_every_row_and_search_finds_it(tmp_path: Path, kind: str) -> None:
    rng = np.random.default_rng(7)
    vectors = rng.standard_normal((257, 17)).astype(np.float32)
    ids = np.arange(257, dtype=np.int64)
    extra: list[str | Path] = []
    if kind == "fvecs":
        source = tmp_path / "v.fvecs"
        write_fvecs(source, vectors)
    else:
        source = tmp_path / "v.npy"
        np.save(source, vectors.astype(np.float64) if kind == "npy-float64" else vectors)
    if kind == "npy-ids":
        ids = rng.permutation(10**6)[:257].astype(np.uint64).astype(np.int64) + 2**40
        np.save(tmp_path / "ids.npy", ids)
        extra = ["--ids", tmp_path / "ids.npy"]

    target = tmp_path / "c"
    result = run("import", target, source, "--batch-size", "100", *extra)
    assert result.returncode == 0, result.stderr
    assert "imported 257 vectors of dimension 17" in result.stdout
    assert "no id replaced an earlier vector; the collection holds 257 vectors" in result.stdout
    assert (target / "wal.log").stat().st_size == 0  # flushed

    c = _velmoradb.Collection.open_or_create(str(target), 17, "euclidean")
    nearest = c.search_batch(vectors, 1)
    assert [hits[0] for hits in nearest] == [(int(i), 0.0) for i in ids]


def test_import_adds_to_an_existing_collection_with_its_metric(collection: Path, tmp_path: Path) -> None:
    np.save(tmp_path / "more.npy", np.array([[7.0, 7.0, 7.0]], dtype=np.float32))
    result = run("import", collection, tmp_path / "more.npy", "--first-id", "100")
    assert result.returncode == 0, result.stderr
    assert "(euclidean)" in result.stdout
    info = json.loads(run("info", collection, "--json").stdout)
    assert info["vectors"] == 16 and info["log_entries"] == 0


def test_import_counts_the_ids_it_replaced(collection: Path, tmp_path: Path) -> None:
    # The collection holds ids 0..14 (5 of them only in the log). The file:
    # ids 10..19, then 12 and 30 again; the last row of an id wins.
    ids = np.array(list(range(10, 20)) + [12, 30, 30], dtype=np.uint64)
    vectors = np.array([[float(i), float(row), 0.0] for row, i in enumerate(ids)], dtype=np.float32)
    np.save(tmp_path / "v.npy", vectors)
    np.save(tmp_path / "ids.npy", ids)
    result = run("import", collection, tmp_path / "v.npy", "--ids", tmp_path / "ids.npy", "--batch-size", "4")
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[1] == (
        "7 replaced an earlier vector of the same id (2 repeated within the file, 5 already in the collection); "
        "the collection holds 21 vectors"
    )
    c = _velmoradb.Collection.open_or_create(str(collection), DIM, "euclidean")
    assert c.search([12.0, 10.0, 0.0], 1) == [(12, 0.0)]  # the later row of id 12
    assert c.search([30.0, 12.0, 0.0], 1) == [(30, 0.0)]


def test_importing_the_same_file_twice_replaces_every_id(tmp_path: Path) -> None:
    np.save(tmp_path / "v.npy", np.arange(3000, dtype=np.float32).reshape(1000, 3))
    assert run("import", tmp_path / "c", tmp_path / "v.npy").returncode == 0
    again = run("import", tmp_path / "c", tmp_path / "v.npy")
    assert again.returncode == 0, again.stderr
    assert "1000 replaced an earlier vector of the same id (0 repeated within the file, " \
           "1000 already in the collection); the collection holds 1000 vectors" in again.stdout


# --- next_id ------------------------------------------------------------------

MAX_ID = 2**64 - 1


def flushed_then_logged(path: Path, flushed: list[int], logged: list[int]) -> None:
    c = _velmoradb.Collection.open_or_create(str(path), DIM, "euclidean")
    for i in flushed:
        c.insert(i, vector(1))
    c.flush()
    for i in logged:
        c.insert(i, vector(2))
    del c


@pytest.mark.parametrize(
    "flushed, logged, next_id",
    [
        ([], [], 1),
        ([0], [], 1),
        ([5], [9, 2], 10),
        ([MAX_ID - 1, MAX_ID], [], 0),  # wrapped
        ([MAX_ID], [7], 8),  # raised again after the wrap
        ([5], [MAX_ID], 0),  # logged inserts are in data.vdb as well
    ],
)
def test_info_next_id_is_what_the_next_open_keeps(tmp_path: Path, flushed: list[int], logged: list[int], next_id: int) -> None:
    path = tmp_path / "c"
    flushed_then_logged(path, flushed, logged)
    info = json.loads(run("info", path, "--json").stdout)
    text = run("info", path).stdout
    assert (info["next_id"], info["next_id_wrapped"]) == (next_id, next_id == 0)
    # The next open replays the log, and a flush writes its next_id to meta.json.
    _velmoradb.Collection.open_or_create(str(path), DIM, "euclidean").flush()
    assert json.loads((path / "meta.json").read_text())["next_id"] == next_id
    line = next(line for line in text.splitlines() if line.startswith("next_id"))
    assert line.split()[1] == str(next_id)
    assert ("wrapped: the largest id is 2**64 - 1" in line) == (next_id == 0)


# --- errors -------------------------------------------------------------------


def bad_files(tmp_path: Path) -> dict[str, Path]:
    np.save(tmp_path / "cube.npy", np.zeros((2, 2, 2), dtype=np.float32))
    np.save(tmp_path / "ints.npy", np.zeros((2, 3), dtype=np.int32))
    np.save(tmp_path / "nan.npy", np.array([[1, 2, 3], [1, np.nan, 3]], dtype=np.float32))
    np.save(tmp_path / "wide.npy", np.zeros((2, 4), dtype=np.float32))
    np.save(tmp_path / "ids.npy", np.arange(5))
    np.save(tmp_path / "negative.npy", np.array([1, -1]))
    (tmp_path / "v.txt").write_text("1,2,3")
    (tmp_path / "bad.fvecs").write_bytes(struct.pack("<i", 3) + b"\x00" * 10)
    np.save(tmp_path / "objects.npy", np.array([[1.0, "x", None]], dtype=object), allow_pickle=True)
    write_fvecs(tmp_path / "fake.npy", np.zeros((2, 3), dtype=np.float32))  # named .npy, holds .fvecs
    np.save(tmp_path / "short.npy", np.zeros((4, 3), dtype=np.float32))
    truncate_to(tmp_path / "short.npy", (tmp_path / "short.npy").stat().st_size - 5)
    np.save(tmp_path / "beyond_float32.npy", np.array([[1, 2, 3], [1, 1e39, 3]], dtype=np.float64))
    return {p.stem: p for p in tmp_path.iterdir() if p.is_file()}


@pytest.mark.parametrize(
    "args, words",
    [
        (["info", "{missing}"], "no such directory"),
        (["check", "{file}"], "not a directory"),
        (["check", "{empty}"], "not a collection"),
        (["search", "{empty}", "--query", "1"], "not a collection"),
        (["search", "{c}", "--query", "1,x,3"], "'x' is not a number"),
        (["search", "{c}", "--query", "1,2"], "--query has 2 numbers, the collection's dimension is 3"),
        (["search", "{c}", "--query", ""], "no numbers given"),
        (["search", "{c}", "--query", " , "], "no numbers given"),
        (["search", "{c}", "--query", "1,,3"], "an empty field between commas"),
        (["search", "{c}", "--query", "1,nan,3"], "nan is not a finite float32"),
        (["search", "{c}", "--query", "1,1e39,3"], "1e+39 is not a finite float32"),
        (["search", "{c}", "--query-file", "{wide}"], "the queries have 4 components"),
        (["search", "{c}", "--query-file", "{nan}"], "row 1 has a NaN or infinite component"),
        (["search", "{c}", "--query-file", "{objects}"], "holds Python objects, not numbers"),
        (["search", "{c}", "--query-file", "{fake}"], "not a .npy file"),
        (["search", "{c}", "--query-file", "{v}"], "expected a .npy or .fvecs file"),
        (["search", "{brokenmeta}", "--query", "1,2,3"], "meta.json cannot be decoded: Expecting"),
        (["search", "{file}", "--query", "1,2,3"], "is a file, not a directory"),
        (["import", "{new}", "{objects}"], "holds Python objects, not numbers"),
        (["import", "{new}", "{fake}"], "not a .npy file"),
        (["import", "{new}", "{short}"], "damaged .npy file"),
        (["import", "{new}", "{beyond_float32}"], "row 1 has a NaN or infinite component (as float32)"),
        (["import", "{brokenmeta}", "{wide}"], "meta.json cannot be decoded: Expecting"),
        (["import", "{new}", "{wide}", "--ids", "{objects}"], "holds Python objects, not numbers"),
        (["search", "{c}", "--query", "1,2,3", "-k", "-1"], "-k must not be negative"),
        (["import", "{new}", "{v}"], "expected a .npy or .fvecs file"),
        (["import", "{new}", "{cube}"], "expected a 2-D array"),
        (["import", "{new}", "{ints}"], "expected float32 or float64"),
        (["import", "{new}", "{nan}"], "row 1 has a NaN or infinite component"),
        (["import", "{new}", "{bad}"], "not a .fvecs file of dimension 3"),
        (["import", "{c}", "{wide}"], "the vectors have 4 components, the collection"),
        (["import", "{new}", "{nan}", "--ids", "{ids}"], "holds 5 ids for 2 vectors"),
        (["import", "{new}", "{nan}", "--ids", "{negative}"], "id -1 is negative"),
        (["import", "{new}", "{wide}", "--batch-size", "0"], "--batch-size must be at least 1"),
    ],
)
def test_errors_are_one_line_on_stderr_with_exit_2(collection: Path, tmp_path: Path, args: list[str], words: str) -> None:
    (tmp_path / "files").mkdir()
    files = bad_files(tmp_path / "files")
    (tmp_path / "empty").mkdir()
    shutil.copytree(collection, tmp_path / "brokenmeta")
    (tmp_path / "brokenmeta" / "meta.json").write_text('{"dimension": 3\n"metric": "Euclidean"}')
    names = {
        "missing": tmp_path / "missing", "file": files["v"], "empty": tmp_path / "empty",
        "c": collection, "new": tmp_path / "new", "brokenmeta": tmp_path / "brokenmeta", **files,
    }
    before = digest(collection)
    result = run(*[a.format(**names) for a in args])
    assert result.returncode == 2
    assert result.stdout == ""
    assert result.stderr.startswith("velmoradb: error: ") and result.stderr.count("\n") == 1
    assert words in result.stderr
    assert "allow_pickle" not in result.stderr
    if "brokenmeta" in args[1]:
        assert str(tmp_path / "brokenmeta" / "meta.json") in result.stderr  # names the file
    assert not (tmp_path / "new").exists()  # a refused import creates nothing
    assert digest(collection) == before


@pytest.mark.parametrize(
    "args, words",
    [
        ([], "the following arguments are required: COMMAND (see velmoradb --help)"),
        (["frobnicate"], "invalid choice: 'frobnicate'"),
        (["search", "{c}"], "one of the arguments --query --query-file is required (see velmoradb search --help)"),
        (["search", "{c}", "--query", "1,2,3", "--query-file", "q.npy"], "not allowed with argument"),
        (["search", "{c}", "--query", "1,2,3", "-k", "many"], "argument -k: invalid int value: 'many'"),
        (["import", "{c}", "v.npy", "--metric", "hamming"], "argument --metric: invalid choice: 'hamming'"),
        (["info"], "the following arguments are required: DIR (see velmoradb info --help)"),
    ],
)
def test_usage_errors_are_one_line_with_exit_2(collection: Path, args: list[str], words: str) -> None:
    result = run(*[a.format(c=collection) for a in args])
    assert result.returncode == 2
    assert result.stdout == ""
    assert result.stderr.startswith("velmoradb: error: ") and result.stderr.count("\n") == 1
    assert words in result.stderr


def test_help_shows_every_default() -> None:
    result = run("import", "--help")
    assert result.returncode == 0
    text = " ".join(result.stdout.split())
    assert "vectors per insert_batch (default: 256 MiB of vectors, at least 10000)" in text
    assert "(default 0)" in text


@pytest.mark.parametrize(
    "args, status",
    [
        (["info", "{c}"], 128 + signal.SIGPIPE),
        (["info", "{c}", "--json"], 128 + signal.SIGPIPE),
        (["check", "{c}"], 128 + signal.SIGPIPE),
        (["search", "{c}", "--query", "1,2,3"], 128 + signal.SIGPIPE),
        (["--help"], 0),  # argparse itself ignores a failed write of its help
    ],
)
def test_a_closed_pipe_ends_the_command_quietly(collection: Path, args: list[str], status: int) -> None:
    # As in `velmoradb info DIR | head -1`, made certain: the reading end is
    # closed before the command starts, so its first write meets a closed pipe.
    read_end, write_end = os.pipe()
    os.close(read_end)
    try:
        result = subprocess.run(
            velmoradb_command() + [a.format(c=collection) for a in args],
            stdout=write_end, stderr=subprocess.PIPE, text=True, timeout=300,
        )
    finally:
        os.close(write_end)
    assert result.stderr == ""
    assert result.returncode == status


def test_a_locked_collection_is_an_error_not_a_traceback(collection: Path) -> None:
    held = _velmoradb.Collection.open_or_create(str(collection), DIM, "euclidean")
    result = run("search", collection, "--query", "1,2,3")
    del held
    assert result.returncode == 2
    assert result.stderr == (
        "velmoradb: error: collection error: lock failed: Resource temporarily unavailable "
        "(the directory is open in another Collection object or process)\n"
    )


# --- records: payloads, filters, deletes, compaction ----------------------------

RECORDS = 8


def record_payload(i: int) -> dict[str, object]:
    return {"genre": ["jazz", "rock"][i % 2], "year": 1950 + i, "tags": ["live"] if i % 3 == 0 else [],
            "author": {"name": f"A{i}"}, "title": f"tr\u00e4ck {i}"}


@pytest.fixture
def imported(tmp_path: Path) -> Path:
    """RECORDS vectors with payloads, imported through the command."""
    np.save(tmp_path / "v.npy", np.array([vector(i) for i in range(RECORDS)], dtype=np.float32))
    (tmp_path / "p.jsonl").write_text(
        "".join(json.dumps(record_payload(i)) + "\n" for i in range(RECORDS)), encoding="utf-8"
    )
    target = tmp_path / "c"
    result = run("import", target, tmp_path / "v.npy", "--payloads", tmp_path / "p.jsonl")
    assert result.returncode == 0, result.stderr
    assert f"imported {RECORDS} vectors of dimension 3 with payloads from" in result.stdout
    return target


@pytest.mark.parametrize(
    "where, expected",
    [
        (None, list(range(RECORDS))),
        ({}, list(range(RECORDS))),
        ({"genre": "rock"}, [1, 3, 5, 7]),
        ({"year": {"$gte": 1953, "$lt": 1956}}, [3, 4, 5]),
        ({"tags": "live"}, [0, 3, 6]),
        ({"author.name": {"$in": ["A2", "A7", "nobody"]}}, [2, 7]),
        ({"$or": [{"genre": "jazz"}, {"year": 1951}], "$not": {"year": 1954}}, [0, 1, 2, 6]),
        ({"genre": "blues"}, []),
    ],
)
def test_search_where_payloads_matches_the_module(imported: Path, where: dict[str, object] | None, expected: list[int]) -> None:
    where_args = [] if where is None else ["--where", json.dumps(where)]
    before = digest(imported)
    as_json = run("search", imported, "--query", "0,1.5,-2", "-k", "20", "--payloads", "--json", *where_args)
    table = run("search", imported, "--query", "0,1.5,-2", "-k", "20", "--payloads", *where_args)
    assert as_json.returncode == 0 and table.returncode == 0, as_json.stderr + table.stderr
    assert digest(imported) == before  # a read-only open writes nothing

    with velmoradb.Collection.open(imported, read_only=True) as c:
        hits = c.search([0.0, 1.5, -2.0], 20, where=where)
    assert [i for i, _ in hits] == expected
    assert json.loads(as_json.stdout) == [
        [{"id": i, "distance": d, "payload": record_payload(i)} for i, d in hits]
    ]
    lines = table.stdout.splitlines()
    assert lines[0].split() == ["query", "rank", "id", "distance", "payload"]
    if expected:
        for line, (i, _) in zip(lines[1:], hits):
            assert json.loads(line.split(None, 4)[4]) == record_payload(i)
    else:
        assert lines[1] == "(no results: no record matches --where, or k is 0)"


def test_where_without_payloads_prints_ids_only(imported: Path) -> None:
    result = run("search", imported, "--query", "0,1.5,-2", "-k", "2", "--where", '{"genre": "rock"}', "--json")
    assert result.returncode == 0, result.stderr
    assert [[h["id"] for h in hits] for hits in json.loads(result.stdout)] == [[1, 3]]
    assert "payload" not in result.stdout


def test_info_counts_deletes_and_compact_reclaims_them(imported: Path) -> None:
    with velmoradb.Collection.open(imported) as c:
        assert c.delete_batch([1, 2, 6, 99]) == 3
        c.insert(0, [0.5, 0.5, 0.5], {"replaced": True})
        reclaimable = c.reclaimable_bytes
    assert reclaimable > 0
    info = json.loads(run("info", imported, "--json").stdout)
    assert info["vectors"] == RECORDS - 3
    assert (info["live_records"], info["retired_records"]) == (RECORDS - 3, 4)
    assert (info["reclaimable_bytes"], info["reclaimable_unknown"]) == (reclaimable, None)
    text = run("info", imported).stdout
    assert f"{RECORDS - 3} live, 4 deleted or replaced in data.vdb" in text
    assert f"reclaimable  {reclaimable:,} bytes" in text

    size = (imported / "data.vdb").stat().st_size
    result = run("compact", imported)
    assert result.returncode == 0, result.stderr
    # The writable open replays the log left by the close (its records are
    # appended once more), so the file compaction starts from may have grown;
    # what it ends with is what info predicted.
    assert result.stdout.startswith(f"compacted {imported}: data.vdb ")
    assert f" -> {size - reclaimable:,} bytes (" in result.stdout and result.stdout.endswith(" records dropped\n")
    info = json.loads(run("info", imported, "--json").stdout)
    assert (info["live_records"], info["retired_records"], info["reclaimable_bytes"]) == (RECORDS - 3, 0, 0)
    again = run("compact", imported, "--json")
    assert json.loads(again.stdout) == {"bytes_before": size - reclaimable, "bytes_after": size - reclaimable,
                                        "records_dropped": 0}
    with velmoradb.Collection.open(imported, read_only=True) as c:
        assert c.ids() == [0, 3, 4, 5, 7]
        assert c.get(0) == (0, [0.5, 0.5, 0.5], {"replaced": True})
        assert c.get(7) == (7, vector(7), record_payload(7))


def test_info_while_a_writer_holds_the_collection_says_why_reclaimable_is_unknown(imported: Path) -> None:
    with velmoradb.Collection.open(imported):
        result = run("info", imported, "--json")
    assert result.returncode == 0, result.stderr
    info = json.loads(result.stdout)
    assert info["reclaimable_bytes"] is None and info["reclaimable_unknown"]
    assert info["vectors"] == RECORDS


@pytest.mark.parametrize(
    "lines, words",
    [
        (['{"a": 1}', "{nope", "{}"], "p.jsonl line 2: not valid JSON"),
        (["{}", "{}", "[1, 2]"], "p.jsonl line 3: a payload is a JSON object, not list"),
        (["{}", "", "{}"], "p.jsonl line 2: an empty line"),
        (['{"x": NaN}', "{}", "{}"], "p.jsonl line 1: NaN is not a number"),
        (["{}", '{"x": 1e400}', "{}"], "line 2: payload['x']: a number beyond the range of a float"),
        (["{}", "{}", '{"x": [1, 18446744073709551616]}'], "line 3: payload['x'][1]: 18446744073709551616 is outside"),
        (["{}", '{"x": ' + "[" * 130 + "]" * 130 + "}", "{}"], "line 2: payload['x']" ),
        (["{}", "{}"], "p.jsonl has 2 lines, "),
        (["{}", "{}", "{}", "{}"], "p.jsonl has 4 lines, "),
    ],
)
def test_a_bad_payload_file_imports_nothing(tmp_path: Path, lines: list[str], words: str) -> None:
    np.save(tmp_path / "v.npy", np.zeros((3, DIM), dtype=np.float32))
    (tmp_path / "p.jsonl").write_text("\n".join(lines) + "\n")
    result = run("import", tmp_path / "c", tmp_path / "v.npy", "--payloads", tmp_path / "p.jsonl")
    assert result.returncode == 2
    assert result.stderr.startswith("velmoradb: error: ") and result.stderr.count("\n") == 1
    assert words in result.stderr and "nothing was imported" in result.stderr
    assert not (tmp_path / "c").exists()


@pytest.mark.parametrize(
    "args, words",
    [
        (["--where", "{genre: 1}"], "--where is not valid JSON"),
        (["--where", "[1]"], "--where must be a JSON object, not list"),
        (["--where", '{"x": NaN}'], "--where: NaN is not a number"),
        (["--where", '{"year": {"$near": 3}}'], "$near"),
        (["--where", '{"$or": []}'], "$or"),
        (["--where", "{}", "--metric", "dot"], "not --metric dot"),
    ],
)
def test_bad_where_is_one_line_and_changes_nothing(imported: Path, args: list[str], words: str) -> None:
    before = digest(imported)
    result = run("search", imported, "--query", "1,2,3", *args)
    assert result.returncode == 2
    assert result.stdout == ""
    assert result.stderr.startswith("velmoradb: error: ") and result.stderr.count("\n") == 1
    assert words in result.stderr
    assert digest(imported) == before


@pytest.mark.parametrize("target", ["missing", "empty"])
def test_compact_of_no_collection_is_an_error(tmp_path: Path, target: str) -> None:
    (tmp_path / "empty").mkdir()
    result = run("compact", tmp_path / target)
    assert result.returncode == 2 and result.stderr.count("\n") == 1
    assert "not a collection" in result.stderr or "No such" in result.stderr
    assert not (tmp_path / "missing").exists()
    assert list((tmp_path / "empty").iterdir()) == []


# --- demo ---------------------------------------------------------------------


@pytest.mark.parametrize("keep", [True, False], ids=["dir", "temporary"])
def test_demo_agrees_with_numpy(tmp_path: Path, keep: bool) -> None:
    result = run("demo", "--dir", tmp_path / "digits") if keep else run("demo")
    assert result.returncode == 0, result.stdout + result.stderr
    assert "All 32,346 results (3 metrics x 1,797 queries x 6 neighbours) agree with numpy" in result.stdout
    text = " ".join(result.stdout.split())
    # The timing column of the check says what it is, and dot's weak labels say why.
    assert "exact check (numpy)*" in text and "not a speed baseline" in text
    assert "these pixel vectors are not normalised" in text
    if keep:
        assert run("check", tmp_path / "digits").returncode == 0
        assert "deleted when the demo ends" not in text
    else:
        assert "a temporary directory, deleted when the demo ends; --dir DIR builds and keeps it" in text


@pytest.mark.parametrize("occupied", ["non-empty directory", "file"])
def test_demo_refuses_an_occupied_dir_before_any_output(tmp_path: Path, occupied: str) -> None:
    target = tmp_path / "target"
    if occupied == "file":
        target.write_text("x")
    else:
        target.mkdir()
        (target / "notes.txt").write_text("x")
    result = run("demo", "--dir", target)
    assert result.returncode == 2
    assert result.stdout == ""
    assert result.stderr == f"velmoradb: error: --dir must be an empty or new directory: {target}\n"


def test_demo_text_agrees_with_numpy(tmp_path: Path) -> None:
    target = tmp_path / "docstrings"
    result = run("demo", "text", "--limit", "300", "--dir", target)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "data     300 docstrings of " in result.stdout
    assert "where={'module': {'$in': ['os', 'shutil']}}" in result.stdout
    assert "All 208 queries (8 questions and 200 docstrings used as queries, k=3) agree with numpy" in result.stdout
    assert run("check", target).returncode == 0
    with velmoradb.Collection.open(target, read_only=True) as c:
        assert len(c) == 300 and c.metric == "cosine"
        payload = c.get(0).payload  # type: ignore[union-attr]
        assert set(payload) == {"name", "module", "kind", "text"} and payload["text"]
        assert c.ids(where={"module": payload["module"]})


def test_demo_text_check_finds_a_hit_outside_the_filter() -> None:
    from velmoradb import demo_text

    texts = [demo_text.Text(f"m{i}.f", f"m{i}", "function", "text") for i in range(3)]
    vectors = np.eye(3, dtype=np.float32)
    hits = [[(0, 0.0), (2, 1.0), (1, 1.0)]]  # ties in either order
    assert demo_text._check(np, vectors, texts, vectors[:1], hits, None) == []
    assert demo_text._check(np, vectors, texts, vectors[:1], hits, {"module": {"$in": ["m0", "m2"]}}) == [
        "query 0: ids [1] are outside the filter"
    ]
    wrong = [[(0, 0.0), (2, 0.5), (1, 1.0)]]
    assert demo_text._check(np, vectors, texts, vectors[:1], wrong, None)


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (["demo", "--limit", "50"], "--limit applies to 'velmoradb demo text' only"),
        (["demo", "text", "--limit", "3"], "--limit must be at least 10, got 3"),
        (["demo", "pictures"], "argument data: invalid choice: 'pictures'"),
    ],
)
def test_demo_refuses_bad_options(args: list[str], message: str) -> None:
    result = run(*args)
    assert result.returncode == 2 and result.stdout == ""
    assert message in result.stderr


def test_python_dash_m_is_the_same_command() -> None:
    result = subprocess.run([sys.executable, "-m", "velmoradb", "--version"], capture_output=True, text=True)
    assert result.returncode == 0
    assert result.stdout.strip() == f"velmoradb {__import__('velmoradb').__version__}"
