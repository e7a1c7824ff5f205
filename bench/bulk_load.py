"""Bulk load against the disk: `velmoradb.Collection.insert_batch` + `flush`
of n vectors into a new collection, against writing the same number of bytes
(the raw float32 vectors, n x d x 4) to a new file and forcing it to disk
(`write` + `fsync`), in one process, interleaved, several rounds, medians.

Also, once per size: `velmoradb import` of the same vectors from a .npy file
(a new process: interpreter start, reading the file, the load, the flush),
and the time from opening the flushed collection to its first answer.

    python bench/bulk_load.py                 # about 3 minutes here
    python bench/bulk_load.py --quick         # small data
    python bench/bulk_load.py --markdown bench/results_bulk.json
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from warm_memory import warm_memory  # noqa: E402

SEED = 20261209
TARGET = 1.25  # at most this many times the write + fsync


def write_and_force(path, data):
    """The floor: the bytes of the vectors written to a new file and forced."""
    t0 = time.perf_counter()
    with open(path, "wb", buffering=0) as f:
        view = memoryview(data).cast("B")
        while view:
            n = f.write(view[: 16 << 20])
            view = view[n:]
        os.fsync(f.fileno())
    fd = os.open(os.path.dirname(path), os.O_RDONLY)
    try:
        os.fsync(fd)  # the new name too, as the collection forces its directory
    finally:
        os.close(fd)
    return time.perf_counter() - t0


def load_and_flush(vdb, path, ids, data):
    t0 = time.perf_counter()
    with vdb.Collection.open_or_create(path, data.shape[1], "euclidean") as c:
        c.insert_batch(ids, data)
        c.flush()
        elapsed = time.perf_counter() - t0
    return elapsed


def import_cli(path, npy):
    t0 = time.perf_counter()
    # Run from the data's directory: `-m` puts the working directory first on
    # the path, and from a checkout that is the source tree, not the install.
    subprocess.run([sys.executable, "-m", "velmoradb", "import", path, npy, "--metric", "euclidean"],
                   check=True, stdout=subprocess.DEVNULL, cwd=os.path.dirname(npy))
    return time.perf_counter() - t0


def reopen_to_first_answer(vdb, path, query):
    t0 = time.perf_counter()
    with vdb.Collection.open(path) as c:
        c.search(query, 10)
        elapsed = time.perf_counter() - t0
    return elapsed


def run_size(vdb, n, dim, rounds, root):
    rng = np.random.default_rng(SEED + dim)
    data = rng.standard_normal((n, dim), dtype=np.float32)
    ids = np.arange(n, dtype=np.uint64)
    raw = os.path.join(root, "raw.bin")
    coll = os.path.join(root, "c")
    writes, loads = [], []
    for r in range(rounds):
        # Alternating which goes first; each starts with no dirty pages of
        # the other pending.
        for step in (("write", "load") if r % 2 == 0 else ("load", "write")):
            os.sync()
            # The same memory touched and freed before either (warm_memory.py):
            # the load's vectors and the page cache of both files.
            warm_memory(2 * data.nbytes)
            if step == "write":
                writes.append(write_and_force(raw, data))
                os.remove(raw)
            else:
                loads.append(load_and_flush(vdb, coll, ids, data))
                if r + 1 < rounds:
                    shutil.rmtree(coll)
        print(f"  {n}x{dim} round {r + 1}: write+fsync {writes[-1]:.3f} s, "
              f"insert_batch+flush {loads[-1]:.3f} s", flush=True)
    data_bytes = os.path.getsize(os.path.join(coll, "data.vdb"))
    reopen = statistics.median(reopen_to_first_answer(vdb, coll, data[0]) for _ in range(3))
    shutil.rmtree(coll)
    npy = os.path.join(root, "vectors.npy")
    np.save(npy, data)
    os.sync()
    cli = import_cli(coll, npy)
    shutil.rmtree(coll)
    os.remove(npy)
    write_s, load_s = statistics.median(writes), statistics.median(loads)
    return {
        "n": n, "dim": dim, "rounds": rounds,
        "raw_bytes": int(data.nbytes), "data_vdb_bytes": data_bytes,
        "write_fsync_s": write_s, "insert_flush_s": load_s,
        "ratio": load_s / write_s, "target": TARGET, "holds": load_s / write_s <= TARGET,
        "write_fsync_all_s": writes, "insert_flush_all_s": loads,
        "vectors_per_s": n / load_s, "import_cli_s": cli, "reopen_first_answer_s": reopen,
    }


def machine_info():
    info = {"python": platform.python_version(), "machine": platform.machine(), "cpus": os.cpu_count(),
            "date": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())}
    try:
        with open("/proc/cpuinfo") as f:
            info["cpu"] = next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    return info


def markdown(results):
    lines = ["| n x d | insert_batch + flush | write + fsync of the raw vectors | ratio | target | holds? "
             "| vectors/s | `velmoradb import` (new process) | reopen to first answer |",
             "|---|---|---|---|---|---|---|---|---|"]
    for r in results["sizes"]:
        lines.append(f"| {r['n']:,} x {r['dim']} | {r['insert_flush_s']:.3f} s | {r['write_fsync_s']:.3f} s "
                     f"| {r['ratio']:.2f}x | <= {r['target']}x | {'yes' if r['holds'] else '**no**'} "
                     f"| {r['vectors_per_s']:,.0f} | {r['import_cli_s']:.2f} s | {r['reopen_first_answer_s'] * 1e3:.0f} ms |")
    return "\n".join(lines)


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--quick", action="store_true", help="small data for a quick look")
    p.add_argument("--rounds", type=int, default=5)
    p.add_argument("--dir", help="where to write (default: a new temporary directory)")
    p.add_argument("--out", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), "results_bulk.json"))
    p.add_argument("--markdown", metavar="RESULTS_JSON", help="print a saved results file as a Markdown table")
    args = p.parse_args(argv)
    if args.markdown:
        with open(args.markdown) as f:
            print(markdown(json.load(f)))
        return 0
    import velmoradb

    sizes = [(20_000, 128), (5_000, 768)] if args.quick else [(1_000_000, 128), (100_000, 768), (100_000, 1536)]
    root = tempfile.mkdtemp(prefix="velmoradb-bulk-", dir=args.dir)
    try:
        results = {"machine": machine_info(), "velmoradb": velmoradb.__version__, "quick": args.quick,
                   "sizes": [run_size(velmoradb, n, dim, args.rounds, root) for n, dim in sizes]}
    finally:
        shutil.rmtree(root, ignore_errors=True)
    with open(args.out, "w") as f:
        json.dump(results, f, indent=1)
    print(markdown(results))
    print("wrote", args.out)
    return 0 if all(r["holds"] for r in results["sizes"]) else 1


if __name__ == "__main__":
    sys.exit(main())
