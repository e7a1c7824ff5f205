"""velmoradb.Collection, the records API: argument checks and their
messages, payload conversion, closing, threads, and directories shared with
_velmoradb.Collection."""

from __future__ import annotations

import math
import os
import pathlib
import struct
import threading

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import _velmoradb
from velmoradb import Collection


@pytest.fixture
def path(tmp_path):
    return tmp_path / "records"


@pytest.fixture
def coll(path):
    with Collection.open_or_create(path, 3, "euclidean") as c:
        c.insert_batch([1, 2, 3], [[1, 0, 0], [0, 1, 0], [0, 0, 1]])
        yield c


def bits(x: float) -> bytes:
    return struct.pack("<f", x)


# ---------------------------------------------------------------- opening

def test_class_belongs_to_the_package_and_has_no_constructor():
    assert Collection.__module__ == "velmoradb"
    with pytest.raises(TypeError, match="open_or_create"):
        Collection()


@pytest.mark.parametrize("as_path", [str, pathlib.Path, os.fsencode], ids=["str", "PathLike", "bytes"])
def test_open_or_create_takes_any_path_form(path, as_path):
    with Collection.open_or_create(as_path(path), 4, "cosine") as c:
        assert (c.path, c.dimension, c.metric, len(c)) == (str(path), 4, "cosine", 0)
    assert path.is_dir()


@pytest.mark.parametrize(
    ("dimension", "metric", "error", "text"),
    [
        (3, "Cosine", ValueError, "unknown metric 'Cosine' (expected one of 'euclidean', 'cosine', 'dot')"),
        (3, "", ValueError, "unknown metric '' (expected one of 'euclidean', 'cosine', 'dot')"),
        (3, 1, TypeError, "metric: expected str, got int"),
        (0, "dot", ValueError, "dimension must be at least 1"),
        (-1, "dot", OverflowError, "dimension: "),
        ("3", "dot", TypeError, "dimension: "),
    ],
)
def test_bad_open_arguments_touch_nothing(path, dimension, metric, error, text):
    with pytest.raises(error) as caught:
        Collection.open_or_create(path, dimension, metric)
    assert str(caught.value).startswith(text)
    assert not path.exists()


def test_path_with_nul_byte_is_refused(tmp_path):
    with pytest.raises(ValueError, match="embedded null byte"):
        Collection.open_or_create(str(tmp_path / "x") + "\0y", 3, "dot")
    assert not (tmp_path / "x").exists()


def test_other_dimension_is_a_value_error_naming_both(path):
    Collection.open_or_create(path, 3, "dot").close()
    with pytest.raises(ValueError) as caught:
        Collection.open_or_create(path, 5, "dot")
    assert "3" in str(caught.value) and "5" in str(caught.value)


def test_second_open_is_refused_while_the_first_is_open(coll, path):
    with pytest.raises(OSError):
        Collection.open_or_create(path, 3, "euclidean")


def test_repr_shows_path_dimension_metric_and_count(coll, path):
    assert repr(coll) == f"<velmoradb.Collection path={str(path)!r} dimension=3 metric='euclidean' count=3>"
    coll.close()
    assert repr(coll) == f"<velmoradb.Collection path={str(path)!r} dimension=3 metric='euclidean' closed>"


# ---------------------------------------------------------------- vectors and queries

BAD_VECTORS = [
    ([1, 2], ValueError, "vector has 2 components, the collection's dimension is 3"),
    ([1, 2, 3, 4], ValueError, "vector has 4 components, the collection's dimension is 3"),
    ([1, math.nan, 2], ValueError, "vector[1] is NaN"),
    ([1, 2, -math.inf], ValueError, "vector[2] is infinite"),
    ([1e39, 0, 0], ValueError, "vector[0] = 1e+39 is outside the float32 range"),
    (np.array([0, 0, np.nan]), ValueError, "vector[2] is NaN"),
    (np.array([0, -1e39, 0]), ValueError, "vector[1] = -1e+39 is outside the float32 range"),
    (np.array([0, 0, np.inf], dtype=np.float32), ValueError, "vector[2] is infinite"),
    ("abc", TypeError, "vector: expected a sequence of numbers, got str"),
    ([1, "x", 3], TypeError, "vector[1]: must be real number, not str"),
]


