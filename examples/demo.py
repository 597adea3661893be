"""A first look at quarlex: which module was loaded, by which interpreter, a
short tour of the maps and sets, and how they compare with dict and set."""

import sys
from pathlib import Path

import quarlex
from quarlex import ElasticHashMap, ElasticHashSet, FunnelHashMap, FunnelHashSet

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "bench"))
import bench  # noqa: E402  (bench/bench.py: the timing helpers)


def section(title: str) -> None:
    print(f"\n== {title}")


def show(label: str, value: object) -> None:
    text = f"{type(value).__name__}: {value}" if isinstance(value, Exception) else repr(value)
    print(f"  {label:<36} {text}")


def interpreter() -> None:
    print("quarlex:", (quarlex.__doc__ or "(no docstring)").strip())
    print("module file:", quarlex.__file__)
    print("interpreter:", sys.version.replace("\n", " "))
    gil = sys._is_gil_enabled()
    print("GIL enabled:", gil)
    if gil:
        # Importing an extension that does not declare GIL-free support turns
        # the GIL back on; quarlex declares it, so this should never happen.
        sys.exit("error: the GIL is enabled; quarlex should run without it")


def maps() -> None:
    section("maps: the dict protocol")
    m = ElasticHashMap({"apple": 3, "pear": 5}, plum=7)
    show("ElasticHashMap({...}, plum=7)", m)
    show("m['pear']", m["pear"])
    m["fig"] = 11
    del m["apple"]
    show("m.get('apple', 0)", m.get("apple", 0))
    show("m.pop('missing', None)", m.pop("missing", None))
    m.update([("kiwi", 13)], lime=17)
    show("sorted(m.items())", sorted(m.items()))

    ks = m.keys()
    m["date"] = 19
    show("a keys view is live: 'date' in ks", "date" in ks)
    show("m.keys() & {'fig', 'yam'}", m.keys() & {"fig", "yam"})
    show("iteration is in table order", list(m))

    f = FunnelHashMap.with_options(capacity=1000, reserve_exponent=4)
    show("FunnelHashMap.with_options(1000, 4)", f)
    merged = FunnelHashMap({"a": 1}) | {"a": 2, "b": 3}
    show("FunnelHashMap({'a': 1}) | {...}", sorted(merged.items()))
    show("== compares contents with a dict", merged == {"a": 2, "b": 3})
    show("fromkeys('abc', 0)", sorted(ElasticHashMap.fromkeys("abc", 0).items()))


def sets() -> None:
    section("sets: the set protocol and its algebra")
    a = ElasticHashSet(range(6))
    b = [4, 5, 6, 7]
    show("a = ElasticHashSet(range(6))", a)
    show("sorted(a | b)", sorted(a | b))
    show("sorted(a & b)", sorted(a & b))
    show("sorted(a - b)", sorted(a - b))
    show("sorted(a ^ b)", sorted(a ^ b))
    show("sorted(b - a)  (reflected)", sorted(b - a))
    show("a.issuperset([1, 2])", a.issuperset([1, 2]))
    show("a == set(range(6))", a == set(range(6)))
    s = FunnelHashSet("hello")
    s.intersection_update("world")
    show("FunnelHashSet('hello') &= 'world'", sorted(s))


def borrows() -> None:
    section("borrows: conflicting access fails at once instead of waiting")

    class Nosy:
        """A key whose __hash__ reads the map that is being changed."""

        def __init__(self, target: ElasticHashMap) -> None:
            self.target = target

        def __hash__(self) -> int:
            return len(self.target)

    m = ElasticHashMap(a=1)
    try:
        m[Nosy(m)] = 2
    except RuntimeError as e:
        show("a re-entrant read during m[k] = v", e)
    try:
        for k in m:
            m[k] = 0
    except RuntimeError as e:
        show("changing a map while iterating", e)
    print("  Two threads using one collection at once get the same RuntimeErrors:\n"
          "  each object guards itself with an atomic borrow flag, never a lock.")


def timings() -> None:
    n = 10_000
    section(f"timings: ns per element at n = {n:,} (best of 5; `make bench` runs the full set)")
    print(bench.table("maps, int keys", bench.bench_maps("int", n, 5), "dict", markdown=False))
    print(bench.table("sets, str keys", bench.bench_sets("str", n, 5), "set", markdown=False))
    print("  A ratio marked ! is slower than the project's target for that operation.")


def main() -> None:
    interpreter()
    maps()
    sets()
    borrows()
    timings()


if __name__ == "__main__":
    main()
