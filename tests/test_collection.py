"""Collection: opening, reopening and replay, error mapping, and the
refusals that keep the files readable."""

import math
import os

import numpy as np
import pytest

from _velmoradb import Collection, Index


def message(excinfo):
    return str(excinfo.value)


def open_collection(path, dimension=3, metric="euclidean"):
    return Collection.open_or_create(str(path), dimension, metric)


def file_sizes(path):
    return {name: os.path.getsize(path / name) for name in sorted(os.listdir(path))}


@pytest.fixture
def path(tmp_path):
    return tmp_path / "collection"


# ---------------------------------------------------------------- open

def test_open_creates_directory_with_parents(tmp_path):
    path = tmp_path / "a" / "b" / "c"
    collection = open_collection(path, 3, "cosine")
    assert type(collection) is Collection
    assert path.is_dir()
    assert collection.search([1, 2, 3], 5) == []


@pytest.mark.parametrize("metric", ["Cosine", "dot_product", ""])
def test_invalid_metric_touches_nothing(path, metric):
    with pytest.raises(ValueError) as caught:
        open_collection(path, 3, metric)
    assert message(caught) == "Invalid metric"
    assert not path.exists()


def test_path_with_nul_byte_is_refused(tmp_path):
    # The path goes to the file system as a C string: "x\0y" would open "x".
    with pytest.raises(ValueError) as caught:
        Collection.open_or_create(str(tmp_path / "x") + "\0y", 3, "dot")
    assert message(caught) == "embedded null byte"
    assert not (tmp_path / "x").exists()


def test_path_that_is_a_file_is_refused_as_such(tmp_path):
    path = tmp_path / "file"
    path.write_bytes(b"not a collection")
    with pytest.raises(OSError) as caught:
        open_collection(path)
    assert message(caught) == f"collection error: {path} is a file, not a directory"
    assert path.read_bytes() == b"not a collection"


def test_dimension_mismatch_is_an_os_error_and_changes_nothing(path):
    open_collection(path, 3)  # created, then closed with its last reference
    before = file_sizes(path)
    with pytest.raises(OSError) as caught:
        open_collection(path, 4)
    assert message(caught) == "collection error: dimension mismatch: collection has 3, config has 4"
    assert caught.value.args == (message(caught),)
    assert caught.value.errno is None and caught.value.filename is None
    assert file_sizes(path) == before


def test_second_open_in_the_same_process_fails_to_lock(path):
    first = open_collection(path)
    first.insert(1, [1, 2, 3])
    with pytest.raises(OSError) as caught:
        open_collection(path)
    assert message(caught) == ("collection error: lock failed: Resource temporarily unavailable "
                               "(the directory is open in another Collection object or process)")
    first.flush()
    del first  # the last reference: buffers written out, files closed
    assert open_collection(path).search([1, 2, 3], 5) == [(1, 0.0)]


@pytest.mark.parametrize("call, expected", [
    (lambda: Collection.open_or_create(), "Collection.open_or_create() missing 3 required "
                                          "positional arguments: 'path', 'dimension', and "
                                          "'metric'"),
    (lambda: Collection.open_or_create("p", 3), "Collection.open_or_create() missing 1 "
                                                "required positional argument: 'metric'"),
    (lambda: Collection.open_or_create("p", 3, "dot", 4), "Collection.open_or_create() takes 3 "
                                                          "positional arguments but 4 were "
                                                          "given"),
    (lambda: Collection.open_or_create("p", 3, "dot", mode=1), "Collection.open_or_create() "
                                                               "got an unexpected keyword "
                                                               "argument 'mode'"),
    (lambda: Collection.open_or_create("p", 3, path="p"), "Collection.open_or_create() got "
                                                          "multiple values for argument "
                                                          "'path'"),
    (lambda: Collection.open_or_create(1, 3, "dot"), "argument 'path': 'int' object cannot "
                                                     "be converted to 'PyString'"),
    (lambda: Collection.open_or_create("p", 3.0, "dot"), "argument 'dimension': 'float' "
                                                         "object cannot be interpreted as an "
                                                         "integer"),
    (lambda: Collection.open_or_create("p", 3, None), "argument 'metric': 'NoneType' object "
                                                      "cannot be converted to 'PyString'"),
])
def test_open_or_create_argument_errors(tmp_path, monkeypatch, call, expected):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(TypeError) as caught:
        call()
    assert message(caught) == expected
    assert os.listdir(tmp_path) == []


