"""Markdown tables of bench/stores.py results: one table per thread setting,
data kind and size; a column per store; ratios store / velmoradb."""

from __future__ import annotations

import re

README_BEGIN = "<!-- stores-table:begin (written by bench/stores.py) -->"
README_END = "<!-- stores-table:end -->"


def fmt_rate(v):
    if v >= 1e6:
        return f"{v / 1e6:.3g}M"
    if v >= 1e3:
        return f"{v / 1e3:.3g}k"
    return f"{v:.3g}"


def fmt_num(v):
    if v >= 100:
        return f"{v:,.0f}"
    if v >= 10:
        return f"{v:.1f}"
    if v >= 1:
        return f"{v:.2f}"
    return f"{v:.3f}"


def fmt_mb(v):
    return fmt_num(v / 1e6)


def _rate(n, seconds):
    return n / seconds if seconds else None


# A figure: (label, value of a run or None, formatter, compared with velmoradb).
def figures(nbatch):
    def insert(r):
        return _rate(r["n"], r["load"]["total_s"])

    def insert_synced(r):
        extra = r["load"].get("sync_after_s")
        return None if extra is None else _rate(r["n"], r["load"]["total_s"] + extra)

    def batch(r):
        return _rate(r["query"]["batch_done"], r["query"]["batch_s"])

    def filtered(r):
        s = r["query"].get("filtered_s")
        return None if s is None else s * 1e3

    return [
        ("insert + durable (vectors/s)", insert, fmt_rate, True),
        ("same + fsync of its files by the benchmark (vectors/s)", insert_synced, fmt_rate, True),
        ("reopen to first answer (ms, median of new processes)", lambda r: r["query"]["reopen_s"] * 1e3, fmt_num, True),
        ("import of the library, not in reopen (ms)", lambda r: r["query"]["import_s"] * 1e3, fmt_num, False),
        ("one exact query (ms, median)", lambda r: r["query"]["single_s"] * 1e3, fmt_num, True),
        (f"batch of {nbatch:,} queries (q/s)", batch, fmt_rate, True),
        ("filtered query, 10 % of rows (ms, median)", filtered, fmt_num, True),
        ("bytes on disk (MB)", lambda r: r["disk_bytes"], fmt_mb, True),
        ("peak memory, load process (MB)", lambda r: r["load"]["peak_rss"], fmt_mb, True),
        ("peak memory, query process (MB)", lambda r: r["query"]["peak_rss"], fmt_mb, True),
    ]


def cell(run, base, fn, fmt, compare):
    if run is None:
        return ""
    if "skipped" in run:
        return "skipped"
    if "error" in run:
        return "error"
    value = fn(run)
    if value is None:
        return "n/a"
    text = fmt(value)
    if compare and base is not None and run["store"] != "velmoradb" and "error" not in base and "skipped" not in base:
        b = fn(base)
        if b:
            text += f" ({value / b:.2f}×)"
    return text


def batch_cell(run, base, fn, fmt, nbatch):
    text = cell(run, base, fn, fmt, True)
    if run and "query" in run:
        q = run["query"]
        if not q.get("batch_native", True):
            text += " loop" if q["batch_done"] >= nbatch else f" loop of {q['batch_done']}"
    return text


def recall_cell(run):
    if run is None or "recall" not in run:
        return cell(run, None, lambda r: None, str, False)
    rc = run["recall"]
    parts = [f"{rc[key]:.3f}" if rc.get(key) is not None else "n/a" for key in ("single", "batch", "filtered")]
    return " / ".join(parts)


def disk_ratio_cell(run):
    if run is None or "disk_bytes" not in run:
        return cell(run, None, lambda r: None, str, False)
    return f"{run['disk_bytes'] / (4.0 * run['n'] * run['dim']):.2f}"


def cores_cell(run):
    if run is None or "query" not in run:
        return cell(run, None, lambda r: None, str, False)
    c = run["query"].get("batch_cores")
    return "" if c is None else f"{c:.2f}"


def forces_cell(store, fsync):
    f = fsync.get(store)
    if not f:
        return "not checked"
    if "error" in f:
        return "check failed"
    if not f["forces"]:
        return "**no**"
    calls = ", ".join(f"{name} ×{count}" for name, count in sorted(f["calls"].items()))
    if f["sync_opens"]:
        calls += ", O_SYNC/O_DIRECT opens"
    files = [name for name in f["files"] if name != "."]
    shown = ", ".join(files[:3]) + (", …" if len(files) > 3 else "")
    return f"yes: {calls}" + (f" ({shown})" if shown else "")


