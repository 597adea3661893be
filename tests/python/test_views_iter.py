"""Snapshot iterators and live views of the map classes."""

import collections.abc as abc
import gc
import weakref

import pytest


class Obj:
    pass


class RaisingRepr:
    def __repr__(self):
        raise ValueError("no repr")


class RaisingEq:
    def __eq__(self, other):
        raise ValueError("no comparing")

    __hash__ = object.__hash__


# ---------------------------------------------------------------- iterators


def test_iterator_types(map_cls, kind):
    m = map_cls({"a": 1})
    prefix = "_" + kind.capitalize()
    assert type(iter(m)).__name__ == prefix + "KeyIter"
    assert type(iter(m.keys())).__name__ == prefix + "KeyIter"
    assert type(iter(m.values())).__name__ == prefix + "ValueIter"
    assert type(iter(m.items())).__name__ == prefix + "ItemIter"
    it = iter(m)
    assert iter(it) is it and type(it).__module__ == "quarlex"
    with pytest.raises(TypeError):
        type(it)()
    with pytest.raises(TypeError):
        type("Sub", (type(it),), {})


def test_value_replacement_invalidates(map_cls):
    m = map_cls({"a": 1, "b": 2})
    it = iter(m)
    k = next(it)
    m[k] = 0
    with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$"):
        next(it)
    with pytest.raises(RuntimeError):
        for k in m:
            m[k] = 0


def test_no_op_calls_keep_iteration_valid(map_cls):
    m = map_cls({"a": 1, "b": 2})
    for flavour in (m.keys, m.values, m.items):
        it = iter(flavour())
        next(it)
        m.update({})
        m.update()
        m.pop("missing", None)
        m.setdefault("a", 5)
        _ = m.get("x"), "x" in m, len(m), m.copy(), m == {}, repr(m)
        assert len(list(it)) == 1


def test_error_after_exhaustion(map_cls):
    m = map_cls()
    it = iter(m)
    assert list(it) == []
    m["x"] = 1
    for _ in range(2):
        with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$"):
            next(it)
    it = iter(m.items())
    assert list(it) == [("x", 1)]
    with pytest.raises(StopIteration):
        next(it)
    m.clear()
    with pytest.raises(RuntimeError):
        next(it)


def test_iterator_keeps_map_alive(map_cls):
    it = iter(map_cls({"a": 1, "b": 2}).items())
    view = map_cls({"c": 3}).keys()
    gc.collect()
    assert sorted(it) == [("a", 1), ("b", 2)]
    assert list(view) == ["c"] and len(view) == 1
    # The owner is still there to be checked after exhaustion.
    with pytest.raises(StopIteration):
        next(it)


def test_iterators_are_independent(map_cls):
    m = map_cls({i: i for i in range(10)})
    a, b = iter(m.items()), iter(m.items())
    first = [next(a) for _ in range(5)]
    assert list(b) == first + list(a)


def test_item_pairs_are_refilled_only_when_unshared(map_cls):
    # As dict's items iterator does, a pair that only the iterator still holds
    # is refilled with the next key and value; a pair kept elsewhere never
    # changes, and a cycle through a refilled pair stays collectable.
    m = map_cls.fromkeys(range(8), 0)
    it = iter(m.items())
    next(it)
    kept = next(it)
    frozen = list(kept)
    rest = list(it)
    assert list(kept) == frozen and len({k for k, _ in rest} | {kept[0]}) == 7

    last = list(m)[-1]
    m[last] = node = Obj()
    it = iter(m.items())
    for k, v in it:
        gc.collect()  # a pair of ints may drop out of the collector's tracking
    node.it = it  # node -> it -> its pair (last, node) -> node
    ref = weakref.ref(node)
    del m, node, it, k, v
    gc.collect()
    assert ref() is None


def test_snapshot_holds_entries(map_cls):
    # The snapshot owns its elements: a value dropped from the map lives on in
    # an iterator made before, until the iterator hands it out or dies. Dying
    # part way releases only what it has not handed out.
    m = map_cls()
    m["v"], m["w"] = Obj(), Obj()
    refs = [weakref.ref(m["v"]), weakref.ref(m["w"])]
    it = iter(m.values())
    first = next(it)
    m.clear()
    gc.collect()
    assert all(r() is not None for r in refs)
    del it
    gc.collect()
    assert [r() for r in refs if r() is not None] == [first]


