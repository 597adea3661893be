"""Fixtures shared by the Python tests."""

import functools

import pytest

import quarlex

# ---------------------------------------------------------------- maps

MAP_CLASSES = (quarlex.ElasticHashMap, quarlex.FunnelHashMap)


@pytest.fixture(params=MAP_CLASSES, ids=lambda cls: cls.__name__)
def map_cls(request):
    """Each map class in turn."""
    return request.param


@pytest.fixture
def kind(map_cls):
    """The lower-case prefix of the class family: "elastic" or "funnel"."""
    return map_cls.__name__.removesuffix("HashMap").lower()


# ---------------------------------------------------------------- sets

SET_CLASSES = (quarlex.ElasticHashSet, quarlex.FunnelHashSet)


@pytest.fixture(params=SET_CLASSES, ids=lambda cls: cls.__name__)
def set_cls(request):
    """Each set class in turn."""
    return request.param


@pytest.fixture
def other_set_cls(set_cls):
    """The set class of the other family."""
    return SET_CLASSES[1 - SET_CLASSES.index(set_cls)]


@pytest.fixture(params=MAP_CLASSES + SET_CLASSES, ids=lambda cls: cls.__name__)
def coll_cls(request):
    """Each of the four classes in turn."""
    return request.param


@pytest.fixture(params=[False, True], ids=["call", "__new__"])
def construct(request):
    """construct(cls) is the class itself, or its __new__ bound to it: the
    two bind their arguments by different paths."""
    if request.param:
        return lambda cls: functools.partial(cls.__new__, cls)
    return lambda cls: cls


def is_map(cls):
    return issubclass(cls, MAP_CLASSES)


def fill(cls, keys):
    """An instance of `cls` holding `keys` (as keys mapped to themselves for a map)."""
    return cls({k: k for k in keys}) if is_map(cls) else cls(keys)
