"""Index: argument binding, behaviour, error mapping and the borrow protocol."""

import math

import pytest

from _velmoradb import Index


def message(excinfo):
    return str(excinfo.value)


@pytest.fixture
def index():
    return Index("euclidean", 3)


# ---------------------------------------------------------------- binding

BINDING_CASES = [
    (lambda i: Index(), "Index.__new__() missing 2 required positional arguments: "
                            "'metric' and 'dimension'"),
    (lambda i: Index("dot"), "Index.__new__() missing 1 required positional argument: "
                                 "'dimension'"),
    (lambda i: Index(dimension=3), "Index.__new__() missing 1 required positional "
                                       "argument: 'metric'"),
    (lambda i: Index("dot", 3, 4), "Index.__new__() takes 2 positional arguments but 3 "
                                       "were given"),
    (lambda i: Index("dot", 3, x=1), "Index.__new__() got an unexpected keyword "
                                         "argument 'x'"),
    (lambda i: Index("dot", metric="dot"), "Index.__new__() got multiple values for "
                                               "argument 'metric'"),
    (lambda i: i.insert(), "Index.insert() missing 2 required positional arguments: "
                               "'id' and 'vector'"),
    (lambda i: i.insert(1, [1, 2, 3], 4), "Index.insert() takes 2 positional arguments "
                                              "but 3 were given"),
    (lambda i: i.insert(1, vector=[1, 2, 3], id=2), "Index.insert() got multiple values "
                                                        "for argument 'id'"),
    (lambda i: i.search([1, 2, 3]), "Index.search() missing 1 required positional "
                                        "argument: 'k'"),
    (lambda i: i.search([1, 2, 3], 1, kk=2), "Index.search() got an unexpected keyword "
                                                 "argument 'kk'"),
    (lambda i: i.insert_batch(vectors=[]), "Index.insert_batch() missing 1 required "
                                               "positional argument: 'ids'"),
    (lambda i: i.search_batch([], 1, 2, 3), "Index.search_batch() takes 2 positional "
                                                "arguments but 4 were given"),
]


@pytest.mark.parametrize("call, expected", BINDING_CASES)
def test_binding_errors(index, call, expected):
    with pytest.raises(TypeError) as caught:
        call(index)
    assert message(caught) == expected


def test_binding_by_keyword(index):
    index.insert(vector=[1, 2, 3], id=4)
    assert index.search(k=1, query=[1, 2, 3]) == [(4, 0.0)]
    index.insert_batch(vectors=[[0, 0, 0]], ids=[5])
    assert index.search_batch(k=1, queries=[[0, 0, 0]]) == [[(5, 0.0)]]
    assert Index(dimension=2, metric="dot").search([1, 1], 1) == []


def test_binding_failure_takes_no_borrow(index):
    with pytest.raises(TypeError):
        index.insert(1)
    index.insert(1, [1, 2, 3])  # the borrow was never taken, so none is left over


# ---------------------------------------------------------------- constructor

@pytest.mark.parametrize("metric", ["euclidean", "cosine", "dot"])
def test_constructor_accepts_the_three_metrics(metric):
    Index(metric, 3)


@pytest.mark.parametrize("metric", ["Cosine", "dot_product", "hamming", "Hamming", " dot",
                                    "dot ", "", "euclidean\0"])
def test_constructor_refuses_other_metric_names(metric):
    with pytest.raises(ValueError) as caught:
        Index(metric, 3)
    assert message(caught) == "Invalid metric"


def test_metric_of_wrong_type_names_the_argument():
    with pytest.raises(TypeError) as caught:
        Index(1, 3)
    assert message(caught) == "argument 'metric': 'int' object cannot be converted to 'PyString'"


def test_dimension_minus_one_overflows_without_prefix():
    with pytest.raises(OverflowError) as caught:
        Index("euclidean", -1)
    assert not message(caught).startswith("argument")


def test_dimension_conversion_comes_after_metric_conversion():
    # metric is converted first; its TypeError wins over the bad dimension
    with pytest.raises(TypeError, match="^argument 'metric'"):
        Index(None, -1)
    # the metric name is mapped only after both conversions
    with pytest.raises(OverflowError):
        Index("nope", -1)


def test_dimension_zero_holds_empty_vectors():
    index = Index("euclidean", 0)
    index.insert(1, [])
    index.insert(2, ())
    assert sorted(index.search([], 5)) == [(1, 0.0), (2, 0.0)]
    with pytest.raises(ValueError) as caught:
        index.insert(3, [1.0])
    assert message(caught) == "dimension mismatch: expected 0, got 1"