# ---------------------------------------------------------------- views


def test_view_classes(map_cls, kind):
    m = map_cls({"a": 1})
    cases = ((m.keys(), "keys", abc.KeysView), (m.values(), "values", abc.ValuesView),
             (m.items(), "items", abc.ItemsView))
    for view, name, base in cases:
        assert type(view).__name__ == f"{kind}_{name}" and type(view).__module__ == "quarlex"
        assert isinstance(view, base)
        with pytest.raises(TypeError):
            type(view)()
        with pytest.raises(TypeError):
            type("Sub", (type(view),), {})
    assert type(m.values()).__doc__ == "Live view over values (mirrors `dict.values()`)."
    assert "dict.keys()" in type(m.keys()).__doc__ and "dict.items()" in type(m.items()).__doc__
    assert m.keys() is not m.keys()


def test_views_are_live(map_cls):
    m = map_cls()
    ks, vs, its = m.keys(), m.values(), m.items()
    m["k"] = "v"
    assert "k" in ks and "v" in vs and ("k", "v") in its
    assert len(ks) == len(vs) == len(its) == 1
    for i in range(100):
        m[i] = i
    assert len(ks) == 101 and sorted(vs, key=str) == sorted([*range(100), "v"], key=str)
    m.clear()
    assert len(ks) == 0 and list(its) == []


def test_keys_contains(map_cls):
    m = map_cls({1: "a", "s": "b"})
    ks = m.keys()
    assert 1 in ks and 1.0 in ks and True in ks and "s" in ks and 2 not in ks
    with pytest.raises(TypeError, match="unhashable"):
        [] in ks


def test_values_contains(map_cls):
    nan = float("nan")
    m = map_cls({"a": 1, "b": nan, "c": RaisingEq()})
    vs = m.values()
    assert 1 in vs and 1.0 in vs and 2 not in vs
    assert nan in vs and float("nan") not in vs
    assert m["c"] in vs
    assert [] not in vs


def test_items_contains(map_cls):
    nan = float("nan")

    class T(tuple):
        pass

    m = map_cls({"k": "v", "n": nan, "r": RaisingEq()})
    its = m.items()
    assert ("k", "v") in its and T(("k", "v")) in its
    assert ["k", "v"] not in its and ("k", "v", 1) not in its and ("k",) not in its
    assert ("k", "w") not in its and ("z", "v") not in its
    assert ("n", nan) in its and ("n", float("nan")) not in its
    assert ("r", RaisingEq()) not in its and ("r", m["r"]) in its
    with pytest.raises(TypeError, match="unhashable"):
        ([], 1) in its


def test_view_repr(map_cls, kind):
    empty = map_cls()
    assert repr(empty.keys()) == f"{kind}_keys([])"
    assert repr(empty.values()) == f"{kind}_values([])"
    assert repr(empty.items()) == f"{kind}_items([])"
    m = map_cls({"a": 1, 2: "b"})
    keys = list(m)
    assert repr(m.keys()) == f"{kind}_keys([{', '.join(repr(k) for k in keys)}])"
    assert repr(m.values()) == f"{kind}_values([{', '.join(repr(m[k]) for k in keys)}])"
    assert repr(m.items()) == f"{kind}_items([{', '.join(repr((k, m[k])) for k in keys)}])"
    m["bad"] = RaisingRepr()
    assert "bad" in repr(m.keys())
    for view in (m.values(), m.items()):
        with pytest.raises(ValueError, match="no repr"):
            repr(view)


def test_view_equality(map_cls):
    m = map_cls({1: "a", 2: "b"})
    assert m.keys() == {1, 2} and m.keys() == {1: 0, 2: 0}.keys()
    assert m.keys() != [2, 1]  # set-likes only, as dict views
    assert m.keys() != {1} and m.keys() != {1, 3} and m.keys() != [1, 2, 3]
    assert not (m.keys() == (x for x in (1, 2)))  # no length
    assert m.keys() != 5
    assert m.items() == {(1, "a"), (2, "b")} and m.items() != [(2, "b"), (1, "a")]
    assert m.items() != {(1, "a"), (2, "c")}
    assert m.keys() == map_cls({2: 0, 1: 0}).keys()
    # Values views compare by identity only, like dict.values().
    vs = m.values()
    assert vs == vs and vs != m.values()
    with pytest.raises(TypeError):
        m.keys() < [1]


