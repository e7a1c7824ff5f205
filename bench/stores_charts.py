"""Charts of bench/stores.py results (matplotlib, PNG in bench/).

One picture per thread setting and data kind, one row per size: on the left
the time per query of each store (a single query, a query inside the batch,
a filtered query; log scale, shorter is better), on the right the load rate
(insert + durable, vectors/s; longer is better), hatched where the store
forces nothing to disk, with the rate once the benchmark has forced its
files beside it.
"""

from __future__ import annotations

import os

STORE_COLOURS = {
    "velmoradb": "#d62728",
    "lancedb": "#1f77b4",
    "sqlite-vec": "#2ca02c",
    "chroma": "#9467bd",
    "duckdb": "#ff7f0e",
    "faiss": "#7f7f7f",
}
QUERY_KINDS = (("one query", 1.0), ("in a batch", 0.6), ("filtered 10 %", 0.3))


def chart_name(threads, data):
    return f"stores_{'1thread' if threads == '1' else 'allcores'}_{data}.png"


def _query_times(run):
    q = run.get("query")
    if not q:
        return None
    batch = q["batch_s"] / q["batch_done"] * 1e3 if q.get("batch_done") else None
    filtered = q["filtered_s"] * 1e3 if "filtered_s" in q else None
    return (q["single_s"] * 1e3, batch, filtered)


def _label(v):
    if v >= 100:
        return f"{v:,.0f}"
    if v >= 1:
        return f"{v:.3g}"
    return f"{v:.2g}"


def _rate_label(v):
    return f"{v / 1e6:.2f}M" if v >= 1e6 else f"{v / 1e3:.3g}k" if v >= 1e3 else f"{v:.3g}"


def draw_mode(runs, fsync, exact, title, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.patches import Patch

    sizes = []
    for r in runs:
        if (r["n"], r["dim"]) not in sizes:
            sizes.append((r["n"], r["dim"]))
    stores = []
    for r in runs:
        if r["store"] not in stores:
            stores.append(r["store"])
    fig, axes = plt.subplots(len(sizes), 2, figsize=(13, 0.55 * len(stores) * 3 * len(sizes) / 2 + 1.6),
                             squeeze=False)
    for row, (n, dim) in enumerate(sizes):
        by_store = {r["store"]: r for r in runs if (r["n"], r["dim"]) == (n, dim)}
        ax_q, ax_l = axes[row]
        names = list(reversed(stores))
        for y, store in enumerate(names):
            run = by_store.get(store, {})
            colour = STORE_COLOURS.get(store, "#333333")
            times = _query_times(run)
            for j, (kind, alpha) in enumerate(QUERY_KINDS):
                pos = y + (1 - j) * 0.27
                v = times[j] if times else None
                if v:
                    ax_q.barh(pos, v, height=0.25, color=colour, alpha=alpha)
                    ax_q.text(v, pos, " " + _label(v), va="center", fontsize=6.5)
                else:
                    why = "skipped" if "skipped" in run else "error" if "error" in run else "n/a"
                    ax_q.text(0.0, pos, f" {kind}: {why}", va="center", fontsize=6.5,
                              transform=ax_q.get_yaxis_transform())
            load = run.get("load")
            if load:
                forces = (fsync.get(store) or {}).get("forces", True)
                rate = n / load["total_s"]
                ax_l.barh(y + 0.15, rate, height=0.3, color=colour, hatch=None if forces else "///",
                          edgecolor="white" if forces else "black")
                ax_l.text(rate, y + 0.15, " " + _rate_label(rate) + ("" if forces else " (forces nothing)"),
                          va="center", fontsize=6.5)
                if not forces and load.get("sync_after_s") is not None:
                    synced = n / (load["total_s"] + load["sync_after_s"])
                    ax_l.barh(y - 0.17, synced, height=0.25, color=colour, alpha=0.45)
                    ax_l.text(synced, y - 0.17, " " + _rate_label(synced) + " + fsync by the benchmark",
                              va="center", fontsize=6.5)
            else:
                why = "skipped" if "skipped" in run else "error" if "error" in run else "n/a"
                ax_l.text(0.0, y, f" {why}", va="center", fontsize=6.5, transform=ax_l.get_yaxis_transform())
        labels = [name if exact.get(name, True) else f"{name}\n(approximate)" for name in names]
        for ax in (ax_q, ax_l):
            ax.set_axisbelow(True)
            ax.set_yticks(range(len(names)), labels, fontsize=8)
            ax.set_xscale("log")
            ax.grid(axis="x", which="both", alpha=0.25)
            ax.margins(x=0.25)
        ax_q.set_title(f"{n:,} × {dim:,}: time per query (ms, shorter is better)", fontsize=9)
        ax_l.set_title(f"{n:,} × {dim:,}: insert + durable (vectors/s, longer is better)", fontsize=9)
    legend = [Patch(color="#555555", alpha=a, label=k) for k, a in QUERY_KINDS]
    axes[0][0].legend(handles=legend, fontsize=7, loc="lower right")
    fig.suptitle(title, fontsize=11)
    fig.tight_layout(rect=(0, 0, 1, 0.98))
    fig.savefig(path, dpi=110)
    plt.close(fig)


def draw_charts(results, outdir):
    runs = results.get("runs", [])
    fsync = results.get("fsync_check", {})
    exact = {name: info.get("exact", True) for name, info in results.get("stores", {}).items()}
    written, modes = [], []
    for r in runs:
        key = (r["mode"]["threads"], r["mode"]["data"])
        if key not in modes:
            modes.append(key)
    for threads, data in modes:
        mode_runs = [r for r in runs if (r["mode"]["threads"], r["mode"]["data"]) == (threads, data)]
        mode = mode_runs[0]["mode"]
        title = (f"velmoradb against embedded stores: {'one thread each' if threads == '1' else 'all cores'}, "
                 f"{data} data, k = 10 ({mode.get('date', '?')})")
        if mode.get("smoke"):
            title = "SMOKE RUN, measures nothing: " + title
        path = os.path.join(outdir, chart_name(threads, data))
        draw_mode(mode_runs, fsync, exact, title, path)
        written.append(path)
    return written
