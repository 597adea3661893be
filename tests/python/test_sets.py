"""ElasticHashSet and FunnelHashSet: construction, options, element operations,
the algebra with every kind of operand, comparisons, the modification
counter as live iterators see it, borrow conflicts and reference ownership."""

import collections.abc
import gc
import inspect
import types
import weakref

import pytest

import quarlex
from iterstate import CHANGED, still_valid

FUNNEL_RESERVE = "Funnel reserve must be at most 1/8 (reserve_exponent >= 3)"


class Key:
    """A hashable element with a chosen hash, equal by `ident`; counts the
    calls to __hash__ and supports weak references."""

    hashes = 0

    def __init__(self, ident, h=None):
        self.ident = ident
        self.h = hash(ident) if h is None else h

    def __hash__(self):
        Key.hashes += 1
        return self.h

    def __eq__(self, other):
        return isinstance(other, Key) and other.ident == self.ident

    def __repr__(self):
        return f"Key({self.ident!r})"


class Bomb:
    """Equal hash to anything with hash `h`; its __eq__ raises."""

    def __init__(self, h):
        self.h = h

    def __hash__(self):
        return self.h

    def __eq__(self, other):
        if other is self:
            return True
        raise ValueError("no comparison")


# Operand makers: each turns a list of elements into one kind of operand.
def _same(cls):
    return lambda xs: cls(xs)


OPERAND_KINDS = {
    "set": set,
    "frozenset": frozenset,
    "list_with_duplicates": lambda xs: list(xs) + list(xs),
    "generator": lambda xs: (x for x in list(xs)),
    "dict_keys": lambda xs: dict.fromkeys(xs).keys(),
    "dict": lambda xs: dict.fromkeys(xs),
}


@pytest.fixture(params=["same", "other", *OPERAND_KINDS])
def operand(request, set_cls, other_set_cls):
    if request.param == "same":
        return _same(set_cls)
    if request.param == "other":
        return _same(other_set_cls)
    return OPERAND_KINDS[request.param]


# ---------------------------------------------------------------- construction


