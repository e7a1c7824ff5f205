"""Benchmark of one exact query through the bound codes: velmoradb.Collection.search
against one read of the float32 vectors from memory (the faster of a numpy
max and a numpy sum over the array: the max runs at the memory's speed here,
the sum is slower), and against the plain scan of _velmoradb.Index, in one process, on
the same data.

Every answer of the codes is compared with the scan's: the same distances
bit for bit, in the same order, each id distinct and holding the distance
it is given (ids may differ only among equal distances). The count of
answers that differ is a figure of the run; it must be 0.

Cases: 1,000,000 x 128 and 1,000,000 x 768; Gaussian data and a Gaussian
mixture of 1,000 clusters (centres N(0, 1), spread 0.5, as bench/stores.py);
k = 10; euclidean, dot and cosine (--metrics). Queries come from the same
distribution as the data. Figures: median time per query over --queries
queries, the read of the vectors (median of 5), their ratio, and the codes'
bytes per vector.

    pip install .
    python bench/pruned.py            # about 15 minutes
    python bench/pruned.py --dims 768 --metrics euclidean   # some cases only
    python bench/pruned.py --quick    # 200,000 x 128 and 100,000 x 768

It writes bench/results_pruned.json and the "pruned" section of
bench/results.json.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import shutil
import statistics
import struct
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from run import machine_info, median_time  # noqa: E402
from stores import centers_for, draw  # noqa: E402

import _velmoradb  # noqa: E402
import velmoradb  # noqa: E402

SEED = 20261208
K = 10
HERE = os.path.dirname(os.path.abspath(__file__))


def make_data(n, dim, kind, rng):
    centers = centers_for(dim, SEED + dim) if kind == "mixture" else None
    data = np.empty((n, dim), dtype=np.float32)
    for start in range(0, n, 100_000):
        m = min(100_000, n - start)
        data[start:start + m] = draw(rng, m, dim, kind, centers, 0.5)
    return data, draw(rng, 1000, dim, kind, centers, 0.5)


def read_floor(data):
    """One pass over the vectors: the faster of two numpy reductions."""
    data.max()  # warm
    return min(median_time(lambda: data.max(), 5), median_time(lambda: data.sum(dtype=np.float32), 5))


def same_answer(got, want, truth):
    """got is a valid answer where want is (see the top of this file)."""
    bits = [struct.pack("<f", d) for _, d in got]
    if bits != [struct.pack("<f", d) for _, d in want]:
        return False
    if len({i for i, _ in got}) != len(got):
        return False
    return all(truth(i) == b for (i, _), b in zip(got, bits))


def run_case(n, dim, kind, metrics, nq, workdir):
    rng = np.random.default_rng(SEED + n + dim)
    data, queries = make_data(n, dim, kind, rng)
    floor = read_floor(data)
    ids = np.arange(1, n + 1, dtype=np.uint64)
    rows = []
    for metric in metrics:
        path = os.path.join(workdir, f"pruned-{kind}-{dim}-{metric}")
        shutil.rmtree(path, ignore_errors=True)
        coll = velmoradb.Collection.create(path, dim, metric)
        coll.insert_batch(ids, data)
        coll.flush()
        wait = getattr(coll, "wait_for_bound_codes", None)
        if wait is not None:
            wait()
        scan = _velmoradb.Index(metric, dim)
        scan.insert_batch(ids.tolist(), data)
        codes, plain, differ = [], [], 0
        for q in queries[:nq]:
            t0 = time.perf_counter()
            got = coll.search(q, K)
            codes.append(time.perf_counter() - t0)
            t0 = time.perf_counter()
            want = scan.search(q, K)
            plain.append(time.perf_counter() - t0)
            exact = {i: struct.pack("<f", d) for i, d in scan.search(q, 4 * K)}

            def truth(i, q=q, exact=exact):
                if i in exact:
                    return exact[i]
                # Beyond the scan's 4k: the stored vector's own distance.
                v = np.asarray(coll.get(i).vector, dtype=np.float32)
                one = _velmoradb.Index(metric, dim)
                one.insert(i, v)
                return struct.pack("<f", one.search(q, 1)[0][1])

            differ += 0 if same_answer(got, want, truth) else 1
        row = {
            "case": f"{n}x{dim}", "data": kind, "metric": metric, "queries": nq,
            "read_ms": floor * 1e3,
            "codes_ms": statistics.median(codes) * 1e3,
            "scan_ms": statistics.median(plain) * 1e3,
            "codes_per_read": statistics.median(codes) / floor,
            "codes_bytes_per_vector": coll.bound_codes_bytes / n,
            "answers_differ": differ,
            "measured": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()),
        }
        rows.append(row)
        print(f"  {row['case']} {kind:8} {metric:9} read {row['read_ms']:7.1f} ms | codes {row['codes_ms']:7.2f} ms "
              f"({row['codes_per_read']:.2f}x read) | scan {row['scan_ms']:7.2f} ms | "
              f"{row['codes_bytes_per_vector']:.0f} B/vector | {differ} of {nq} answers differ", flush=True)
        coll.close()
        del coll, scan
        gc.collect()
        shutil.rmtree(path, ignore_errors=True)
    return rows


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--quick", action="store_true", help="small sizes, to try the script")
    p.add_argument("--queries", type=int, default=100)
    p.add_argument("--metrics", default="euclidean,dot,cosine")
    p.add_argument("--dims", default="128,768")
    p.add_argument("--dir", default=None, help="where the collections are written (a temporary directory)")
    args = p.parse_args()
    metrics = args.metrics.split(",")
    workdir = tempfile.mkdtemp(prefix="velmoradb-pruned-", dir=args.dir)
    rows = []
    try:
        for dim in (int(d) for d in args.dims.split(",")):
            n = (200_000 if dim == 128 else 100_000) if args.quick else 1_000_000
            for kind in ("gaussian", "mixture"):
                rows += run_case(n, dim, kind, metrics, args.queries, workdir)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    result = {"machine": machine_info(), "k": K, "quick": args.quick, "rows": rows}
    if not args.quick:
        # Rows of other cases from an earlier run stay (a run may take only
        # some dimensions or metrics); each row says when it was measured.
        own = os.path.join(HERE, "results_pruned.json")
        key = lambda r: (r["case"], r["data"], r["metric"])  # noqa: E731
        if os.path.exists(own):
            with open(own) as f:
                earlier = json.load(f).get("rows", [])
            fresh = {key(r) for r in rows}
            result["rows"] = [r for r in earlier if key(r) not in fresh] + rows
        with open(own, "w") as f:
            json.dump(result, f, indent=1)
        combined = os.path.join(HERE, "results.json")
        with open(combined) as f:
            everything = json.load(f)
        everything["pruned"] = result
        with open(combined, "w") as f:
            json.dump(everything, f, indent=1)
    total = sum(r["answers_differ"] for r in rows)
    print(f"answers that differ from the scan: {total} of {sum(r['queries'] for r in rows)}")
    return 1 if total else 0


if __name__ == "__main__":
    sys.exit(main())
