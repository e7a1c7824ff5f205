"""`velmoradb demo`: nearest neighbours of real images, checked against numpy.

The data are scikit-learn's bundled handwritten digits (1,797 images of 8x8
pixels, no download). The demo builds a persistent collection from them,
flushes, reopens it under each metric, asks for the 6 nearest neighbours of
every image, and checks every result against a brute-force numpy
computation that follows velmoradb's arithmetic: float32 throughout, each
operation rounded, sums taken in blocks of 16 terms. The distances must
then agree bit for bit, and the ids up to the order of equal distances.
"""

from __future__ import annotations

import os
import tempfile
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from typing import Any

from _velmoradb import Collection  # the payload-free class: its messages, and a search may use another metric than the stored one

K = 6
METRICS = ("euclidean", "cosine", "dot")
EXAMPLES = (0, 11, 1234)
BLOCK = 16
SHADES = " .:-=+*#%@"


@dataclass
class MetricRun:
    metric: str
    open_ms: float
    search_ms: float
    reference_ms: float
    checked: int
    failures: list[str]
    label_agreement: float
    neighbours: Any  # (queries, K - 1) ids, the query itself left out


def run(directory: str | None) -> bool:
    """Runs the demo and prints it; True when every result agrees with numpy."""
    if directory is not None:
        check_target(directory)
    np, digits = _load()
    vectors = np.ascontiguousarray(digits.data, dtype=np.float32)
    labels = digits.target
    count, dimension = vectors.shape
    print("velmoradb demo: nearest neighbours of handwritten digits\n")
    print(f"data     scikit-learn's digits: {count:,} images of 8x8 pixels (0-16), labels 0-9")

    with _collection_dir(directory) as path:
        build_ms, flush_ms = _build(path, vectors, dimension)
        print(f"build    {path}: insert_batch {_ms(build_ms)}, flush {_ms(flush_ms)}")
        if directory is None:
            print("         (a temporary directory, deleted when the demo ends; --dir DIR builds and keeps it)")
        runs = [_run_metric(np, path, metric, vectors, labels) for metric in METRICS]
    _print_table(runs, count)
    _print_examples(runs[0], vectors, labels)
    return _print_verdict(runs, count)


def _load() -> tuple[Any, Any]:
    try:
        import numpy as np
        from sklearn.datasets import load_digits
    except ImportError:
        raise ImportError("the demo needs numpy and scikit-learn: pip install 'velmoradb[demo]'") from None
    return np, load_digits()


def check_target(directory: str) -> None:
    """Refuses a --dir that is not a new or empty directory, before any work."""
    if os.path.exists(directory) and (not os.path.isdir(directory) or os.listdir(directory)):
        raise ValueError(f"--dir must be an empty or new directory: {directory}")


@contextmanager
def _collection_dir(directory: str | None) -> Iterator[str]:
    if directory is None:
        with tempfile.TemporaryDirectory(prefix="velmoradb-demo-") as tmp:
            yield os.path.join(tmp, "digits")
        return
    yield directory


def _build(path: str, vectors: Any, dimension: int) -> tuple[float, float]:
    collection = Collection.open_or_create(path, dimension, "euclidean")
    start = time.perf_counter()
    collection.insert_batch(range(len(vectors)), vectors)
    inserted = time.perf_counter()
    collection.flush()
    flushed = time.perf_counter()
    return inserted - start, flushed - inserted


def _run_metric(np: Any, path: str, metric: str, vectors: Any, labels: Any) -> MetricRun:
    # Reopening under another metric is allowed: the metric given at open
    # governs the searches; the stored vectors are the same.
    start = time.perf_counter()
    collection = Collection.open_or_create(path, vectors.shape[1], metric)
    opened = time.perf_counter()
    results = collection.search_batch(vectors, K)
    searched = time.perf_counter()
    del collection  # closes the files and releases the directory's lock

    reference = reference_distances(np, metric, vectors, vectors)
    referenced = time.perf_counter()
    failures = verify(np, results, reference, K)
    neighbours = _without_self(np, results)
    agreement = float(np.mean(labels[neighbours[:, 0]] == labels))
    return MetricRun(metric, opened - start, searched - opened, referenced - searched,
                     len(vectors) * K, failures, agreement, neighbours)


def _blocked_sum(np: Any, term: Callable[[int], Any], length: int) -> Any:
    """Sum of term(0) .. term(length - 1) in velmoradb's order: each complete
    block of 16 summed on its own from its first term, then added to a total
    that starts at +0.0; the remaining terms added to the total one by one."""
    if length == 0:
        raise ValueError("vectors without components")
    total = np.zeros(term(0).shape, dtype=np.float32)  # +0.0
    full = length - length % BLOCK
    for block in range(0, full, BLOCK):
        partial = term(block).copy()
        for j in range(block + 1, block + BLOCK):
            partial += term(j)
        total += partial
    for j in range(full, length):
        total += term(j)
    return total


