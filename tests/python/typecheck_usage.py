"""Everyday use of the quarlex API, checked by mypy --strict against the stubs.

Every assert_type pins the type a user would see; the file also runs as a
plain script, so each line is checked to work at runtime as well.
"""

from __future__ import annotations

from collections.abc import ItemsView, Iterator, KeysView, MutableMapping, MutableSet, ValuesView
from typing import TYPE_CHECKING, Any, assert_type

from quarlex import ElasticHashMap, ElasticHashSet, FunnelHashMap, FunnelHashSet

if TYPE_CHECKING:
    # Runtime-only types: named in annotations, never imported for real.
    from quarlex import _ElasticSetIter, elastic_keys


def count_words(counts: MutableMapping[str, int], words: list[str]) -> None:
    for w in words:
        counts[w] = counts.get(w, 0) + 1


def maps() -> None:
    m: ElasticHashMap[str, int] = ElasticHashMap()
    m["a"] = 1
    assert_type(m["a"], int)
    assert_type(m.get("a"), int | None)
    assert_type(m.get("zz", 0), int)
    assert_type(m.get("zz", "none"), int | str)
    assert_type(m.pop("a"), int)
    assert_type(m.pop("zz", None), int | None)
    assert_type(m.setdefault("b", 2), int)
    assert_type(m.popitem(), tuple[str, int])
    m.update({"c": 3})
    m.update([("d", 4)], e=5)
    m.update(f=6)
    m.update(None)
    assert_type(m.capacity, int)
    assert_type(len(m), int)
    assert_type(m.copy(), ElasticHashMap[str, int])
    assert_type("c" in m, bool)
    del m["c"]

    assert_type(ElasticHashMap({"x": 1.5}), ElasticHashMap[str, float])
    assert_type(ElasticHashMap([(1, "one")], capacity=8), ElasticHashMap[int, str])
    assert_type(ElasticHashMap(a=1, b=2), ElasticHashMap[str, int])
    assert_type(FunnelHashMap({"x": 1}, y=2), FunnelHashMap[str, int])
    assert_type(FunnelHashMap.fromkeys(range(3)), FunnelHashMap[int, Any | None])
    assert_type(ElasticHashMap.fromkeys("ab", 0), ElasticHashMap[str, int])
    opts: FunnelHashMap[int, bytes] = FunnelHashMap.with_options(capacity=100, reserve_exponent=4)
    assert_type(ElasticHashMap[int, int].with_options(100), ElasticHashMap[int, int])
    opts[1] = b"x"

    assert_type(m.keys(), "elastic_keys[str]")
    for k in m.keys():
        assert_type(k, str)
    for v in m.values():
        assert_type(v, int)
    for k, v in m.items():
        assert_type(k, str)
        assert_type(v, int)
    for k in m:
        assert_type(k, str)
    assert_type(m.keys() & {"a"}, set[str])
    assert_type(m.keys() | [1], set[str | int])
    assert_type(m.keys() ^ ["q"], set[str])
    assert_type(m.items() - [("a", 1)], set[tuple[str, int]])
    ks: KeysView[str] = m.keys()
    vs: ValuesView[int] = m.values()
    its: ItemsView[str, int] = m.items()
    it: Iterator[str] = iter(m)
    assert len(ks) == len(vs) == len(its) == len(list(it))

    merged = m | {"z": 2.5}
    assert_type(merged, ElasticHashMap[str, int | float])
    assert_type({"z": 2.5} | m, ElasticHashMap[str, int | float])
    m |= {"w": 7}
    assert_type(m, ElasticHashMap[str, int])
    assert_type(m == {"w": 7}, bool)

    counts: FunnelHashMap[str, int] = FunnelHashMap()
    count_words(counts, ["x", "y", "x"])
    count_words(m, ["x"])
    assert counts["x"] == 2


def sets() -> None:
    s = ElasticHashSet([1, 2, 3])
    assert_type(s, ElasticHashSet[int])
    t: FunnelHashSet[int] = FunnelHashSet(range(5), capacity=16)
    s.add(4)
    s.discard(9)
    s.remove(4)
    assert_type(s.pop(), int)
    assert_type(s.copy(), ElasticHashSet[int])
    assert_type(s | ["x"], ElasticHashSet[int | str])
    assert_type(["x"] | s, ElasticHashSet[int | str])
    assert_type(s & t, ElasticHashSet[int])
    assert_type(s - range(2), ElasticHashSet[int])
    assert_type([1.5] - s, ElasticHashSet[float])
    assert_type(s ^ {7}, ElasticHashSet[int])
    assert_type(s.union([1], (2,), {3}), ElasticHashSet[int])
    assert_type(s.intersection(t, [1]), ElasticHashSet[int])
    assert_type(s.difference(), ElasticHashSet[int])
    assert_type(t.symmetric_difference(["a"]), FunnelHashSet[int | str])
    s.update([5], range(3))
    s.intersection_update(t)
    s.difference_update([0], [1])
    s.symmetric_difference_update(iter([2]))
    s |= t
    s &= [1, 2]
    s -= {1}
    s ^= (3,)
    assert_type(s, ElasticHashSet[int])
    assert_type(s.issubset(t), bool)
    assert_type(s.issuperset([1]), bool)
    assert_type(s.isdisjoint(iter([3])), bool)
    assert_type(s == {2, 3}, bool)
    e: ElasticHashSet[str] = ElasticHashSet.with_options(reserve_exponent=2)
    e.add("x")
    assert_type(iter(e), "_ElasticSetIter[str]")
    for x in e:
        assert_type(x, str)
    generic: MutableSet[int] = FunnelHashSet()
    generic.add(1)


if __name__ == "__main__":
    maps()
    sets()
    print("ok")
