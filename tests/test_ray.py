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
    IncompleteLoadError,
    IncompleteWriteError,
    ShardedCollection,
    ShardUnavailableError,
    search_dataset,
    shard_of,
    write_dataset,
)
from velmoradb.ray import _data  # noqa: E402
from velmoradb.ray._collection import insert_parts  # noqa: E402
from velmoradb.ray._load import LoadLedger, finish_load, load_problems, new_load, stage_parts  # noqa: E402
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


def restart_shard(collection, shard, how):
    """Kills the shard's actor and returns once Ray has restarted it: another
    process answers."""
    actor = collection.shard_set.actors[shard]
    _, _, old_pid = ray.get(actor.describe.remote())
    kill_shard(collection, shard, how)
    deadline = time.monotonic() + 60.0
    while time.monotonic() < deadline:
        try:
            if ray.get(actor.describe.remote(), timeout=60.0)[2] != old_pid:
                return
        except ray.exceptions.RayActorError:
            pass
        time.sleep(0.05)
    raise AssertionError("the killed actor was not restarted")


def stage(collection, load, ledger, ids, vectors, payloads=None, stage_bytes=1 << 30):
    """Stages the rows as a write_dataset task does, keeping the receipt."""
    ledger.record_receipt(stage_parts(collection.shard_set, load, np.asarray(ids, dtype=np.uint64),
                                      np.asarray(vectors, dtype=np.float32), payloads, stage_bytes))


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
    for stage_bytes in (0, -1, True, 1.5):
        with pytest.raises(ValueError, match="stage_bytes must be a positive int"):
            write_dataset(ds, tmp_path / "c", stage_bytes=stage_bytes)
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


# Staged loads ----------------------------------------------------------------


@pytest.fixture(scope="module")
def staging(tmp_path_factory):
    """A collection the staging tests share, each with ids of its own."""
    with ShardedCollection.create(tmp_path_factory.mktemp("staging") / "c", DIM, "euclidean", shards=2) as c:
        yield c


def as_rows(ids, vectors, payloads):
    return [
        {"id": np.uint64(i), "vector": v, "group": None if p is None else p["group"]}
        for i, v, p in zip(ids, vectors, payloads)
    ]


@pytest.mark.parametrize(
    "stage_bytes",
    [
        1,  # every part written as it arrives
        3 * 64 * 4 * DIM,  # every few parts of a shard: staged parts joined into one write
        None,  # the default: everything written at the end
    ],
)
def test_write_dataset_stages_rows_and_each_id_keeps_its_last_row(tmp_path, stage_bytes):
    ids, vectors, payloads = tied_records(1000, 23)
    # Repeats inside one batch of 100 rows: the later row wins, as in insert_batch.
    ids[[105, 150, 199]] = ids[[100, 101, 102]]
    ds = ray.data.from_items(as_rows(ids, vectors, payloads), override_num_blocks=10)
    options = {} if stage_bytes is None else {"stage_bytes": stage_bytes}
    with ShardedCollection.create(tmp_path / "c", DIM, "euclidean", shards=2) as sharded, \
            Collection.create(str(tmp_path / "single"), DIM, "euclidean") as single:
        single.insert_batch(ids, vectors, [None if p is None else {"group": p["group"]} for p in payloads])
        assert write_dataset(ds, sharded, batch_size=100, payload_columns=["group"], **options) == 1000
        # Visible at once through the same actors, each id once with its last row.
        assert len(sharded) == len(single) == 997
        assert sharded.get_batch(single.ids()) == single.get_batch(single.ids())
        assert sharded.get(int(ids[100])).vector == vectors[105].tolist()
        for q in (0, 150, 777):
            assert bits(sharded.search(vectors[q], 10)) == bits(single.search(vectors[q], 10))
        expected = single.get_batch(single.ids())
    # Durable: the shards' directories hold every row.
    with Collection.open(str(tmp_path / "c" / "shard-0000"), read_only=True) as part0, \
            Collection.open(str(tmp_path / "c" / "shard-0001"), read_only=True) as part1:
        on_disk = {r.id: r for r in part0.get_batch(part0.ids()) + part1.get_batch(part1.ids())}
        assert [on_disk.get(r.id) for r in expected] == expected


@pytest.mark.parametrize("first, stage_bytes", [(10_000, 1), (10_100, 2 * 4 * DIM), (10_200, 1 << 30)])
def test_staging_keeps_the_order_in_which_rows_arrived(staging, first, stage_bytes):
    rows = np.arange(9 * DIM, dtype=np.float32).reshape(9, DIM)
    load, ledger = new_load(), LoadLedger()
    # Parts in a row, some of the same ids, with payloads and without.
    stage(staging, load, ledger, [first, first + 1], rows[0:2], [{"v": 0}, {"v": 1}], stage_bytes)
    stage(staging, load, ledger, [first + 2, first + 3, first + 4], rows[2:5], [None, {"v": 3}, {"v": 4}], stage_bytes)
    stage(staging, load, ledger, [first, first + 2, first + 4, first + 4], rows[5:], None, stage_bytes)
    finish_load(staging.shard_set, load, ledger)
    assert staging.get_batch(list(range(first, first + 5))) == [
        Record(first, rows[5].tolist(), {}),
        Record(first + 1, rows[1].tolist(), {"v": 1}),
        Record(first + 2, rows[6].tolist(), {}),
        Record(first + 3, rows[3].tolist(), {"v": 3}),
        Record(first + 4, rows[8].tolist(), {}),
    ]