@pytest.mark.parametrize(("vector", "error", "text"), BAD_VECTORS)
def test_bad_vector_is_refused_before_anything_is_written(coll, vector, error, text):
    with pytest.raises(error) as caught:
        coll.insert(9, vector)
    assert str(caught.value) == text
    assert len(coll) == 3


@pytest.mark.parametrize(("vector", "error", "text"), BAD_VECTORS)
def test_bad_query_is_refused(coll, vector, error, text):
    with pytest.raises(error) as caught:
        coll.search(vector, 2)
    assert str(caught.value) == text.replace("vector", "query")
    with pytest.raises(error) as caught:
        coll.search_batch([[0, 0, 0], vector], 2)
    assert str(caught.value) == text.replace("vector", "queries[1]")


def test_largest_float32_is_accepted(coll):
    top = float(np.finfo(np.float32).max)
    coll.insert(9, [top, -top, 0])
    assert coll.search([top, -top, 0], 1)[0][0] == 9


@pytest.mark.parametrize(
    ("vectors", "text"),
    [
        ([[1, 1, 1], [1, 1], [1, 1, 1]], "vectors[1] (id 11) has 2 components, the collection's dimension is 3"),
        ([[1, 1, 1], [1, 1, math.nan], [1, 1, 1]], "vectors[1][2] is NaN (id 11)"),
        (np.array([[1, 1, 1], [1, 1, 1], [np.inf, 0, 0]]), "vectors[2][0] is infinite (id 12)"),
        ([[1, 1, 1], [1, 1, 1], [1, 1, 1], [1, 1, 1]], "ids has 3 items but vectors has 4 rows"),
    ],
)
def test_batch_error_names_row_and_id_and_writes_nothing(coll, vectors, text):
    with pytest.raises(ValueError) as caught:
        coll.insert_batch([10, 11, 12], vectors)
    assert str(caught.value) == text
    assert len(coll) == 3


# A batch of 4 MiB of vectors or more goes straight to the data file.
BULK_ROWS = 9000  # x 128 floats: 4.6 MB


def test_bulk_batch_writes_no_log_text_and_reopens_in_both_apis(path):
    rng = np.random.default_rng(4)
    first = rng.standard_normal((BULK_ROWS, 128)).astype(np.float32)
    second = rng.standard_normal((BULK_ROWS, 128)).astype(np.float32)
    with Collection.open_or_create(path, 128, "euclidean") as c:
        c.insert(5, first[0], {"small": True})
        c.delete(5)
        c.insert_batch(range(BULK_ROWS), first, [{"i": i} for i in range(BULK_ROWS)])
        assert os.path.getsize(os.path.join(path, "wal.log")) == 0
        # Replacements, an id given twice (the later row wins) and new ids.
        ids = [3, 3] + list(range(100_000, 100_000 + BULK_ROWS - 2))
        c.insert_batch(ids, second)
        assert os.path.getsize(os.path.join(path, "wal.log")) == 0
        assert c.get(3) == (3, second[1].tolist(), {})
        assert c.get(4) == (4, first[4].tolist(), {"i": 4})
        assert len(c) == 2 * BULK_ROWS - 2
        want = c.search_batch(first[:3], 5)
    with Collection.open(path) as c:
        assert len(c) == 2 * BULK_ROWS - 2 and c.search_batch(first[:3], 5) == want
        assert c.reclaimable_bytes > 0  # the replaced record of id 3 and the first row of 3
    assert _velmoradb.Collection.open_or_create(str(path), 128, "euclidean").search_batch(first[:3], 5) == want


# From 16 MiB of data file on, a reopen loads on the collection's own thread.
LARGE_ROWS = 32_000  # x 128 floats: 17 MB with their payloads


