"""The four classes in the language's machinery: the cycle collector, weak
references, pickle and copy, sys.getsizeof and the set orderings."""

import copy
import gc
import pickle
import sys
import threading
import time
import weakref

import pytest
from conftest import fill, is_map


class Node:
    """A hashable object that can hold its collection."""

    def __init__(self, n):
        self.n, self.owner = n, None

    def __hash__(self):
        return self.n

    def __eq__(self, other):
        return isinstance(other, Node) and other.n == self.n


def link(coll_cls, node):
    """A collection holding `node`, which holds the collection back."""
    c = coll_cls({node: node}) if is_map(coll_cls) else coll_cls([node])
    node.owner = c
    return c


@pytest.mark.parametrize("through", ["entry", "view", "iterator"])
def test_cycles_are_collected(coll_cls, through):
    node = Node(1)
    c = link(coll_cls, node)
    if through == "view":
        node.owner = c.keys() if is_map(coll_cls) else iter(c)
    elif through == "iterator":
        node.owner = iter(c)
    alive = weakref.ref(c), weakref.ref(node)
    del c, node
    gc.collect()
    assert [r() for r in alive] == [None, None]


def test_weak_references(coll_cls):
    c = fill(coll_cls, [1])
    called = []
    r = weakref.ref(c, called.append)
    assert r() is c and weakref.proxy(c).__len__() == 1
    del c
    assert r() is None and called == [r]


def test_pickle_and_copy(coll_cls):
    c = coll_cls.with_options(40, 5)
    for i in range(100):
        c.update({i: str(i)} if is_map(coll_cls) else [i])
    for proto in range(pickle.HIGHEST_PROTOCOL + 1):
        back = pickle.loads(pickle.dumps(c, proto))
        assert type(back) is coll_cls and back == c
        assert (back.capacity, back.reserve_exponent) == (c.capacity, 5)
    assert copy.copy(c) == c.copy() == c
    node = Node(7)
    c = link(coll_cls, node)
    for twin in (copy.deepcopy(c), pickle.loads(pickle.dumps(c))):
        (twin_node,) = list(twin)
        assert twin_node is not node and twin_node.owner is twin
    if is_map(coll_cls):
        c["me"] = c
        twin = copy.deepcopy(c)
        assert twin["me"] is twin and twin[node] is not node
        refusing = [c.keys(), c.values(), c.items(), iter(c), iter(c.items())]
    else:
        refusing = [iter(c)]
    for x in refusing:
        with pytest.raises(TypeError, match="cannot pickle"):
            pickle.dumps(x)
        with pytest.raises(TypeError, match="cannot pickle"):
            copy.copy(x)


def test_sizeof_counts_the_table_and_reader_slots(coll_cls):
    small, big = coll_cls(), fill(coll_cls, range(10_000))
    assert sys.getsizeof(small) > type(small).__basicsize__
    assert sys.getsizeof(big) - sys.getsizeof(small) > 10_000 * 8
    before = sys.getsizeof(small)
    for _ in range(2):  # reads from a second thread give the object its slots
        t = threading.Thread(target=lambda: 0 in small)
        t.start()
        t.join()
    assert sys.getsizeof(small) >= before + 64


ORDERINGS = [
    ("<=", lambda a, b: a <= b),
    ("<", lambda a, b: a < b),
    (">=", lambda a, b: a >= b),
    (">", lambda a, b: a > b),
]


@pytest.mark.parametrize(("name", "op"), ORDERINGS)
def test_set_orderings_follow_set(coll_cls, other_set_cls, name, op):
    if is_map(coll_cls):
        def as_set_like(keys):
            return coll_cls.fromkeys(keys).keys()
    else:
        as_set_like = coll_cls
    partners = [set, frozenset, other_set_cls, lambda k: dict.fromkeys(k).keys()]
    for a in ([], [1], [1, 2], [2, 3]):
        for b in ([], [1], [1, 2], [1, 2, 3]):
            expected = op(set(a), set(b))
            for partner in partners:
                assert op(as_set_like(a), partner(b)) is expected, (name, a, b, partner)
                assert op(partner(b), as_set_like(a)) is op(set(b), set(a)), (name, a, b, partner)
    for other in ([1], 1, "ab", {1: 2}.values()):
        with pytest.raises(TypeError):
            op(as_set_like([1]), other)


def test_collection_during_mutation_under_threads(coll_cls):
    """Collectors run while other threads fill, compare and empty shared
    collections that sit in cycles; bounded in time, it must not crash."""
    shared = [fill(coll_cls, [Node(i) for i in range(50)]) for _ in range(2)]
    for c in shared:
        for node in list(c):
            node.owner = c
    stop = time.monotonic() + 2
    errors = []

    def mutate(c, seed):
        i = seed
        while time.monotonic() < stop:
            i += 1
            try:
                (c.__setitem__(Node(i % 80), i) if is_map(coll_cls) else c.add(Node(i % 80)))
                _ = Node(i % 50) in c and c == c
                if i % 97 == 0:
                    c.clear()
            except RuntimeError as e:
                if "borrowed" not in str(e):
                    errors.append(e)

    def collect():
        while time.monotonic() < stop:
            gc.collect()

    threads = [threading.Thread(target=mutate, args=(c, k)) for k, c in enumerate(shared)]
    threads.append(threading.Thread(target=collect))
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