# ---------------------------------------------------------------- insert / search

def test_integer_vector_is_stored_as_floats(index):
    index.insert(1, [1, 2, 3])
    assert index.search([1.0, 2.0, 3.0], 1) == [(1, 0.0)]
    result = index.search([1, 2, 4], 1)
    assert result == [(1, 1.0)]
    assert type(result[0][0]) is int and type(result[0][1]) is float


def test_duplicate_id_is_a_value_error(index):
    index.insert(7, [1, 2, 3])
    with pytest.raises(ValueError) as caught:
        index.insert(7, [4, 5, 6])
    assert message(caught) == "duplicate vector id: 7"
    assert index.search([1, 2, 3], 5) == [(7, 0.0)]


def test_largest_id_and_id_zero_are_ordinary(index):
    largest = 2**64 - 1
    index.insert(largest, [0, 0, 0])
    index.insert(0, [0, 0, 1])
    assert index.search([0, 0, 0], 2) == [(largest, 0.0), (0, 1.0)]
    with pytest.raises(ValueError) as caught:
        index.insert(largest, [0, 0, 0])
    assert message(caught) == "duplicate vector id: 18446744073709551615"


def test_wrong_length_insert_is_a_dimension_mismatch(index):
    with pytest.raises(ValueError) as caught:
        index.insert(1, [1, 2, 3, 4])
    assert message(caught) == "dimension mismatch: expected 3, got 4"
    assert index.search([1, 2, 3], 5) == []


def test_wrong_length_query_and_k_zero_give_empty_lists(index):
    index.insert(1, [1, 2, 3])
    assert index.search([1, 2], 5) == []
    assert index.search([1, 2, 3, 4], 5) == []
    assert index.search([1, 2, 3], 0) == []


def test_empty_index_returns_empty_lists(index):
    assert index.search([1, 2, 3], 10) == []
    assert index.search_batch([[1, 2, 3]], 10) == [[]]


def test_k_larger_than_count_returns_all_sorted(index):
    index.insert_batch([1, 2, 3], [[3, 0, 0], [1, 0, 0], [2, 0, 0]])
    assert index.search([0, 0, 0], 100) == [(2, 1.0), (3, 2.0), (1, 3.0)]


def test_equal_distances_are_all_returned(index):
    index.insert_batch([1, 2, 3], [[1, 0, 0], [0, 1, 0], [0, 0, 1]])
    assert sorted(index.search([0, 0, 0], 5)) == [(1, 1.0), (2, 1.0), (3, 1.0)]
    two = index.search([0, 0, 0], 2)
    assert len(two) == 2 and {i for i, _ in two} < {1, 2, 3}


def test_dot_puts_largest_product_first():
    index = Index("dot", 2)
    index.insert_batch([1, 2, 3], [[1, 0], [3, 0], [2, 0]])
    assert index.search([1, 0], 3) == [(2, -3.0), (3, -2.0), (1, -1.0)]


def test_distance_is_the_32_bit_value_widened():
    index = Index("euclidean", 1)
    index.insert(1, [0.0])
    [(_, half)] = index.search([0.5], 1)
    assert half == 0.5
    [(_, tenth)] = index.search([0.1], 1)
    # 0.1 is rounded to a float first: the distance is that float, not 0.1
    assert tenth != 0.1 and tenth == 0.10000000149011612


def test_non_finite_components_are_accepted_by_index():
    index = Index("euclidean", 2)
    index.insert(1, [math.inf, 0.0])
    index.insert(2, [math.nan, 0.0])
    index.insert(3, [0.0, 0.0])
    result = index.search([math.inf, 0.0], 3)
    assert len(result) == 3
    assert result[0] == (3, math.inf)
    assert all(math.isnan(d) for _, d in result[1:])


# ---------------------------------------------------------------- batches

def test_insert_batch_length_mismatch_inserts_nothing(index):
    with pytest.raises(ValueError) as caught:
        index.insert_batch([1, 2], [[1, 2, 3]])
    assert message(caught) == "ids and vectors must have the same length"
    assert index.search([1, 2, 3], 5) == []


def test_insert_batch_stops_at_first_error(index):
    with pytest.raises(ValueError) as caught:
        index.insert_batch([1, 2, 2, 4], [[1, 0, 0], [2, 0, 0], [3, 0, 0], [4, 0, 0]])
    assert message(caught) == "duplicate vector id: 2"
    assert index.search([0, 0, 0], 10) == [(1, 1.0), (2, 2.0)]