def test_open_with_negative_dimension_overflows(path):
    with pytest.raises(OverflowError):
        open_collection(path, -1)
    assert not path.exists()


# ---------------------------------------------------------------- methods

@pytest.mark.parametrize("call, expected", [
    (lambda c: c.flush(1), "Collection.flush() takes 0 positional arguments but 1 was given"),
    (lambda c: c.flush(now=True), "Collection.flush() got an unexpected keyword argument 'now'"),
    (lambda c: c.insert(1), "Collection.insert() missing 1 required positional argument: "
                            "'vector'"),
    (lambda c: c.search([1, 2, 3], 1, 2), "Collection.search() takes 2 positional arguments "
                                          "but 3 were given"),
    (lambda c: c.insert_batch([1], ids=[1]), "Collection.insert_batch() got multiple values "
                                             "for argument 'ids'"),
    (lambda c: c.search_batch(k=1), "Collection.search_batch() missing 1 required positional "
                                    "argument: 'queries'"),
    (lambda c: c.insert(1, "abc"), "argument 'vector': Can't extract `str` to `Vec`"),
    (lambda c: c.insert(1.5, [1, 2, 3]), "argument 'id': 'float' object cannot be interpreted "
                                         "as an integer"),
    (lambda c: c.search({}, 1), "argument 'query': 'dict' object cannot be converted to "
                                "'Sequence'"),
    (lambda c: c.search_batch([[1, 2, 3]], "1"), "argument 'k': 'str' object cannot be "
                                                 "interpreted as an integer"),
])
def test_method_argument_errors(path, call, expected):
    collection = open_collection(path)
    with pytest.raises(TypeError) as caught:
        call(collection)
    assert message(caught) == expected


def test_insert_search_and_batches(path):
    collection = open_collection(path)
    assert collection.insert(1, [1, 2, 3]) is None
    assert collection.insert_batch([2, 3], [[0, 0, 0], (5, 5, 5)]) is None
    assert collection.search([1, 2, 3], 1) == [(1, 0.0)]
    assert collection.search([1, 2, 3], 0) == []
    assert collection.search([1, 2], 5) == []
    got = collection.search_batch([[0, 0, 0], [1, 2, 3]], 1)
    assert got == [[(2, 0.0)], [(1, 0.0)]]
    assert collection.search_batch([], 1) == []
    assert collection.search_batch([[0, 0, 0], [0, 0]], 5)[1] == []


def test_distances_equal_those_of_an_index(path):
    rng = np.random.default_rng(8)
    vectors = rng.standard_normal((50, 16)).astype(np.float32)
    queries = rng.standard_normal((5, 16)).astype(np.float32)
    for metric in ["euclidean", "cosine", "dot"]:
        collection = open_collection(path / metric, 16, metric)
        index = Index(metric, 16)
        collection.insert_batch(range(50), vectors)
        index.insert_batch(range(50), vectors.tolist())
        assert collection.search_batch(queries, 50) == index.search_batch(queries.tolist(), 50)
        assert collection.search(queries[0], 3) == index.search(queries[0].tolist(), 3)


def test_insert_replaces_an_existing_id(path):
    collection = open_collection(path)
    collection.insert(1, [1, 1, 1])
    collection.insert(1, [2, 2, 2])
    assert collection.search([2, 2, 2], 5) == [(1, 0.0)]
    del collection
    assert open_collection(path).search([2, 2, 2], 5) == [(1, 0.0)]


def test_wrong_length_insert_writes_nothing(path):
    collection = open_collection(path)
    collection.insert(1, [1, 2, 3])
    collection.flush()
    before = file_sizes(path)
    with pytest.raises(ValueError) as caught:
        collection.insert(2, [1, 2])
    assert message(caught) == "dimension mismatch: expected 3, got 2"
    with pytest.raises(ValueError) as caught:
        collection.insert_batch([2], np.ones((1, 4), dtype=np.float32))
    assert message(caught) == "dimension mismatch: expected 3, got 4"
    del collection
    assert file_sizes(path) == before
    assert open_collection(path).search([1, 2, 3], 5) == [(1, 0.0)]