@pytest.mark.parametrize("first_call", ["search", "filtered search", "len", "insert"])
def test_a_large_reopen_answers_the_same_before_and_after_its_load(path, first_call):
    rng = np.random.default_rng(9)
    rows = rng.standard_normal((LARGE_ROWS, 128)).astype(np.float32)
    queries = rng.standard_normal((4, 128)).astype(np.float32)
    with Collection.open_or_create(path, 128, "euclidean") as c:
        c.insert_batch(range(LARGE_ROWS), rows, [{"odd": i % 2} for i in range(LARGE_ROWS)])
        c.delete(7)
        want = [c.search(q, 10) for q in queries]
        want_odd = c.search(queries[0], 10, where={"odd": 1})
    with Collection.open(path) as c:
        if first_call == "search":
            assert [c.search(q, 10) for q in queries] == want
        elif first_call == "filtered search":
            assert c.search(queries[0], 10, where={"odd": 1}) == want_odd
        elif first_call == "len":
            assert len(c) == LARGE_ROWS - 1
        else:
            c.insert(LARGE_ROWS, -rows[0], {"odd": 2})
            assert c.get(LARGE_ROWS) == (LARGE_ROWS, (-rows[0]).tolist(), {"odd": 2})
        assert c.search(queries[0], 10, where={"odd": 1}) == want_odd
        assert c.get(7) is None and c.get(8) == (8, rows[8].tolist(), {"odd": 0})


def test_unfinished_bulk_insert_is_cut_off_at_the_next_writable_open(path):
    from velmoradb import health

    with Collection.open_or_create(path, 4, "dot") as c:
        c.insert_batch([1, 2], [[1, 2, 3, 4], [5, 6, 7, 8]], [{"a": 1}, {}])
    data = os.path.join(path, "data.vdb")
    start = os.path.getsize(data)
    # As a power cut in the middle of a bulk insert leaves it: the marker
    # forced, then part of the batch's pages, in no order.
    with open(os.path.join(path, "data.vdb.bulk"), "wb") as f:
        f.write(b"%d\n" % start)
    with open(data, "ab") as f:
        f.write(b"\x00" * 4096 + b"\x07garbage")
    found = health.inspect(str(path))
    assert found.healthy and found.data.live == 2
    assert any("unfinished bulk insert past byte offset %d" % start in w for w in found.warnings)
    with pytest.raises(OSError, match="unfinished bulk insert: open it for writing once"):
        Collection.open(path, read_only=True)
    with Collection.open(path) as c:
        assert c.get(1) == (1, [1.0, 2.0, 3.0, 4.0], {"a": 1}) and len(c) == 2
    assert os.path.getsize(data) == start
    assert os.path.getsize(os.path.join(path, "data.vdb.bulk")) == 0
    with Collection.open(path, read_only=True) as c:
        assert len(c) == 2


# float32 rows are checked in place, float64 ones as they are copied.
@pytest.mark.parametrize("dtype, bad, message", [
    (np.float32, np.nan, "is NaN"),
    (np.float32, -np.inf, "is infinite"),
    (np.float64, 1e39, "= 1e\\+39 is outside the float32 range"),
])
def test_bad_row_in_a_bulk_batch_writes_nothing(path, dtype, bad, message):
    rows = np.ones((BULK_ROWS, 128), dtype=dtype)
    rows[7000, 3] = bad
    with Collection.open_or_create(path, 128, "euclidean") as c:
        c.insert(1, rows[0])
        with pytest.raises(ValueError, match=r"vectors\[7000\]\[3\] " + message + r" \(id 7000\)"):
            c.insert_batch(range(BULK_ROWS), rows)
        assert c.ids() == [1]
    with Collection.open(path) as c:
        assert c.ids() == [1]


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_numpy_batches_equal_list_batches(path, dtype):
    rng = np.random.default_rng(7)
    data = rng.standard_normal((50, 3)).astype(dtype)
    queries = rng.standard_normal((4, 3)).astype(dtype)
    with Collection.open_or_create(path / "a", 3, "cosine") as a, \
            Collection.open_or_create(path / "b", 3, "cosine") as b:
        a.insert_batch(range(50), data)
        b.insert_batch(list(range(50)), data.tolist())
        assert a.search_batch(queries, 5) == b.search_batch(queries.tolist(), 5)
        assert a.search(queries[0], 5) == a.search_batch(queries, 5)[0]


