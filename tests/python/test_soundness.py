"""The four classes under hostile callers: deep nesting, callbacks that touch
the collection, finalisers, operands that read the receiver, failures part
way, foreign operands and lying lengths."""

import resource
import subprocess
import sys
import textwrap
import unittest.mock

import pytest
from conftest import MAP_CLASSES, SET_CLASSES, fill, is_map


def run_child(code, stack=None):
    """Runs `code` in a fresh interpreter, its main stack limited to `stack`
    bytes if given; returns its exit status and stderr."""

    def limit():
        if stack is not None:
            resource.setrlimit(resource.RLIMIT_STACK, (stack, stack))

    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=300,
        preexec_fn=limit,
    )
    return done.returncode, done.stderr


def per_protocol(map_cases, set_cases):
    """(class, case) parameters: `map_cases` for the maps, `set_cases` for the sets."""
    return [
        pytest.param(cls, name, case, id=f"{cls.__name__}-{name}")
        for classes, cases in ((MAP_CLASSES, map_cases), (SET_CLASSES, set_cases))
        for cls in classes
        for name, case in cases.items()
    ]


LINKS = per_protocol(
    {"direct": "cls({0: x})", "view": "cls({0: x.items()})", "iterator": "cls({0: iter(x)})"},
    {"iterator": "cls([iter(x)])"},
)


@pytest.mark.parametrize(("cls", "link", "make"), LINKS)
def test_deep_chains_free_without_recursion(cls, link, make):
    # On a 2 MiB stack, releasing 50,000 levels one call per level overflows.
    status, err = run_child(
        f"""
        import quarlex
        cls = quarlex.{cls.__name__}
        x = cls()
        for _ in range(50_000):
            x = {make}
        del x
        """,
        stack=2 << 20,
    )
    assert status == 0 and not err, err


class Toucher:
    """Equal to every other Toucher of the same hash and tag; comparing with
    `other` runs `touch(other)`."""

    touch = None

    def __init__(self, h=7, tag=0):
        self.h, self.tag = h, tag

    def __hash__(self):
        return self.h

    def __eq__(self, other):
        if self.touch is not None:
            type(self).touch(other)
        return isinstance(other, Toucher) and (other.h, other.tag) == (self.h, self.tag)


def test_comparisons_run_once_and_are_not_swallowed(coll_cls):
    # A class of its own per call: threads running this test at once each
    # set their own `touch`.
    toucher = type("OwnToucher", (Toucher,), {})
    c = fill(coll_cls, [toucher()])
    add = c.__setitem__ if is_map(coll_cls) else lambda k, *v: c.add(k)
    toucher.touch = lambda other: len(c)
    for _ in range(3):
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            add(toucher(), 2)
    assert len(c) == 1
    toucher.touch = lambda other: add(toucher(99), 0)
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        c[toucher()] if is_map(coll_cls) else c.remove(toucher())  # noqa: B018
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        toucher() in c  # noqa: B015
    toucher.touch = None
    assert len(c) == 1 and toucher() in c

    # Keys sharing one hash: probe sequences meet themselves and whole-table
    # scans follow them, yet every operation compares a stored key once at
    # most (a comparison may have side effects).
    c = fill(coll_cls, [toucher(7, tag) for tag in range(300)])
    add = c.__setitem__ if is_map(coll_cls) else lambda k, *v: c.add(k)
    remove = c.pop if is_map(coll_cls) else c.remove
    compared = []
    toucher.touch = compared.append
    for op in (lambda k: k in c, lambda k: add(k, 1), remove):
        for tag in (150, 299, 300):
            compared.clear()
            op(toucher(7, tag))
            assert len(compared) == len({id(k) for k in compared}), (op, tag)
    toucher.touch = None
    assert len(c) == 298 and toucher(7, 299) not in c


class Probe:
    """Equal by number; its finaliser reads `owner` and logs whether it could."""

    def __init__(self, n, owner, log):
        self.n, self.owner, self.log = n, owner, log

    def __hash__(self):
        return self.n

    def __eq__(self, other):
        return isinstance(other, Probe) and other.n == self.n

    def __del__(self):
        try:
            len(self.owner)
            self.log.append("ok")
        except RuntimeError:
            self.log.append("borrowed")


