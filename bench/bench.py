"""Times the quarlex collections against dict and set, in one process.

    python bench/bench.py            # n = 10^3, 10^5, 10^6 (a few minutes)
    python bench/bench.py --quick    # n = 10^3, 10^4 (seconds)
    python bench/bench.py --markdown # the tables as Markdown, for bench/README.md
    python bench/bench.py --json F   # also every figure as JSON, for bench/plots.py

Every figure is nanoseconds per element, the best of several repeats. For
the per-key operations (insert, m[k], k in m, replace, del, add, discard)
the cost of the bare `for k in keys` loop is measured too and subtracted,
so the figure is the operation itself; bulk operations (update, copy,
iteration, the set algebra) are timed whole and divided by the number of
elements they touch. Keys are random 62-bit ints or random 12-character
strs, the same objects for every contender; misses use keys that are never
inserted. Memory (at the largest n) is the bytes a container allocates for
its own storage per entry, keys and values not counted (see bytes_per_entry).
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import platform
import random
import subprocess
import sys
import time
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass, field
from typing import Any

import quarlex

MAP_CLASSES: dict[str, Any] = {
    "dict": dict,
    "ElasticHashMap": quarlex.ElasticHashMap,
    "FunnelHashMap": quarlex.FunnelHashMap,
}
SET_CLASSES: dict[str, Any] = {
    "set": set,
    "ElasticHashSet": quarlex.ElasticHashSet,
    "FunnelHashSet": quarlex.FunnelHashSet,
}
SEED = 20240601

# Targets: the slowest acceptable ratio to the built-in for each operation.
# Creating, filling and freeing many 8-element collections: the row that shows
# what tracking by the cycle collector costs. Its time is per collection.
SMALL_LIFE = "new, fill 8, free"
SMALL_SIZE = 8
# Key iteration after filling in shuffled order. A dict hands its keys out in
# insertion order, which after a fill in creation order is the keys' own
# memory order; a hash table's scan order is unrelated to it. Shuffling the
# fill takes that head start away from dict alone, the fair comparison for
# large n.
SHUFFLED_KEYS = "iter keys(), shuffled fill"


def small_life_case(present: Sequence[Any], as_source: Callable[[Sequence[Any]], Any]) -> "Case":
    chunks = [as_source(present[i:i + SMALL_SIZE])
              for i in range(0, len(present) - SMALL_SIZE + 1, SMALL_SIZE)]

    def run(state: tuple[Any, list[Any]]) -> None:
        cls, sources = state
        for source in sources:
            cls(source)
    return (SMALL_LIFE, False, False, lambda cls: (cls, chunks), run, len(chunks))


MAP_TARGETS = {
    "insert": 2.0, "m[k] hit": 1.25, "k in m miss": 1.25, "m[k] = v replace": 2.0,
    "del m[k]": 2.0, "update same class": 2.0, "copy": 2.0,
    "iter keys()": 1.5, "iter values()": 1.5, "iter items()": 1.5, "list(m)": 1.5,
    SHUFFLED_KEYS: 1.0, SMALL_LIFE: 2.0,
}
SET_TARGETS = {
    "add": 1.5, "in hit": 1.5, "in miss": 1.5, "discard": 1.5, "iter": 1.5,
    "| same class": 2.0, "& same class": 2.0, "- same class": 2.0, "^ same class": 2.0,
    "| list": 2.0, "& list": 2.0, "- list": 2.0, "^ list": 2.0,
    SMALL_LIFE: 2.0,
}


def make_keys(kind: str, count: int, rng: random.Random) -> list[Any]:
    """`count` distinct random keys of the given kind ("int" or "str")."""
    seen: dict[Any, None] = {}
    while len(seen) < count:
        for _ in range(count - len(seen)):
            bits = rng.getrandbits(62)
            seen[bits if kind == "int" else f"{bits:012x}"[-12:]] = None
    return list(seen)


@dataclass
class Keys:
    kind: str
    present: list[Any]
    absent: list[Any]
    other: list[Any] = field(default_factory=list)  # half overlaps `present`

    @classmethod
    def build(cls, kind: str, n: int) -> Keys:
        pool = make_keys(kind, 2 * n + n // 2, random.Random(f"{SEED}-{kind}-{n}"))
        return cls(kind, pool[:n], pool[n:2 * n], pool[n // 2:n] + pool[2 * n:])


def time_ns(run: Callable[[Any], object], state: Any) -> int:
    """Wall time of one `run(state)`, with the collector off as in timeit.
    The result (a copy, a list, a new set) is released after the clock
    stops: tearing it down is not part of the operation."""
    gc.disable()
    try:
        t0 = time.perf_counter_ns()
        result = run(state)
        elapsed = time.perf_counter_ns() - t0
        del result
        return elapsed
    finally:
        gc.enable()


def best_ns(run: Callable[[Any], object], setup: Callable[[], Any], repeat: int) -> int:
    """Best time of `run(setup())` over `repeat` tries."""
    return min(time_ns(run, setup()) for _ in range(repeat))


def loop_overhead(keys: Sequence[Any], repeat: int) -> int:
    def bare(ks: Sequence[Any]) -> None:
        for _ in ks:
            pass
    return best_ns(bare, lambda: keys, repeat)


# A case: (name, per_key, mutates, setup(cls) -> state, run(state), elements
# touched). `per_key` cases have the bare loop's cost subtracted; cases that
# do not mutate their state build it once for all repeats.
Case = tuple[str, bool, bool, Callable[[Any], Any], Callable[[Any], Any], int]

def map_cases(keys: Keys) -> list[Case]:
    present, absent = keys.present, keys.absent
    n = len(present)

    def filled(cls: Any, order: Sequence[Any] = present) -> Any:
        m = cls()
        for k in order:
            m[k] = k
        return m

    shuffled = present[:]
    random.Random(SEED).shuffle(shuffled)

    def insert(m: Any) -> None:
        for k in present:
            m[k] = 0

    def hits(m: Any) -> None:
        for k in present:
            m[k]

    def misses(m: Any) -> None:
        for k in absent:
            k in m

    def replace(m: Any) -> None:
        for k in present:
            m[k] = 1

    def delete(m: Any) -> None:
        for k in present:
            del m[k]

    def iter_keys(m: Any) -> None:
        for _ in m.keys():
            pass

    def iter_values(m: Any) -> None:
        for _ in m.values():
            pass

    def iter_items(m: Any) -> None:
        for _ in m.items():
            pass

    return [
        ("insert", True, True, lambda cls: cls(), insert, n),
        ("m[k] hit", True, False, filled, hits, n),
        ("k in m miss", True, False, filled, misses, n),
        ("m[k] = v replace", True, False, filled, replace, n),
        ("del m[k]", True, True, filled, delete, n),
        ("update same class", False, True, lambda cls: (cls(), filled(cls)), lambda s: s[0].update(s[1]), n),
        ("copy", False, False, filled, lambda m: m.copy(), n),
        ("iter keys()", False, False, filled, iter_keys, n),
        ("iter values()", False, False, filled, iter_values, n),
        ("iter items()", False, False, filled, iter_items, n),
        ("list(m)", False, False, filled, list, n),
        (SHUFFLED_KEYS, False, False, lambda cls: filled(cls, shuffled), iter_keys, n),
        small_life_case(present, lambda ks: {k: k for k in ks}),
    ]


def set_cases(keys: Keys) -> list[Case]:
    present, absent, other = keys.present, keys.absent, keys.other
    n = len(present)
    both = n + len(other)

    def filled(cls: Any) -> Any:
        return cls(present)

    def add(s: Any) -> None:
        for k in present:
            s.add(k)

    def hits(s: Any) -> None:
        for k in present:
            k in s

    def misses(s: Any) -> None:
        for k in absent:
            k in s

    def discard(s: Any) -> None:
        for k in present:
            s.discard(k)

    def iterate(s: Any) -> None:
        for _ in s:
            pass

    def pair(cls: Any) -> tuple[Any, Any]:
        return cls(present), cls(other)

    def with_list(cls: Any) -> tuple[Any, list[Any]]:
        return cls(present), other

    # The built-in set's operators refuse a list; its named methods take
    # one, so those are what a list operand is compared against.
    def op(symbol: str) -> Callable[[tuple[Any, Any]], Any]:
        method = {"|": "union", "&": "intersection", "-": "difference", "^": "symmetric_difference"}[symbol]

        def run(state: tuple[Any, Any]) -> Any:
            a, b = state
            if type(a) is set and type(b) is list:
                return getattr(a, method)(b)
            if symbol == "|":
                return a | b
            if symbol == "&":
                return a & b
            if symbol == "-":
                return a - b
            return a ^ b
        return run

    cases: list[Case] = [
        ("add", True, True, lambda cls: cls(), add, n),
        ("in hit", True, False, filled, hits, n),
        ("in miss", True, False, filled, misses, n),
        ("discard", True, True, filled, discard, n),
        ("iter", False, False, filled, iterate, n),
    ]
    for symbol in "|&-^":
        cases.append((f"{symbol} same class", False, False, pair, op(symbol), both))
    for symbol in "|&-^":
        cases.append((f"{symbol} list", False, False, with_list, op(symbol), both))
    cases.append(small_life_case(present, list))
    return cases


@dataclass
class Row:
    op: str
    ns: dict[str, float]  # class name -> ns per element
    target: float


def run_suite(classes: dict[str, Any], cases: list[Case], targets: dict[str, float],
              repeat: int, overhead_ns: float) -> list[Row]:
    """Each case's best time per class. The classes take turns within every
    round of repeats, so a burst of load from elsewhere on the machine hits
    them alike rather than one class's whole series."""
    rows = []
    for name, per_key, mutates, setup, run, touched in cases:
        kept = {c: None if mutates else setup(cls) for c, cls in classes.items()}
        best: dict[str, float] = {}
        for _ in range(repeat):
            for c, cls in classes.items():
                t = time_ns(run, setup(cls) if mutates else kept[c])
                best[c] = min(best.get(c, t), t)
        kept.clear()
        ns = {c: (max(t - overhead_ns, 0) if per_key else t) / touched for c, t in best.items()}
        rows.append(Row(name, ns, targets[name]))
    return rows


