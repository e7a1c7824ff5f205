"""Conversion of arguments: ints, sizes, text, sequences, floats, and the
buffer fast path, which must agree with the element-by-element path."""

import array
import math

import numpy as np
import pytest

from _velmoradb import Index


def message(excinfo):
    return str(excinfo.value)


def f32_sqrt(x):
    return float(np.sqrt(np.float32(x)))


@pytest.fixture
def index():
    return Index("euclidean", 3)


# ---------------------------------------------------------------- ids and sizes

class Indexable:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class IntSub(int):
    pass


@pytest.mark.parametrize("id_value, stored", [
    (True, 1), (IntSub(5), 5), (Indexable(6), 6), (np.int64(7), 7), (np.uint64(2**64 - 1),
                                                                     2**64 - 1),
])
def test_ids_through_the_index_protocol(index, id_value, stored):
    index.insert(id_value, [0, 0, 0])
    [(got, _)] = index.search([0, 0, 0], 1)
    assert got == stored and type(got) is int


@pytest.mark.parametrize("bad, text", [
    (1.0, "'float' object cannot be interpreted as an integer"),
    ("1", "'str' object cannot be interpreted as an integer"),
    (None, "'NoneType' object cannot be interpreted as an integer"),
])
def test_id_of_wrong_type_names_the_argument(index, bad, text):
    with pytest.raises(TypeError) as caught:
        index.insert(bad, [0, 0, 0])
    assert message(caught) == "argument 'id': " + text


@pytest.mark.parametrize("bad", [-1, 2**64, -2**70, Indexable(-1), Indexable(2**64)])
def test_id_out_of_range_is_the_interpreters_overflow_error(index, bad):
    with pytest.raises(OverflowError) as caught:
        index.insert(bad, [0, 0, 0])
    assert not message(caught).startswith("argument")
    with pytest.raises(OverflowError):
        index.insert_batch([1, bad], [[0, 0, 0], [0, 0, 0]])
    assert index.search([0, 0, 0], 5) == []


@pytest.mark.parametrize("k", [-1, 2**64])
def test_k_out_of_range_overflows(index, k):
    with pytest.raises(OverflowError) as caught:
        index.search([0, 0, 0], k)
    assert not message(caught).startswith("argument")


def test_k_of_wrong_type_names_the_argument(index):
    with pytest.raises(TypeError) as caught:
        index.search([0, 0, 0], 1.5)
    assert message(caught) == "argument 'k': 'float' object cannot be interpreted as an integer"
    with pytest.raises(TypeError) as caught:
        index.search_batch([], None)
    assert message(caught) == ("argument 'k': 'NoneType' object cannot be interpreted as an "
                               "integer")


def test_huge_k_and_k_through_index_protocol(index):
    index.insert(1, [0, 0, 0])
    assert index.search([0, 0, 0], 2**64 - 1) == [(1, 0.0)]
    assert index.search([0, 0, 0], Indexable(1)) == [(1, 0.0)]


# ---------------------------------------------------------------- text

def test_metric_str_subclass_is_text():
    class Name(str):
        pass

    Index(Name("dot"), 2)


@pytest.mark.parametrize("bad, type_name", [(b"dot", "bytes"), (None, "NoneType"),
                                            (["dot"], "list")])
def test_metric_must_be_str(bad, type_name):
    with pytest.raises(TypeError) as caught:
        Index(bad, 2)
    assert message(caught) == (f"argument 'metric': '{type_name}' object cannot be converted "
                               "to 'PyString'")


def test_metric_with_lone_surrogate_raises_encoding_error_unchanged():
    with pytest.raises(UnicodeEncodeError):
        Index("dot\udc80", 2)


# ---------------------------------------------------------------- sequences

@pytest.mark.parametrize("call, name", [
    (lambda i, s: i.insert(1, s), "vector"),
    (lambda i, s: i.search(s, 1), "query"),
    (lambda i, s: i.insert_batch(s, []), "ids"),
    (lambda i, s: i.insert_batch([], s), "vectors"),
    (lambda i, s: i.search_batch(s, 1), "queries"),
])
@pytest.mark.parametrize("bad, text", [
    ("abc", "Can't extract `str` to `Vec`"),
    ("", "Can't extract `str` to `Vec`"),
    ({1: 2}, "'dict' object cannot be converted to 'Sequence'"),
    ({1, 2}, "'set' object cannot be converted to 'Sequence'"),
    (5, "'int' object cannot be converted to 'Sequence'"),
    ((x for x in [1.0]), "'generator' object cannot be converted to 'Sequence'"),
])
def test_sequence_errors_name_the_argument(index, call, name, bad, text):
    with pytest.raises(TypeError) as caught:
        call(index, bad)
    assert message(caught) == f"argument '{name}': {text}"
    assert caught.value.__cause__ is None