MAP_REMOVALS = {
    "clear": lambda m, p: m.clear(),
    "update dict": lambda m, p: m.update({0: 1}),
    "update pairs": lambda m, p: m.update([(0, 1)]),
    "update keywords": lambda m, p: m.update(k=1),
    "ior same class": lambda m, p: m.__ior__(type(m)({0: 1})),
    "ior dict": lambda m, p: m.__ior__({"k": 1}),
}
SET_REMOVALS = {
    "clear": lambda s, p: s.clear(),
    "discard": lambda s, p: s.discard(p(0)),
    "remove": lambda s, p: s.remove(p(0)),
    "difference_update": lambda s, p: s.difference_update([p(0)]),
    "isub": lambda s, p: s.__isub__(type(s)([p(0)])),
    "intersection_update": lambda s, p: s.intersection_update([]),
    "iand": lambda s, p: s.__iand__(type(s)()),
    "symmetric_difference_update": lambda s, p: s.symmetric_difference_update(iter([p(0), p(1)])),
    "ixor": lambda s, p: s.__ixor__(type(s)([p(0)])),
    "isub self": lambda s, p: s.__isub__(s),
    "ixor self": lambda s, p: s.__ixor__(s),
}


@pytest.mark.parametrize(("coll_cls", "path", "remove"), per_protocol(MAP_REMOVALS, SET_REMOVALS))
def test_finalisers_run_after_the_borrow(coll_cls, path, remove):
    log = []
    c = coll_cls()

    def probe(n):
        return Probe(n, c, log)

    if is_map(coll_cls):
        c.update({0: probe(0), "k": probe(1)})
    else:
        c.add(probe(0))
    remove(c, probe)
    assert log and set(log) == {"ok"}


MAP_SELF_UPDATES = [
    lambda m: m.update(m.items()),
    lambda m: m.__ior__(m.items()),
    lambda m: m.update((k, v + 1) for k, v in m.items()),
    lambda m: m.update(zip(m.keys(), m.values())),
]
SET_SELF_UPDATES = [
    (lambda s: s.update(iter(s)), {1, 2, 3, 4, 5}),
    (lambda s: s.__iand__(x for x in s if x % 2), {1, 3, 5}),
    (lambda s: s.difference_update(x for x in s if x > 2), {1, 2}),
    (lambda s: s.symmetric_difference_update(x + 1 for x in s), {1, 6}),
]


@pytest.mark.parametrize("case", range(4))
def test_updates_may_read_the_receiver(coll_cls, case):
    c = fill(coll_cls, [1, 2, 3, 4, 5])
    if is_map(coll_cls):
        d = {k: k for k in range(1, 6)}
        MAP_SELF_UPDATES[case](c)
        MAP_SELF_UPDATES[case](d)
        assert dict(c.items()) == d
    else:
        op, expected = SET_SELF_UPDATES[case]
        op(c)
        assert set(c) == expected


def test_partial_failure_invalidates_iterators(coll_cls):
    c = fill(coll_cls, [1])
    it = iter(c)

    def items():
        yield (2, 2) if is_map(coll_cls) else 2
        raise ValueError("part way")

    with pytest.raises(ValueError, match="part way"):
        c.update(items())
    assert 2 in c
    with pytest.raises(RuntimeError):
        next(it)


def test_foreign_operands_are_asked(coll_cls):
    c = fill(coll_cls, [1])
    operands = [c, c.keys(), c.items(), c.values()] if is_map(coll_cls) else [c]
    for x in operands:
        assert x == unittest.mock.ANY and not (x != unittest.mock.ANY)
        assert (x == 1) is False and (x != 1) is True


class Liar:
    """Claims 2**40 items and yields two."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return 2**40

    def __iter__(self):
        return iter(self.items)


def test_reported_lengths_are_hints(coll_cls):
    if is_map(coll_cls):
        pairs = Liar([(1, 1), (2, 2)])
        results = [coll_cls.fromkeys(Liar([1, 2]), 1), coll_cls(pairs), coll_cls() | pairs]
        m = coll_cls()
        m.update(pairs)
        results.append(m)
        assert all(sorted(r.keys()) == [1, 2] for r in results)
    else:
        s = coll_cls()
        s.update(Liar([1, 2]))
        results = [coll_cls(Liar([1, 2])), coll_cls().union(Liar([1, 2])), s]
        assert all(set(r) == {1, 2} for r in results)


def test_self_containing_view_repr(map_cls):
    m = map_cls()
    m[0] = m.items()
    m[1] = m.values()
    assert "..." in repr(m.items()) and "..." in repr(m.values())
