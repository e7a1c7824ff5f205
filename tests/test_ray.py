"""velmoradb.ray on a local Ray cluster started by the module's fixture.

The sharded answers are compared with one velmoradb.Collection holding the same
records: the same distances bit for bit (equal distances in any order).
"""

from __future__ import annotations

import os
import signal
import time

import numpy as np
import pytest

ray = pytest.importorskip("ray")
pytest.importorskip("ray.data")

from velmoradb import Collection, Record  # noqa: E402
from velmoradb.ray import (  # noqa: E402
    IncompleteWriteError,
    ShardedCollection,
    ShardUnavailableError,
    search_dataset,
    shard_of,
    write_dataset,
)
from velmoradb.ray._collection import insert_parts  # noqa: E402
from velmoradb.ray._routing import shards_of, split_by_shard, splitmix64  # noqa: E402

DIM = 8


@pytest.fixture(scope="module", autouse=True)
def cluster(tmp_path_factory):
    # Ray puts the driver's working directory first on its workers' sys.path:
    # from the checkout, they would import its velmoradb, which has no
    # compiled module. The cluster starts from an empty directory instead.
    previous = os.getcwd()
    os.chdir(tmp_path_factory.mktemp("ray-driver"))
    try:
        ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False, configure_logging=False)
    finally:
        os.chdir(previous)
    context = ray.data.DataContext.get_current()
    context.enable_progress_bars = False
    context.print_on_execution_start = False
    yield
    ray.shutdown()


@pytest.fixture(scope="module")
def empty(tmp_path_factory):
    with ShardedCollection.create(tmp_path_factory.mktemp("empty") / "c", DIM, "euclidean", shards=2) as c:
        yield c


# Helpers ---------------------------------------------------------------------


def tied_records(n, seed):
    """Vectors with small integer components (many equal distances), every
    tenth one a copy of an earlier vector, and payloads to filter on."""
    rng = np.random.default_rng(seed)
    vectors = rng.integers(-2, 3, size=(n, DIM)).astype(np.float32)
    for i in range(10, n, 10):
        vectors[i] = vectors[rng.integers(0, i)]
    ids = rng.integers(3, 2**64 - 1, size=n, dtype=np.uint64)  # distinct, as 64 random bits are
    ids[:3] = [0, 1, 2**64 - 1]
    payloads = [{"group": int(i % 4), "name": f"r{i}"} if i % 7 else None for i in range(n)]
    return ids, vectors, payloads


def bits(hits):
    return [d.hex() for _, d in hits]


def assert_same_answer(got, reference, all_distances):
    """`got` is a right answer where `reference` is one: equal distances bit for
    bit, each id at its true distance, no id twice, and the same ids wherever
    the answer is not cut inside a run of equal distances."""
    assert bits(got) == bits(reference)
    assert len({i for i, _ in got}) == len(got)
    for i, d in got:
        assert all_distances[i].hex() == d.hex()
    if reference:
        last = reference[-1][1]
        assert {i for i, d in got if d < last} == {i for i, d in reference if d < last}


def pair(tmp_path, metric, shards, seed=7, n=400):
    ids, vectors, payloads = tied_records(n, seed)
    single = Collection.create(str(tmp_path / "single"), DIM, metric)
    single.insert_batch(ids, vectors, payloads)
    sharded = ShardedCollection.create(tmp_path / "sharded", DIM, metric, shards=shards)
    sharded.insert_batch(ids, vectors, payloads)
    return single, sharded, ids, vectors


def kill_shard(collection, shard, how):
    actor = collection.shard_set.actors[shard]
    if how == "ray.kill":
        ray.kill(actor, no_restart=False)
    else:
        _, _, pid = ray.get(actor.describe.remote())
        os.kill(pid, signal.SIGKILL)