def test_str_rows_are_refused_inside_vectors(index):
    with pytest.raises(TypeError) as caught:
        index.insert_batch([1], ["abc"])
    assert message(caught) == "argument 'vectors': Can't extract `str` to `Vec`"


def test_tuple_range_bytes_and_array_are_sequences(index):
    index.insert(1, (1.0, 2.0, 3.0))
    index.insert(2, range(3))
    index.insert(3, b"\x04\x05\x06")
    index.insert(4, array.array("f", [7, 8, 9]))
    index.insert(5, array.array("d", [1, 1, 1]))
    assert sorted(index.search([0, 0, 0], 10))[:3] == [(1, f32_sqrt(14)), (2, f32_sqrt(5)),
                                                     (3, f32_sqrt(77))]
    index.insert_batch(range(10, 12), ([0, 0, 1], (0, 1, 0)))
    assert len(index.search([0, 0, 0], 10)) == 7


class Lying:
    """A sequence whose __len__ lies or fails; its items come from __iter__."""

    def __init__(self, items, length):
        self.items = items
        self.length = length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, i):
        raise AssertionError("items are taken by iteration")

    def __iter__(self):
        return iter(self.items)


@pytest.mark.parametrize("length", [0, 1, 10**9, 2**62, TypeError("no len"),
                                    OverflowError("huge"), KeyError("odd")])
def test_length_is_only_a_hint(index, length):
    index.insert(1, Lying([1.0, 2.0, 3.0], length))
    index.insert_batch(Lying([2], length), Lying([Lying([4, 5, 6], length)], length))
    assert index.search(Lying([1, 2, 3], length), 5) == [(1, 0.0), (2, f32_sqrt(27))]


def test_elements_come_from_iteration_not_indexing(index):
    class Reversed(list):
        def __iter__(self):
            return iter([self[i] for i in range(len(self) - 1, -1, -1)])

    index.insert(1, Reversed([3, 2, 1]))
    assert index.search([1, 2, 3], 1) == [(1, 0.0)]


def test_iteration_error_passes_unchanged(index):
    class Breaks:
        def __len__(self):
            return 3

        def __getitem__(self, i):
            return 0.0

        def __iter__(self):
            yield 1.0
            raise ValueError("broken iterator")

    with pytest.raises(ValueError) as caught:
        index.insert(1, Breaks())
    assert message(caught) == "broken iterator"


def test_list_mutated_during_conversion(index):
    values = [1.0, 2.0, 3.0]

    class Shrinks:
        def __float__(self):
            values.clear()
            return 9.0

    values.insert(0, Shrinks())
    with pytest.raises(ValueError) as caught:
        index.insert(1, values)
    assert message(caught) == "dimension mismatch: expected 3, got 1"


# ---------------------------------------------------------------- floats

class Floaty:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


@pytest.mark.parametrize("element, stored", [
    (Floaty(2.0), 2.0), (Indexable(3), 3.0), (True, 1.0), (np.float16(0.5), 0.5),
    (1e300, math.inf), (-1e300, -math.inf), (0.1, float(np.float32(0.1))),
    (1e-46, 0.0), (2**128, math.inf),
    # halfway between the largest float and 2**128: ties to even, which is infinity
    (3.4028235677973366e38, math.inf),
    (3.4028235677973362e38, 3.4028234663852886e38),
])
def test_elements_are_rounded_to_float32(element, stored):
    index = Index("dot", 1)
    index.insert(1, [element])
    [(_, distance)] = index.search([1.0], 1)
    assert distance == -stored


def test_element_of_wrong_type_names_the_argument(index):
    with pytest.raises(TypeError) as caught:
        index.insert(1, [1.0, None, 2.0])
    assert message(caught) == "argument 'vector': must be real number, not NoneType"
    with pytest.raises(TypeError) as caught:
        index.search_batch([[1.0, 2.0, 3.0], [[1.0], 2.0, 3.0]], 1)
    assert message(caught) == "argument 'queries': must be real number, not list"


def test_type_error_keeps_the_first_errors_cause(index):
    root = KeyError("root")

    class Raises:
        def __index__(self):
            raise TypeError("inner text") from root

    with pytest.raises(TypeError) as caught:
        index.insert(Raises(), [0, 0, 0])
    assert message(caught) == "argument 'id': inner text"
    assert caught.value.__cause__ is root
    assert isinstance(caught.value.__context__, TypeError)
    assert str(caught.value.__context__) == "inner text"


def test_int_too_large_for_a_double_is_the_interpreters_overflow_error(index):
    with pytest.raises(OverflowError) as caught:
        index.insert(1, [2**1024, 0, 0])
    assert not message(caught).startswith("argument")


