"""Maps used from several threads at once.

The borrow flags never wait: a call that conflicts with another thread's call
fails at once with one of the two borrow errors and changes nothing, so each
thread can keep a model of its own successful writes.
"""

import contextlib
import random
import sys
import sysconfig
import threading
import time

import pytest

BORROW_ERRORS = {"Already borrowed", "Already mutably borrowed"}
CHANGED = "dictionary changed size during iteration"
THREADS = 4
SECONDS = 0.6


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="a GIL build of the interpreter")
def test_import_leaves_the_gil_off():
    assert sys._is_gil_enabled() is False


def test_subinterpreters_refuse_the_import():
    """The types are process-wide, so an isolated interpreter must not get them."""
    if sys.version_info >= (3, 13):
        import _interpreters

        iid = _interpreters.create()
        try:
            failure = _interpreters.run_string(iid, "import quarlex")
        finally:
            _interpreters.destroy(iid)
        message = failure.msg
    else:
        import _xxsubinterpreters as _interpreters

        iid = _interpreters.create(isolated=True)
        try:
            with pytest.raises(_interpreters.RunFailedError) as failure:
                _interpreters.run_string(iid, "import quarlex")
        finally:
            _interpreters.destroy(iid)
        message = str(failure.value)
    assert "does not support loading in subinterpreters" in message


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


class Gate:
    """A key that holds the call comparing it: its __eq__ (run under the
    map's borrow) signals `entered` and waits for `release`. It collides with
    the stored `Blocker()`."""

    def __init__(self):
        self.entered, self.release = threading.Event(), threading.Event()

    def __hash__(self):
        return 7_777_777

    def __eq__(self, other):
        self.entered.set()
        assert self.release.wait(30)
        return False


class Blocker:
    def __hash__(self):
        return 7_777_777


@contextlib.contextmanager
def holding(call, expected):
    """Runs call(gate) in another thread; enters once the call is inside the
    map, lets it finish on exit and checks that it returned `expected`."""
    gate = Gate()
    result = []
    thread = threading.Thread(target=lambda: result.append(call(gate)))
    thread.start()
    assert gate.entered.wait(30)
    try:
        yield gate
    finally:
        gate.release.set()
        thread.join(30)
    assert result == [expected]


def spread_readers(m, spread):
    """With `spread`, reads m from two other threads first, so every later
    read counts in the per-CPU reader slots instead of the first reader's
    central count."""
    if spread:
        run_threads(lambda t, barrier: m.get(t), n=2)


SPREAD = pytest.mark.parametrize("spread", [False, True], ids=["first-reader", "slots"])


@SPREAD
def test_mutation_meeting_a_read_in_progress(map_cls, spread):
    m = map_cls({i: i for i in range(100)})
    m[Blocker()] = "b"
    spread_readers(m, spread)

    with holding(lambda gate: m.get(gate, "absent"), "absent"):
        for write in (lambda: m.__setitem__(1, 2), lambda: m.pop(3), m.clear,
                      lambda: m.update({5: 5}), lambda: m.setdefault(200, 0)):
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                write()
        assert m.get(4) == 4 and 4 in m.keys() and len(m) == 101
    m[1] = 2
    seen = []

    class Meddles(Blocker):
        """Writes and reads m from inside this thread's own lookup."""

        __hash__ = Blocker.__hash__

        def __eq__(self, other):
            for act in (lambda: m.__setitem__(1, 3), lambda: m.get(1)):
                try:
                    seen.append(act())
                except RuntimeError as e:
                    seen.append(str(e))
            return False

    assert m.get(Meddles()) is None and seen == ["Already borrowed", 2]
    assert m[1] == 2 and len(m) == 101


@SPREAD
def test_reads_meeting_a_mutation_in_progress(map_cls, spread):
    m = map_cls({i: i for i in range(100)})
    m[Blocker()] = "b"
    it, keys, items = iter(m), m.keys(), m.items()
    spread_readers(m, spread)

    with holding(lambda gate: m.__setitem__(gate, "g"), None) as gate:
        for read in (lambda: m[1], lambda: 1 in m, lambda: len(m), lambda: m.get(1),
                     lambda: next(it), lambda: 1 in keys, lambda: (1, 1) in items,
                     lambda: m == {}, lambda: list(m.values())):
            with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
                read()
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            m[1] = 2
    assert len(m) == 102 and m[gate] == "g" and m[1] == 1


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