def wait_until_dead(actor, seconds=60.0):
    """ray.kill only sends the kill: a call made right after it may still be
    answered. Returns once a call to the actor fails."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            ray.get(actor.describe.remote(), timeout=seconds)
        except ray.exceptions.RayActorError:
            return
        time.sleep(0.05)
    raise AssertionError("the killed actor still answers")


# Routing ---------------------------------------------------------------------


def test_routing_is_fixed_and_the_same_for_one_id_and_an_array():
    assert splitmix64(0) == 0xE220A8397B1DCDAF  # SplitMix64's first output for seed 0
    rng = np.random.default_rng(3)
    extremes = np.array([0, 1, 2**63, 2**64 - 1], dtype=np.uint64)
    ids = np.concatenate([rng.integers(0, 2**64 - 1, 1000, dtype=np.uint64, endpoint=True), extremes])
    for shards in (1, 2, 3, 16):
        owners = shards_of(ids, shards)
        assert owners.tolist() == [shard_of(int(i), shards) for i in ids]
        positions = split_by_shard(ids, shards)
        assert sorted(np.concatenate(positions).tolist()) == list(range(len(ids)))
        for s, p in enumerate(positions):
            assert (np.diff(p) > 0).all() and (owners[p] == s).all()
    # Spread: each of 4 shards gets about a quarter of consecutive ids.
    counts = np.bincount(shards_of(np.arange(40_000, dtype=np.uint64), 4).astype(np.int64))
    assert counts.min() > 9_000


# Exactness -------------------------------------------------------------------


@pytest.mark.parametrize("metric, shards", [("euclidean", 3), ("cosine", 2), ("dot", 4)])
def test_search_equals_one_collection_bit_for_bit(tmp_path, metric, shards):
    single, sharded, ids, vectors = pair(tmp_path, metric, shards)
    with single, sharded:
        # Replacements and deletes must land where the id lives.
        single.insert_batch(ids[:20], vectors[20:40], None)
        sharded.insert_batch(ids[:20], vectors[20:40], None)
        assert single.delete_batch(ids[40:60]) == sharded.delete_batch(ids[40:60]) == 20
        queries = np.concatenate([vectors[:6], np.zeros((1, DIM), np.float32), vectors[60:63] + 0.5])
        for where in (None, {"group": 1}, {"$or": [{"group": {"$gte": 2}}, {"name": "r3"}]}):
            everything = {i: d for i, d in single.search_batch(queries[:1], len(ids))[0]}
            for k in (1, 7, 50, 1000):
                expected = single.search_batch(queries, k, where=where)
                got = sharded.search_batch(queries, k, where=where)
                assert len(got) == len(queries)
                for q, (g, e) in enumerate(zip(got, expected)):
                    everything = {i: d for i, d in single.search(queries[q], len(ids))}
                    assert_same_answer(g, e, everything)
                assert_same_answer(sharded.search(queries[0], k, where=where), expected[0],
                                   {i: d for i, d in single.search(queries[0], len(ids))})
        assert sharded.search_batch(queries[:0], 5) == []
        assert sharded.search(queries[0], 0) == []


# Records API -----------------------------------------------------------------


def test_records_api_matches_one_collection(tmp_path):
    single, sharded, ids, vectors = pair(tmp_path, "euclidean", 3, n=200)
    with single:
        probe = [int(ids[5]), 12345, int(ids[0]), int(ids[-1])]
        assert sharded.get_batch(probe) == single.get_batch(probe)
        assert sharded.get(int(ids[6])) == single.get(int(ids[6]))
        assert sharded.get(99) is None and 99 not in sharded and int(ids[1]) in sharded
        assert "x" not in sharded and -1 not in sharded
        assert len(sharded) == len(single) == 200
        for where in (None, {"group": 2}, {"name": {"$in": ["r1", "r2", "r9"]}}):
            assert sharded.ids(where) == single.ids(where)
        assert sharded.delete(int(ids[5])) and not sharded.delete(int(ids[5]))
        assert sharded.delete_batch([int(ids[6]), int(ids[6]), 777]) == 1
        sharded.insert(5, [1.0] * DIM, {"tags": ["a", ("b", None)], "deep": {"x": 1.5}})
        assert sharded.get(5) == Record(5, [1.0] * DIM, {"deep": {"x": 1.5}, "tags": ["a", ["b", None]]})
        stats = sharded.compact()
        assert stats.records_dropped == 2 and stats.bytes_after < stats.bytes_before
        sharded.flush()
        sharded.close()
        sharded.close()
        assert sharded.closed
        with pytest.raises(ValueError, match="collection is closed"):
            len(sharded)
        # Each shard directory is an ordinary collection holding the ids routed to it.
        for shard in range(3):
            with Collection.open(str(tmp_path / "sharded" / f"shard-{shard:04d}"), read_only=True) as part:
                assert len(part) > 0 and all(shard_of(i, 3) == shard for i in part.ids())
        with ShardedCollection.open(tmp_path / "sharded") as reopened:
            reopened.wait_for_bound_codes()
            assert len(reopened) == 199
            assert reopened.get(5).payload["deep"] == {"x": 1.5}
            assert reopened.ids() == sorted([*map(int, ids[np.r_[0:5, 7:200]]), 5])
            with pytest.raises(OSError, match="already open in this process"):
                ShardedCollection.open(tmp_path / "sharded")


def test_create_and_open_refuse_what_is_not_there_or_already_there(tmp_path, monkeypatch):
    with pytest.raises(FileNotFoundError, match="no sharded collection"):
        ShardedCollection.open(tmp_path / "nothing")
    with pytest.raises(ValueError, match="unknown metric"):
        ShardedCollection.create(tmp_path / "a", 3, "l2", shards=2)
    with pytest.raises(ValueError, match="shards must be at least 1"):
        ShardedCollection.create(tmp_path / "a", 3, "dot", shards=0)
    # A relative root is the driver's: the actors, in other directories, get it absolute.
    monkeypatch.chdir(tmp_path)
    with ShardedCollection.create("a", 3, "dot", shards=2) as created:
        assert created.root == str(tmp_path / "a")
        created.insert_batch([1, 2, 3], [[1.0, 0.0, 0.0]] * 3)
    with pytest.raises(FileExistsError):
        ShardedCollection.create(tmp_path / "a", 3, "dot", shards=2)
    os.rename(tmp_path / "a" / "shard-0001", tmp_path / "a" / "moved")
    with pytest.raises(FileNotFoundError, match="shard 1"):
        ShardedCollection.open(tmp_path / "a")
    (tmp_path / "a" / "velmoradb-shards.json").write_text('{"format": "velmoradb sharded collection", "version": 9}')
    with pytest.raises(ValueError, match="version 9"):
        ShardedCollection.open(tmp_path / "a")


@pytest.mark.parametrize(
    "ids, vectors, payloads, error, message",
    [
        ([1, 2, 3], [[0.0] * DIM, [float("nan")] + [0.0] * (DIM - 1), [0.0] * DIM], None, ValueError,
         r"vectors\[1\]\[0\] is NaN \(id 2\)"),
        ([1, 2, 3], [[0.0] * DIM, [0.0] * DIM, [1e39] + [0.0] * (DIM - 1)], None, ValueError, "float32 range"),
        ([1, 2, 3], [[0.0] * DIM, [0.0] * (DIM - 1), [0.0] * DIM], None, ValueError, r"vectors\[1\] \(id 2\) has 7 components"),
        ([1, 2, 3], [[0.0] * DIM] * 3, [{"a": 1}, None, {"a": {1, 2}}], TypeError, r"payloads\[2\]\['a'\]: expected .* got set \(id 3\)"),
        ([1, 2, 3], [[0.0] * DIM] * 3, [None, {1: "x"}, None], TypeError, "keys must be str"),
        ([1, 2, 3], [[0.0] * DIM] * 3, [None, None, {"x": float("inf")}], ValueError, "float is infinite"),
        ([1, -2, 3], [[0.0] * DIM] * 3, None, OverflowError, r"ids\[1\]"),
        ([1, 2], [[0.0] * DIM] * 3, None, ValueError, "ids has 2 items but vectors has 3 rows"),
        ([1, 2, 3], [[0.0] * DIM, "abcdefgh", [0.0] * DIM], None, TypeError, r"vectors\[1\]"),
    ],
)
def test_a_bad_row_writes_nothing_on_any_shard(empty, ids, vectors, payloads, error, message):
    with pytest.raises(error, match=message):
        empty.insert_batch(ids, vectors, payloads)
    assert len(empty) == 0


@pytest.mark.parametrize(
    "search, error, message",
    [
        (lambda c: c.search([1.0, 2.0, 3.0], 5), ValueError, "query has 3 components"),
        (lambda c: c.search_batch([[0.0, float("inf")] + [0.0] * (DIM - 2)], 5), ValueError, r"queries\[0\]\[1\] is infinite"),
        (lambda c: c.search([0.0] * DIM, 5, where={"a": {"$foo": 1}}), ValueError, "unknown operator"),
        (lambda c: c.ids({"$and": 3}), ValueError, r"\$and"),
        (lambda c: c.search([0.0] * DIM, -1), OverflowError, "negative"),
    ],
)
def test_bad_queries_are_the_callers_errors(empty, search, error, message):
    with pytest.raises(error, match=message):
        search(empty)


# Faults ----------------------------------------------------------------------


@pytest.mark.parametrize("how", ["ray.kill", "SIGKILL"])
def test_a_killed_actor_loses_no_acknowledged_write(tmp_path, how):
    single, sharded, ids, vectors = pair(tmp_path, "euclidean", 2, n=300)
    with single, sharded:
        # Small writes too: a batch under 100 rows does not force the log by
        # itself, so this is what the sharded collection's flush must cover.
        for collection in (single, sharded):
            collection.insert_batch(ids[:3], vectors[100:103], [{"replaced": True}] * 3)
            collection.delete_batch(ids[10:13])
            collection.insert(42, vectors[200], {"single": 1})
            collection.delete(int(ids[20]))
        for shard in range(2):
            kill_shard(sharded, shard, how)
        # The first read waits for the restarts and must be whole.
        query = vectors[7]
        assert_same_answer(sharded.search(query, 20), single.search(query, 20),
                           {i: d for i, d in single.search(query, len(ids) + 1)})
        assert len(sharded) == len(single)
        assert sharded.ids() == single.ids()
        assert sharded.get_batch(single.ids()) == single.get_batch(single.ids())
        # A load's batches are not flushed one by one: a restarted shard
        # replays its log to serve them (each batch of 100 or more forced it).
        extra = np.arange(10**6, 10**6 + 300, dtype=np.uint64)
        insert_parts(sharded.shard_set, extra, vectors, None, durable=False)
        single.insert_batch(extra, vectors)
        for shard in range(2):
            kill_shard(sharded, shard, how)
        assert sharded.get_batch(extra) == single.get_batch(extra)
        # Writes after the restart reach the reopened directories.
        kill_shard(sharded, sharded.shard_of(43), how)
        sharded.insert(43, vectors[201])
        assert sharded.get(43).vector == vectors[201].tolist()


def test_a_read_never_returns_a_partial_answer(tmp_path):
    root = tmp_path / "c"
    ShardedCollection.create(root, DIM, "euclidean", shards=2).close()
    ids, vectors, payloads = tied_records(100, 5)
    with ShardedCollection.open(root, timeout=1, actor_options={"max_restarts": 0}) as sharded:
        sharded.insert_batch(ids, vectors, payloads)
        ray.kill(sharded.shard_set.actors[1], no_restart=True)
        wait_until_dead(sharded.shard_set.actors[1])
        for read in (lambda: sharded.search(vectors[0], 5), lambda: sharded.ids(), lambda: len(sharded),
                     lambda: sharded.get_batch(ids)):
            with pytest.raises(ShardUnavailableError, match="shard 1 .* did not answer within 1 s") as caught:
                read()
            assert caught.value.shards == (1,)
        # The write is refused on the dead shard only; the rest is applied and durable.
        new_ids = np.arange(1000, 1060, dtype=np.uint64)
        with pytest.raises(IncompleteWriteError) as caught:
            sharded.insert_batch(new_ids, vectors[:60])
        lost = [i for i in new_ids.tolist() if shard_of(i, 2) == 1]
        assert caught.value.unconfirmed_ids == lost and set(caught.value.shard_errors) == {1}
        with pytest.raises(IncompleteWriteError) as caught:
            sharded.delete_batch(new_ids)
        assert caught.value.unconfirmed_ids == lost
        with pytest.raises(ShardUnavailableError):
            sharded.close()
    with Collection.open(str(root / "shard-0000")) as survivor:
        assert not any(i in survivor for i in new_ids.tolist())  # the delete reached shard 0
        assert all(int(i) in survivor for i in ids if shard_of(int(i), 2) == 0)


# Ray Data --------------------------------------------------------------------


def test_write_dataset_and_search_dataset_round_trip(tmp_path):
    ids, vectors, payloads = tied_records(600, 11)
    rows = [
        {"id": np.uint64(i), "vector": v, "group": None if p is None else p["group"], "name": None if p is None else p["name"]}
        for i, v, p in zip(ids, vectors, payloads)
    ]
    ds = ray.data.from_items(rows, override_num_blocks=4)
    root = tmp_path / "loaded"
    assert write_dataset(ds, root, dimension=DIM, metric="cosine", shards=2, batch_size=128) == 600
    with Collection.create(str(tmp_path / "single"), DIM, "cosine") as single:
        single.insert_batch(ids, vectors, payloads)
        with ShardedCollection.open(root) as sharded:
            assert len(sharded) == 600
            assert sharded.get_batch(ids) == single.get_batch(ids)
            queries = ray.data.from_items([{"q": q, "vector": vectors[q * 37]} for q in range(12)])
            for where in (None, {"group": 3}):
                answered = search_dataset(queries, sharded, 9, where=where).take_all()
                assert sorted(r["q"] for r in answered) == list(range(12))
                for row in answered:
                    expected = single.search(vectors[row["q"] * 37], 9, where=where)
                    got = [(int(i), float(d)) for i, d in zip(row["ids"], row["distances"])]
                    assert_same_answer(got, expected, dict(single.search(vectors[row["q"] * 37], 1000)))
            # Into the open collection: replacements by id, nothing duplicated.
            again = ray.data.from_items([{"id": np.uint64(i), "vector": vectors[0]} for i in ids[:50]])
            assert write_dataset(again, root, payload_columns=[]) == 50
            single.insert_batch(ids[:50], np.repeat(vectors[:1], 50, axis=0))
            assert len(sharded) == 600 and sharded.get(int(ids[7])).vector == vectors[0].tolist()
        # A closed root is opened for the call and closed again.
        plain = ray.data.from_numpy(vectors[:3]).rename_columns({"data": "vector"})
        answered = search_dataset(plain, root, 4).take_all()
        assert [bits(list(zip(r["ids"], r["distances"]))) for r in answered] == [
            bits(single.search(v, 4)) for v in vectors[:3]
        ]


def test_write_dataset_refuses_what_does_not_fit(tmp_path):
    ds = ray.data.from_items([{"id": 1, "vector": np.zeros(DIM, np.float32)}])
    with pytest.raises(FileNotFoundError, match="give dimension, metric and shards"):
        write_dataset(ds, tmp_path / "new")
    with pytest.raises(ValueError, match="no column 'embedding'"):
        write_dataset(ds, tmp_path / "new", dimension=DIM, metric="dot", shards=2, vector_column="embedding")
    ShardedCollection.create(tmp_path / "c", DIM, "dot", shards=2).close()
    with pytest.raises(ValueError, match="has dimension 8, not 4"):
        write_dataset(ds, tmp_path / "c", dimension=4)
    bad = ray.data.from_items([{"id": 1, "vector": np.array([np.nan] * DIM, np.float32)}])
    with pytest.raises(Exception, match="is NaN"):
        write_dataset(bad, tmp_path / "c")
    with ShardedCollection.open(tmp_path / "c") as sharded:
        assert len(sharded) == 0


def test_threads_share_one_sharded_collection(tmp_path):
    from concurrent.futures import ThreadPoolExecutor

    ids, vectors, payloads = tied_records(400, 13)
    with ShardedCollection.create(tmp_path / "c", DIM, "dot", shards=2) as sharded, \
            Collection.create(str(tmp_path / "single"), DIM, "dot") as single:
        single.insert_batch(ids, vectors, payloads)

        def work(part):
            rows = slice(part * 100, part * 100 + 100)
            sharded.insert_batch(ids[rows], vectors[rows], payloads[rows])
            return sharded.search(vectors[part], 5)

        with ThreadPoolExecutor(4) as pool:
            assert all(len(hits) == 5 for hits in pool.map(work, range(4)))
        assert sharded.ids() == single.ids()
        assert sharded.get_batch(ids) == single.get_batch(ids)
        assert bits(sharded.search(vectors[3], 30)) == bits(single.search(vectors[3], 30))