# ---------------------------------------------------------------- payloads

HOSTILE_PAYLOADS = [
    ({"tags": ["a", "b", {1, 2}]}, TypeError,
     "payload['tags'][2]: expected None, bool, int, float, str, list, tuple or dict, got set"),
    ({"b": b"raw"}, TypeError, "payload['b']: expected None, bool, int, float, str, list, tuple or dict, got bytes"),
    ({"x": [0.5, math.nan]}, ValueError, "payload['x'][1]: float is NaN"),
    ({"x": {"y": -math.inf}}, ValueError, "payload['x']['y']: float is infinite"),
    ({"n": 2**64}, ValueError, "payload['n']: int out of range (-2**63 to 2**64-1)"),
    ({"n": -(2**63) - 1}, ValueError, "payload['n']: int out of range (-2**63 to 2**64-1)"),
    ({1: "x"}, TypeError, "payload: keys must be str, got int key 1"),
    ({"a": {None: 1}}, TypeError, "payload['a']: keys must be str, got NoneType key None"),
    ({"s": "\udc80"}, ValueError, "payload['s']: str is not encodable as UTF-8 (it holds a lone surrogate)"),
    ([("a", 1)], TypeError, "payload: expected a dict, got list"),
]


@pytest.mark.parametrize(("payload", "error", "text"), HOSTILE_PAYLOADS)
def test_hostile_payload_is_refused_naming_the_place(coll, payload, error, text):
    with pytest.raises(error) as caught:
        coll.insert(1, [5, 5, 5], payload)
    assert str(caught.value) == text
    assert coll.search([1, 0, 0], 1) == [(1, 0.0)]


def nested(depth):
    """A payload whose deepest value sits inside `depth` containers, the payload included."""
    value: object = 1
    for _ in range(depth - 1):
        value = [value]
    return {"a": value} if depth > 1 else {"a": 1}


def test_deepest_payload_survives_replay_and_one_more_level_is_refused(path):
    with Collection.open_or_create(path, 3, "dot") as c:
        c.insert(1, [1, 1, 1], nested(126))
        with pytest.raises(ValueError, match=r"nested too deeply \(at most 126 levels"):
            c.insert(2, [1, 1, 1], nested(127))
    # Reopened without a checkpoint in between would replay the log; close()
    # checkpointed, so open once more after an unflushed insert.
    c = Collection.open_or_create(path, 3, "dot")
    c.insert(3, [1, 1, 1], nested(126))
    del c
    with Collection.open_or_create(path, 3, "dot") as c:
        assert len(c) == 2


def test_self_containing_payload_is_refused(coll):
    loop: dict[str, object] = {}
    loop["self"] = loop
    with pytest.raises(ValueError, match="nested too deeply"):
        coll.insert(9, [0, 0, 0], loop)
    assert len(coll) == 3


JSON = st.recursive(
    st.none() | st.booleans() | st.integers(-(2**63), 2**64 - 1)
    | st.floats(allow_nan=False, allow_infinity=False) | st.text(),
    lambda inner: st.lists(inner, max_size=4) | st.tuples(inner, inner)
    | st.dictionaries(st.text(max_size=5), inner, max_size=4),
    max_leaves=12,
)
POISON = st.sampled_from([
    {1, 2}, b"x", bytearray(b"x"), math.nan, -math.inf, 2**64, -(2**63) - 1, object(), 1j,
    {1: "non-str key"}, "\ud800",
])