class TestConstruction:
    def test_empty_forms(self, set_cls, construct):
        make = construct(set_cls)
        for s in (make(), make(None), make(iterable=None), make(capacity=0)):
            assert len(s) == 0 and list(s) == []
            assert type(s) is set_cls
        assert set(make([1, 2], capacity=8)) == {1, 2}

    def test_from_iterables(self, set_cls, other_set_cls):
        assert len(set_cls([1, 1, 2])) == 2
        assert set(set_cls("ab")) == {"a", "b"}
        assert set(set_cls(x for x in range(5))) == set(range(5))
        assert set(set_cls({"k": 1, "j": 2})) == {"k", "j"}
        src = set_cls(range(100))
        assert set(set_cls(src)) == set(range(100))
        assert set(set_cls(other_set_cls([3, 4]))) == {3, 4}

    def test_capacity_keyword_sizes_table(self, set_cls):
        s = set_cls(capacity=1000)
        assert s.capacity >= 1000
        before = s.capacity
        for i in range(1000):
            s.add(i)
        assert s.capacity == before

    def test_argument_errors(self, set_cls, construct):
        make = construct(set_cls)
        name = set_cls.__name__
        # the interpreter's argument parser words this differently before 3.13
        with pytest.raises(TypeError, match="unexpected keyword argument 'x'|'x' is an invalid keyword argument"):
            make(x=1)
        with pytest.raises(TypeError, match=rf"{name}\(\) takes at most 1 positional argument"):
            make([1], [2])
        with pytest.raises(TypeError):
            make([1], 5)  # capacity is keyword-only

    def test_capacity_conversion_errors(self, set_cls):
        with pytest.raises(OverflowError) as e:
            set_cls(capacity=-1)
        assert e.value.__notes__ == ["while processing 'capacity'"]
        with pytest.raises(OverflowError, match="out of range integral type conversion attempted"):
            set_cls(capacity=2**32)
        with pytest.raises(TypeError) as e:
            set_cls(capacity=1.5)
        assert e.value.__notes__ == ["while processing 'capacity'"]

    def test_iterable_errors_propagate(self, set_cls):
        with pytest.raises(TypeError, match="not iterable"):
            set_cls(5)
        with pytest.raises(TypeError, match="unhashable"):
            set_cls([1, [2]])

        def broken():
            yield 1
            raise ZeroDivisionError

        with pytest.raises(ZeroDivisionError):
            set_cls(broken())

    def test_type_properties(self, set_cls):
        s = set_cls([1])
        assert isinstance(s, collections.abc.MutableSet)
        assert set_cls.__module__ == "quarlex"
        with pytest.raises(TypeError, match="unhashable"):
            hash(s)
        with pytest.raises(TypeError):

            class Sub(set_cls):  # noqa: F841
                pass

        alias = set_cls[int]
        assert isinstance(alias, types.GenericAlias)
        assert alias.__origin__ is set_cls and alias.__args__ == (int,)

    def test_module_attributes(self):
        public = [n for n in dir(quarlex) if not n.startswith("__")]
        assert public == sorted(
            ["ElasticHashMap", "FunnelHashMap", "ElasticHashSet", "FunnelHashSet"]
        )
        assert list(vars(quarlex))[-4:] == [
            "ElasticHashMap",
            "FunnelHashMap",
            "ElasticHashSet",
            "FunnelHashSet",
        ]

    def test_text_signatures(self, set_cls):
        assert str(inspect.signature(set_cls)) == "(iterable=None, *, capacity=0)"
        assert set_cls.__doc__.startswith("Binding wrapper around the native")
        text = {name: getattr(set_cls, name).__text_signature__ for name in dir(set_cls)
                if not name.startswith("_") and name not in ("capacity", "reserve_exponent")}
        text["__class_getitem__"] = set_cls.__class_getitem__.__text_signature__
        assert text == {
            "with_options": "($cls, capacity=0, reserve_exponent=None)",
            "__class_getitem__": "($cls, item)",
            **dict.fromkeys(["copy", "pop", "clear"], "($self)"),
            **dict.fromkeys(["add", "discard", "remove"], "($self, value)"),
            **dict.fromkeys(["isdisjoint", "issubset", "issuperset", "symmetric_difference",
                             "symmetric_difference_update"], "($self, other)"),
            **dict.fromkeys(["union", "intersection", "difference", "update",
                             "intersection_update", "difference_update"], "($self, *others)"),
        }
        assert (
            set_cls.__class_getitem__.__doc__
            == "Runtime support for `Cls[T]` via `types.GenericAlias`."
        )


class TestOptions:
    def test_defaults_and_exact_class(self, set_cls):
        s = set_cls.with_options()
        assert type(s) is set_cls and len(s) == 0
        assert type(set_cls.with_options(capacity=10, reserve_exponent=None)) is set_cls
        assert set_cls.with_options(100, 5).capacity >= 100

    def test_exponent_rules(self, set_cls):
        with pytest.raises(ValueError, match="^reserve exponent must be positive$"):
            set_cls.with_options(reserve_exponent=0)
        if set_cls is quarlex.FunnelHashSet:
            for e in (1, 2):
                with pytest.raises(ValueError) as err:
                    set_cls.with_options(reserve_exponent=e)
                assert str(err.value) == FUNNEL_RESERVE
        else:
            for e in (1, 2):
                s = set_cls.with_options(capacity=50, reserve_exponent=e)
                s.update(range(200))
                assert set(s) == set(range(200))

    def test_conversion_errors_carry_the_argument_name(self, set_cls):
        with pytest.raises(OverflowError) as e:
            set_cls.with_options(reserve_exponent=-1)
        assert e.value.__notes__ == ["while processing 'reserve_exponent'"]
        with pytest.raises(OverflowError) as e:
            set_cls.with_options(capacity=2**40)
        assert e.value.__notes__ == ["while processing 'capacity'"]

    def test_argument_binding(self, set_cls):
        too_many = r"with_options\(\) takes at most 2 arguments \(3 given\)"
        with pytest.raises(TypeError, match=too_many):
            set_cls.with_options(1, 2, 3)
        with pytest.raises(TypeError, match="unexpected keyword argument 'size'"):
            set_cls.with_options(size=1)
        with pytest.raises(TypeError, match=r"given by name \('capacity'\) and position \(1\)"):
            set_cls.with_options(1, capacity=2)

    def test_no_table_for_capacity_is_memory_error(self):
        with pytest.raises(MemoryError):
            quarlex.ElasticHashSet.with_options(capacity=2**32 - 1)
        with pytest.raises(MemoryError):
            quarlex.ElasticHashSet(capacity=2**32 - 1)


