"""velmoradb.Collection keeps bound codes above a size and answers search()
exactly as a scan does: the same distances bit for bit and ids that truly
have them, filtered or not, through deletes, replaces, compaction and a
reopen, and while the codes are built after open. The reference is
_velmoradb.Index, which always scans."""

from __future__ import annotations

import struct
import threading

import numpy as np
import pytest

import _velmoradb
from velmoradb import Collection

DIM = 8
MIN_SIZE = 16_384  # the engine's kBoundCodesMinSize: from this size on search() uses the codes
COUNT = 24_000


def bits(x: float) -> bytes:
    return struct.pack("<f", x)


def make_rows(rng: np.random.Generator, count: int, scale: float = 1.0, dim: int = DIM) -> np.ndarray:
    """Gaussian rows, a quarter of them small integers (exact ties), every
    tenth a copy of the one before (duplicates)."""
    rows = (rng.standard_normal((count, dim)) * scale).astype(np.float32)
    ties = rng.random(count) < 0.25
    rows[ties] = rng.integers(-2, 3, (int(ties.sum()), dim)).astype(np.float32)
    rows[9::10] = rows[8::10][: len(rows[9::10])]
    return rows


def scan_of(metric: str, records: dict[int, np.ndarray], dim: int = DIM) -> tuple[_velmoradb.Index, list[int]]:
    ids = sorted(records)
    index = _velmoradb.Index(metric, dim)
    if ids:
        index.insert_batch(ids, np.stack([records[i] for i in ids]))
    return index, ids


def expect_same_answers(coll: Collection, metric: str, records: dict[int, np.ndarray],
                        queries: np.ndarray) -> None:
    dim = queries.shape[1]
    assert len(coll) == len(records) >= MIN_SIZE
    assert coll.bound_codes_bytes >= len(records) * dim
    groups = {1: {i: v for i, v in records.items() if i % 3 == 1}}
    for q in queries:
        for where, subset in ((None, records), ({"g": 1}, groups[1])):
            scan, ids = scan_of(metric, subset, dim)
            truth = {i: bits(d) for i, d in scan.search(q, len(ids))}
            for k in (1, 10, len(subset) + 5):
                got = coll.search(q, k, where=where)
                want = scan.search(q, k)
                assert [bits(d) for _, d in got] == [bits(d) for _, d in want]
                assert len({i for i, _ in got}) == len(got)
                assert all(truth.get(i) == bits(d) for i, d in got)


@pytest.mark.parametrize("metric", ["euclidean", "dot", "cosine"])
def test_search_matches_the_scan_through_every_change(tmp_path, metric):
    rng = np.random.default_rng(len(metric))
    rows = make_rows(rng, COUNT)
    records = {i: rows[i] for i in range(COUNT)}
    queries = np.concatenate([make_rows(rng, 2), rows[[0, 9]], np.zeros((1, DIM), np.float32)])
    path = tmp_path / "c"
    with Collection.open_or_create(path, DIM, metric) as coll:
        assert coll.bound_codes_bytes == 0
        coll.insert_batch(list(records), rows, [{"g": i % 3} for i in records])
        expect_same_answers(coll, metric, records, queries)

        # Deletes move slots; replaces (an insert of a present id) too, and
        # vectors far outside the codes' cells make them be built anew.
        gone = [int(i) for i in rng.choice(COUNT, 1500, replace=False)]
        assert coll.delete_batch(gone) == 1500
        for i in gone:
            del records[i]
        far = make_rows(rng, 2000, scale=40.0)
        for j, i in enumerate(list(records)[:2000]):
            coll.insert(i, far[j], {"g": i % 3})
            records[i] = far[j]
        expect_same_answers(coll, metric, records, queries)

        fifth = list(records)[::5]
        assert coll.delete_batch(fifth) == len(fifth)
        for i in fifth:
            del records[i]
        coll.compact()
        expect_same_answers(coll, metric, records, queries)

    with Collection.open(path) as coll:
        coll.wait_for_bound_codes()
        expect_same_answers(coll, metric, records, queries)
    with Collection.open(path, read_only=True) as coll:
        coll.wait_for_bound_codes()
        expect_same_answers(coll, metric, records, queries)


