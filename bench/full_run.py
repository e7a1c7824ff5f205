"""One full run of the performance benchmarks, in one go on one machine at one
commit, and the check of every performance target against it.

It runs, one after the other (nothing else should run on the machine):

  bulk_load.py   insert_batch + flush against writing and forcing the bytes
  pruned.py      one exact query through the bound codes against one read of
                 the vectors (1,000,000 x 128 and x 768, two data shapes)
  run.py         a batch of 1,000 queries against faiss-cpu, one thread each
                 (1,000,000 x 128, 100,000 x 768, 100,000 x 1,536)
  threads.py     the same batch on every core
  stores.py      the embedded stores, one thread each

and then reads what each wrote and checks the targets: the figures, their
limits and whether each holds go to the "full_run" section of
bench/results.json and, as a table, to bench/README.md.

    pip install . numpy psutil matplotlib faiss-cpu hnswlib usearch \\
        lancedb pyarrow chromadb duckdb sqlite-vec pysqlite3-binary
    python bench/full_run.py            # about an hour on 2 cores
    python bench/full_run.py --quick    # small sizes, to try it (its figures prove nothing)
    python bench/full_run.py --check-only   # the targets of the results already saved
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import platform
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
README_BEGIN = "<!-- full-run:begin (written by bench/full_run.py) -->"
README_END = "<!-- full-run:end -->"


def now():
    return datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")


def commit():
    def git(*args):
        return subprocess.run(["git", *args], cwd=HERE, capture_output=True, text=True).stdout.strip()

    rev = git("rev-parse", "--short", "HEAD")
    dirty = git("status", "--porcelain", "--untracked-files=no", "--", "..", ":!bench")
    return rev + ("+changes" if dirty else "") if rev else "unknown"


def machine():
    cpu = platform.processor()
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next((line.split(":", 1)[1].strip() for line in f if line.startswith("model name")), cpu)
    except OSError:
        pass
    info = {"python": platform.python_version(), "platform": platform.platform(), "cpus": os.cpu_count(),
            "cpu": cpu}
    try:
        with open("/proc/meminfo") as f:
            info["memory"] = f.readline().split(":", 1)[1].strip()
    except OSError:
        pass
    return info


# Each step: its name, the script's arguments for a full run and for --quick,
# and the file it leaves its figures in.
def steps(quick):
    batch_out = "bench/results_batch.json"  # the steps run from the checkout's root
    return [
        ("bulk_load", ["bulk_load.py"] + (["--quick"] if quick else []), "results_bulk.json"),
        ("pruned", ["pruned.py"] + (["--quick"] if quick else []), "results_pruned.json"),
        ("batch", ["run.py", "--no-collection", "--only", "faiss", "--out", batch_out]
         + (["--quick"] if quick else ["--cases", "1000000x128", "100000x768", "100000x1536"]), "results_batch.json"),
        ("threads", ["threads.py"] + (["--quick"] if quick else []), "results_threads.json"),
        ("stores", ["stores.py"] + (["--smoke", "--no-readme"] if quick else []), "stores_results.json"),
    ]


def run_steps(quick, only):
    done = []
    for name, argv, out in steps(quick):
        if only and name not in only:
            continue
        print(f"== {name}: {' '.join(argv)} ({now()})", flush=True)
        t0 = time.monotonic()
        code = subprocess.run([sys.executable, os.path.join(HERE, argv[0]), *argv[1:]], cwd=os.path.dirname(HERE)).returncode
        seconds = time.monotonic() - t0
        print(f"== {name}: exit {code} after {seconds / 60:.1f} min", flush=True)
        done.append({"step": name, "command": "python bench/" + " ".join(argv), "exit": code,
                     "minutes": round(seconds / 60, 1), "results": "bench/" + out})
    return done


def load(name):
    path = os.path.join(HERE, name)
    if not os.path.exists(path):
        return None
    with open(path) as f:
        return json.load(f)


def target(group, case, figure, value, limit, holds, note=""):
    return {"group": group, "case": case, "figure": figure, "value": value, "limit": limit,
            "holds": bool(holds), "note": note}


def size_label(case):
    n, d = (int(x) for x in case.replace(",", "").replace(" ", "").split("x"))
    return f"{n:,} × {d:,}"


def pruned_targets(p):
    out = []
    if not p:
        return out
    differ = 0
    for r in p["rows"]:
        differ += r["answers_differ"]
        if not r["case"].startswith("1000000x") and not p.get("quick"):
            continue
        out.append(target("one query through the codes", f"{size_label(r['case'])} {r['data']} {r['metric']}",
                          "time / one read of the vectors", r["codes_per_read"], "≤ 0.4", r["codes_per_read"] <= 0.4))
    total = sum(r["queries"] for r in p["rows"])
    out.append(target("one query through the codes", "every case", "answers that differ from the plain scan",
                      differ, "0", differ == 0, f"of {total}"))
    seen = set()
    for r in p["rows"]:
        dim = int(r["case"].split("x")[1])
        if dim in seen:
            continue
        seen.add(dim)
        code_bytes = (dim + 3) // 4 * 4
        out.append(target("memory", f"dimension {dim:,}", "bytes of codes per component", code_bytes / dim, "≤ 1",
                          code_bytes <= dim,
                          f"{r['codes_bytes_per_vector']:.0f} B per vector with the per-vector figures "
                          f"({r['codes_bytes_per_vector'] / dim:.2f} B per component in all)"))
    return out


def batch_targets(b):
    out = []
    if not b:
        return out
    rates = {(r["case"], r["metric"], r["library"]): r["value"]
             for r in b["rows"] if r["figure"].startswith("batch")}
    for (case, metric, lib), ours in sorted(rates.items()):
        if lib != "velmoradb" or (case, metric, "faiss") not in rates:
            continue
        ratio = ours / rates[(case, metric, "faiss")]
        out.append(target("batch of 1,000, one thread", f"{size_label(case)} {metric}", "velmoradb / faiss-cpu rate",
                          ratio, "≥ 1", ratio >= 1.0, f"{ours:,.0f} against {rates[(case, metric, 'faiss')]:,.0f} q/s"))
    return out


def threads_targets(t):
    out = []
    if not t:
        return out
    by_case = {}
    for r in t["rows"]:
        by_case.setdefault(r["case"], {})[r["figure"]] = r["queries_per_s"]
    for case, figs in by_case.items():
        one = figs.get("velmoradb, 1 thread")
        every = next((v for k, v in figs.items() if k.startswith("velmoradb,") and "1 thread" not in k), None)
        faiss_all = next((v for k, v in figs.items() if k.startswith("faiss-cpu, default")), None)
        if one and every:
            out.append(target("batch on every core", case, "velmoradb all cores / one thread", every / one, "≥ 1.8",
                              every / one >= 1.8, f"{every:,.0f} against {one:,.0f} q/s"))
        if every and faiss_all:
            out.append(target("batch on every core", case, "velmoradb / faiss-cpu, all cores", every / faiss_all,
                              "≥ 1", every >= faiss_all, f"{every:,.0f} against {faiss_all:,.0f} q/s"))
    return out


def bulk_targets(b):
    out = []
    if not b:
        return out
    for r in b["sizes"]:
        out.append(target("bulk load", f"{r['n']:,} × {r['dim']:,}", "insert_batch + flush / write + fsync",
                          r["ratio"], "≤ 1.25", r["ratio"] <= 1.25,
                          f"{r['insert_flush_s']:.3f} against {r['write_fsync_s']:.3f} s"))
    return out


def stores_targets(s):
    out = []
    if not s:
        return out
    exact = {name for name, info in s["stores"].items() if info["exact"]}
    by_size = {}
    for run in s["runs"]:
        mode = run.get("mode", {})
        if mode.get("threads", "1") == "1" and mode.get("data", "gaussian") == "gaussian" and "query" in run:
            by_size.setdefault((run["n"], run["dim"]), {})[run["store"]] = run
    for (n, dim), runs in sorted(by_size.items()):
        ours = runs.get("velmoradb")
        if not ours:
            continue
        case = f"{n:,} × {dim:,}"
        others = {k: v for k, v in runs.items() if k != "velmoradb"}
        if others:
            name, best = min(others.items(), key=lambda kv: kv[1]["query"]["reopen_s"])
            mine = ours["query"]["reopen_s"]
            out.append(target("against the stores", case, "reopen to first answer / the fastest other store",
                              mine / best["query"]["reopen_s"], "< 1", mine < best["query"]["reopen_s"],
                              f"{mine * 1e3:.1f} ms against {name} {best['query']['reopen_s'] * 1e3:.1f} ms"))
        peers = {k: v for k, v in others.items() if k in exact and "single_s" in v["query"]}
        if peers:
            name, best = min(peers.items(), key=lambda kv: kv[1]["query"]["single_s"])
            ratio = best["query"]["single_s"] / ours["query"]["single_s"]
            out.append(target("against the stores", case, "fastest other exact query / ours", ratio, "≥ 3",
                              ratio >= 3.0, f"{ours['query']['single_s'] * 1e3:.2f} ms against {name} "
                                            f"{best['query']['single_s'] * 1e3:.2f} ms"))
        disk = ours["disk_bytes"] / (4.0 * n * dim)
        out.append(target("against the stores", case, "bytes on disk / raw float32", disk, "≤ 1.1", disk <= 1.1,
                          "payloads included"))
    return out


def check():
    return (bulk_targets(load("results_bulk.json")) + pruned_targets(load("results_pruned.json"))
            + batch_targets(load("results_batch.json")) + threads_targets(load("results_threads.json"))
            + stores_targets(load("stores_results.json")))


def fmt(v):
    if isinstance(v, int):
        return f"{v:,}"
    return f"{v:.3f}" if abs(v) < 10 else f"{v:,.1f}"


def markdown(section):
    lines = [f"Run of {section['started']} to {section['ended']}, commit {section['commit']}, "
             f"{section['machine']['cpu']}, {section['machine']['cpus']} cores"
             + (" (quick sizes: the figures prove nothing)" if section.get("quick") else "") + ".",
             "", "| step | command | minutes | exit |", "|---|---|---|---|"]
    lines += [f"| {s['step']} | `{s['command']}` | {s['minutes']} | {s['exit']} |" for s in section["steps"]]
    held = sum(t["holds"] for t in section["targets"])
    lines += ["", f"Targets: **{held} of {len(section['targets'])} hold**.", "",
              "| target | case | figure | value | limit | holds | |", "|---|---|---|---|---|---|---|"]
    lines += [f"| {t['group']} | {t['case']} | {t['figure']} | {fmt(t['value'])} | {t['limit']} | "
              f"{'yes' if t['holds'] else '**no**'} | {t['note']} |" for t in section["targets"]]
    return "\n".join(lines)


def write_readme(text):
    import re

    path = os.path.join(HERE, "README.md")
    with open(path) as f:
        readme = f.read()
    block = f"{README_BEGIN}\n{text}\n{README_END}"
    pattern = re.compile(re.escape(README_BEGIN) + ".*?" + re.escape(README_END), re.DOTALL)
    if not pattern.search(readme):
        sys.exit(f"{path} has no {README_BEGIN} marker: nothing written")
    with open(path, "w") as f:
        f.write(pattern.sub(lambda _: block, readme))


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--quick", action="store_true", help="small sizes (the figures prove nothing)")
    p.add_argument("--only", nargs="*", choices=[s[0] for s in steps(False)], help="run only these steps")
    p.add_argument("--check-only", action="store_true", help="run nothing: check the results already saved")
    p.add_argument("--readme", action=argparse.BooleanOptionalAction, default=None,
                   help="write the table into bench/README.md (default: on for a full run)")
    args = p.parse_args(argv)

    section = {"commit": commit(), "machine": machine(), "started": now(), "quick": args.quick}
    section["steps"] = [] if args.check_only else run_steps(args.quick, args.only)
    section["ended"] = now()
    section["targets"] = check()
    text = markdown(section)
    print(text)
    combined = os.path.join(HERE, "results.json")
    everything = load("results.json") or {}
    everything["full_run"] = section
    with open(combined, "w") as f:
        json.dump(everything, f, indent=1)
    if args.readme if args.readme is not None else not (args.quick or args.check_only or args.only):
        write_readme(text)
    failed = [s for s in section["steps"] if s["exit"] != 0]
    return 1 if failed or not all(t["holds"] for t in section["targets"]) else 0


if __name__ == "__main__":
    sys.exit(main())