class TestDescription:
    def test_repr(self, set_cls):
        s = set_cls([1, 2])
        assert repr(s) == f"{set_cls.__name__}(len=2, capacity={s.capacity})"
        e = set_cls()
        assert repr(e) == f"{set_cls.__name__}(len=0, capacity={e.capacity})"
        assert repr(quarlex.ElasticHashSet()) == "ElasticHashSet(len=0, capacity=0)"

    def test_copy_is_equal_distinct_and_keeps_its_room(self, set_cls):
        s = set_cls.with_options(capacity=5000, reserve_exponent=5)
        s.update(range(10))
        c = s.copy()
        assert type(c) is set_cls and c is not s and c == s
        assert c.capacity == s.capacity
        c.add(99)
        assert 99 not in s

    # Key.hashes counts every Key hashed in the process, also by other threads.
    @pytest.mark.thread_unsafe
    def test_copy_and_same_class_algebra_never_rehash(self, set_cls):
        keys = [Key(i) for i in range(50)]
        s = set_cls(keys)
        t = set_cls(keys[25:] + [Key(i) for i in range(100, 110)])
        Key.hashes = 0
        s.copy()
        s | t, s & t, s - t, s ^ t
        s.union(t), s.intersection(t), s.difference(t), s.symmetric_difference(t)
        s.issubset(t), s.issuperset(t), s.isdisjoint(t), s == t
        u = s.copy()
        u |= t
        u &= t
        u ^= t
        u -= t
        assert Key.hashes == 0


# ---------------------------------------------------------------- elements


