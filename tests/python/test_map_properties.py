"""Stateful property test: each map class against a dict model.

Keys mix types that compare across type boundaries (1, 1.0, True), ints
beyond 64 bits, non-ASCII strings and lone surrogates, and tuples. Both the
map and dict keep the first key object of an equal run, so contents are
compared through sorted reprs, which also checks which object was kept.
"""

import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

import quarlex

small_ints = st.integers(-40, 40)
keys = st.one_of(
    small_ints,
    st.integers(-(2**80), 2**80),
    st.sampled_from([2**63 - 1, 2**63, -(2**63), -(2**63) - 1, 2**64, 2**64 - 1]),
    small_ints.map(float),
    st.booleans(),
    st.text(st.characters(exclude_categories=()), max_size=3),
    st.tuples(small_ints, st.text(max_size=2)),
)
values = st.integers(-5, 5) | st.none() | st.text(max_size=2)
pairs = st.lists(st.tuples(keys, values), max_size=12)


def contents(mapping):
    return sorted(repr(item) for item in mapping.items())


class MapMachine(RuleBasedStateMachine):
    cls = None
    lowest_exponent = 1

    def __init__(self):
        super().__init__()
        self.m = None
        self.model = {}

    @initialize(
        exponent=st.none() | st.integers(1, 8),
        capacity=st.integers(0, 40),
        initial=pairs,
    )
    def build(self, exponent, capacity, initial):
        if exponent is None:
            self.m = self.cls(initial, capacity=capacity)
            self.model = dict(initial)
        else:
            exponent = max(exponent, self.lowest_exponent)
            self.m = self.cls.with_options(capacity, exponent)
            assert self.m.capacity >= capacity
            for k, v in initial:
                self.m[k] = v
            self.model = dict(initial)

    # ------------------------------------------------------------ single keys

    @rule(k=keys, v=values)
    def setitem(self, k, v):
        self.m[k] = v
        self.model[k] = v

    @rule(k=keys)
    def getitem(self, k):
        if k in self.model:
            assert self.m[k] == self.model[k]
        else:
            with pytest.raises(KeyError):
                self.m[k]

    @rule(k=keys)
    def delitem(self, k):
        if k in self.model:
            del self.m[k]
            del self.model[k]
        else:
            with pytest.raises(KeyError):
                del self.m[k]

    @rule(k=keys, default=values)
    def lookups(self, k, default):
        assert (k in self.m) == (k in self.model)
        assert self.m.get(k) == self.model.get(k)
        assert self.m.get(k, default) == self.model.get(k, default)

    @rule(k=keys, default=values, use_default=st.booleans())
    def pop(self, k, default, use_default):
        if use_default:
            assert self.m.pop(k, default) == self.model.pop(k, default)
        elif k in self.model:
            assert self.m.pop(k) == self.model.pop(k)
        else:
            with pytest.raises(KeyError):
                self.m.pop(k)

    @rule()
    def popitem(self):
        if not self.model:
            with pytest.raises(KeyError):
                self.m.popitem()
            return
        first = next(iter(self.m.items()))
        k, v = self.m.popitem()
        assert (k, v) == first and self.model.pop(k) == v

    @rule(k=keys, default=values)
    def setdefault(self, k, default):
        assert self.m.setdefault(k, default) == self.model.setdefault(k, default)

    # ------------------------------------------------------------ bulk

    @rule(start=st.integers(-1000, 1000), n=st.integers(0, 400))
    def insert_run(self, start, n):
        for i in range(start, start + n):
            self.m[i] = i
            self.model[i] = i

    @rule(start=st.integers(-1000, 1000), n=st.integers(0, 400), step=st.integers(1, 3))
    def remove_run(self, start, n, step):
        for i in range(start, start + n, step):
            assert self.m.pop(i, "gone") == self.model.pop(i, "gone")

    @rule(source=pairs, kwargs=st.dictionaries(st.sampled_from("abc"), values, max_size=2),
          form=st.sampled_from(["dict", "pairs", "same", "other", "keywords_only"]))
    def update(self, source, kwargs, form):
        if form == "dict":
            self.m.update(dict(source), **kwargs)
        elif form == "pairs":
            self.m.update(iter(source), **kwargs)
        elif form == "same":
            self.m.update(self.cls(source), **kwargs)
        elif form == "other":
            other = quarlex.FunnelHashMap if self.cls is quarlex.ElasticHashMap else quarlex.ElasticHashMap
            self.m.update(other(source), **kwargs)
        else:
            self.m.update(**kwargs)
            source = []
        self.model.update(source, **kwargs)

    @rule(source=pairs, inplace=st.booleans(), reflected=st.booleans())
    def merge(self, source, inplace, reflected):
        other = dict(source)
        if inplace:
            self.m |= other
            self.model |= other
        elif reflected:
            merged = other | self.m
            assert type(merged) is self.cls and contents(merged) == contents(other | self.model)
        else:
            merged = self.m | other
            assert type(merged) is self.cls and contents(merged) == contents(self.model | other)

    @rule()
    def copy(self):
        dup = self.m.copy()
        assert dup == self.m and contents(dup) == contents(self.model)
        self.m = dup

    @rule(ks=st.lists(keys, max_size=8), v=values)
    def fromkeys(self, ks, v):
        assert contents(self.cls.fromkeys(ks, v)) == contents(dict.fromkeys(ks, v))

    @precondition(lambda self: len(self.model) < 50)
    @rule()
    def clear(self):
        self.m.clear()
        self.model.clear()

    # ------------------------------------------------------------ comparison and views

    @rule(k=keys, v=values)
    def equality(self, k, v):
        assert self.m == self.model and self.model == self.m
        changed = dict(self.model)
        changed[k] = v
        assert (self.m == changed) == (self.model == changed)
        assert (self.m != changed) == (self.model != changed)

    @rule(probe=st.lists(keys, max_size=6), v=values)
    def views(self, probe, v):
        ks, dks = self.m.keys(), self.model.keys()
        other = set(probe)
        assert ks - other == dks - other and ks & other == dks & other
        assert ks | other == dks | other and ks ^ other == dks ^ other
        assert (ks == set(dks)) and self.m.items() == set(self.model.items())
        for k in probe:
            assert (k in ks) == (k in dks)
            assert ((k, v) in self.m.items()) == ((k, v) in self.model.items())
        assert (v in self.m.values()) == (v in self.model.values())

    @invariant()
    def same_contents(self):
        if self.m is None:
            return
        assert len(self.m) == len(self.model)
        assert contents(self.m) == contents(self.model)
        listed = list(self.m)
        assert sorted(map(repr, listed)) == sorted(map(repr, self.model))
        assert listed == list(self.m.keys()) == [k for k, _ in self.m.items()]
        assert [self.m[k] for k in listed] == list(self.m.values())
        assert self.m.capacity >= len(self.m)


SETTINGS = settings(
    max_examples=30,
    stateful_step_count=40,
    deadline=None,
    derandomize=True,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)


class ElasticMachine(MapMachine):
    cls = quarlex.ElasticHashMap
    lowest_exponent = 1


class FunnelMachine(MapMachine):
    cls = quarlex.FunnelHashMap
    lowest_exponent = 3


TestElasticAgainstDict = ElasticMachine.TestCase
TestElasticAgainstDict.settings = SETTINGS
TestFunnelAgainstDict = FunnelMachine.TestCase
TestFunnelAgainstDict.settings = SETTINGS