@pytest.mark.parametrize("metric", ["euclidean", "dot", "cosine"])
def test_wide_vectors_match_the_scan(tmp_path, metric):
    # From 256 dimensions a search keeps every bound and computes exactly in
    # a second pass; a row of huge components, whose products overflow, is
    # computed exactly every time, and a row of tiny ones ties with zero.
    dim = 300
    rng = np.random.default_rng(30 + len(metric))
    rows = make_rows(rng, MIN_SIZE + 1000, dim=dim)
    rows[7] *= np.float32(1e-30)
    rows[11] = 3e38
    records = {i: rows[i] for i in range(len(rows))}
    queries = np.concatenate([make_rows(rng, 2, dim=dim), rows[[0, 19]]])
    with Collection.open_or_create(tmp_path / "c", dim, metric) as coll:
        coll.insert_batch(list(records), rows, [{"g": i % 3} for i in records])
        coll.wait_for_bound_codes()  # a batch this large is written as a bulk load
        expect_same_answers(coll, metric, records, queries)
        gone = [int(i) for i in rng.choice(len(rows), 700, replace=False) if i not in (7, 11)]
        assert coll.delete_batch(gone) == len(gone)
        for i in gone:
            del records[i]
        expect_same_answers(coll, metric, records, queries)


def test_searches_while_the_codes_are_built_are_the_scans(tmp_path):
    rng = np.random.default_rng(7)
    rows = make_rows(rng, COUNT)
    queries = np.concatenate([make_rows(rng, 3), rows[[5]]])
    path = tmp_path / "c"
    with Collection.open_or_create(path, DIM, "euclidean") as coll:
        coll.insert_batch(list(range(COUNT)), rows)
    scan, ids = scan_of("euclidean", dict(enumerate(rows)))
    want = [[bits(d) for _, d in scan.search(q, 10)] for q in queries]

    for read_only in (False, True):
        with Collection.open(path, read_only=read_only) as coll:
            # Searches from another thread while this one waits (the GIL is
            # released by both), then once the codes are in use.
            seen: list[list[list[bytes]]] = []
            searcher = threading.Thread(
                target=lambda: seen.extend([[bits(d) for _, d in coll.search(q, 10)] for q in queries]
                                           for _ in range(5)))
            searcher.start()
            coll.wait_for_bound_codes()
            searcher.join()
            assert coll.bound_codes_bytes >= COUNT * DIM
            assert seen == [want] * 5
            assert [[bits(d) for _, d in coll.search(q, 10)] for q in queries] == want
            coll.wait_for_bound_codes()  # nothing running: at once
        with pytest.raises(ValueError, match="closed"):
            coll.wait_for_bound_codes()


def test_close_during_the_build(tmp_path):
    rng = np.random.default_rng(8)
    rows = make_rows(rng, COUNT)
    path = tmp_path / "c"
    with Collection.open_or_create(path, DIM, "cosine") as coll:
        coll.insert_batch(list(range(COUNT)), rows)
    Collection.open(path).close()
    with Collection.open(path) as coll:
        coll.wait_for_bound_codes()
        assert len(coll) == COUNT and coll.bound_codes_bytes > 0


def test_no_codes_are_kept_below_the_size(tmp_path):
    rng = np.random.default_rng(0)
    rows = make_rows(rng, MIN_SIZE - 1)
    with Collection.open_or_create(tmp_path / "c", DIM, "cosine") as coll:
        coll.insert_batch(list(range(len(rows))), rows)
        assert coll.bound_codes_bytes == 0
        coll.insert(len(rows), rows[0])
        assert coll.bound_codes_bytes > 0
        coll.close()
        with pytest.raises(ValueError, match="closed"):
            coll.bound_codes_bytes
