#!/usr/bin/python3
"""Recall-throughput plots and markdown tables from ann_bench JSON files.

    scripts/plot_ann.py RUN.json [RUN.json ...] [--png OUT.png] [--markdown OUT.md]
                        [--table] [--recall-at 10] [--qps single|batch] [--title TEXT]

The PNG shows recall@N against queries per second (log scale), one curve per
index configuration, I/O mode, injected latency and thread count, with the
exact brute-force throughput at the same thread count as a dashed line. The
markdown file holds the build figures, the exact baseline and one table per
configuration. Uses Debian's python3-matplotlib (hence /usr/bin/python3); the
markdown needs no matplotlib. --table prints one plain-text table of every
configuration's widths (recall, QPS, reads and latency per query) to standard
output, the combined view of `make demo`.
"""

import argparse
import json
import sys


RECALL_MIN = 0.2
RECALL_MAX = 0.9999


def load(paths):
    runs = []
    for p in paths:
        with open(p) as f:
            run = json.load(f)
        if run.get("tool") != "ann_bench":
            sys.exit(f"{p}: not an ann_bench result")
        run["_path"] = p
        runs.append(run)
    return runs


def exact_rows(run):
    return {r["threads"]: r for r in run["rows"] if r["index"] == "exact"}


def exact_by_threads(runs):
    """threads -> the first exact row at that thread count over all runs."""
    exact = {}
    for run in runs:
        for t, e in exact_rows(run).items():
            exact.setdefault(t, e)
    return exact


def index_rows(run):
    return [r for r in run["rows"] if r["index"] != "exact"]


def series(run):
    """(mode, latency_us, threads) -> rows in width order."""
    out = {}
    for r in index_rows(run):
        out.setdefault((r["mode"], r["latency_us"], r["threads"]), []).append(r)
    return out


def groups(run):
    """(mode, latency_us) in order of first appearance."""
    seen = []
    for r in index_rows(run):
        key = (r["mode"], r["latency_us"])
        if key not in seen:
            seen.append(key)
    return seen


def fmt_qps(v):
    if v is None or v <= 0:
        return "-"
    return f"{v:,.0f}" if v >= 100 else f"{v:.1f}"


def fmt_recall(v):
    return "-" if v is None else f"{v:.4f}"


def human_bytes(n):
    n = float(n)
    for unit in ["B", "KiB", "MiB", "GiB"]:
        if n < 1024 or unit == "GiB":
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1024


