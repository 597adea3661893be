"""Maps used from several threads at once on the free-threaded interpreter.

The borrow flags never wait: a call that conflicts with another thread's call
fails at once with one of the two borrow errors and changes nothing, so each
thread can keep a model of its own successful writes.
"""

import random
import sys
import threading
import time

import pytest

BORROW_ERRORS = {"Already borrowed", "Already mutably borrowed"}
CHANGED = "dictionary changed size during iteration"
THREADS = 4
SECONDS = 0.6


def test_runs_without_gil():
    assert sys._is_gil_enabled() is False


def run_threads(target, n=THREADS):
    """Runs target(index, barrier) in n threads; re-raises the first failure."""
    barrier = threading.Barrier(n)
    failures = []

    def body(i):
        try:
            target(i, barrier)
        except BaseException as e:  # noqa: BLE001 - reported to the main thread
            failures.append(e)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
        assert not t.is_alive()
    if failures:
        raise failures[0]


def attempt(op, allowed=BORROW_ERRORS):
    """Runs op; True if it ran, False if it met an allowed RuntimeError."""
    try:
        op()
    except RuntimeError as e:
        assert str(e) in allowed, str(e)
        return False
    return True


def test_shared_map_writers_and_readers(map_cls):
    m = map_cls()
    models = [{} for _ in range(THREADS)]

    def worker(t, barrier):
        rng = random.Random(t)
        model = models[t]
        barrier.wait()
        deadline = time.monotonic() + SECONDS
        while time.monotonic() < deadline:
            k = (t, rng.randrange(64))
            v = (k, rng.randrange(1000))
            choice = rng.randrange(8)
            if choice == 0:
                if attempt(lambda: m.__setitem__(k, v)):
                    model[k] = v
            elif choice == 1:
                if attempt(lambda: m.pop(k, None)):
                    model.pop(k, None)
            elif choice == 2:
                batch = {key: (key, 0) for key in ((t, rng.randrange(64)) for _ in range(5))}
                if attempt(lambda: m.update(batch)):
                    model.update(batch)
            elif choice == 3:
                got = []
                if attempt(lambda: got.append(m.get(k))):
                    assert got[0] == model.get(k)
            elif choice == 4:
                other = (rng.randrange(THREADS), rng.randrange(64))
                got = []
                if attempt(lambda: got.append(m.get(other))):
                    assert got[0] is None or got[0][0] == other
            elif choice == 5:
                items = []
                if attempt(lambda: items.extend(m.items()), BORROW_ERRORS | {CHANGED}):
                    assert all(value[0] == key for key, value in items)
            elif choice == 6:
                attempt(lambda: (len(m), k in m, m.capacity, repr(m.keys())))
            elif attempt(lambda: m.setdefault(k, v)):
                model.setdefault(k, v)

    run_threads(worker)
    expected = {}
    for model in models:
        expected.update(model)
    assert len(m) == len(expected)
    assert dict(m.items()) == expected


def test_readers_never_conflict(map_cls):
    m = map_cls({i: str(i) for i in range(500)})

    def reader(t, barrier):
        barrier.wait()
        for i in range(20000):
            k = (i * 7 + t) % 600
            assert m.get(k) == (str(k) if k < 500 else None)
            assert (k in m) == (k < 500)
        assert len(list(m.items())) == 500

    run_threads(reader)


def test_separate_maps(map_cls):
    results = [None] * THREADS

    def worker(t, barrier):
        m = map_cls()
        barrier.wait()
        for i in range(3000):
            m[(t, i)] = i
        for i in range(0, 3000, 2):
            del m[(t, i)]
        m.update({(t, "x"): -1})
        results[t] = m

    run_threads(worker)
    for t, m in enumerate(results):
        expected = {(t, i): i for i in range(1, 3000, 2)}
        expected[(t, "x")] = -1
        assert m == expected


def test_iterating_while_another_thread_mutates(map_cls):
    m = map_cls({i: (i, 0) for i in range(200)})
    stop = threading.Event()

    def worker(t, barrier):
        rng = random.Random(t)
        barrier.wait()
        if t == 0:
            deadline = time.monotonic() + SECONDS
            while time.monotonic() < deadline:
                k = rng.randrange(300)
                attempt(lambda: m.__setitem__(k, (k, rng.randrange(100))))
                attempt(lambda: m.pop(rng.randrange(300), None))
            stop.set()
            return
        while not stop.is_set():
            try:
                for k, v in m.items():
                    assert v[0] == k
                for k in m.keys():
                    assert isinstance(k, int)
                for v in m.values():
                    assert isinstance(v, tuple) and len(v) == 2
                assert m.keys() - {-1} is not None
            except RuntimeError as e:
                assert str(e) in BORROW_ERRORS | {CHANGED}, str(e)

    run_threads(worker, n=3)
    assert all(v[0] == k for k, v in m.items())


@pytest.mark.parametrize("flavour", ["keys", "values", "items"])
def test_one_iterator_shared_by_threads(map_cls, flavour):
    m = map_cls({i: i for i in range(2000)})
    it = iter(getattr(m, flavour)())
    taken = [[] for _ in range(THREADS)]

    def worker(t, barrier):
        barrier.wait()
        while True:
            try:
                taken[t].append(next(it))
            except StopIteration:
                return
            except RuntimeError as e:
                assert str(e) == "Already borrowed"

    run_threads(worker)
    together = [x for part in taken for x in part]
    assert len(together) == 2000 and len(set(map(repr, together))) == 2000
