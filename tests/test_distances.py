"""Distances returned by Index.search, bit for bit against a reference
written here with numpy float32 scalars in the blocked order: a running total
from +0.0; each complete block of 16 terms summed from its first term, then
added to the total; the tail terms added to the total one by one."""

import math

import numpy as np
import pytest

from _velmoradb import Index

F32 = np.float32
LENGTHS = [0, 1, 15, 16, 17, 31, 32, 33, 128, 1000]
MAGNITUDES = ["1e-3", "1", "1e3", "1e18", "mixed"]
METRICS = ["euclidean", "cosine", "dot"]


def blocked_sum(terms):
    total = F32(0.0)
    full = len(terms) // 16 * 16
    for start in range(0, full, 16):
        partial = terms[start]
        for term in terms[start + 1:start + 16]:
            partial = F32(partial + term)
        total = F32(total + partial)
    for term in terms[full:]:
        total = F32(total + term)
    return total


def dot(x, y):
    return blocked_sum([F32(a * b) for a, b in zip(x, y)])


def euclidean(a, b):
    differences = [F32(x - y) for x, y in zip(a, b)]
    return F32(np.sqrt(blocked_sum([F32(d * d) for d in differences])))


def cosine(a, b):
    p = dot(a, b)
    den = F32(F32(np.sqrt(dot(a, a))) * F32(np.sqrt(dot(b, b))))
    if den == 0.0:
        return F32(1.0)
    return F32(F32(1.0) - F32(p / den))


def dot_distance(a, b):
    return -dot(a, b)  # the sign bit flipped: +0.0 becomes -0.0


REFERENCE = {"euclidean": euclidean, "cosine": cosine, "dot": dot_distance}


def random_vectors(rng, count, n, magnitude):
    if magnitude == "mixed":
        scale = 10.0 ** rng.uniform(-3, 3, size=(count, n))
        return (rng.standard_normal((count, n)) * scale).astype(np.float32)
    return (rng.standard_normal((count, n)) * float(magnitude)).astype(np.float32)


def bits(value):
    return np.array([value], dtype=np.float32).view(np.uint32)[0]


def assert_same_float32(got, expected):
    # The distance comes back as the 32-bit value widened exactly.
    assert float(F32(got)) == got or math.isnan(got)
    if math.isnan(expected):
        assert math.isnan(got)
    else:
        assert bits(F32(got)) == bits(expected), (got, float(expected))


def distances_by_id(index, query, count):
    return dict(index.search(query, count))


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("magnitude", MAGNITUDES)
@pytest.mark.parametrize("n", LENGTHS)
def test_distances_match_reference(metric, magnitude, n):
    rng = np.random.default_rng([n, MAGNITUDES.index(magnitude), METRICS.index(metric)])
    stored = random_vectors(rng, 6, n, magnitude)
    queries = random_vectors(rng, 3, n, magnitude)
    index = Index(metric, n)
    # stored vectors go in through the list path, queries as arrays and lists
    index.insert_batch(range(6), [v.tolist() for v in stored])
    with np.errstate(all="ignore"):
        for query in queries:
            got = distances_by_id(index, query.tolist(), 6)
            from_array = distances_by_id(index, query, 6)
            assert repr(sorted(from_array.items())) == repr(sorted(got.items()))
            for i, vector in enumerate(stored):
                assert_same_float32(got[i], REFERENCE[metric](list(query), list(vector)))


@pytest.mark.parametrize("n", LENGTHS)
def test_cosine_of_zero_norm_is_one(n):
    rng = np.random.default_rng(n)
    index = Index("cosine", n)
    index.insert(1, [0.0] * n)
    index.insert(2, rng.standard_normal(n).astype(np.float32).tolist())
    zero_query = distances_by_id(index, [0.0] * n, 2)
    assert bits(F32(zero_query[1])) == bits(F32(1.0))
    assert bits(F32(zero_query[2])) == bits(F32(1.0))
    other = distances_by_id(index, rng.standard_normal(n).tolist(), 2)
    assert bits(F32(other[1])) == bits(F32(1.0))


def test_cosine_of_underflowing_norms_is_one():
    # each norm is a tiny positive float; their product underflows to zero
    index = Index("cosine", 1)
    index.insert(1, [1e-30])
    [(_, distance)] = index.search([1e-30], 1)
    assert bits(F32(distance)) == bits(F32(1.0))


def test_empty_vectors():
    expected = {"euclidean": F32(0.0), "dot": -F32(0.0), "cosine": F32(1.0)}
    for metric, value in expected.items():
        index = Index(metric, 0)
        index.insert(1, [])
        [(_, distance)] = index.search([], 1)
        assert bits(F32(distance)) == bits(value), metric


def test_dot_of_orthogonal_vectors_is_negative_zero():
    index = Index("dot", 2)
    index.insert(1, [1.0, 0.0])
    [(_, distance)] = index.search([0.0, 1.0], 1)
    assert distance == 0.0 and math.copysign(1.0, distance) == -1.0


def test_euclidean_of_identical_vectors_is_positive_zero():
    index = Index("euclidean", 3)
    index.insert(1, [1.5, -2.0, 1e18])
    [(_, distance)] = index.search([1.5, -2.0, 1e18], 1)
    assert distance == 0.0 and math.copysign(1.0, distance) == 1.0


def test_infinity_in_both_vectors_gives_nan():
    index = Index("euclidean", 2)
    index.insert(1, [math.inf, 0.0])
    [(_, distance)] = index.search([math.inf, 0.0], 1)
    assert math.isnan(distance)


def test_block_order_changes_low_bits():
    # A case where the blocked order and a plain left-to-right sum differ, so
    # the test above would notice the wrong grouping.
    rng = np.random.default_rng(99)
    for _ in range(200):
        a = random_vectors(rng, 1, 33, "mixed")[0]
        with np.errstate(all="ignore"):
            plain = F32(0.0)
            for x in a:
                plain = F32(plain + F32(x * x))
            if plain != dot(a, a):
                break
    else:
        pytest.fail("no vector where the two orders differ")
    index = Index("dot", 33)
    index.insert(1, a.tolist())
    [(_, distance)] = index.search(a.tolist(), 1)
    assert bits(F32(distance)) == bits(-dot(a, a))
    assert bits(F32(distance)) != bits(-plain)
