"""The `velmoradb` command, run as a user runs it: the console script in a
subprocess, on collection directories written by the real module."""

from __future__ import annotations

import hashlib
import json
import os
import shutil
import struct
import subprocess
import sys
import zlib
from pathlib import Path

import numpy as np
import pytest

import _velmoradb

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


# --- import -------------------------------------------------------------------


def write_fvecs(path: Path, vectors: np.ndarray) -> None:
    count, dim = vectors.shape
    rows = np.empty((count, dim + 1), dtype="<i4")
    rows[:, 0] = dim
    rows[:, 1:] = vectors.astype("<f4").view("<i4")
    rows.tofile(path)


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
    return {p.stem: p for p in tmp_path.iterdir() if p.is_file()}


@pytest.mark.parametrize(
    "args, words",
    [
        (["info", "{missing}"], "no such directory"),
        (["check", "{file}"], "not a directory"),
        (["check", "{empty}"], "not a collection"),
        (["search", "{empty}", "--query", "1"], "not a collection"),
        (["search", "{c}", "--query", "1,x,3"], "'x' is not a number"),
        (["search", "{c}", "--query", "1,2"], "query 0 has 2 components, the collection 3"),
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
    names = {
        "missing": tmp_path / "missing", "file": files["v"], "empty": tmp_path / "empty",
        "c": collection, "new": tmp_path / "new", **files,
    }
    result = run(*[a.format(**names) for a in args])
    assert result.returncode == 2
    assert result.stdout == ""
    assert result.stderr.startswith("velmoradb: error: ") and result.stderr.count("\n") == 1
    assert words in result.stderr
    assert not (tmp_path / "new").exists()  # a refused import creates nothing


def test_a_locked_collection_is_an_error_not_a_traceback(collection: Path) -> None:
    held = _velmoradb.Collection.open_or_create(str(collection), DIM, "euclidean")
    result = run("search", collection, "--query", "1,2,3")
    del held
    assert result.returncode == 2
    assert result.stderr.startswith("velmoradb: error: collection error: lock failed")
    assert "Traceback" not in result.stderr


# --- demo ---------------------------------------------------------------------


def test_demo_agrees_with_numpy(tmp_path: Path) -> None:
    result = run("demo", "--dir", tmp_path / "digits")
    assert result.returncode == 0, result.stdout + result.stderr
    assert "All 32,346 results (3 metrics x 1,797 queries x 6 neighbours) agree with numpy" in result.stdout
    assert run("check", tmp_path / "digits").returncode == 0


def test_python_dash_m_is_the_same_command() -> None:
    result = subprocess.run([sys.executable, "-m", "velmoradb", "--version"], capture_output=True, text=True)
    assert result.returncode == 0
    assert result.stdout.strip() == f"velmoradb {__import__('velmoradb').__version__}"