def test_other_errors_of_conversion_pass_unchanged(index):
    class Raises:
        def __float__(self):
            raise ValueError("not today")

    with pytest.raises(ValueError) as caught:
        index.insert(1, [Raises(), 0, 0])
    assert message(caught) == "not today"


# ---------------------------------------------------------------- buffer fast path

class Plain:
    """The same elements as `array`, without a buffer: the generic path."""

    def __init__(self, array):
        self.array = array

    def __len__(self):
        return len(self.array)

    def __getitem__(self, i):
        return self.array[i]

    def __iter__(self):
        for item in iter(self.array):
            yield Plain(item) if isinstance(item, np.ndarray) and item.ndim > 0 else item

    def __float__(self):
        # a nested array met where a float is due fails as the array would
        return float(self.array)


def outcome(call):
    try:
        return ("ok", call())
    except Exception as e:  # noqa: BLE001 - compared between the two paths
        return (type(e), str(e))


def stored_index(metric="euclidean", dim=3):
    index = Index(metric, dim)
    rng = np.random.default_rng(3)
    index.insert_batch(range(20), rng.standard_normal((20, dim)).astype(np.float32))
    return index


def unaligned(values, dtype=np.float32):
    """`values` in an array one byte past an aligned start."""
    size = np.dtype(dtype).itemsize
    raw = np.zeros(len(values) * size + 1, dtype=np.uint8)
    view = np.frombuffer(raw.data, dtype=dtype, count=len(values), offset=1)
    view[...] = values
    return view


VECTOR_INPUTS = {
    "float32": np.array([0.1, -2.5, 3e-3], dtype=np.float32),
    "float64": np.array([0.1, -2.5, 3e-3], dtype=np.float64),
    "float64-rounding": np.array([1 + 2**-30, 1e300, 1e-50], dtype=np.float64),
    "big-endian": np.array([0.1, -2.5, 3e-3], dtype=">f4"),
    "strided": np.arange(6, dtype=np.float32)[::2],
    "unaligned": unaligned([0.5, 1.5, -2.0]),
    "int64": np.array([1, 2, 3], dtype=np.int64),
    "float16": np.array([0.1, 0.2, 0.3], dtype=np.float16),
    "zero-d": np.array(1.5, dtype=np.float32),
    "two-d": np.ones((1, 3), dtype=np.float32),
    "short": np.array([1.0, 2.0], dtype=np.float32),
    "empty": np.zeros(0, dtype=np.float64),
    "memoryview": memoryview(np.array([4.0, 5.0, 6.0], dtype=np.float32)),
    "nan": np.array([np.nan, 0.0, np.inf], dtype=np.float32),
}


@pytest.mark.parametrize("name", VECTOR_INPUTS)
def test_query_buffer_agrees_with_generic_path(name):
    value = VECTOR_INPUTS[name]
    index = stored_index()
    fast = outcome(lambda: index.search(value, 20))
    slow = outcome(lambda: index.search(Plain(value), 20))
    assert repr(fast) == repr(slow)  # repr: NaN distances compare as text


@pytest.mark.parametrize("name", VECTOR_INPUTS)
def test_insert_buffer_agrees_with_generic_path(name):
    value = VECTOR_INPUTS[name]
    fast_index, slow_index = Index("dot", 3), Index("dot", 3)
    fast = outcome(lambda: fast_index.insert(1, value))
    slow = outcome(lambda: slow_index.insert(1, Plain(value)))
    assert fast == slow
    probe = [1.0, 1.0, 1.0]
    assert repr(fast_index.search(probe, 1)) == repr(slow_index.search(probe, 1))


ROWS_INPUTS = {
    "float32": np.random.default_rng(1).standard_normal((5, 3)).astype(np.float32),
    "float64": np.random.default_rng(1).standard_normal((5, 3)),
    "fortran": np.asfortranarray(np.random.default_rng(2).standard_normal((5, 3))),
    "no-rows": np.zeros((0, 3), dtype=np.float32),
    "narrow": np.ones((5, 2), dtype=np.float32),
    "empty-rows": np.zeros((5, 0), dtype=np.float32),
    "three-d": np.ones((5, 3, 1), dtype=np.float32),
    "one-d": np.ones(5, dtype=np.float32),
    "int32": np.ones((5, 3), dtype=np.int32),
    "list-of-arrays": [np.full(3, i, dtype=np.float32) for i in range(5)],
    "unaligned-rows": unaligned(np.arange(15)).reshape(5, 3),
}


@pytest.mark.parametrize("name", ROWS_INPUTS)
def test_search_batch_buffer_agrees_with_generic_path(name):
    value = ROWS_INPUTS[name]
    index = stored_index()
    fast = outcome(lambda: index.search_batch(value, 4))
    slow = outcome(lambda: index.search_batch(Plain(value), 4))
    assert fast == slow


