"""Mixed operations from several threads on shared collections, views and
iterators, for a fixed time; run under ThreadSanitizer by the CI.

    python tests/python/stress.py [seconds] [threads]

Every call either completes or fails with an error the API documents for a
conflict (a borrow error, a stale iterator, a miss); anything else fails the
run, and so does a collection that disagrees with itself afterwards.
"""

import random
import sys
import threading
import time

import quarlex

EXPECTED = {
    "Already borrowed",
    "Already mutably borrowed",
    "dictionary changed size during iteration",
}
KEYS = 64


class SharedIterators:
    """Iterators that every thread advances and replaces. Only taking and
    replacing a slot is locked, never the step itself: the interpreter reads
    a list item without a lock, tolerating an item freed under it, and that
    by-design read would be reported by ThreadSanitizer as a race with
    whichever allocation next reuses the freed memory."""

    def __init__(self, make):
        self.make = make
        self.lock = threading.Lock()
        self.slots = [make(random.Random(i)) for i in range(4)]

    def step(self, r):
        with self.lock:
            it = self.slots[r.randrange(len(self.slots))]
        return next(it)

    def renew(self, r):
        it = self.make(r)
        with self.lock:
            self.slots[r.randrange(len(self.slots))] = it


def map_ops(m, shared):
    return [
        lambda r: m.__setitem__(r.randrange(KEYS), r.random()),
        lambda r: m.pop(r.randrange(KEYS), None),
        lambda r: m.get(r.randrange(KEYS)),
        lambda r: r.randrange(KEYS) in m,
        lambda r: m.setdefault(r.randrange(KEYS), 0),
        lambda r: m.update({r.randrange(KEYS): 1, r.randrange(KEYS): 2}),
        lambda r: m.__ior__([(r.randrange(KEYS), 3)]),
        lambda r: m.__delitem__(r.randrange(KEYS)),
        lambda r: m.popitem(),
        lambda r: m.copy(),
        lambda r: m == {1: 1},
        lambda r: len(m),
        lambda r: list(m.keys()),
        lambda r: sum(1 for _ in m.values()),
        lambda r: dict(m.items()),
        lambda r: r.randrange(KEYS) in m.keys(),
        lambda r: (r.randrange(KEYS), 1) in m.items(),
        lambda r: m.keys() & {1, 2, 3},
        lambda r: repr(m.items()),
        shared.step,
        shared.renew,
        lambda r: m.clear() if r.random() < 0.02 else None,
    ]


def set_ops(s, shared):
    return [
        lambda r: s.add(r.randrange(KEYS)),
        lambda r: s.discard(r.randrange(KEYS)),
        lambda r: s.remove(r.randrange(KEYS)),
        lambda r: r.randrange(KEYS) in s,
        lambda r: s.pop(),
        lambda r: s.update(range(r.randrange(KEYS))),
        lambda r: s.__iand__(set(range(0, KEYS, 2))),
        lambda r: s.__ixor__({r.randrange(KEYS)}),
        lambda r: s.difference_update({r.randrange(KEYS)}),
        lambda r: s | {1, 2},
        lambda r: s - {1},
        lambda r: s.issubset(range(KEYS)),
        lambda r: s == {1},
        lambda r: s.copy(),
        lambda r: sorted(s),
        shared.step,
        shared.renew,
        lambda r: s.clear() if r.random() < 0.02 else None,
    ]


def worker(seed, ops, deadline, failures):
    r = random.Random(seed)
    try:
        while time.monotonic() < deadline:
            try:
                r.choice(ops)(r)
            except (KeyError, StopIteration):
                pass
            except RuntimeError as e:
                if str(e) not in EXPECTED:
                    raise
    except BaseException as e:  # noqa: BLE001 - reported by the main thread
        failures.append(e)


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 10.0
    threads = int(sys.argv[2]) if len(sys.argv) > 2 else 4
    maps = [quarlex.ElasticHashMap(), quarlex.FunnelHashMap()]
    sets = [quarlex.ElasticHashSet(), quarlex.FunnelHashSet()]
    ops = []
    for m in maps:
        ops += map_ops(m, SharedIterators(lambda r, m=m: iter(r.choice((m, m.keys(), m.values(), m.items())))))
    for s in sets:
        ops += set_ops(s, SharedIterators(lambda r, s=s: iter(s)))
    failures = []
    deadline = time.monotonic() + seconds
    workers = [threading.Thread(target=worker, args=(i, ops, deadline, failures)) for i in range(threads)]
    for t in workers:
        t.start()
    for t in workers:
        t.join()
    if failures:
        raise failures[0]
    for c in maps + sets:
        assert len(c) == len(list(c)) == len(set(c)), c
        assert all(k in c for k in list(c)), c
    for m in maps:
        assert dict(m.items()) == {k: m[k] for k in m}, m
    print(f"stress: {threads} threads, {seconds:g} s, no failures")


if __name__ == "__main__":
    main()