class TestElements:
    def test_add_keeps_first_object_and_bumps_once(self, set_cls):
        s = set_cls()
        a, b = (1, 2), (1, 2)
        it = iter(s)
        s.add(a)
        assert not still_valid(it)
        it = iter(s)
        s.add(b)
        assert still_valid(it)
        assert next(iter(s)) is a
        s.add(value=3)
        assert 3 in s

    def test_discard(self, set_cls):
        s = set_cls([1, 2])
        it = iter(s)
        s.discard(99)
        assert still_valid(it)
        s.discard(1)
        assert not still_valid(it)
        assert set(s) == {2}

    def test_remove(self, set_cls):
        s = set_cls([1, (2, 3)])
        it = iter(s)
        with pytest.raises(KeyError) as e:
            s.remove(99)
        assert e.value.args == (99,)
        with pytest.raises(KeyError) as e:
            s.remove((4, 5))
        assert e.value.args == ((4, 5),)
        assert still_valid(it)
        s.remove((2, 3))
        assert not still_valid(it)
        assert set(s) == {1}

    def test_pop(self, set_cls):
        with pytest.raises(KeyError) as e:
            set_cls().pop()
        assert e.value.args == ("pop from an empty set",)
        s = set_cls(range(20))
        first = next(iter(s))
        it = iter(s)
        assert s.pop() == first
        assert len(s) == 19 and first not in s
        assert not still_valid(it)
        drained = {s.pop() for _ in range(19)}
        assert drained == set(range(20)) - {first} and len(s) == 0

    def test_clear_always_bumps(self, set_cls):
        s = set_cls()
        it = iter(s)
        s.clear()
        assert not still_valid(it)
        s = set_cls(range(100))
        s.clear()
        assert len(s) == 0 and list(s) == []
        s.add(5)
        assert set(s) == {5}

    def test_contains(self, set_cls):
        s = set_cls([1, "a", (1, 2), 2**70])
        assert 1 in s and 1.0 in s and True in s and "a" in s and (1, 2) in s and 2**70 in s
        assert 2 not in s and "b" not in s
        with pytest.raises(TypeError, match="unhashable"):
            {1} in s  # noqa: B015
        with pytest.raises(TypeError, match="unhashable"):
            [] in s  # noqa: B015

    def test_unhashable_value_leaves_set_unchanged(self, set_cls):
        s = set_cls([1])
        it = iter(s)
        for op in (s.add, s.discard, s.remove):
            with pytest.raises(TypeError, match="unhashable"):
                op([1])
        assert set(s) == {1} and still_valid(it)

    def test_argument_binding(self, set_cls):
        s = set_cls()
        with pytest.raises(TypeError, match=r"add\(\) missing required argument 'value' \(pos 1\)"):
            s.add()
        with pytest.raises(TypeError, match=r"add\(\) takes at most 1 argument \(2 given\)"):
            s.add(1, 2)
        with pytest.raises(TypeError, match=r"discard\(\) got an unexpected keyword argument 'v'"):
            s.discard(v=1)
        with pytest.raises(TypeError):
            s.pop(1)
        with pytest.raises(TypeError, match="takes no keyword arguments"):
            s.union(others=[1])

    def test_equal_elements_of_different_types(self, set_cls):
        s = set_cls([1, 2**64, "é", "a\ud800"])
        s.add(1.0)
        s.add(True)
        s.add(2**64 + 0)  # a distinct but equal big int
        s.add("a\ud800".encode("utf-8", "surrogatepass").decode("utf-8", "surrogatepass"))
        assert len(s) == 4
        assert type(next(x for x in s if x == 1)) is int


class TestIteration:
    def test_iterator_class_and_snapshot(self, set_cls):
        s = set_cls(range(5))
        it = iter(s)
        prefix = set_cls.__name__.removesuffix("HashSet")
        assert type(it).__name__ == f"_{prefix}SetIter"
        assert type(it).__module__ == "quarlex"
        assert iter(it) is it
        assert sorted(it) == list(range(5))

    def test_modified_after_exhaustion_still_raises(self, set_cls):
        s = set_cls()
        it = iter(s)
        assert list(it) == []
        s.add(1)
        for _ in range(2):
            with pytest.raises(RuntimeError, match=CHANGED):
                next(it)

    def test_iterator_keeps_set_alive(self, set_cls):
        s = set_cls([Obj(1), Obj(2)])
        refs = [weakref.ref(x) for x in s]
        it = iter(s)
        next(it)
        del s
        assert _alive(refs) == 2
        assert [x.i for x in it] in ([1], [2])
        del it
        assert _alive(refs) == 0


# ---------------------------------------------------------------- algebra

LEFT = [1, 2, 3, 4, "x", (5, 6)]
RIGHT = [3, 4, 5, "y", (5, 6), 7.0]