def plot(runs, path, recall_at, qps_kind, title):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import matplotlib.ticker

    # One panel per injected latency, so that the remote-storage curves do
    # not hide the local ones.
    latencies = sorted({k[1] for run in runs for k in series(run)}) or [0]
    fig, axes = plt.subplots(1, len(latencies), figsize=(8 * len(latencies), 7), sharey=True, squeeze=False)
    markers = "osD^v<>ph*"
    styles = {"file": "-", "memory": ":"}
    for ax, latency in zip(axes[0], latencies):
        curve = 0
        exact_done = set()
        for run in runs:
            for (mode, lat, threads), rows in series(run).items():
                if lat != latency:
                    continue
                pts = [(r[f"recall_at_{recall_at}"], r[f"{qps_kind}_qps"], r["width"]) for r in rows]
                # The logit axis cannot show 0 or 1: clip to its shown range.
                pts = [(min(max(x, RECALL_MIN), RECALL_MAX), y, w) for x, y, w in pts if x is not None and y and y > 0]
                if not pts:
                    continue
                ax.plot([p[0] for p in pts], [p[1] for p in pts], styles.get(mode, "-"),
                        marker=markers[curve % len(markers)], label=f"{run['label']} | {mode} | {threads} thr",
                        alpha=0.9)
                for x, y, w in pts:
                    ax.annotate(str(w), (x, y), fontsize=7, textcoords="offset points", xytext=(3, 3))
                curve += 1
            for threads, e in exact_rows(run).items():
                q = e[f"{qps_kind}_qps"]
                if threads in exact_done or not q:
                    continue
                exact_done.add(threads)
                ax.axhline(q, color="gray", linestyle="--", linewidth=1)
                ax.annotate(f"exact, {threads} thr: {fmt_qps(q)} QPS", (0.0, q), xycoords=("axes fraction", "data"),
                            fontsize=8, color="gray", textcoords="offset points", xytext=(4, 3))
        ax.set_yscale("log")
        # Logit scale: the interesting range 0.9 .. 0.9999 gets most of the width.
        ax.set_xscale("logit")
        ax.set_xlim(RECALL_MIN, RECALL_MAX)
        ax.set_xticks([0.5, 0.8, 0.9, 0.95, 0.99, 0.999, 0.9999])
        ax.xaxis.set_major_formatter(matplotlib.ticker.FuncFormatter(lambda v, _: f"{v:g}"))
        ax.xaxis.set_minor_formatter(matplotlib.ticker.NullFormatter())
        ax.set_xlabel(f"recall@{recall_at} (logit scale; 1.0 drawn at {RECALL_MAX})")
        ax.set_title(f"injected read latency {latency} us" if latency else "no injected read latency", fontsize=10)
        ax.grid(True, which="both", alpha=0.3)
        if curve:
            # Below the axes, so that it hides no curve and no exact-search label.
            kinds = sorted({r["width_type"] for run in runs for r in index_rows(run)})
            ax.legend(fontsize=7, loc="upper center", bbox_to_anchor=(0.5, -0.1), ncol=2,
                      title=f"numbers at the points: {', '.join(kinds)}", title_fontsize=7)
    axes[0][0].set_ylabel(f"queries per second ({'one query per call' if qps_kind == 'single' else 'batch calls'})")
    if title:
        fig.suptitle(title)
    fig.tight_layout()
    fig.savefig(path, dpi=100, bbox_inches="tight")


def operating_points(runs, targets=(0.9, 0.95, 0.99)):
    """The narrowest width of each configuration that reaches each recall@10
    target, with its single-query QPS at the largest thread count."""
    exact = exact_by_threads(runs)
    lines = ["## Operating points\n",
             "Narrowest width reaching each recall@10, single-query QPS at the largest thread count "
             "(× exact in parentheses).\n"]
    head = "| configuration | mode | latency us |" + "".join(f" recall@10 ≥ {t:g} |" for t in targets)
    lines += [head, "|---|---|---:|" + "---|" * len(targets)]
    any_row = False
    for run in runs:
        sr = series(run)
        threads = sorted({k[2] for k in sr})
        if not threads:
            continue
        tmax = threads[-1]
        e = exact.get(tmax)
        for mode, lat in groups(run):
            rows = sr.get((mode, lat, tmax), [])
            cells = []
            for target in targets:
                hit = next((r for r in rows if r["recall_at_10"] is not None and r["recall_at_10"] >= target), None)
                if hit is None:
                    cells.append("not reached")
                    continue
                speed = f" ({hit['single_qps'] / e['single_qps']:.1f}×)" if e and e["single_qps"] else ""
                cells.append(f"{hit['width_type']} {hit['width']}: {fmt_qps(hit['single_qps'])} QPS{speed}")
            lines.append(f"| {run['label']} | {mode} | {lat} | " + " | ".join(cells) + " |")
            any_row = True
    lines.append("")
    return lines if any_row else []