def test_view_equality_swallows_contains_errors(map_cls):
    class Bad(abc.Set):
        def __len__(self):
            return 1

        def __iter__(self):
            return iter([1])

        def __contains__(self, x):
            raise ValueError("no")

    m = map_cls({1: 1})
    assert not (m.keys() == Bad()) and m.keys() != Bad()
    assert not (m.items() == Bad())


def test_keys_set_operators(map_cls):
    m = map_cls({1: "a", 2: "b", 3: "c"})
    ks = m.keys()
    for other in ([2, 4], {2: 0, 4: 0}):
        assert ks - other == {1, 3}
        assert ks & other == {2}
        assert ks | other == {1, 2, 3, 4}
        assert ks ^ other == {1, 3, 4}
    for op in ("__sub__", "__and__", "__or__", "__xor__"):
        result = getattr(ks, op)([])
        assert type(result) is set
    assert ks ^ [5] == {1, 2, 3, 5} and ks ^ [1, 2, 3] == set()
    assert ks - {1.0} == {2, 3}


def test_set_operators_drain_one_shot_iterators(map_cls):
    m = map_cls({i: i for i in range(1, 6)})
    ks = m.keys()

    def gen():
        yield from (5, 3, 1, 9)

    assert ks & gen() == {1, 3, 5}
    assert ks - gen() == {2, 4}
    assert ks ^ gen() == {2, 4, 9}
    assert ks | gen() == {1, 2, 3, 4, 5, 9}
    assert ks & iter([[1], 2]) == {2}  # unhashable items: membership by equality
    assert m.items() & iter([(1, 1), (2, 0)]) == {(1, 1)}


def test_set_operator_errors(map_cls):
    m = map_cls({1: "a"})
    ks = m.keys()
    for op in ("__sub__", "__and__", "__or__", "__xor__"):
        with pytest.raises(TypeError, match="not iterable"):
            getattr(ks, op)(5)
    with pytest.raises(TypeError):
        {1} - ks
    with pytest.raises(TypeError):
        m.items() ^ [(1, "a")]
    with pytest.raises(TypeError):
        m.values() - [1]
    with pytest.raises(TypeError, match="unhashable"):
        ks ^ [[1]]
    with pytest.raises(TypeError, match="unhashable"):
        ks | [[1]]

    class BadContains:
        def __iter__(self):
            return iter(())

        def __contains__(self, x):
            raise KeyError("from contains")

    with pytest.raises(KeyError):
        ks - BadContains()


def test_items_set_operators(map_cls):
    m = map_cls({"k": 1, "j": 2})
    its = m.items()
    assert its - {("k", 1)} == {("j", 2)}
    assert its - {("k", 1.0)} == {("j", 2)}
    assert its - {("k", 2)} == {("k", 1), ("j", 2)}
    assert its & [("j", 2), ("x", 0)] == {("j", 2)}
    assert its | [("x", 0)] == {("k", 1), ("j", 2), ("x", 0)}
    m["u"] = []
    with pytest.raises(TypeError, match="unhashable"):
        m.items() | []
    assert m.keys() | [] == {"k", "j", "u"}


def test_views_meet_exclusive_borrow_as_runtime_error(map_cls):
    m = map_cls({"a": 1})
    ks, vs, its = m.keys(), m.values(), m.items()
    it = iter(m)
    seen = []

    class Meddler:
        def __hash__(self):
            for action in (lambda: len(ks), lambda: list(vs), lambda: ("a", 1) in its,
                           lambda: ks == {"a"}, lambda: its | [], lambda: next(it),
                           lambda: repr(vs)):
                try:
                    action()
                except RuntimeError as e:
                    seen.append(str(e))
            return 1

    m[Meddler()] = 2
    assert seen == ["Already mutably borrowed"] * 7
    assert len(m) == 2


def test_iterators_report_what_is_left(map_cls):
    import operator

    m = map_cls.fromkeys(range(5))
    it = iter(m.items())
    assert operator.length_hint(it) == 5
    next(it)
    assert operator.length_hint(it) == 4
    assert len(list(it)) == 4 and operator.length_hint(it) == 0
