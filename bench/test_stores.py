"""Checks of the stores benchmark's own arithmetic and bookkeeping (no store
is run, nothing is timed): pytest bench/test_stores.py"""

from __future__ import annotations

import json
import os
import sys

import numpy as np
import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import stores  # noqa: E402
from stores_report import README_BEGIN, README_END, markdown_tables, write_readme_block  # noqa: E402


def brute(data, q, k, rows=None):
    ids = np.arange(len(data)) if rows is None else rows
    d = np.sqrt(((data[ids].astype(np.float64) - q.astype(np.float64)) ** 2).sum(1))
    order = np.argsort(d, kind="stable")[:k]
    return ids[order], d[order][-1]


@pytest.mark.parametrize("kind", ["gaussian", "mixture"])
@pytest.mark.parametrize("filtered", [False, True])
def test_exact_reference_equals_brute_force(tmp_path, kind, filtered):
    path = str(tmp_path / "d.npy")
    stores.write_data(path, 3000, 24, kind, 0.5, chunk=700)
    data = np.load(path)
    queries = stores.make_queries(20, 3000, 24, kind, 0.5)
    rows = np.flatnonzero(np.arange(3000) % 10 == 3) if filtered else None
    ids, kth = stores.exact_top_k(data, queries, 10, rows=rows)
    for q, got, cut in zip(queries, ids, kth):
        want, want_cut = brute(data, q, 10, rows)
        assert got.tolist() == want.tolist()
        assert cut == pytest.approx(want_cut, rel=1e-12)


def test_data_is_the_same_for_the_same_seed_and_kind(tmp_path):
    paths = [str(tmp_path / f"{i}.npy") for i in range(3)]
    stores.write_data(paths[0], 1000, 8, "gaussian", 0.5, chunk=300)
    stores.write_data(paths[1], 1000, 8, "gaussian", 0.5, chunk=1000)
    stores.write_data(paths[2], 1000, 8, "mixture", 0.5)
    a, b, c = (np.load(p) for p in paths)
    assert a.dtype == np.float32 and a.shape == (1000, 8)
    assert np.array_equal(a, b)  # chunking does not change the stream
    assert not np.array_equal(a, c)


@pytest.fixture
def recall_case():
    data = np.arange(40, dtype=np.float32).reshape(20, 2)  # row i at (2i, 2i+1)
    q = np.array([[0.0, 1.0]], dtype=np.float32)  # nearest rows: 0, 1, 2, ...
    _, kth = stores.exact_top_k(data, q, 3)
    return data, q, kth


@pytest.mark.parametrize("answer, expected", [
    ([0, 1, 2], 1.0),
    ([2, 1, 0], 1.0),        # order does not matter
    ([0, 1, 5], 2 / 3),
    ([0, 0, 0], 1 / 3),      # a repeated id counts once
    ([0, 1], 2 / 3),         # fewer than k
    ([0, 1, 2, 99, -1], 1.0),  # ids outside the data are ignored
    ([], 0.0),
])
def test_recall(recall_case, answer, expected):
    data, q, kth = recall_case
    assert stores.recall([answer], q, kth, data, 3) == pytest.approx(expected)


def test_recall_counts_ties_at_the_cut():
    data = np.array([[0, 0], [1, 0], [0, 1], [-1, 0], [5, 5]], dtype=np.float32)
    q = np.zeros((1, 2), dtype=np.float32)
    _, kth = stores.exact_top_k(data, q, 2)
    # Rows 1, 2 and 3 tie at distance 1: any of them completes the top 2.
    assert stores.recall([[0, 3]], q, kth, data, 2) == 1.0
    assert stores.recall([[0, 4]], q, kth, data, 2) == 0.5


def test_filtered_recall_ignores_rows_outside_the_filter():
    data = np.random.default_rng(1).standard_normal((200, 4)).astype(np.float32)
    q = data[:1] + 0.01
    rows = np.flatnonzero(np.arange(200) % 10 == 3)
    ids, kth = stores.exact_top_k(data, q, 5, rows=rows)
    assert stores.recall([ids[0].tolist()], q, kth, data, 5, only_code=3) == 1.0
    wrong = [0] + ids[0].tolist()[:4]  # row 0 is nearest but not tagged t3
    assert stores.recall([wrong], q, kth, data, 5, only_code=3) == pytest.approx(0.8)