def combined_table(runs):
    """One plain-text table over every run: per configuration, I/O mode and
    latency, each width at the largest thread count, and the exact baseline."""
    exact = exact_by_threads(runs)
    head = (f"{'index':<28} {'mode':<6} {'lat us':>6} {'width':>14} {'R@10':>7} {'QPS single':>11} "
            f"{'QPS batch':>10} {'x exact':>8} {'reads/q':>8} {'p50 us':>8} {'p99 us':>8}")
    lines = [head, "-" * len(head)]
    tmax_all = 0
    for run in runs:
        sr = series(run)
        threads = sorted({k[2] for k in sr})
        if not threads:
            continue
        tmax = threads[-1]
        tmax_all = max(tmax_all, tmax)
        e = exact.get(tmax)
        for mode, lat in groups(run):
            for r in sr.get((mode, lat, tmax), []):
                speed = f"{r['single_qps'] / e['single_qps']:.1f}" if e and e["single_qps"] else "-"
                lines.append(
                    f"{run['label'][:28]:<28} {mode:<6} {lat:>6} {r['width_type'] + ' ' + str(r['width']):>14} "
                    f"{fmt_recall(r['recall_at_10']):>7} {fmt_qps(r['single_qps']):>11} {fmt_qps(r['batch_qps']):>10} "
                    f"{speed:>8} {r['single_read_calls_per_query']:>8.2f} {r.get('single_p50_us', 0):>8.0f} "
                    f"{r.get('single_p99_us', 0):>8.0f}")
    e = exact.get(tmax_all)
    if e:
        lines.append(f"{'exact (brute force)':<28} {'-':<6} {'-':>6} {'-':>14} {fmt_recall(e['recall_at_10']):>7} "
                     f"{fmt_qps(e['single_qps']):>11} {fmt_qps(e['batch_qps']):>10} {'1.0':>8}")
    threads_note = f"{tmax_all} thread{'s' if tmax_all != 1 else ''}" if tmax_all else "no index rows"
    lines.append(f"(QPS at {threads_note}; p50/p99: wall time of one single query; a batch QPS of - means no "
                 "batch was measured)")
    return "\n".join(lines) + "\n"


