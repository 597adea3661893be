"""Stateful property test: each set class against the built-in set over every
method and operator, with operands of every kind, mixed element types,
growth, removal-triggered rebuilds and with_options exponents. Every step
also checks the counter: a live iterator survives exactly the steps that
left the contents as they were."""

import hypothesis.strategies as st
from hypothesis import HealthCheck, settings
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule

import quarlex
from iterstate import still_valid


elements = st.one_of(
    st.integers(-20, 20),
    st.integers(-(2**70), 2**70),
    st.sampled_from([0.0, -0.0, 1.0, 2.0, 2.5, True, False, 2**64, -(2**63)]),
    st.text(max_size=3),
    st.text(st.characters(min_codepoint=0xD800, max_codepoint=0xDFFF), min_size=1, max_size=2),
    st.tuples(st.integers(-3, 3), st.text(max_size=1)),
)
element_lists = st.lists(elements, max_size=12)

OPERAND_KINDS = ["same", "other", "set", "frozenset", "list", "generator", "dict_keys"]
SET_LIKE = {"same", "other", "set", "frozenset", "dict_keys"}
operands = st.tuples(st.sampled_from(OPERAND_KINDS), element_lists)

NEW_SET_METHODS = {
    "union": lambda a, *bs: a.union(*bs),
    "intersection": lambda a, *bs: a.intersection(*bs),
    "difference": lambda a, *bs: a.difference(*bs),
}
UPDATE_METHODS = {
    "update": set.update,
    "intersection_update": set.intersection_update,
    "difference_update": set.difference_update,
}
OPERATORS = {
    "|": lambda a, b: a | b,
    "&": lambda a, b: a & b,
    "-": lambda a, b: a - b,
    "^": lambda a, b: a ^ b,
}
IN_PLACE = {"|=": "__ior__", "&=": "__iand__", "-=": "__isub__", "^=": "__ixor__"}