class TestAlgebra:
    """Each result against the built-in set, for every operand kind."""

    def test_named_methods(self, set_cls, operand):
        s = set_cls(LEFT)
        a, b = set(LEFT), set(RIGHT)
        cases = [
            ("union", a | b),
            ("intersection", a & b),
            ("difference", a - b),
            ("symmetric_difference", a ^ b),
        ]
        for name, expected in cases:
            r = getattr(s, name)(operand(RIGHT))
            assert type(r) is set_cls and r is not s
            assert set(r) == expected, name
        assert set(s) == a

    def test_named_methods_with_several_operands(self, set_cls, operand):
        s = set_cls(LEFT)
        assert set(s.union(operand([9]), operand(RIGHT), [10])) == set(LEFT) | set(RIGHT) | {9, 10}
        assert set(s.intersection(operand(RIGHT), [3, 5, (5, 6)])) == {3, (5, 6)}
        assert set(s.difference(operand([1]), operand(RIGHT))) == {2, "x"}
        for name in ("union", "intersection", "difference"):
            r = getattr(s, name)()
            assert r == s and r is not s and type(r) is set_cls

    def test_operators(self, set_cls, operand):
        s = set_cls(LEFT)
        a, b = set(LEFT), set(RIGHT)
        for r, expected in [
            (s | operand(RIGHT), a | b),
            (s & operand(RIGHT), a & b),
            (s - operand(RIGHT), a - b),
            (s ^ operand(RIGHT), a ^ b),
        ]:
            assert type(r) is set_cls and set(r) == expected

    def test_in_place(self, set_cls, operand):
        a, b = set(LEFT), set(RIGHT)
        for method, op, expected in [
            ("update", "__ior__", a | b),
            ("intersection_update", "__iand__", a & b),
            ("difference_update", "__isub__", a - b),
            ("symmetric_difference_update", "__ixor__", a ^ b),
        ]:
            s = set_cls(LEFT)
            assert getattr(s, method)(operand(RIGHT)) is None
            assert set(s) == expected, method
            s = set_cls(LEFT)
            t = s
            t = getattr(t, op)(operand(RIGHT))
            assert t is s and set(s) == expected, op

    def test_several_operand_updates(self, set_cls, operand):
        s = set_cls(LEFT)
        s.update(operand([8]), operand(RIGHT), [])
        assert set(s) == set(LEFT) | set(RIGHT) | {8}
        s.intersection_update(operand(RIGHT), operand([3, 7.0, "zz"]))
        assert set(s) == {3, 7}
        s.difference_update(operand([3]), [])
        assert set(s) == {7}

    def test_reflected_operators(self, set_cls):
        s = set_cls([1, 2])
        for other in ([2, 3], (2, 3), {2, 3}, frozenset({2, 3})):
            for r, expected in [
                (other | s, {1, 2, 3}),
                (other & s, {2}),
                (other ^ s, {1, 3}),
                (other - s, {3}),
            ]:
                assert type(r) is set_cls and set(r) == expected
        assert set([1, 2, 3] - set_cls([2])) == {1, 3}
        r = (x for x in [2, 3, 3]) - s
        assert type(r) is set_cls and set(r) == {3}

    def test_other_class_on_the_left_keeps_its_class(self, set_cls, other_set_cls):
        r = other_set_cls([1, 2]) | set_cls([3])
        assert type(r) is other_set_cls and set(r) == {1, 2, 3}

    def test_xor_toggles_duplicates_once(self, set_cls):
        s = set_cls([2])
        assert set(s ^ [1, 1]) == {1, 2}
        s ^= [1, 1, 2, 2]
        assert set(s) == {1}

    def test_non_iterable_operand_is_type_error(self, set_cls):
        s = set_cls([1])
        attempts = [
            lambda: s | 5, lambda: 5 | s, lambda: s & 5, lambda: 5 & s,
            lambda: s - 5, lambda: 5 - s, lambda: s ^ 5, lambda: 5 ^ s,
            lambda: s.union(5), lambda: s.intersection(5), lambda: s.difference(5),
            lambda: s.symmetric_difference(5), lambda: s.update(5),
            lambda: s.intersection_update(5), lambda: s.difference_update(5),
            lambda: s.symmetric_difference_update(5), lambda: s.issubset(5),
            lambda: s.issuperset(5), lambda: s.isdisjoint(5),
        ]
        for attempt in attempts:
            with pytest.raises(TypeError, match="not iterable"):
                attempt()
        for stmt in ("s |= 5", "s &= 5", "s -= 5", "s ^= 5"):
            with pytest.raises(TypeError, match="not iterable"):
                exec(stmt, {"s": s})
        assert set(s) == {1}

    def test_unhashable_element(self, set_cls):
        s = set_cls([1])
        for attempt in [
            lambda: s | [[1]], lambda: s & [[1]], lambda: s - [[1]], lambda: s ^ [[1]],
            lambda: s.issubset([[1]]), lambda: s.issuperset([[1]]),
            lambda: s.isdisjoint([[1]]),
        ]:
            with pytest.raises(TypeError, match="unhashable"):
                attempt()
        assert set(s) == {1}

    def test_earlier_elements_stay_after_an_error(self, set_cls):
        s = set_cls([1, 2, 3])
        with pytest.raises(TypeError):
            s.update([4, [5]])
        assert set(s) == {1, 2, 3, 4}
        with pytest.raises(TypeError):
            s.difference_update([1, [5]])
        assert set(s) == {2, 3, 4}
        with pytest.raises(TypeError):
            s.update([7], 5)
        assert 7 in s

    def test_symmetric_difference_fails_before_changing(self, set_cls):
        s = set_cls([1, 2])
        with pytest.raises(TypeError):
            s.symmetric_difference_update([1, 3, [4]])
        with pytest.raises(TypeError):
            s ^= [1, 3, [4]]
        assert set(s) == {1, 2}

    def test_retain_in_failing_membership_leaves_receiver_unchanged(self, set_cls):
        # The receiver's element and the pool's element share a hash, so the
        # membership test has to compare them, and that comparison raises.
        x = Bomb(7)
        s = set_cls([x, 1, 2])
        it = iter(s)
        for attempt in (
            lambda: s.intersection_update([Bomb(7), 1]),
            lambda: s.__iand__([Bomb(7), 1]),
        ):
            with pytest.raises(ValueError, match="no comparison"):
                attempt()
            assert len(s) == 3 and x in s and 1 in s and 2 in s
        with pytest.raises(ValueError):
            s & [Bomb(7)]
        with pytest.raises(ValueError):
            s.intersection([Bomb(7)])
        with pytest.raises(ValueError):
            s.issubset([Bomb(7), 1, 2])
        assert still_valid(it)

    def test_retain_in_error_while_building_pool(self, set_cls):
        s = set_cls([1, 2])
        with pytest.raises(TypeError):
            s.intersection_update([1, [2]])
        assert set(s) == {1, 2}


