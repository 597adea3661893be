"""Draws the benchmark figures as PNG files (matplotlib).

    python bench/plots.py --python RESULTS.json --probes PROBES.csv --out bench/results

RESULTS.json comes from `bench.py --json`, PROBES.csv from
`quarlex_probe_counts --by-exponent`. Writes:
  ratio_to_dict.png       each map operation's time over dict's, against n
  probes_by_exponent.png  probes per hit and per miss against the reserve exponent
  bytes_by_exponent.png   bytes per entry against the reserve exponent, beside dict
The last one is measured here, with the quarlex module on the path.
"""

from __future__ import annotations

import argparse
import csv
import json
import os
import random
import sys
from typing import Any

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

import quarlex  # noqa: E402

MAPS = ("ElasticHashMap", "FunnelHashMap")


def plot_ratios(results: dict[str, Any], out: str) -> None:
    figures = [f for f in results["figures"] if f["family"] == "maps"]
    kinds = sorted({f["kind"] for f in figures})
    fig, axes = plt.subplots(len(kinds), 2, figsize=(12, 4.5 * len(kinds)), squeeze=False)
    for row, kind in enumerate(kinds):
        for col, cls in enumerate(MAPS):
            ax = axes[row][col]
            ax.set_prop_cycle(color=plt.get_cmap("tab20").colors)
            ops: dict[str, list[tuple[int, float]]] = {}
            for f in figures:
                if f["kind"] == kind and f["ns"]["dict"] > 0:
                    ops.setdefault(f["op"], []).append((f["n"], f["ns"][cls] / f["ns"]["dict"]))
            for op, points in ops.items():
                points.sort()
                ax.plot([n for n, _ in points], [r for _, r in points], marker="o", label=op)
            ax.axhline(1.0, color="black", linewidth=0.8)
            ax.set_xscale("log")
            ax.set_yscale("log")
            ax.set_xlabel("n")
            ax.set_ylabel("time / dict's")
            ax.set_title(f"{cls}, {kind} keys")
    axes[0][1].legend(fontsize=7, loc="upper left", bbox_to_anchor=(1.01, 1.0))
    fig.suptitle(results["machine"], fontsize=9)
    fig.tight_layout()
    fig.savefig(os.path.join(out, "ratio_to_dict.png"), dpi=100)
    plt.close(fig)


def plot_probes(path: str, out: str) -> None:
    with open(path) as f:
        rows = list(csv.DictReader(f))
    fig, ax = plt.subplots(figsize=(7, 4.5))
    for table, style in (("Elastic", "-"), ("Funnel", "--")):
        mine = [r for r in rows if r["table"] == table]
        es = [int(r["e"]) for r in mine]
        for what in ("hit", "miss"):
            ax.plot(es, [float(r[f"{what}_mean"]) for r in mine], style, marker="o",
                    label=f"{table}, per {what}")
    n = rows[0]["log2n"]
    ax.set_xlabel("reserve exponent e (2^-e of the slots kept free)")
    ax.set_ylabel("mean probes per lookup")
    ax.set_title(f"Probes at n = 2^{n} (elastic: slots; funnel: probe sites)")
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(os.path.join(out, "probes_by_exponent.png"), dpi=100)
    plt.close(fig)


def bytes_per_entry(factory: Any, keys: list[int]) -> float:
    m = factory()
    for k in keys:
        m[k] = None
    return sys.getsizeof(m) / len(keys)


def plot_bytes(out: str, n: int = 100_000) -> None:
    rng = random.Random(n)
    keys = [rng.getrandbits(62) for _ in range(n)]
    fig, ax = plt.subplots(figsize=(7, 4.5))
    for name, low in (("ElasticHashMap", 1), ("FunnelHashMap", 3)):
        cls = getattr(quarlex, name)
        es = list(range(low, 11))
        ax.plot(es, [bytes_per_entry(lambda: cls.with_options(reserve_exponent=e), keys)
                     for e in es], marker="o", label=name)
    ax.axhline(sys.getsizeof(dict.fromkeys(keys)) / n, color="black", linestyle=":", label="dict")
    ax.set_xlabel("reserve exponent e")
    ax.set_ylabel("bytes per entry (the table only)")
    ax.set_title(f"Memory at n = {n:,}, filled one key at a time")
    ax.set_ylim(bottom=0)
    ax.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(os.path.join(out, "bytes_by_exponent.png"), dpi=100)
    plt.close(fig)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--python", required=True, help="bench.py --json output")
    ap.add_argument("--probes", required=True, help="quarlex_probe_counts --by-exponent output")
    ap.add_argument("--out", required=True, help="directory for the PNG files")
    args = ap.parse_args()
    os.makedirs(args.out, exist_ok=True)
    with open(args.python) as f:
        plot_ratios(json.load(f), args.out)
    plot_probes(args.probes, args.out)
    plot_bytes(args.out)


if __name__ == "__main__":
    main()