def machine_for(cls, other_cls):
    min_exponent = 3 if cls is quarlex.FunnelHashSet else 1

    class SetMachine(RuleBasedStateMachine):
        def __init__(self):
            super().__init__()
            self.model = set()
            self.real = cls()

        def make(self, operand):
            kind, xs = operand
            return {
                "same": lambda: cls(xs),
                "other": lambda: other_cls(xs),
                "set": lambda: set(xs),
                "frozenset": lambda: frozenset(xs),
                "list": lambda: xs + xs[::2],
                "generator": lambda: (x for x in xs),
                "dict_keys": lambda: dict.fromkeys(xs).keys(),
            }[kind]()

        def mutate(self, action, always_bumps=False):
            """Runs `action` on the real set and the model; the counter
            must move exactly when the contents changed."""
            it = iter(self.real)
            before = frozenset(self.model)
            action()
            changed = always_bumps or before != self.model
            assert still_valid(it) is not changed

        @initialize(capacity=st.integers(0, 60), exponent=st.integers(min_exponent, 6) | st.none())
        def build(self, capacity, exponent):
            self.real = cls.with_options(capacity=capacity, reserve_exponent=exponent)

        # ------------------------------------------------ elements

        @rule(x=elements)
        def add(self, x):
            self.mutate(lambda: (self.real.add(x), self.model.add(x)))

        @rule(x=elements)
        def discard(self, x):
            self.mutate(lambda: (self.real.discard(x), self.model.discard(x)))

        @rule(x=elements)
        def remove(self, x):
            def both():
                present = x in self.model
                try:
                    self.real.remove(x)
                except KeyError as e:
                    assert not present and e.args == (x,)
                else:
                    assert present
                    self.model.remove(x)

            self.mutate(both)

        @rule()
        def pop(self):
            def both():
                if not self.model:
                    try:
                        self.real.pop()
                    except KeyError as e:
                        assert e.args == ("pop from an empty set",)
                    else:
                        raise AssertionError("pop from an empty set succeeded")
                    return
                first = next(iter(self.real))
                popped = self.real.pop()
                assert popped is first and popped in self.model
                self.model.remove(popped)

            self.mutate(both)

        @rule()
        def clear(self):
            self.mutate(lambda: (self.real.clear(), self.model.clear()), always_bumps=True)

        @rule(x=elements)
        def contains(self, x):
            assert (x in self.real) == (x in self.model)

        @rule(start=st.integers(-500, 500), n=st.integers(50, 400))
        def grow(self, start, n):
            xs = range(start, start + n)
            self.mutate(lambda: (self.real.update(xs), self.model.update(xs)))

        @rule(step=st.integers(1, 3))
        def shrink(self, step):
            victims = list(self.model)[::step]
            self.mutate(lambda: (self.real.difference_update(victims),
                                 self.model.difference_update(victims)))

        @rule(copy=st.booleans(), capacity=st.integers(0, 100),
              exponent=st.integers(min_exponent, 6))
        def rebuild(self, copy, capacity, exponent):
            if copy:
                fresh = self.real.copy()
            else:
                fresh = cls.with_options(capacity, exponent)
                fresh |= self.real
            assert fresh == self.real and type(fresh) is cls
            self.real = fresh

        # ------------------------------------------------ algebra

        @rule(name=st.sampled_from(sorted(NEW_SET_METHODS)), ops=st.lists(operands, max_size=3))
        def new_set_method(self, name, ops):
            it = iter(self.real)
            got = NEW_SET_METHODS[name](self.real, *(self.make(o) for o in ops))
            expected = NEW_SET_METHODS[name](self.model, *(set(xs) for _, xs in ops))
            assert type(got) is cls and set(got) == expected
            assert still_valid(it)

        @rule(op=operands)
        def symmetric_difference(self, op):
            got = self.real.symmetric_difference(self.make(op))
            assert type(got) is cls and set(got) == self.model ^ set(op[1])

        @rule(name=st.sampled_from(sorted(UPDATE_METHODS)), ops=st.lists(operands, max_size=3))
        def update_method(self, name, ops):
            self.mutate(lambda: (
                getattr(self.real, name)(*(self.make(o) for o in ops)),
                UPDATE_METHODS[name](self.model, *(set(xs) for _, xs in ops)),
            ))

        @rule(op=operands)
        def symmetric_difference_update(self, op):
            self.mutate(lambda: (self.real.symmetric_difference_update(self.make(op)),
                                 self.model.symmetric_difference_update(set(op[1]))))

        @rule(symbol=st.sampled_from(sorted(OPERATORS)), op=operands, reflected=st.booleans())
        def operator(self, symbol, op, reflected):
            apply = OPERATORS[symbol]
            operand = self.make(op)
            if reflected:
                got = apply(operand, self.real)
                expected = apply(set(op[1]), self.model)
                if op[0] == "same":
                    assert type(got) is cls
                elif op[0] == "other":
                    assert type(got) is other_cls
                elif op[0] != "dict_keys":
                    assert type(got) is cls
            else:
                got = apply(self.real, operand)
                expected = apply(self.model, set(op[1]))
                assert type(got) is cls
            assert set(got) == expected

        @rule(symbol=st.sampled_from(sorted(IN_PLACE)), op=operands)
        def in_place(self, symbol, op):
            def both():
                real = self.real
                assert getattr(real, IN_PLACE[symbol])(self.make(op)) is real
                self.model = getattr(self.model, IN_PLACE[symbol])(set(op[1]))

            self.mutate(both)

        @rule(symbol=st.sampled_from(sorted(IN_PLACE)))
        def in_place_with_itself(self, symbol):
            def both():
                real = self.real
                assert getattr(real, IN_PLACE[symbol])(real) is real
                self.model = getattr(self.model, IN_PLACE[symbol])(self.model)

            self.mutate(both)

        # ------------------------------------------------ comparisons

        @rule(op=operands)
        def predicates(self, op):
            other = set(op[1])
            assert self.real.issubset(self.make(op)) == (self.model <= other)
            assert self.real.issuperset(self.make(op)) == (self.model >= other)
            assert self.real.isdisjoint(self.make(op)) == self.model.isdisjoint(other)

        @rule(op=operands)
        def equality(self, op):
            operand = self.make(op)
            expected = op[0] in SET_LIKE and self.model == set(op[1])
            assert (self.real == operand) == expected
            assert (self.real != operand) == (not expected)

        @rule()
        def equality_with_copies(self):
            assert self.real == self.model and self.model == self.real
            assert self.real == other_cls(self.model)

        # ------------------------------------------------ state

        @invariant()
        def same_contents(self):
            assert len(self.real) == len(self.model)
            listed = list(self.real)
            assert len(listed) == len(self.model)
            assert set(listed) == self.model

    return SetMachine


SETTINGS = settings(
    derandomize=True,
    max_examples=60,
    stateful_step_count=30,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much],
)

TestElasticHashSet = machine_for(quarlex.ElasticHashSet, quarlex.FunnelHashSet).TestCase
TestElasticHashSet.settings = SETTINGS
TestFunnelHashSet = machine_for(quarlex.FunnelHashSet, quarlex.ElasticHashSet).TestCase
TestFunnelHashSet.settings = SETTINGS
