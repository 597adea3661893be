"""Read scaling: threads looking keys up in one shared map at once.

    python bench/threads.py              # n = 10^3 and 10^5, int and str keys
    python bench/threads.py --markdown   # the table for bench/README.md

One map (dict, ElasticHashMap, FunnelHashMap) is filled once; then 1 and 2
threads each look every key up `rounds` times with
`deque(map(m.__getitem__, keys), 0)`. Each thread makes its own key objects
(equal to the stored keys, not the same objects) before the start barrier,
so the threads share only the map. Values are small ints, which are
immortal: reading them writes no reference count. The figure is lookups per
microsecond over all threads, from the first thread's start to the last one's end, the
best of `--repeat` runs; the ratio is 2 threads against 1. The same run with
a private map per thread (built by that thread) shows what the machine
itself allows: two threads sharing nothing, not even key objects.

A second table times single-thread writes (insert every key into an empty
map, replace every value, delete every key; ns per operation, best of
`--repeat`) on a map that only this thread has used and on one that another
thread has read first, which gives it reader slots that every write checks.
"""

from __future__ import annotations

import argparse
import random
import threading
import time
from collections import deque
from collections.abc import Iterable
from typing import Any

import quarlex

CLASSES: dict[str, Any] = {
    "dict": dict,
    "ElasticHashMap": quarlex.ElasticHashMap,
    "FunnelHashMap": quarlex.FunnelHashMap,
}
LOOKUPS_PER_THREAD = 1_000_000
TARGET = 1.7


def make_keys(kind: str, n: int) -> list[Any]:
    rng = random.Random(f"threads-{kind}-{n}")
    keys: dict[Any, None] = {}
    while len(keys) < n:
        bits = rng.getrandbits(62)
        keys[bits if kind == "int" else f"{bits:012x}"] = None
    return list(keys)


def own_copies(keys: list[Any]) -> list[Any]:
    """Equal keys that are new objects, created (and hashed) by the caller's thread."""
    copies = [type(k)(str(k)) if isinstance(k, int) else "".join(list(k)) for k in keys]
    for k in copies:
        hash(k)
    return copies


def filled(cls: Any, keys: list[Any]) -> Any:
    m = cls()
    for i, k in enumerate(keys):
        m[k] = i & 255
    return m


def throughput(cls: Any, shared: Any, keys: list[Any], threads: int) -> float:
    """Lookups per microsecond of `threads` threads, over the `shared` map or,
    when it is None, over a map of class `cls` for each thread."""
    rounds = max(1, LOOKUPS_PER_THREAD // len(keys))
    barrier = threading.Barrier(threads)
    started = [0] * threads
    done = [0] * threads

    def reader(t: int) -> None:
        mine = own_copies(keys)
        get = (shared if shared is not None else filled(cls, own_copies(keys))).__getitem__
        barrier.wait()
        started[t] = time.perf_counter_ns()
        for _ in range(rounds):
            deque(map(get, mine), 0)
        done[t] = time.perf_counter_ns()

    workers = [threading.Thread(target=reader, args=(t,)) for t in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    return threads * rounds * len(keys) / ((max(done) - min(started)) / 1000)


WRITES = ("insert", "replace", "del")


def write_costs(cls: Any, keys: list[Any], slots: bool) -> list[float]:
    """ns per insert, replace and del on an empty `cls` map, read first by
    this thread and, with `slots`, by another."""
    m = cls()
    m.get(0)
    if slots:
        reader = threading.Thread(target=m.get, args=(0,))
        reader.start()
        reader.join()
    values = [1] * len(keys)
    costs = []
    for op in (lambda: map(m.__setitem__, keys, values), lambda: map(m.__setitem__, keys, values),
               lambda: map(m.__delitem__, keys)):
        start = time.perf_counter_ns()
        deque(op(), 0)
        costs.append((time.perf_counter_ns() - start) / len(keys))
    return costs


def measure_writes(n: int, repeat: int) -> dict[str, list[list[float]]]:
    """Per quarlex class: the write costs without and with reader slots,
    the two taking turns within the repeats."""
    keys = make_keys("int", n)
    rows = {}
    for name, cls in list(CLASSES.items())[1:]:
        best = [[float("inf")] * len(WRITES) for _ in range(2)]
        for _ in range(repeat):
            for slots in (False, True):
                costs = write_costs(cls, keys, slots)
                best[slots] = [min(b, c) for b, c in zip(best[slots], costs)]
        rows[name] = best
    return rows


def measure(kind: str, n: int, repeat: int) -> dict[str, tuple[float, float, float]]:
    """Per class: 1 thread, 2 threads on one map, 2 threads on a map each."""
    keys = make_keys(kind, n)
    rows = {}
    for name, cls in CLASSES.items():
        m = filled(cls, keys)
        one = max(throughput(cls, m, keys, 1) for _ in range(repeat))
        two = max(throughput(cls, m, keys, 2) for _ in range(repeat))
        private = max(throughput(cls, None, keys, 2) for _ in range(repeat))
        rows[name] = (one, two, private)
    return rows


def main(argv: Iterable[str] | None = None) -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--sizes", type=int, nargs="+", default=[1_000, 100_000])
    ap.add_argument("--kinds", nargs="+", default=["int", "str"], choices=["int", "str"])
    ap.add_argument("--repeat", type=int, default=7)
    ap.add_argument("--markdown", action="store_true", help="print a Markdown table")
    args = ap.parse_args(None if argv is None else list(argv))

    if args.markdown:
        print("| n | keys | class | 1 thread | 2 threads, one map | scaling "
              "| 2 threads, a map each | scaling |")
        print("|---|---|---|---:|---:|---:|---:|---:|")
    for n in args.sizes:
        for kind in args.kinds:
            for name, (one, two, private) in measure(kind, n, args.repeat).items():
                ratio = two / one
                mark = "" if name == "dict" or ratio >= TARGET else " !"
                if args.markdown:
                    print(f"| {n:,} | {kind} | {name} | {one:.1f} | {two:.1f} | {ratio:.2f}x{mark} "
                          f"| {private:.1f} | {private / one:.2f}x |")
                else:
                    print(f"n={n:<7} {kind:<3} {name:<15} 1 thread {one:6.1f}/µs  "
                          f"2 on one map {two:6.1f}/µs {ratio:.2f}x{mark:2}  "
                          f"2 on own maps {private:6.1f}/µs {private / one:.2f}x", flush=True)

    if args.markdown:
        print("\n| n | class | write | one thread's map (ns) | with reader slots (ns) | change |")
        print("|---|---|---|---:|---:|---:|")
    for n in args.sizes:
        for name, (alone, slotted) in measure_writes(n, args.repeat).items():
            for op, a, b in zip(WRITES, alone, slotted):
                if args.markdown:
                    print(f"| {n:,} | {name} | {op} | {a:.1f} | {b:.1f} "
                          f"| {100 * (b / a - 1):+.1f}% |")
                else:
                    print(f"n={n:<7} int {name:<15} {op:<7} alone {a:6.1f} ns  "
                          f"with slots {b:6.1f} ns  {100 * (b / a - 1):+5.1f}%", flush=True)


if __name__ == "__main__":
    main()