def test_insert_batch_converts_everything_before_inserting(index):
    with pytest.raises(TypeError) as caught:
        index.insert_batch([1, 2], [[1, 2, 3], [1, "x", 3]])
    assert message(caught) == "argument 'vectors': must be real number, not str"
    assert index.search([1, 2, 3], 5) == []
    with pytest.raises(TypeError) as caught:
        index.insert_batch([1, "2"], [[1, 2, 3], [1, 2, 3]])
    assert message(caught) == ("argument 'ids': 'str' object cannot be interpreted as an "
                               "integer")
    assert index.search([1, 2, 3], 5) == []


def test_search_batch_keeps_query_order_and_handles_wrong_lengths(index):
    index.insert_batch([1, 2], [[0, 0, 0], [5, 0, 0]])
    assert index.search_batch([], 3) == []
    got = index.search_batch([[5, 0, 0], [1, 2], [0, 0, 0], []], 1)
    assert got == [[(2, 0.0)], [], [(1, 0.0)], []]
    assert index.search_batch([[5, 0, 0], [0, 0, 0]], 0) == [[], []]


def test_search_batch_equals_single_searches():
    import random
    rng = random.Random(5)
    index = Index("cosine", 8)
    index.insert_batch(range(200), [[rng.uniform(-1, 1) for _ in range(8)] for _ in range(200)])
    queries = [[rng.uniform(-1, 1) for _ in range(8)] for _ in range(37)]
    assert index.search_batch(queries, 7) == [index.search(q, 7) for q in queries]


# ---------------------------------------------------------------- borrow protocol

class CallsBack:
    """A number whose conversion runs `action` and records what it raised."""

    def __init__(self, action, value=1.0):
        self.action = action
        self.value = value
        self.raised = None

    def _run(self):
        try:
            self.action()
        except BaseException as e:  # noqa: BLE001 - recorded for the test
            self.raised = e

    def __float__(self):
        self._run()
        return float(self.value)

    def __index__(self):
        self._run()
        return int(self.value)


def test_search_inside_insert_conversion_is_refused(index):
    hook = CallsBack(lambda: index.search([1, 2, 3], 1))
    index.insert(1, [hook, 2, 3])
    assert isinstance(hook.raised, RuntimeError)
    assert str(hook.raised) == "Already mutably borrowed"
    assert index.search([1, 2, 3], 1) == [(1, 0.0)]


def test_insert_inside_search_conversion_is_refused(index):
    hook = CallsBack(lambda: index.insert(9, [1, 2, 3]))
    assert index.search([hook, 2, 3], 1) == []
    assert isinstance(hook.raised, RuntimeError)
    assert str(hook.raised) == "Already borrowed"
    index.insert(9, [1, 2, 3])  # the shared borrow was given back


def test_insert_inside_insert_id_conversion_is_refused(index):
    hook = CallsBack(lambda: index.insert(2, [1, 2, 3]), value=1)
    index.insert(hook, [1, 2, 3])
    assert str(hook.raised) == "Already borrowed"
    assert index.search([1, 2, 3], 5) == [(1, 0.0)]


def test_search_inside_search_is_allowed(index):
    index.insert(1, [1, 2, 3])
    inner = []
    hook = CallsBack(lambda: inner.append(index.search_batch([[1, 2, 3]], 1)))
    assert index.search_batch([[hook, 2, 3]], 1) == [[(1, 0.0)]]
    assert hook.raised is None and inner == [[[(1, 0.0)]]]


def test_insert_batch_inside_iteration_is_refused(index):
    class Rows:
        def __init__(self):
            self.raised = None

        def __len__(self):
            return 1

        def __getitem__(self, i):
            raise IndexError

        def __iter__(self):
            try:
                index.search_batch([[1, 2, 3]], 1)
            except RuntimeError as e:
                self.raised = e
            yield [1, 2, 3]

    rows = Rows()
    index.insert_batch([4], rows)
    assert str(rows.raised) == "Already mutably borrowed"


def test_error_raised_inside_conversion_releases_borrow(index):
    def boom():
        raise KeyError("boom")

    class Bad:
        def __float__(self):
            boom()

    with pytest.raises(KeyError):
        index.insert(1, [Bad(), 2, 3])
    with pytest.raises(KeyError):
        index.search([Bad(), 2, 3], 1)
    index.insert(1, [1, 2, 3])
    assert index.search([1, 2, 3], 1) == [(1, 0.0)]