def reference_distances(np: Any, metric: str, queries: Any, stored: Any) -> Any:
    """(queries, stored) float32 distances with velmoradb's exact arithmetic."""
    q = np.asarray(queries, dtype=np.float32)
    b = np.asarray(stored, dtype=np.float32)
    n = q.shape[1]

    def dot(x: Any, y: Any) -> Any:
        return _blocked_sum(np, lambda j: x[:, j, None] * y[None, :, j], n)

    if metric == "euclidean":
        def squared(j: int) -> Any:
            d = q[:, j, None] - b[None, :, j]
            return d * d
        return np.sqrt(_blocked_sum(np, squared, n))
    if metric == "dot":
        return -dot(q, b)
    if metric == "cosine":
        p = dot(q, b)
        qn = np.sqrt(_blocked_sum(np, lambda j: q[:, j] * q[:, j], n))
        bn = np.sqrt(_blocked_sum(np, lambda j: b[:, j] * b[:, j], n))
        den = qn[:, None] * bn[None, :]
        with np.errstate(divide="ignore", invalid="ignore"):
            return np.where(den == 0, np.float32(1.0), np.float32(1.0) - p / den).astype(np.float32)
    raise ValueError(f"unknown metric {metric!r}")


def verify(np: Any, results: list[list[tuple[int, float]]], reference: Any, k: int) -> list[str]:
    """What disagrees between velmoradb's results and the reference distances.

    Each query must get min(k, stored) distinct ids, nearest first; each
    distance must be the reference distance of its id bit for bit; and the
    distances must be the k smallest of the reference. That fixes the result
    up to the order of equal distances, which is free."""
    failures: list[str] = []
    expected = min(k, reference.shape[1])
    smallest = np.sort(reference, axis=1)[:, :expected]
    for number, hits in enumerate(results):
        ids = np.array([i for i, _ in hits], dtype=np.int64)
        got = np.array([d for _, d in hits], dtype=np.float32)
        problem = None
        if len(hits) != expected:
            problem = f"{len(hits)} results instead of {expected}"
        elif len(set(ids.tolist())) != expected:
            problem = f"repeated ids {ids.tolist()}"
        elif not np.array_equal(got.view(np.uint32), reference[number, ids].view(np.uint32)):
            problem = f"distances {got.tolist()} instead of {reference[number, ids].tolist()}"
        elif not np.array_equal(got, smallest[number]):
            problem = f"distances {got.tolist()} are not the {expected} smallest {smallest[number].tolist()}"
        if problem is not None:
            failures.append(f"query {number}: {problem}")
    return failures


def _without_self(np: Any, results: list[list[tuple[int, float]]]) -> Any:
    rows = []
    for number, hits in enumerate(results):
        others = [i for i, _ in hits if i != number]
        rows.append(others[: K - 1])
    return np.array(rows, dtype=np.int64)


def _ms(seconds: float) -> str:
    return f"{seconds * 1000:.1f} ms"


def _print_table(runs: list[MetricRun], count: int) -> None:
    print(f"\nEvery image is a query (k={K}; the image itself is left out of its neighbours):\n")
    header = ("metric", "reopen", f"search_batch ({count:,})", "exact check (numpy)*",
              "nearest has the query's label**", "agree with numpy")
    rows = [header] + [
        (r.metric, _ms(r.open_ms), _ms(r.search_ms), _ms(r.reference_ms),
         f"{r.label_agreement:.1%}", f"{r.checked - len(r.failures) * K:,} / {r.checked:,}")
        for r in runs
    ]
    widths = [max(len(row[c]) for row in rows) for c in range(len(header))]
    for row in rows:
        print("  ".join(cell.ljust(w) for cell, w in zip(row, widths)).rstrip())
    print(
        "\n*  numpy computing every distance with velmoradb's exact float32 arithmetic, to check the"
        "\n   results bit for bit: a reference, deliberately slow, not a speed baseline (bench/ compares"
        "\n   speed against numpy, faiss, hnswlib and usearch)."
        "\n** dot is the raw inner product, and these pixel vectors are not normalised: an image with"
        "\n   more ink scores high against every query, whatever its digit. cosine is the same product"
        "\n   on normalised vectors, and finds the same digit as often as euclidean does."
    )


def _print_examples(run: MetricRun, vectors: Any, labels: Any) -> None:
    print(f"\nA few queries under {run.metric}, each beside its nearest neighbour:")
    for query in EXAMPLES:
        neighbours = run.neighbours[query]
        found = ", ".join(f"#{i} ({labels[i]})" for i in neighbours)
        print(f"\n  query #{query}, label {labels[query]} -> neighbours (label): {found}")
        nearest = int(neighbours[0])
        for left, right in zip(_ascii(vectors[query]), _ascii(vectors[nearest])):
            print(f"    {left}    {right}")


def _ascii(image: Any) -> list[str]:
    """An 8x8 image of values 0-16 as 8 lines of characters, darker = more ink."""
    shade = [SHADES[min(int(v) * len(SHADES) // 17, len(SHADES) - 1)] for v in image]
    return ["".join(c + c for c in shade[row * 8 : row * 8 + 8]) for row in range(8)]


def _print_verdict(runs: list[MetricRun], count: int) -> bool:
    failures = [f"{r.metric}: {f}" for r in runs for f in r.failures]
    checked = sum(r.checked for r in runs)
    print()
    if failures:
        for failure in failures[:10]:
            print(f"MISMATCH {failure}")
        print(f"FAILED: {len(failures)} of {len(runs) * count:,} queries disagree with numpy.")
        return False
    print(f"All {checked:,} results ({len(runs)} metrics x {count:,} queries x {K} neighbours) agree "
          "with numpy: the same distances bit for bit, the same neighbours up to the order of ties.")
    return True