def bench_maps(kind: str, n: int, repeat: int) -> list[Row]:
    keys = Keys.build(kind, n)
    overhead = loop_overhead(keys.present, repeat)
    return run_suite(MAP_CLASSES, map_cases(keys), MAP_TARGETS, repeat, overhead)


def bench_sets(kind: str, n: int, repeat: int) -> list[Row]:
    keys = Keys.build(kind, n)
    overhead = loop_overhead(keys.present, repeat)
    return run_suite(SET_CLASSES, set_cases(keys), SET_TARGETS, repeat, overhead)


def bytes_per_entry(cls: Any, keys: Sequence[Any]) -> float:
    """Bytes the container holds for its own storage, per entry:
    sys.getsizeof, which for the quarlex classes counts their tables too."""
    if cls is dict:
        c: Any = dict.fromkeys(keys)
    elif cls is set or hasattr(cls, "add"):
        c = cls(keys)
    else:
        c = cls()
        for k in keys:
            c[k] = None
    return sys.getsizeof(c) / len(keys)


def fmt_ns(v: float) -> str:
    return f"{v:.1f}" if v < 100 else f"{v:.0f}"


def table(title: str, rows: list[Row], base: str, markdown: bool,
          memory: dict[str, float] | None = None) -> str:
    names = list(rows[0].ns)
    others = [c for c in names if c != base]
    head = ["operation", f"{base} ns"] + [f"{c} ns (x{base})" for c in others] + ["target"]
    body = []
    for r in rows:
        cells = [r.op, fmt_ns(r.ns[base])]
        for c in others:
            ratio = r.ns[c] / r.ns[base] if r.ns[base] > 0 else float("inf")
            miss = " !" if ratio > r.target else ""
            cells.append(f"{fmt_ns(r.ns[c])} ({ratio:.2f}{miss})")
        cells.append(f"{r.target:g}x")
        body.append(cells)
    if memory:
        cells = ["bytes/entry", _bytes(memory.get(base))]
        for c in others:
            cells.append(_bytes(memory.get(c)))
        body.append(cells + [""])
    if markdown:
        lines = [f"**{title}**", "", "| " + " | ".join(head) + " |",
                 "|" + "|".join(["---"] + ["---:"] * (len(head) - 1)) + "|"]
        lines += ["| " + " | ".join(cells) + " |" for cells in body]
        return "\n".join(lines) + "\n"
    widths = [max(len(row[i]) for row in [head] + body) for i in range(len(head))]
    out = [title, "  ".join(h.ljust(w) for h, w in zip(head, widths))]
    out += ["  ".join(c.ljust(w) for c, w in zip(cells, widths)) for cells in body]
    return "\n".join(out) + "\n"


