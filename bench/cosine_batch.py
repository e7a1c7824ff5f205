"""A batch of 1,000 queries under each metric on one collection size, one
thread: how close the cosine batch (the dot product's int8 bound turned into
a cosine bound with the kept norms) comes to the dot and euclidean batches.

  python bench/cosine_batch.py [--n 200000] [--dim 128]

Prints queries per second per metric, the best of three rounds each.
"""

from __future__ import annotations

import argparse
import shutil
import tempfile
import time

import numpy as np

import velmoradb


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--n", type=int, default=200_000)
    ap.add_argument("--dim", type=int, default=128)
    args = ap.parse_args()
    rng = np.random.default_rng(0)
    data = rng.standard_normal((args.n, args.dim), dtype=np.float32)
    queries = rng.standard_normal((1000, args.dim), dtype=np.float32)
    root = tempfile.mkdtemp(prefix="velmoradb-cosine-batch-")
    try:
        for metric in ("cosine", "dot", "euclidean"):
            with velmoradb.Collection.create(f"{root}/{metric}", args.dim, metric) as c:
                c.insert_batch(np.arange(args.n, dtype=np.uint64), data)
                c.wait_for_bound_codes()
                best = float("inf")
                for _ in range(3):
                    start = time.perf_counter()
                    c.search_batch(queries, 10, threads=1)
                    best = min(best, time.perf_counter() - start)
            print(f"{args.n} x {args.dim} {metric:9} {len(queries) / best:8.0f} q/s")
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