@st.composite
def hostile_payloads(draw):
    """A valid payload with one poisoned value somewhere inside it."""
    payload = draw(st.dictionaries(st.text(max_size=5), JSON, max_size=4))
    poison = draw(POISON)
    holder: object = payload
    for step in draw(st.lists(st.sampled_from(["list", "dict"]), max_size=5)):
        inner: object = [poison] if step == "list" else {"k": poison}
        poison = inner
    payload[draw(st.text(max_size=5))] = poison
    return holder


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(payload=hostile_payloads())
def test_hostile_payloads_get_a_clear_error_and_change_nothing(coll, payload):
    before = coll.search_batch(np.eye(3), 3)
    with pytest.raises((TypeError, ValueError)) as caught:
        coll.insert(2, [9, 9, 9], payload)
    assert str(caught.value).startswith("payload")
    assert coll.search_batch(np.eye(3), 3) == before and len(coll) == 3


@settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(payload=st.dictionaries(st.text(max_size=5), JSON, max_size=4))
def test_valid_payloads_are_accepted(coll, payload):
    coll.insert(4, [1, 1, 1], payload)
    assert len(coll) == 4


# ---------------------------------------------------------------- closing

def test_close_is_idempotent_and_later_calls_raise(coll, path):
    coll.close()
    coll.close()
    assert coll.closed
    calls = [
        lambda: coll.insert(1, [0, 0, 0]),
        lambda: coll.insert_batch([1], [[0, 0, 0]]),
        lambda: coll.search([0, 0, 0], 1),
        lambda: coll.search_batch([[0, 0, 0]], 1),
        coll.flush,
        lambda: len(coll),
        lambda: coll.__enter__(),
        lambda: coll.reclaimable_bytes,
    ]
    for call in calls:
        with pytest.raises(ValueError, match="^collection is closed$"):
            call()
    assert (coll.path, coll.dimension, coll.metric) == (str(path), 3, "euclidean")


def test_with_block_closes_and_releases_the_directory(path):
    with Collection.open_or_create(path, 2, "dot") as c:
        c.insert(7, [1, 2], {"k": "v"})
    assert c.closed
    with Collection.open_or_create(path, 2, "dot") as again:
        assert again.search([1, 2], 1)[0][0] == 7


def test_unflushed_inserts_survive_close_which_empties_the_log(path):
    with Collection.open_or_create(path, 2, "dot") as c:
        c.insert_batch(range(1000), np.ones((1000, 2), dtype=np.float32))
        c.delete(3)
    # close() checkpoints: the next open has nothing to replay.
    assert os.path.getsize(os.path.join(path, "wal.log")) == 0
    with Collection.open_or_create(path, 2, "dot") as c:
        assert len(c) == 999 and 3 not in c


# ---------------------------------------------------------------- threads