def markdown(runs, title, note=""):
    out = []
    first = runs[0]
    ds = first["dataset"]
    m = first["machine"]
    out.append(f"# {title or 'ANN benchmark: ' + ds['name']}\n")
    out.append(
        f"Data set `{ds['name']}`: {ds['nb']:,} base vectors, {ds['nq']:,} queries, dimension {ds['dim']}, "
        f"metric `{ds['metric']}`. Machine: {m.get('cpu') or 'unknown processor'}, {m['cores']} cores "
        f"(shared with other work while measured). top_k {first['top_k']}; each measurement runs for at most "
        f"{first['time_budget_s']:g} s (single queries) or until the batch that crosses it ends.\n")
    out.append(
        "Recall@N: the fraction of the true N nearest neighbours found among the first N results, where a result "
        "exactly as near as the N-th true neighbour also counts (ties and duplicate vectors); taken from the batch "
        "results at the largest thread count, over every query. Single QPS: one query "
        "per call, T host threads each with its own reader handle; batch QPS: batch calls of "
        f"{first['batch_size']:,} queries on one handle, run by the library's pool of T threads "
        "(each thread count searches in a fresh process started with `RAYON_NUM_THREADS=T`). "
        "× exact: single-query QPS over exact single-query QPS at the same thread count. Reads per query and KiB "
        "per query: read callbacks and bytes the library asked the host for, per single query.\n")
    if note:
        out.append(note + "\n")
    out.extend(operating_points(runs))
    out.append("## Builds\n")
    out.append("| configuration | nlist | train s | add s | write s (file) | write s (memory) | index size | bytes/vector | peak RSS after build |")
    out.append("|---|---:|---:|---:|---:|---:|---:|---:|---:|")
    for run in runs:
        b = run.get("build")
        if not b:
            continue
        ws = lambda v: "-" if v is None or v < 0 else f"{v:.3f}"
        out.append(
            f"| {run['label']} | {b['nlist']} | {b['train_s']:.2f} | {b['add_s']:.2f} | {ws(b['write_file_s'])} | "
            f"{ws(b['write_memory_s'])} | {human_bytes(b['file_bytes'])} | {b['bytes_per_vector']:.1f} | "
            f"{human_bytes(run['memory']['peak_rss_after_build_bytes'])} |")
    out.append("")
    out.append("Peak RSS includes the harness's own copy of the data (base, queries, ground truth).\n")
    exact = exact_by_threads(runs)
    if exact:
        out.append("## Exact search (brute force in the harness)\n")
        out.append("| threads | single QPS | batch QPS | recall@10 |")
        out.append("|---:|---:|---:|---:|")
        for t in sorted(exact):
            e = exact[t]
            out.append(f"| {t} | {fmt_qps(e['single_qps'])} | {fmt_qps(e['batch_qps'])} | {fmt_recall(e['recall_at_10'])} |")
        out.append("")
    for run in runs:
        sr = series(run)
        threads = sorted({k[2] for k in sr})
        if not threads:
            continue
        tmax = threads[-1]
        for mode, lat in groups(run):
            first_row = sr.get((mode, lat, tmax), sr.get((mode, lat, threads[0])))[0]
            out.append(f"## {run['label']}: {mode} mode, injected read latency {lat} us\n")
            out.append(f"Open + first load of the reader: {first_row['open_ms']:.1f} ms.\n")
            head = f"| {first_row['width_type']} | R@1 | R@10 | R@100 |"
            sep = "|---:|---:|---:|---:|"
            for t in threads:
                head += f" {t} thr single | {t} thr batch |"
                sep += "---:|---:|"
            head += f" × exact ({tmax} thr) | reads/query | KiB/query |"
            sep += "---:|---:|---:|"
            out.append(head)
            out.append(sep)
            widths = [r["width"] for r in sr.get((mode, lat, tmax), [])]
            for w in widths:
                rows = {t: next((r for r in sr.get((mode, lat, t), []) if r["width"] == w), None) for t in threads}
                ref = rows[tmax]
                line = (f"| {w} | {fmt_recall(ref['recall_at_1'])} | {fmt_recall(ref['recall_at_10'])} | "
                        f"{fmt_recall(ref['recall_at_100'])} |")
                for t in threads:
                    r = rows[t]
                    line += f" {fmt_qps(r['single_qps']) if r else '-'} | {fmt_qps(r['batch_qps']) if r else '-'} |"
                e = exact.get(tmax)
                speed = f"{ref['single_qps'] / e['single_qps']:.1f}" if e and e["single_qps"] else "-"
                line += (f" {speed} | {ref['single_read_calls_per_query']:.2f} | "
                         f"{ref['single_read_bytes_per_query'] / 1024:.1f} |")
                out.append(line)
            out.append("")
    warnings = [w for run in runs for w in run.get("warnings", [])]
    if warnings:
        out.append("## Warnings\n")
        out.extend(f"- {w}" for w in warnings)
        out.append("")
    out.append("## Commands\n")
    out.append("```")
    for run in runs:
        out.append(run.get("command", ""))
    out.append("```")
    return "\n".join(out) + "\n"


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("runs", nargs="+", help="ann_bench --json files")
    ap.add_argument("--png", help="write the recall-QPS plot here")
    ap.add_argument("--markdown", help="write the tables here")
    ap.add_argument("--recall-at", type=int, default=10, choices=[1, 10, 100])
    ap.add_argument("--qps", choices=["single", "batch"], default="single")
    ap.add_argument("--title", default="")
    ap.add_argument("--note", default="", help="a paragraph placed under the introduction")
    ap.add_argument("--table", action="store_true", help="print the combined plain-text table")
    a = ap.parse_args()
    runs = load(a.runs)
    if a.table:
        sys.stdout.write(combined_table(runs))
    if not a.png and not a.markdown and not a.table:
        sys.stdout.write(markdown(runs, a.title, a.note))
    if a.markdown:
        with open(a.markdown, "w") as f:
            f.write(markdown(runs, a.title, a.note))
    if a.png:
        plot(runs, a.png, a.recall_at, a.qps, a.title)


if __name__ == "__main__":
    main()