def _bytes(v: float | None) -> str:
    return "n/a" if v is None else f"{v:.0f}"


def machine() -> str:
    model = platform.processor() or platform.machine()
    try:
        for line in subprocess.run(["lscpu"], capture_output=True, text=True).stdout.splitlines():
            if line.startswith("Model name:"):
                model = line.split(":", 1)[1].strip()
    except OSError:
        pass
    gil = "GIL disabled" if not sys._is_gil_enabled() else "GIL enabled"
    return f"{model}, {os.cpu_count()} CPUs; Python {platform.python_version()} ({gil})"


def main(argv: Iterable[str] | None = None) -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="small sizes only (n = 10^3, 10^4)")
    ap.add_argument("--sizes", type=int, nargs="+", help="override the sizes")
    ap.add_argument("--kinds", nargs="+", default=["int", "str"], choices=["int", "str"])
    ap.add_argument("--only", choices=["maps", "sets"])
    ap.add_argument("--markdown", action="store_true", help="print Markdown tables")
    ap.add_argument("--no-memory", action="store_true", help="skip the bytes-per-entry measurement")
    ap.add_argument("--json", metavar="PATH", help="also write every figure to PATH as JSON")
    args = ap.parse_args(list(argv) if argv is not None else None)
    sizes = args.sizes or ([10**3, 10**4] if args.quick else [10**3, 10**5, 10**6])

    header = f"{machine()}; {time.strftime('%Y-%m-%d')}"
    print(f"# {header}\n")
    figures: list[dict[str, Any]] = []
    for family, classes, bench, base in (("maps", MAP_CLASSES, bench_maps, "dict"),
                                         ("sets", SET_CLASSES, bench_sets, "set")):
        if args.only and args.only != family:
            continue
        for kind in args.kinds:
            for n in sizes:
                repeat = 4 if n >= 10**6 else 7 if n >= 10**5 else 15
                rows = bench(kind, n, repeat)
                memory = None
                if not args.no_memory and n == max(sizes):
                    keys = Keys.build(kind, n).present
                    memory = {name: bytes_per_entry(cls, keys) for name, cls in classes.items()}
                print(table(f"{family}, {kind} keys, n = {n:,}", rows, base, args.markdown, memory),
                      flush=True)
                figures += [{"family": family, "kind": kind, "n": n, "op": r.op, "ns": r.ns,
                             "target": r.target} for r in rows]
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"machine": header, "figures": figures}, f, indent=1)


if __name__ == "__main__":
    main()