@pytest.mark.parametrize("name", ROWS_INPUTS)
def test_insert_batch_buffer_agrees_with_generic_path(name):
    value = ROWS_INPUTS[name]
    fast_index, slow_index = Index("euclidean", 3), Index("euclidean", 3)
    fast = outcome(lambda: fast_index.insert_batch(range(5), value))
    slow = outcome(lambda: slow_index.insert_batch(range(5), Plain(value)))
    assert fast == slow
    assert fast_index.search([0, 0, 0], 10) == slow_index.search([0, 0, 0], 10)


IDS_INPUTS = {
    "uint64": np.array([2**64 - 1, 0, 7, 9, 12], dtype=np.uint64),
    "int64": np.array([5, 4, 3, 2, 1], dtype=np.int64),
    "int64-negative": np.array([5, 4, -3, 2, 1], dtype=np.int64),
    **{name: np.array([1, 2, 3, 4, 127], dtype=name) for name in ("int8", "uint8", "int16", "uint16", "int32", "uint32")},
    "int8-negative": np.array([1, 2, 3, 4, -128], dtype=np.int8),
    "int32-negative": np.array([-1, 2, 3, 4, 5], dtype=np.int32),
    "little-endian": np.array([10, 11, 12, 13, 14], dtype="<u8"),
    "big-endian": np.array([10, 11, 12, 13, 14], dtype=">u8"),
    "strided": np.arange(10, dtype=np.uint64)[::2],
    "unaligned": unaligned([3, 1, 4, 5, 9], np.uint64),
    "duplicates": np.array([1, 1, 2, 2, 3], dtype=np.uint64),
    "bool": np.array([True, False, True, False, True]),
    "float64": np.arange(5, dtype=np.float64),
    "two-d": np.arange(5, dtype=np.uint64).reshape(5, 1),
    "zero-d": np.array(5, dtype=np.uint64),
    "short": np.arange(4, dtype=np.uint64),
    "memoryview": memoryview(np.arange(5, dtype=np.uint32)),
    "object": np.array([1, 2, 3, 4, 5], dtype=object),
}


class PlainIds(Plain):
    """Ids without a buffer: the array's own elements, one by one."""

    def __iter__(self):
        return iter(self.array)


@pytest.mark.parametrize("name", IDS_INPUTS)
def test_ids_buffer_agrees_with_generic_path(name):
    ids = IDS_INPUTS[name]
    rows = np.arange(15, dtype=np.float32).reshape(5, 3)
    fast_index, slow_index = Index("euclidean", 3), Index("euclidean", 3)
    fast = outcome(lambda: fast_index.insert_batch(ids, rows))
    slow = outcome(lambda: slow_index.insert_batch(PlainIds(ids), rows))
    assert fast == slow
    assert fast_index.search([0, 0, 0], 10) == slow_index.search([0, 0, 0], 10)


def test_insert_batch_length_mismatch_with_array(index):
    with pytest.raises(ValueError) as caught:
        index.insert_batch([1, 2, 3], np.ones((2, 3), dtype=np.float32))
    assert message(caught) == "ids and vectors must have the same length"


def test_array_subclass_is_iterated_not_read(index):
    class Backwards(np.ndarray):
        def __iter__(self):
            return iter(np.asarray(self)[::-1].tolist())

    vector = np.array([3.0, 2.0, 1.0], dtype=np.float32).view(Backwards)
    index.insert(1, vector)
    assert index.search([1, 2, 3], 1) == [(1, 0.0)]


def test_stored_vector_is_a_copy(index):
    vector = np.array([1, 2, 3], dtype=np.float32)
    rows = np.array([[4, 5, 6]], dtype=np.float32)
    index.insert(1, vector)
    index.insert_batch([2], rows)
    vector[:] = 0
    rows[:] = 0
    assert index.search([1, 2, 3], 1) == [(1, 0.0)]
    assert index.search([4, 5, 6], 1) == [(2, 0.0)]


@pytest.mark.parametrize("batch", [False, True])
def test_query_array_written_by_k_conversion_is_read_before(batch):
    # The query is converted before k; an __index__ of k that writes to the
    # array must not change the query that was already taken.
    index = Index("euclidean", 3)
    index.insert_batch([1, 2], [[1, 2, 3], [0, 0, 0]])
    query = np.array([[1, 2, 3]] if batch else [1, 2, 3], dtype=np.float32)

    class K:
        def __index__(self):
            query[...] = 0
            return 1

    got = index.search_batch(query, K()) if batch else index.search(query, K())
    assert got == ([[(1, 0.0)]] if batch else [(1, 0.0)])