def test_searches_run_while_one_thread_inserts(path):
    rng = np.random.default_rng(1)
    data = rng.standard_normal((2000, 8)).astype(np.float32)
    errors: list[BaseException] = []
    with Collection.open_or_create(path, 8, "euclidean") as c:
        c.insert_batch(range(200), data[:200])
        done = threading.Event()

        def writer():
            try:
                for start in range(200, 2000, 100):
                    c.insert_batch(range(start, start + 100), data[start:start + 100])
            except BaseException as e:  # noqa: BLE001 - reported below
                errors.append(e)
            finally:
                done.set()

        def reader(seed):
            try:
                q = np.random.default_rng(seed).standard_normal(8).astype(np.float32)
                while not done.is_set():
                    hits = c.search(q, 5)
                    assert len(hits) == 5
                    assert [d for _, d in hits] == sorted(d for _, d in hits)
            except BaseException as e:  # noqa: BLE001
                errors.append(e)

        threads = [threading.Thread(target=writer)] + [threading.Thread(target=reader, args=(s,)) for s in range(3)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert errors == []
        assert len(c) == 2000
        # The concurrent inserts give what a single thread gives.
        reference = _velmoradb.Index("euclidean", 8)
        reference.insert_batch(range(2000), data)
        assert c.search_batch(data[:10], 7) == reference.search_batch(data[:10], 7)


def test_close_while_other_threads_search_is_safe(path):
    c = Collection.open_or_create(path, 16, "dot")
    c.insert_batch(range(5000), np.ones((5000, 16), dtype=np.float32))
    outcomes: list[str] = []
    start = threading.Barrier(5)

    def reader():
        start.wait()
        for _ in range(200):
            try:
                c.search(np.ones(16, dtype=np.float32), 3)
            except ValueError as e:
                outcomes.append(str(e))
                return
        outcomes.append("finished")

    threads = [threading.Thread(target=reader) for _ in range(4)]
    for t in threads:
        t.start()
    start.wait()
    c.close()
    for t in threads:
        t.join()
    assert set(outcomes) <= {"collection is closed", "finished"} and len(outcomes) == 4
    with Collection.open_or_create(path, 16, "dot") as again:
        assert len(again) == 5000


# ---------------------------------------------------------------- the other API

@pytest.mark.parametrize("metric", ["euclidean", "cosine", "dot"])
def test_directories_open_with_either_api(tmp_path, metric):
    rng = np.random.default_rng(3)
    data = rng.standard_normal((100, 5)).astype(np.float32)
    queries = rng.standard_normal((3, 5)).astype(np.float32)

    old = _velmoradb.Collection.open_or_create(str(tmp_path / "old"), 5, metric)
    old.insert_batch(list(range(100)), data)
    expected = old.search_batch(queries, 10)
    del old
    with Collection.open_or_create(tmp_path / "old", 5, metric) as new:
        assert new.search_batch(queries, 10) == expected

    with Collection.open_or_create(tmp_path / "new", 5, metric) as new:
        for i in range(100):
            new.insert(i, data[i], {"i": i, "tags": ["x"] * (i % 3)})
        expected = new.search_batch(queries, 10)
    old = _velmoradb.Collection.open_or_create(str(tmp_path / "new"), 5, metric)
    assert old.search_batch(queries, 10) == expected


def test_conversions_keep_no_reference(coll):
    import sys

    key, value, bad = "key-" + str(id(coll)), [1.5, "x"], {1, 2}
    payload = {key: value, "bad": [bad]}
    counts = [sys.getrefcount(o) for o in (key, value, bad, payload)]
    for _ in range(100):
        with pytest.raises(TypeError):
            coll.insert(5, [0, 0, 0], payload)
        coll.insert(5, [0, 0, 0], {key: value})
    assert [sys.getrefcount(o) for o in (key, value, bad, payload)] == counts


# ---------------------------------------------------------------- records by id, filters, deletes

PAYLOAD = {"f": 1.0, "z": -0.0, "big": 1e300, "u": 2**64 - 1, "n": -(2**63), "s": "é\x00\n",
           "t": (1, [2.5, None]), "e": {}, "l": [], "b": True, "d": {"x": {"y": False}}}
AS_STORED = {**PAYLOAD, "t": [1, [2.5, None]]}


def kinds(value):
    if isinstance(value, dict):
        return {k: kinds(v) for k, v in value.items()}
    if isinstance(value, list):
        return [kinds(v) for v in value]
    return type(value).__name__


@pytest.mark.parametrize("reopen", ["same", "after_replay", "after_close"])
def test_payload_round_trip_keeps_values_and_types(path, reopen):
    c = Collection.open_or_create(path, 3, "dot")
    c.insert(1, [0.1, 1e-40, 3], PAYLOAD)
    if reopen == "after_replay":
        del c  # no checkpoint: the next open replays the log
        c = Collection.open(path)
    elif reopen == "after_close":
        c.close()
        c = Collection.open(path)
    record = c.get(1)
    assert record == (1, [float(np.float32(0.1)), float(np.float32(1e-40)), 3.0], AS_STORED)
    assert kinds(record.payload) == kinds(AS_STORED)
    assert math.copysign(1, record.payload["z"]) == -1
    c.close()


def test_get_contains_ids_and_deletes(coll):
    coll.insert(2, [0, 1, 0], {"tag": "b"})
    assert coll.get(1) == (1, [1.0, 0.0, 0.0], {}) and coll.get(99) is None
    assert coll.get_batch([3, 99, 2]) == [coll.get(3), None, (2, [0.0, 1.0, 0.0], {"tag": "b"})]
    assert (1 in coll, 99 in coll, "1" in coll, -1 in coll) == (True, False, False, False)
    assert coll.delete(2) is True and coll.delete(2) is False
    assert coll.delete_batch([1, 1, 7]) == 1
    assert (coll.ids(), len(coll), coll.search([1, 0, 0], 5)) == ([3], 1, [(3, float(np.float32(math.sqrt(2))))])


def test_filtered_search_equals_brute_force_over_the_matching_records(path):
    rng = np.random.default_rng(5)
    data = rng.standard_normal((300, 4)).astype(np.float32)
    payloads = [{"g": ["a", "b", "c"][i % 3], "n": i} for i in range(300)]
    where = {"g": {"$in": ["a", "c"]}, "n": {"$gte": 30}}
    with Collection.open_or_create(path, 4, "euclidean") as c:
        c.insert_batch(range(300), data, payloads)
        keep = [i for i, p in enumerate(payloads) if p["g"] in ("a", "c") and p["n"] >= 30]
        assert c.ids(where=where) == keep
        reference = _velmoradb.Index("euclidean", 4)
        reference.insert_batch(keep, data[keep])
        assert c.search_batch(data[:5], 7, where=where) == reference.search_batch(data[:5], 7)
        assert c.search(data[0], 7, where=where) == reference.search(data[0], 7)


@pytest.mark.parametrize("where", [None, {"g": 1}])
def test_search_batch_on_threads_equals_one_thread(path, where):
    rng = np.random.default_rng(9)
    # Small integer components: many equal distances, whose order must not change.
    data = rng.integers(-2, 3, size=(2000, 8)).astype(np.float32)
    queries = rng.integers(-2, 3, size=(37, 8)).astype(np.float32)
    with Collection.open_or_create(path, 8, "euclidean") as c:
        c.insert_batch(range(2000), data, [{"g": i % 3} for i in range(2000)])
        one = c.search_batch(queries, 15, where=where, threads=1)
        for threads in (2, 3, 1000):
            assert c.search_batch(queries, 15, where=where, threads=threads) == one
        assert c.search_threads == 1
        c.search_threads = 2
        assert c.search_threads == 2 and c.search_batch(queries, 15, where=where) == one
        c.search_threads = None
        assert c.search_threads == 1


@pytest.mark.parametrize(
    ("value", "error", "text"),
    [
        (0, ValueError, "threads must be at least 1, not 0"),
        (-2**70, ValueError, "threads must be at least 1, not -1180591620717411303424"),
        (2.0, TypeError, "threads must be an int or None, not float"),
        (True, TypeError, "threads must be an int or None, not bool"),
    ],
)
def test_bad_thread_counts_are_refused(coll, value, error, text):
    with pytest.raises(error) as caught:
        coll.search_batch([[1, 0, 0]], 1, threads=value)
    assert str(caught.value) == text
    with pytest.raises(error) as caught:
        coll.search_threads = value
    assert str(caught.value) == "search_" + text
    assert coll.search_threads == 1


@pytest.mark.parametrize(
    ("where", "error", "text"),
    [
        ({"a": {"$foo": 1}}, ValueError, "unknown operator '$foo' at where['a']"),
        ({"tags": {"$in": "x"}}, ValueError, "$in needs a list, not a string at where['tags']"),
        ({"a": math.nan}, ValueError, "where['a']: float is NaN"),
        ([("a", 1)], TypeError, "where: expected a dict, got list"),
    ],
)
def test_bad_filter_is_refused_before_any_search(coll, where, error, text):
    for call in (lambda: coll.search([1, 0, 0], 1, where=where), lambda: coll.ids(where=where)):
        with pytest.raises(error) as caught:
            call()
        assert str(caught.value) == text


def test_batch_payload_error_names_row_and_id_and_writes_nothing(coll):
    with pytest.raises(TypeError) as caught:
        coll.insert_batch([7, 8], [[1, 1, 1], [2, 2, 2]], [{"ok": 1}, {"bad": {1}}])
    assert str(caught.value) == (
        "payloads[1]['bad']: expected None, bool, int, float, str, list, tuple or dict, got set (id 8)")
    with pytest.raises(ValueError, match="ids has 2 items but payloads has 1"):
        coll.insert_batch([7, 8], [[1, 1, 1], [2, 2, 2]], [{}])
    assert len(coll) == 3


def test_compact_drops_deleted_and_replaced_records(path):
    with Collection.open_or_create(path, 2, "dot") as c:
        c.insert_batch(range(100), np.ones((100, 2), dtype=np.float32))
        c.insert(5, [2, 2], {"v": 2})
        c.delete_batch(range(50, 100))
        c.flush()
        reclaimable = c.reclaimable_bytes
        with pytest.raises(AttributeError):
            c.reclaimable_bytes = 0
    with Collection.open(path, read_only=True) as c:
        assert c.reclaimable_bytes == reclaimable
    with Collection.open(path) as c:
        stats = c.compact()
        assert stats.records_dropped == 51 and stats.bytes_after < stats.bytes_before
        assert stats.bytes_before - stats.bytes_after == reclaimable
        assert (len(c), c.get(5).payload, c.reclaimable_bytes) == (50, {"v": 2}, 0)
    with Collection.open(path) as c:
        assert c.ids() == list(range(50))


# ---------------------------------------------------------------- open modes

def test_open_and_create(path):
    with pytest.raises(FileNotFoundError, match="no collection at"):
        Collection.open(path)
    Collection.create(path, 2, "cosine").close()
    with pytest.raises(FileExistsError, match="already exists"):
        Collection.create(path, 2, "cosine")
    with Collection.open(path) as c:
        assert (c.dimension, c.metric, c.read_only) == (2, "cosine", False)


@pytest.mark.parametrize(("dimension", "metric", "text"), [
    (2, "dot", "has metric 'cosine', not 'dot'"),
    (3, "cosine", "has dimension 2, not 3"),
])
def test_other_dimension_or_metric_is_refused_naming_both(path, dimension, metric, text):
    Collection.create(path, 2, "cosine").close()
    with pytest.raises(ValueError, match=text):
        Collection.open_or_create(path, dimension, metric)
    with Collection.open(path) as c:
        assert c.metric == "cosine"


def test_read_only_instances_share_and_never_write(path):
    import io
    with Collection.open_or_create(path, 2, "dot") as c:
        c.insert(1, [1, 2], {"k": 1})
    readers = [Collection.open(path, read_only=True) for _ in range(2)]
    with pytest.raises(OSError, match="read-only"):
        Collection.open(path)
    for call in (lambda: readers[0].insert(2, [0, 0]), lambda: readers[0].delete(1),
                 readers[0].flush, readers[0].compact):
        with pytest.raises(io.UnsupportedOperation, match="collection is read-only"):
            call()
    assert [r.get(1) for r in readers] == [(1, [1.0, 2.0], {"k": 1})] * 2
    for r in readers:
        r.close()
    with Collection.open(path) as c:
        assert len(c) == 1


def test_old_api_honours_deletes_of_the_new(path):
    with Collection.open_or_create(path, 2, "dot") as c:
        c.insert_batch([1, 2, 3], [[1, 0], [0, 1], [1, 1]], [{"a": 1}, None, {"b": [1]}])
        c.delete(2)
    old = _velmoradb.Collection.open_or_create(str(path), 2, "dot")
    assert sorted(i for i, _ in old.search([1, 1], 10)) == [1, 3]
    old.insert(4, [2, 2])
    del old
    with Collection.open(path) as c:
        assert c.get(4) == (4, [2.0, 2.0], {}) and c.get(3).payload == {"b": [1]}