class TestSelfOperand:
    def test_in_place_forms_give_algebraic_result(self, set_cls):
        for stmt, expected, bumped in [
            ("s |= s", {1, 2}, False),
            ("s &= s", {1, 2}, False),
            ("s -= s", set(), True),
            ("s ^= s", set(), True),
            ("s.update(s)", {1, 2}, False),
            ("s.intersection_update(s)", {1, 2}, False),
            ("s.difference_update(s)", set(), True),
            ("s.symmetric_difference_update(s)", set(), True),
            ("s.update(s, [3])", {1, 2, 3}, True),
            ("s.difference_update([9], s)", set(), True),
        ]:
            s = set_cls([1, 2])
            orig = s
            it = iter(s)
            ns = {"s": s}
            exec(stmt, ns)
            assert ns["s"] is orig and set(orig) == expected, stmt
            assert still_valid(it) is not bumped, stmt

    def test_empty_self_difference_does_not_bump(self, set_cls):
        s = set_cls()
        it = iter(s)
        s -= s
        s ^= s
        assert still_valid(it)

    def test_new_set_forms(self, set_cls):
        s = set_cls([1, 2])
        assert set(s | s) == {1, 2} and set(s & s) == {1, 2}
        assert set(s - s) == set() and set(s ^ s) == set()
        assert set(s.union(s, s)) == {1, 2} and set(s.difference(s)) == set()
        assert s.issubset(s) and s.issuperset(s) and not s.isdisjoint(s)


