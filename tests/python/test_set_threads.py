"""Threads: operations on one set either
happen completely or fail with one of the two borrow errors, never wait on
each other, and the contents after the threads join are those of the
operations that succeeded."""

import random
import threading

import pytest

BORROW_ERRORS = {"Already borrowed", "Already mutably borrowed"}
THREADS = 4
STEPS = 4000
JOIN_SECONDS = 120


def run_threads(target, n=THREADS):
    barrier = threading.Barrier(n)
    failures = []

    def wrapped(tid):
        try:
            barrier.wait()
            target(tid)
        except BaseException as e:  # reported to the main thread
            failures.append(e)

    threads = [threading.Thread(target=wrapped, args=(t,)) for t in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(JOIN_SECONDS)
    assert not any(t.is_alive() for t in threads), "threads did not finish"
    if failures:
        raise failures[0]


def hammer(s, tid, model, errors, set_cls):
    """Random operations on `s`, each thread on its own keys, so the effect
    of every successful call on those keys is known exactly."""
    rng = random.Random(tid)
    base = tid * 100_000
    for _ in range(STEPS):
        k = base + rng.randrange(300)
        op = rng.randrange(10)
        try:
            if op == 0:
                s.add(k)
                model.add(k)
            elif op == 1:
                s.discard(k)
                model.discard(k)
            elif op == 2:
                s.update([k, k + 1], set_cls([k + 2]))
                model.update([k, k + 1, k + 2])
            elif op == 3:
                s.difference_update([k, k + 1])
                model.difference_update([k, k + 1])
            elif op == 4:
                s.symmetric_difference_update([k])
                model.symmetric_difference_update([k])
            elif op == 5:
                s |= set_cls([k])
                model.add(k)
            elif op == 6:
                assert (k in s) == (k in model)
            elif op == 7:
                snapshot = s.copy()
                assert (k in snapshot) == (k in model)
            elif op == 8:
                assert s.issuperset([k]) == (k in model)
                len(s)
            else:
                r = s | [k]
                assert k in r
        except RuntimeError as e:
            errors.append(str(e))


def test_threads_hammering_one_set(set_cls):
    s = set_cls()
    models = [set() for _ in range(THREADS)]
    errors = [[] for _ in range(THREADS)]
    run_threads(lambda tid: hammer(s, tid, models[tid], errors[tid], set_cls))
    seen = {e for errs in errors for e in errs}
    assert seen <= BORROW_ERRORS, seen
    assert set(s) == set().union(*models)
    assert len(s) == sum(map(len, models))


def test_threads_on_separate_sets(set_cls):
    sets = [set_cls() for _ in range(THREADS)]
    models = [set() for _ in range(THREADS)]
    errors = [[] for _ in range(THREADS)]
    run_threads(lambda tid: hammer(sets[tid], tid, models[tid], errors[tid], set_cls))
    assert errors == [[]] * THREADS
    for s, model in zip(sets, models):
        assert set(s) == model


def test_crossed_in_place_operations_never_wait(set_cls):
    """`a |= b` in one thread and `b |= a` in another each hold their
    receiver exclusively and ask for the other shared: they must fail fast,
    not deadlock."""
    a, b = set_cls(range(0, 50)), set_cls(range(1000, 1050))
    everything = set(range(0, 50)) | set(range(1000, 1050))
    errors = [[], []]

    def worker(tid):
        mine, theirs = (a, b) if tid == 0 else (b, a)
        for _ in range(STEPS):
            try:
                mine |= theirs
                mine.intersection_update(theirs, everything)
                mine.symmetric_difference_update(theirs)
                mine ^= theirs
            except RuntimeError as e:
                errors[tid].append(str(e))

    run_threads(worker, n=2)
    assert {e for errs in errors for e in errs} <= BORROW_ERRORS
    assert set(a) <= everything and set(b) <= everything


def test_iterators_across_threads(set_cls):
    """Snapshot iterators read from other threads: each step either yields,
    or fails with the change error once the set moved, or meets a borrow."""
    s = set_cls(range(200))
    allowed = BORROW_ERRORS | {"dictionary changed size during iteration"}
    errors = [[] for _ in range(THREADS)]

    def worker(tid):
        rng = random.Random(tid)
        for _ in range(STEPS // 4):
            try:
                if tid == 0:
                    s.add(rng.randrange(400))
                    s.discard(rng.randrange(400))
                else:
                    for x in s:
                        assert 0 <= x < 400
            except RuntimeError as e:
                errors[tid].append(str(e))

    run_threads(worker)
    assert {e for errs in errors for e in errs} <= allowed
    assert set(s) <= set(range(400))
