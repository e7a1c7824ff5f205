"""Benchmark of a batch of queries on every core: velmoradb.Collection.search_batch
with threads=1 and threads=<cores>, against faiss-cpu's flat index on one
thread and on its default threads (OpenMP, one per core), in one process,
interleaved, on the same data.

Cases: 1,000,000 x 128 and 100,000 x 768 (Gaussian float32, fixed seed),
euclidean, k = 10, a batch of 1,000 queries. Figures: queries per second,
medians of --repeat runs. The lists of every threaded run are checked to
equal the one-thread lists (ids and distance bits).

    pip install . faiss-cpu
    python bench/threads.py            # about 3 minutes
    python bench/threads.py --quick    # 100,000 x 128 and 20,000 x 768

It writes bench/results_threads.json.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import shutil
import statistics
import tempfile
import time

import numpy as np

SEED = 20261208
K = 10
NQ = 1_000


def rate(fn, repeat):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return NQ / statistics.median(times)


def run_case(vdb, faiss, n, dim, repeat, root):
    rng = np.random.default_rng(SEED + dim)
    data = rng.standard_normal((n, dim), dtype=np.float32)
    queries = rng.standard_normal((NQ, dim), dtype=np.float32)
    cores = os.cpu_count() or 1
    path = os.path.join(root, f"threads-{n}x{dim}")
    rows = []
    with vdb.Collection.create(path, dim, "euclidean") as c:
        for start in range(0, n, 100_000):
            c.insert_batch(range(start, min(n, start + 100_000)), data[start:start + 100_000])
        # The int8 codes kept for single queries are built after the load;
        # batches bound against them once they are there.
        c.wait_for_bound_codes()
        one = c.search_batch(queries, K, threads=1)
        if c.search_batch(queries, K, threads=cores) != one:
            raise RuntimeError("the threaded batch differs from the one-thread batch")
        flat = None
        if faiss is not None:
            flat = faiss.IndexFlatL2(dim)
            flat.add(data)

        def faiss_on(threads):
            faiss.omp_set_num_threads(threads)
            flat.search(queries, K)

        figures = {
            "velmoradb, 1 thread": lambda: c.search_batch(queries, K, threads=1),
            f"velmoradb, {cores} threads": lambda: c.search_batch(queries, K, threads=cores),
        }
        if flat is not None:
            figures["faiss-cpu, 1 thread"] = lambda: faiss_on(1)
            figures[f"faiss-cpu, default threads ({cores})"] = lambda: faiss_on(cores)
        rates = {name: [] for name in figures}
        for _ in range(repeat):  # interleaved rounds, one run of each per round
            for name, fn in figures.items():
                rates[name].append(rate(fn, 1))
        for name in figures:
            rows.append({"case": f"{n:,} x {dim}", "figure": name, "queries_per_s": statistics.median(rates[name])})
    shutil.rmtree(path, ignore_errors=True)
    return rows


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--out", default=os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                      "results_threads.json"))
    args = parser.parse_args(argv)
    import velmoradb as vdb
    try:
        import faiss
    except ImportError:
        faiss = None
        print("faiss-cpu is not installed: its rows are left out")
    cases = [(100_000, 128), (20_000, 768)] if args.quick else [(1_000_000, 128), (100_000, 768)]
    root = tempfile.mkdtemp(prefix="velmoradb-threads-")
    rows = []
    try:
        for n, dim in cases:
            case_rows = run_case(vdb, faiss, n, dim, args.repeat, root)
            base = case_rows[0]["queries_per_s"]
            for row in case_rows:
                row["ratio_to_velmoradb_1_thread"] = row["queries_per_s"] / base
                print(f"  {row['case']:<16} {row['figure']:<32} {row['queries_per_s']:10.1f} q/s"
                      f"  x{row['ratio_to_velmoradb_1_thread']:.2f}", flush=True)
            rows += case_rows
    finally:
        shutil.rmtree(root, ignore_errors=True)
    saved = {"machine": {"python": platform.python_version(), "platform": platform.platform(),
                         "cpus": os.cpu_count()},
             "command": "python bench/threads.py" + (" --quick" if args.quick else ""), "rows": rows}
    with open(args.out, "w") as f:
        json.dump(saved, f, indent=1)
    print(f"wrote {args.out}")


if __name__ == "__main__":
    main()