def test_parse_strace_counts_sync_calls_and_files_of_the_store():
    root = "/tmp/s/velmoradb"
    trace = "\n".join([
        f'101 openat(AT_FDCWD</tmp>, "{root}", O_RDONLY|O_DIRECTORY|O_CLOEXEC) = 4<{root}>',
        f'101 openat(AT_FDCWD</tmp>, "{root}/wal.log", O_RDWR|O_CREAT|O_DSYNC, 0644) = 5<{root}/wal.log>',
        f"101 fsync(6<{root}/data.vdb>) = 0",
        f"102 fdatasync(5<{root}/wal.log> <unfinished ...>",
        "102 <... fdatasync resumed>) = 0",
        "101 fsync(7</home/elsewhere.db>) = 0",
        f"fsync(4<{root}>) = 0",
        "101 +++ exited with 0 +++",
    ])
    found = stores.parse_strace(trace, root)
    assert found["calls"] == {"fsync": 3, "fdatasync": 1}
    assert found["files"] == [".", "data.vdb", "wal.log"]
    assert found["sync_opens"] == ["wal.log"]  # O_DIRECTORY is not O_DIRECT
    assert found["forces"]
    assert not stores.parse_strace("101 +++ exited with 0 +++", root)["forces"]


def run(store, threads="1", smoke=False, size=(1000, 8), **extra):
    n, dim = size
    rec = {"store": store, "n": n, "dim": dim, "size": f"{n}x{dim}",
           "mode": {"threads": threads, "data": "gaussian", "smoke": smoke, "nbatch": 50}}
    rec.update(extra)
    return rec


def test_merge_replaces_its_own_mode_and_drops_the_other_kind_of_run(tmp_path):
    path = str(tmp_path / "r.json")
    mode_all_full = {"threads": "all", "data": "gaussian", "smoke": False}
    mode_one_full = {"threads": "1", "data": "gaussian", "smoke": False}
    with open(path, "w") as f:
        json.dump({"runs": [run("faiss", "1", x=1), run("faiss", "all", x=2), run("faiss", "all", smoke=True, x=3)],
                   "fsync_check": {"faiss": {"forces": True}}}, f)
    merged = stores.merge_results(path, mode_one_full, [run("faiss", "1", x=4)], {}, {})
    assert sorted(r["x"] for r in merged["runs"]) == [2, 4]
    assert merged["fsync_check"] == {"faiss": {"forces": True}}  # kept when this run made none
    merged = stores.merge_results(path, mode_all_full, [run("duckdb", "all", x=5)], {"duckdb": {}}, {})
    assert sorted(r["x"] for r in merged["runs"]) == [4, 5]
    assert merged["fsync_check"] == {"duckdb": {}}


def full_run(store, total_s, single_s, native=True, done=50, **extra):
    return run(store, load={"total_s": total_s, "sync_after_s": 0.5, "peak_rss": 2e6, "version": "1"},
               query={"reopen_s": 0.01, "import_s": 0.1, "single_s": single_s, "batch_s": 1.0, "batch_done": done,
                      "batch_native": native, "peak_rss": 3e6, "batch_cores": 1.0, "notes": []},
               disk_bytes=40_000, recall={"single": 1.0, "batch": 1.0}, **extra)


def test_table_gives_ratios_against_velmoradb_and_says_what_is_missing():
    results = {"runs": [full_run("velmoradb", 0.01, 0.001),
                        full_run("duckdb", 0.02, 0.004, native=False, done=7),
                        run("chroma", skipped="too many rows"),
                        run("faiss", error="load: exit 1")],
               "fsync_check": {"velmoradb": {"forces": True, "calls": {"fsync": 2}, "files": ["data.vdb"],
                                             "sync_opens": []},
                               "duckdb": {"forces": False, "calls": {}, "files": [], "sync_opens": []}},
               "stores": {"chroma": {"exact": False}}}
    text = markdown_tables(results)
    rows = {line.split(" | ")[0].strip("| "): line for line in text.splitlines() if line.startswith("| ")}
    assert "100k | 50k (0.50×)" in rows["insert + durable (vectors/s)"]
    assert "4.00×" in rows["one exact query (ms, median)"]
    assert "loop of 7" in rows["batch of 50 queries (q/s)"]
    assert rows["filtered query, 10 % of rows (ms, median)"].count("n/a") == 2
    assert "skipped" in rows["one exact query (ms, median)"] and "error" in rows["one exact query (ms, median)"]
    assert "chroma (approximate)" in text
    assert "yes: fsync ×2 (data.vdb)" in rows["forces data to disk (strace)"]
    assert "**no**" in rows["forces data to disk (strace)"]
    assert "1.25" in rows["bytes on disk / raw float32 (4·n·d)"]  # 40,000 / (4 * 1000 * 8)


def test_readme_block_is_replaced_between_markers_or_appended(tmp_path):
    path = tmp_path / "README.md"
    path.write_text("# Bench\n\nintro\n")
    write_readme_block(str(path), "first")
    write_readme_block(str(path), "second")
    text = path.read_text()
    assert text.count(README_BEGIN) == 1 and text.count(README_END) == 1
    assert "second" in text and "first" not in text and text.startswith("# Bench\n\nintro\n")