class TestBumps:
    """The counter as live iterators see it."""

    def test_updates_that_change_nothing_keep_iterators(self, set_cls):
        s = set_cls([1, 2])
        it = iter(s)
        s.update()
        s.update([1], set_cls([2]), [])
        s.intersection_update()
        s.intersection_update([1, 2, 3])
        s.difference_update()
        s.difference_update([7, 8])
        s.symmetric_difference_update([])
        s |= [1]
        s &= [1, 2]
        s -= [5]
        s ^= ()
        assert still_valid(it)

    def test_toggle_with_unchanged_length_bumps(self, set_cls):
        s = set_cls([1, 2])
        it = iter(s)
        s ^= [2, 3]
        assert len(s) == 2 and set(s) == {1, 3}
        assert not still_valid(it)
        it = iter(s)
        s.symmetric_difference_update(set_cls([1, 4]))
        assert set(s) == {3, 4} and not still_valid(it)

    def test_update_that_fails_part_way_keeps_its_elements_and_bumps(self, set_cls):
        s = set_cls([1])
        it = iter(s)
        with pytest.raises(TypeError):
            s.update([2, [3]])
        assert 2 in s and not still_valid(it)
        it = iter(s)
        with pytest.raises(TypeError):
            s ^= [5, [3]]
        assert 5 not in s and still_valid(it)

    def test_new_set_operations_leave_the_receiver_alone(self, set_cls):
        s = set_cls([1, 2])
        it = iter(s)
        s | [3], s & [1], s - [1], s ^ [1], [4] - s
        s.union([3]), s.intersection([1]), s.difference([1]), s.symmetric_difference([1])
        s.copy(), s.issubset([1]), s.issuperset([1]), s.isdisjoint([1]), s == {1}
        assert still_valid(it) and set(s) == {1, 2}


# ---------------------------------------------------------------- comparisons


class TestComparisons:
    def test_subset_superset_disjoint(self, set_cls, operand):
        s = set_cls([1, 2])
        assert s.issubset(operand([1, 2, 3]))
        assert not s.issubset(operand([1, 3]))
        assert s.issuperset(operand([1]))
        assert not s.issuperset(operand([1, 3]))
        assert s.isdisjoint(operand([3, 4]))
        assert not s.isdisjoint(operand([4, 2]))
        assert set_cls().issubset(operand([])) and set_cls().isdisjoint(operand([]))
        assert s.isdisjoint(iter([3]))

    def test_equality(self, set_cls, other_set_cls):
        s = set_cls([1, 2])
        assert s == {1, 2} and {1, 2} == s
        assert s == frozenset({1, 2}) and frozenset({1, 2}) == s
        assert s == set_cls([2, 1]) and s == other_set_cls([1, 2])
        assert s == {1: "a", 2: "b"}.keys()
        assert s != [1, 2] and not (s == [1, 2])
        assert s != {1, 2, 3} and s != {1, 3} and s != set_cls([1])
        assert s != 5 and not (s == 5) and s != {1: 0, 2: 0}
        assert set_cls() == set_cls() and set_cls() == set()

        class SetSub(set):
            pass

        assert s == SetSub({1, 2})

    def test_equality_with_set_like_objects(self, set_cls):
        class FakeSet(collections.abc.Set):
            def __init__(self, items, length=None):
                self.items = list(items)
                self.length = length

            def __contains__(self, x):
                return x in self.items

            def __iter__(self):
                return iter(self.items)

            def __len__(self):
                if self.length is not None:
                    raise self.length
                return len(self.items)

        s = set_cls([1, 2])
        assert s == FakeSet([2, 1])
        assert s != FakeSet([1, 3])
        assert s != FakeSet([1, 2], length=ValueError("no len"))
        with pytest.raises(TypeError, match="unhashable"):
            s == FakeSet([1, []])  # noqa: B015

    def test_equality_ignores_failing_element_comparisons(self, set_cls):
        x = Bomb(3)
        s = set_cls([x])
        assert s == {x}
        assert s != set_cls([Bomb(3)])


# ---------------------------------------------------------------- borrows


class Reentrant:
    """An element whose __hash__ and __eq__ run `action` on a target set and
    record what it raised."""

    def __init__(self, action, h=1234):
        self.action = action
        self.h = h
        self.seen = []
        self.armed = False

    def fire(self):
        if not self.armed:
            return
        try:
            self.action()
        except RuntimeError as e:
            self.seen.append(str(e))

    def __hash__(self):
        self.fire()
        return self.h

    def __eq__(self, other):
        self.fire()
        return other is self