def staged_records(ids, vectors):
    return [Record(i, v.tolist(), {"s": 1}) for i, v in zip(ids, vectors)]


@pytest.mark.parametrize(
    "first, call, holds",
    [
        # A write after a stage is applied after the staged rows...
        (20_000, lambda c, ids, v: c.insert_batch(ids[:2], v[5:7], [{"new": 1}] * 2),
         lambda result, c, ids, v, before: c.get_batch(ids[:3]) == [
             Record(ids[0], v[5].tolist(), {"new": 1}), Record(ids[1], v[6].tolist(), {"new": 1}), *staged_records(ids[2:3], v[2:3])]),
        (20_100, lambda c, ids, v: c.delete_batch(ids[:3]),
         lambda result, c, ids, v, before: result == 3 and c.get_batch(ids[:4]) == [None] * 3 + staged_records(ids[3:4], v[3:4])),
        # ...and a read sees the staged rows.
        (20_200, lambda c, ids, v: c.get_batch(ids), lambda result, c, ids, v, before: result == staged_records(ids, v)),
        (20_300, lambda c, ids, v: c.search(v[3], 1), lambda result, c, ids, v, before: result == [(ids[3], 0.0)]),
        (20_400, lambda c, ids, v: c.ids({"s": 1}), lambda result, c, ids, v, before: set(ids) <= set(result)),
        (20_500, lambda c, ids, v: len(c), lambda result, c, ids, v, before: result == before + len(ids)),
    ],
    ids=["insert", "delete", "get", "search", "ids", "len"],
)
def test_every_other_call_writes_the_staged_rows_first(staging, first, call, holds):
    ids = list(range(first, first + 8))
    vectors = np.random.default_rng(first).standard_normal((8, DIM)).astype(np.float32)
    before = len(staging)
    load, ledger = new_load(), LoadLedger()
    stage(staging, load, ledger, ids, vectors, [{"s": 1}] * 8)
    result = call(staging, ids, vectors)
    finish_load(staging.shard_set, load, ledger)
    assert holds(result, staging, ids, vectors, before)


@pytest.mark.parametrize(
    "end, how", [("finish", "ray.kill"), ("flush", "SIGKILL"), ("finish", "SIGKILL"), ("close", None)]
)
def test_the_end_of_a_load_flush_and_close_make_staged_rows_durable(tmp_path, end, how):
    # Under 100 rows per shard: a write that does not force the log by itself.
    ids = np.arange(500, 540, dtype=np.uint64)
    vectors = np.random.default_rng(3).standard_normal((40, DIM)).astype(np.float32)
    expected = [Record(int(i), v.tolist(), {}) for i, v in zip(ids, vectors)]
    with ShardedCollection.create(tmp_path / "c", DIM, "euclidean", shards=2) as sharded:
        load, ledger = new_load(), LoadLedger()
        stage(sharded, load, ledger, ids, vectors)
        if end == "finish":
            finish_load(sharded.shard_set, load, ledger)
        elif end == "flush":
            sharded.flush()
        if how is not None:
            for shard in range(2):
                restart_shard(sharded, shard, how)
            assert sharded.get_batch(ids) == expected
    with ShardedCollection.open(tmp_path / "c") as reopened:
        assert reopened.get_batch(ids) == expected


def test_threads_stage_and_read_one_shard_set_at_once(staging):
    from concurrent.futures import ThreadPoolExecutor

    rng = np.random.default_rng(29)
    ids = np.arange(30_000, 32_000, dtype=np.uint64)
    vectors = rng.standard_normal((len(ids), DIM)).astype(np.float32)
    load, ledger = new_load(), LoadLedger()

    def send(part):
        rows = slice(part * 100, part * 100 + 100)
        # A budget of about three parts per shard: writes of staged rows race
        # with stages and reads.
        receipt = stage_parts(staging.shard_set, load, ids[rows], vectors[rows], None, 150 * 4 * DIM)
        assert None not in staging.get_batch(ids[rows][:5])
        return receipt

    with ThreadPoolExecutor(4) as pool:
        for receipt in pool.map(send, range(20)):
            ledger.record_receipt(receipt)
    finish_load(staging.shard_set, load, ledger)
    assert staging.get_batch(ids) == [Record(int(i), v.tolist(), {}) for i, v in zip(ids, vectors)]