@pytest.mark.parametrize("vector, position", [
    ([math.nan, 0, 0], 0), ([0, math.inf, 0], 1), ([0, 1, -math.inf], 2), ([0, 0, 1e39], 2),
])
def test_non_finite_insert_writes_nothing(path, vector, position):
    collection = open_collection(path)
    collection.insert(1, [1, 2, 3])
    collection.flush()
    before = file_sizes(path)
    expected = f"collection error: non-finite vector component at position {position}"
    with pytest.raises(ValueError) as caught:
        collection.insert(2, vector)
    assert message(caught) == expected
    with pytest.raises(ValueError) as caught:
        collection.insert_batch([2], np.array([vector], dtype=np.float64))
    assert message(caught) == expected
    del collection
    assert file_sizes(path) == before

    collection = open_collection(path)
    with pytest.raises(ValueError) as caught:
        collection.insert_batch([3, 4], [[0, 0, 0], vector])
    assert message(caught) == expected
    del collection
    # the batch inserted id 3 before it stopped at id 4; nothing else went in
    assert sorted(i for i, _ in open_collection(path).search([0, 0, 0], 5)) == [1, 3]


def test_batch_stops_at_failing_pair_and_earlier_pairs_survive(path):
    collection = open_collection(path)
    with pytest.raises(ValueError) as caught:
        collection.insert_batch([1, 2, 3, 4], [[1, 0, 0], [2, 0, 0], [3, 0], [4, 0, 0]])
    assert message(caught) == "dimension mismatch: expected 3, got 2"
    assert collection.search([0, 0, 0], 5) == [(1, 1.0), (2, 2.0)]
    del collection
    assert open_collection(path).search([0, 0, 0], 5) == [(1, 1.0), (2, 2.0)]


def test_batch_length_mismatch_writes_nothing(path):
    collection = open_collection(path)
    before = file_sizes(path)
    with pytest.raises(ValueError) as caught:
        collection.insert_batch([1, 2], [[1, 2, 3]])
    assert message(caught) == "ids and vectors must have the same length"
    assert collection.search([1, 2, 3], 5) == []
    del collection
    assert file_sizes(path) == before


# ---------------------------------------------------------------- durability

def test_unflushed_inserts_are_replayed_on_reopen(path):
    collection = open_collection(path)
    collection.insert(5, [5, 0, 0])
    collection.insert(9, [9, 0, 0])
    del collection  # no flush
    assert os.path.getsize(path / "wal.log") > 0
    assert open_collection(path).search([0, 0, 0], 5) == [(5, 5.0), (9, 9.0)]


def test_flush_empties_the_log(path):
    collection = open_collection(path)
    collection.insert_batch(range(10), np.arange(30, dtype=np.float32).reshape(10, 3))
    assert collection.flush() is None
    assert os.path.getsize(path / "wal.log") == 0
    assert collection.search([0, 1, 2], 1) == [(0, 0.0)]
    del collection
    sizes = file_sizes(path)
    reopened = open_collection(path)
    assert len(reopened.search([0, 0, 0], 100)) == 10
    reopened.flush()
    del reopened
    assert file_sizes(path) == sizes  # no growth from flush and reopen


def test_reopen_with_another_metric_uses_stored_vectors(path):
    collection = open_collection(path, 2, "euclidean")
    collection.insert(1, [3, 4])
    collection.flush()
    del collection
    assert open_collection(path, 2, "dot").search([1, 0], 1) == [(1, -3.0)]


# ---------------------------------------------------------------- borrow protocol

class CallsBack:
    def __init__(self, action):
        self.action = action
        self.raised = None

    def __float__(self):
        try:
            self.action()
        except RuntimeError as e:
            self.raised = e
        return 1.0


def test_search_inside_insert_is_refused(path):
    collection = open_collection(path)
    hook = CallsBack(lambda: collection.search([1, 2, 3], 1))
    collection.insert(1, [hook, 2, 3])
    assert str(hook.raised) == "Already mutably borrowed"


@pytest.mark.parametrize("writer", [
    lambda c: c.flush(), lambda c: c.insert(2, [1, 2, 3]), lambda c: c.insert_batch([], []),
])
def test_writes_inside_search_are_refused(path, writer):
    collection = open_collection(path)
    hook = CallsBack(lambda: writer(collection))
    assert collection.search_batch([[hook, 2, 3]], 1) == [[]]
    assert str(hook.raised) == "Already borrowed"
    collection.flush()