class TestBorrows:
    def test_hash_touching_the_set_during_a_mutation(self, set_cls):
        s = set_cls([1])
        for action, message in [
            (lambda: len(s), "Already mutably borrowed"),
            (lambda: 1 in s, "Already mutably borrowed"),
            (lambda: iter(s), "Already mutably borrowed"),
            (lambda: s.copy(), "Already mutably borrowed"),
            (lambda: s.add(2), "Already borrowed"),
            (lambda: s.clear(), "Already borrowed"),
        ]:
            k = Reentrant(action)
            k.armed = True
            s.add(k)
            assert k.seen == [message]
            k.armed = False
            assert set(s) == {1, k}
            s.remove(k)

    def test_iterator_step_during_a_mutation(self, set_cls):
        s = set_cls([1])
        it = iter(s)
        k = Reentrant(lambda: next(it))
        k.armed = True
        s.add(k)
        assert k.seen == ["Already mutably borrowed"]

    def test_eq_touching_the_set_during_bulk_operations(self, set_cls):
        s = set_cls()
        k = Reentrant(lambda: s.discard(0), h=77)
        s.add(k)
        other = Reentrant(lambda: s.discard(0), h=77)
        k.armed = other.armed = True
        s.update([other])
        assert "Already borrowed" in k.seen + other.seen
        assert len(s) == 2

    def test_generator_operand_touching_the_receiver(self, set_cls):
        s = set_cls([1, 2])

        def gen():
            yield 3
            s.add(4)

        s.update(gen())
        assert set(s) == {1, 2, 3, 4}
        assert set(s.union(x for x in s)) == {1, 2, 3, 4}
        with pytest.raises(RuntimeError, match="Already borrowed"):
            s | gen()


# ---------------------------------------------------------------- ownership


class Obj:
    """A weak-referenceable element."""

    def __init__(self, i):
        self.i = i

    def __hash__(self):
        return hash(self.i)

    def __eq__(self, other):
        return isinstance(other, Obj) and other.i == self.i


def _alive(refs):
    gc.collect()
    return sum(r() is not None for r in refs)


class TestOwnership:
    def test_elements_released_by_every_path(self, set_cls, other_set_cls):
        objs = [Obj(i) for i in range(40)]
        refs = [weakref.ref(o) for o in objs]
        s = set_cls(objs)
        t = set_cls(objs[20:])
        f = other_set_cls(objs[::3])
        results = [
            s | t, s & t, s - t, s ^ t, s | f, s & f, s - f, s ^ f,
            s.union(objs[5:9], t), s.intersection(objs), objs[::2] - s, s.copy(),
        ]
        u = s.copy()
        u ^= objs[10:30]
        u &= f
        u |= t
        u -= objs[:5]
        s.discard(objs[0])
        s.remove(objs[1])
        s.pop()
        it = iter(s)
        next(it)
        s.issubset(objs), s.isdisjoint(objs), s == set(objs)
        del objs, results, u, it
        assert _alive(refs) > 0
        del s, t, f
        assert _alive(refs) == 0

    def test_clear_and_failed_operations_release(self, set_cls):
        objs = [Obj(i) for i in range(10)]
        refs = [weakref.ref(o) for o in objs]
        s = set_cls(objs)
        with pytest.raises(TypeError):
            s.symmetric_difference_update(objs + [[]])
        with pytest.raises(TypeError):
            set_cls(objs + [[]])
        s.clear()
        del objs
        assert _alive(refs) == 0
        del s

    def test_duplicate_add_does_not_leak(self, set_cls):
        import sys

        x = Obj(1)
        s = set_cls([x])
        before = sys.getrefcount(x)
        for _ in range(100):
            s.add(Obj(1))
            s.add(x)
            s.update([x, x])
            s |= [x]
        assert sys.getrefcount(x) == before