@pytest.mark.parametrize("how", ["ray.kill", "SIGKILL"])
@pytest.mark.parametrize(
    "stage_bytes, restart_after",
    [
        (1 << 30, 1),  # between two parts, the first one's rows still staged
        (1 << 30, 3),  # after the last part, before the final write
        (1, 1),  # the first part written (and its log forced) already: reported all the same
    ],
)
def test_a_restart_during_a_staged_load_is_reported(tmp_path, how, stage_bytes, restart_after):
    # Parts of 300 rows: each shard's share is over 100 rows, so a write of it forces the log.
    ids, vectors, payloads = tied_records(900, 31)
    parts = [slice(p * 300, p * 300 + 300) for p in range(3)]
    with ShardedCollection.create(tmp_path / "c", DIM, "euclidean", shards=2) as sharded:
        load, ledger = new_load(), LoadLedger()
        for part, rows in enumerate(parts):
            if part == restart_after:
                restart_shard(sharded, 0, how)
            stage(sharded, load, ledger, ids[rows], vectors[rows], payloads[rows], stage_bytes)
        if restart_after == len(parts):
            restart_shard(sharded, 0, how)
        with pytest.raises(IncompleteLoadError, match=r"cut on shard 0 \(shard 0: its actor was restarted during the load") as caught:
            finish_load(sharded.shard_set, load, ledger)
        assert caught.value.shards == (0,) and caught.value.shard_errors == {}
        assert "shard_of(id, 2) in [0]" in str(caught.value) and "Running write_dataset again is safe" in str(caught.value)
        # Shard 1 wrote every row it was sent; shard 0 lost the first part's
        # rows unless they had been written before its actor died.
        assert None not in sharded.get_batch([int(i) for i in ids if shard_of(int(i), 2) == 1])
        kept = sharded.get_batch([int(i) for i in ids[parts[0]] if shard_of(int(i), 2) == 0])
        if stage_bytes > 1:
            assert kept == [None] * len(kept)  # held in memory: gone with the process
        else:
            assert None not in kept  # written as it came
        # Sending the load again settles it.
        load, ledger = new_load(), LoadLedger()
        stage(sharded, load, ledger, ids, vectors, payloads, stage_bytes)
        finish_load(sharded.shard_set, load, ledger)
        assert len(sharded) == 900


@pytest.mark.parametrize("how", ["ray.kill", "SIGKILL"])
def test_write_dataset_raises_when_a_shard_lost_staged_rows(tmp_path, monkeypatch, how):
    ids, vectors, payloads = tied_records(400, 37)
    ds = ray.data.from_items(as_rows(ids, vectors, payloads), override_num_blocks=4)
    real_finish = _data.finish_load
    with ShardedCollection.create(tmp_path / "c", DIM, "euclidean", shards=2) as sharded:
        def restart_then_finish(shard_set, load, ledger):
            # Every task has staged its rows; shard 1's actor dies before writing them.
            restart_shard(sharded, 1, how)
            real_finish(shard_set, load, ledger)

        monkeypatch.setattr(_data, "finish_load", restart_then_finish)
        with pytest.raises(IncompleteLoadError, match="cut on shard 1 ") as caught:
            write_dataset(ds, sharded, batch_size=50)
        assert caught.value.shards == (1,)
        on_shard = {s: [int(i) for i in ids if shard_of(int(i), 2) == s] for s in range(2)}
        assert None not in sharded.get_batch(on_shard[0])
        # Under the budget, shard 1 held all its rows in memory: they are gone.
        assert sharded.get_batch(on_shard[1]) == [None] * len(on_shard[1])
        monkeypatch.setattr(_data, "finish_load", real_finish)
        assert write_dataset(ds, sharded, batch_size=50) == 400
        assert len(sharded) == 400


@pytest.mark.parametrize(
    "receipts, report, problem",
    [
        ([(100, "a"), (50, "a")], ("a", 150, 0), None),
        ([(100, "a")], ("a", 130, 0), None),  # a task Ray ran again staged its rows twice
        ([], ("b", 0, 0), None),  # restarted before it was sent anything
        ([(100, "a"), (50, "b")], ("b", 50, 0), "its actor was restarted during the load"),
        ([(100, "a")], ("b", 0, 0), "its actor was restarted during the load"),
        ([(100, "a")], ("a", 60, 40), "a write of its staged rows failed, and 40 rows of the load were not written"),
        ([(100, "a")], ("a", 99, 0), "it wrote 99 of the 100 rows sent to it"),
    ],
)
def test_a_shards_report_must_account_for_every_row_sent(receipts, report, problem):
    ledger = LoadLedger()
    for rows, incarnation in receipts:
        ledger.record(1, rows, incarnation)
    ledger.record(0, 10, "z")
    problems = load_problems(ledger, {0: ("z", 10, 0), 1: report})
    assert list(problems) == ([] if problem is None else [1])
    assert problem is None or problems[1].startswith(problem)