def size_label(n, dim):
    return f"{n:,} × {dim:,}"


def markdown_tables(results):
    runs = results.get("runs", [])
    fsync = results.get("fsync_check", {})
    stores_info = results.get("stores", {})
    modes = []
    for r in runs:
        key = (r["mode"]["threads"], r["mode"]["data"])
        if key not in modes:
            modes.append(key)
    out = []
    for threads, data in modes:
        mode_runs = [r for r in runs if (r["mode"]["threads"], r["mode"]["data"]) == (threads, data)]
        mode = mode_runs[0]["mode"]
        title = f"{'one thread each' if threads == '1' else 'every library on all cores'}, {data} data"
        if mode.get("smoke"):
            title += " — SMOKE RUN (tiny sizes, a handful of queries: proves the paths, measures nothing)"
        out.append(f"### Stores: {title}")
        out.append("")
        out.append(f"Run of {mode.get('date', '?')} at commit {mode.get('commit', '?')}; k = 10, euclidean; "
                   f"ratios are store / velmoradb (above 1: velmoradb faster for ms, slower for rates).")
        out.append("")
        stores = []
        for r in mode_runs:
            if r["store"] not in stores:
                stores.append(r["store"])
        sizes = []
        for r in mode_runs:
            if (r["n"], r["dim"]) not in sizes:
                sizes.append((r["n"], r["dim"]))
        nbatch = mode.get("nbatch", 1000)
        for n, dim in sizes:
            by_store = {r["store"]: r for r in mode_runs if (r["n"], r["dim"]) == (n, dim)}
            base = by_store.get("velmoradb")
            heads = [s + ("" if stores_info.get(s, {}).get("exact", True) else " (approximate)") for s in stores]
            out.append(f"| {size_label(n, dim)} | " + " | ".join(heads) + " |")
            out.append("|---" * (len(stores) + 1) + "|")
            for label, fn, fmt, compare in figures(nbatch):
                if label.startswith("batch"):
                    cells = [batch_cell(by_store.get(s), base, fn, fmt, nbatch) for s in stores]
                else:
                    cells = [cell(by_store.get(s), base, fn, fmt, compare) for s in stores]
                out.append(f"| {label} | " + " | ".join(cells) + " |")
                if label.startswith("bytes on disk"):
                    out.append("| bytes on disk / raw float32 (4·n·d) | "
                               + " | ".join(disk_ratio_cell(by_store.get(s)) for s in stores) + " |")
            out.append("| recall@10: single / batch / filtered | "
                       + " | ".join(recall_cell(by_store.get(s)) for s in stores) + " |")
            out.append("| cores used by the batch (CPU / wall) | "
                       + " | ".join(cores_cell(by_store.get(s)) for s in stores) + " |")
            out.append("| forces data to disk (strace) | " + " | ".join(forces_cell(s, fsync) for s in stores) + " |")
            out.append("")
        versions, notes, problems = {}, [], []
        for r in mode_runs:
            for phase in ("load", "query"):
                part = r.get(phase) or {}
                if "version" in part:
                    versions[r["store"]] = part["version"]
                for note in part.get("notes", []):
                    if f"{r['store']}: {note}" not in notes:
                        notes.append(f"{r['store']}: {note}")
            if "error" in r or "skipped" in r:
                problems.append(f"{r['store']} at {size_label(r['n'], r['dim'])}: {r.get('error') or r['skipped']}")
        out.append("Versions: " + ", ".join(f"{s} {v}" for s, v in versions.items()) + ".")
        for line in notes + problems:
            out.append(f"- {line}")
        out.append("")
    return "\n".join(out).rstrip()


def write_readme_block(path, text):
    """Put `text` between the table markers of the README (appended at the
    end with its markers when the README has none)."""
    with open(path) as f:
        readme = f.read()
    block = f"{README_BEGIN}\n{text}\n{README_END}"
    pattern = re.compile(re.escape(README_BEGIN) + ".*?" + re.escape(README_END), re.DOTALL)
    if pattern.search(readme):
        readme = pattern.sub(lambda _: block, readme)
    else:
        readme = readme.rstrip() + "\n\n" + block + "\n"
    with open(path, "w") as f:
        f.write(readme)
