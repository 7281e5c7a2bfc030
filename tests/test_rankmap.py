"""RankMap: a mutable mapping with a movable key order. What it shares with the
plain-Python baseline runs on both (the M parameter), so the baseline is the
model it is held to; the rest is where ours is stricter (a failed operation
changes nothing) or takes a path of its own."""

import abc
import copy
import pickle
from collections import UserList
from collections.abc import MutableMapping

import pytest
from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, rule

from conftest import baseline, both

import dravix.datastructures.rankmap as mod
from dravix.datastructures.rankmap import RankMap

on_both = pytest.mark.parametrize("M", both("rankmap", "RankMap"))


class DictSub(dict):
    """Not an exact dict: RankMap falls back to the mapping's own operations."""


class ListSub(list):
    """Not an exact list: RankMap falls back to the list's own methods."""


STORAGES = {
    "plain": (dict, list),
    "subclassed": (DictSub, ListSub),
    "user-list": (DictSub, UserList),
}


def restore(m, kind):
    """Replace the map's _data and _order by copies of the given kinds."""
    data_type, order_type = STORAGES[kind]
    m._data = data_type(m._data)
    m._order = order_type(m._order)
    return m


def state(m):
    return list(m._order), dict(m._data)


@pytest.fixture(params=sorted(STORAGES))
def kind(request):
    return request.param


# --- the class --------------------------------------------------------------


def test_class_facts():
    assert type(RankMap) is abc.ABCMeta and RankMap.__bases__ == (MutableMapping,)
    assert mod.MutableMapping is MutableMapping
    assert RankMap.__abstractmethods__ == frozenset() and isinstance(RankMap(), MutableMapping)
    assert RankMap.__hash__ is None
    with pytest.raises(TypeError, match="unhashable"):
        hash(RankMap())
    assert RankMap.__doc__ and RankMap.insert.__doc__ and RankMap.move.__doc__
    assert RankMap.fromkeys.__self__ is RankMap and RankMap().fromkeys.__self__ is RankMap


@on_both
def test_arguments_by_keyword(M):
    m = M()
    m.__setitem__(name="a", value=1)
    m.insert(key="b", value=2, position=0)
    m.move(key="a", position=0)
    assert m.__getitem__(name="b") == 2
    m.__delitem__(name="b")
    assert m.items() == [("a", 1)] and M.fromkeys(keys="xy", value=0).items() == [("x", 0), ("y", 0)]
    assert m.__eq__(other=M(a=1)) is True


# --- construction and update --------------------------------------------------


@on_both
def test_construction(M):
    assert len(M()) == 0 and list(M()) == [] and repr(M()) == "RankMap([])"
    m = M([("a", 1), ("b", 2)], c=3)
    assert list(m) == ["a", "b", "c"] and m.values() == [1, 2, 3]


def test_self_is_an_ordinary_keyword():
    assert RankMap(self=1, other=2).items() == [("self", 1), ("other", 2)]  # the baseline's def refuses it


@on_both
@pytest.mark.parametrize(
    "argument, expected",
    [
        ({"ab": 1}, [("a", "b")]),  # a dict is iterated over its keys
        (["xy", ("k", [1])], [("x", "y"), ("k", [1])]),
        (lambda: (p for p in [("a", 1), ["b", 2]]), [("a", 1), ("b", 2)]),  # made afresh for each run
        ([("a", 1), ("a", 2)], [("a", 2)]),
    ],
)
def test_update_iterates_pairs(M, argument, expected):
    assert M(argument() if callable(argument) else argument).items() == expected


@on_both
@pytest.mark.parametrize(
    "argument, error, message",
    [
        ({"a": 1}, ValueError, "update sequence element #0 has length 1; 2 is required"),
        ([("a", 1), "xyz"], ValueError, "update sequence element #1 has length 3; 2 is required"),
        ([("a", 1), 5], TypeError, "object of type 'int' has no len()"),
        (5, TypeError, "not iterable"),
    ],
)
def test_update_rejects_bad_elements_keeping_earlier_ones(M, argument, error, message):
    m = M()
    with pytest.raises(error, match=message):
        m.update(argument)
    if isinstance(argument, list):
        assert m.items() == [("a", 1)]


@on_both
def test_unpacking_goes_through_iteration(M):
    class Liar:
        """Claims length 2 but yields another count."""

        def __init__(self, items):
            self.items = items

        def __len__(self):
            return 2

        def __iter__(self):
            return iter(self.items)

    assert M([Liar(["k", "v"])]).items() == [("k", "v")]
    with pytest.raises(ValueError, match="not enough values to unpack"):
        M([Liar(["k"])])
    with pytest.raises(ValueError, match="too many values to unpack"):
        M([Liar("abc")])


@on_both
@pytest.mark.parametrize("count", [2, 3])
def test_too_many_positional_arguments(M, count):
    m = M(a=1)
    with pytest.raises(TypeError) as info:
        m.update(*[[]] * count)
    assert str(info.value) == f"expected at most 1 arguments, got {count}"
    with pytest.raises(TypeError, match=f"got {count}$"):
        M(*[[]] * count)
    assert m.items() == [("a", 1)]


# --- reading and writing ---------------------------------------------------------


@on_both
def test_assignment_keeps_position_and_reassignment_after_delete_goes_last(M, kind):
    m = restore(M([("a", 1), ("b", 2), ("c", 3)]), kind)
    m["a"] = 10
    assert m.items() == [("a", 10), ("b", 2), ("c", 3)]
    del m["a"]
    assert "a" not in m and m.get("a") is None
    m["a"] = 11
    assert m.items() == [("b", 2), ("c", 3), ("a", 11)]


@on_both
@pytest.mark.parametrize("key", ["missing", ("t", 1), ()])
def test_missing_key_errors_carry_the_key(M, kind, key):
    m = restore(M([("a", 1)]), kind)
    for action in (lambda: m[key], lambda: m.__delitem__(key), lambda: m.move(key, 0)):
        with pytest.raises(KeyError) as info:
            action()
        assert info.value.args == (key,)
    assert state(m) == (["a"], {"a": 1})


@on_both
def test_keys_is_the_order_list_itself(M):
    m = M(a=1, b=2)
    keys = m.keys()
    assert keys is m.keys() is m._order
    keys.reverse()
    assert list(m) == ["b", "a"] and m.items() == [("b", 2), ("a", 1)]
    m.clear()
    assert keys == ["b", "a"] and len(m) == 0 and list(m) == [] and m.keys() is not keys
    m["z"] = 0
    assert m.items() == [("z", 0)]


@on_both
def test_inherited_mapping_methods(M, kind):
    m = restore(M([("a", 1), ("b", 2), ("c", 3)]), kind)
    assert m.popitem() == ("a", 1)
    assert m.pop("b") == 2 and m.pop("b", None) is None
    assert m.setdefault("d", 4) == 4 and m.setdefault("c", 0) == 3
    assert m.get("c") == 3 and "c" in m and "a" not in m
    assert list(m) == ["c", "d"]


# --- insert and move ----------------------------------------------------------


@on_both
@pytest.mark.parametrize(
    "position, order",
    [(1, "adbc"), (0, "dabc"), (3, "abcd"), (100, "abcd"), (-1, "abdc"), (-3, "dabc"), (-10, "dabc"),
     (True, "adbc")],
)
def test_insert_positions(M, kind, position, order):
    m = restore(M([("a", 1), ("b", 2), ("c", 3)]), kind)
    m.insert("d", 4, position)
    assert "".join(m) == order and m["d"] == 4 and len(m) == 4


@on_both
@pytest.mark.parametrize(
    "key, position, order",
    [("c", 0, "cab"), ("a", 1, "bac"), ("a", 2, "bca"), ("a", 9, "bca"), ("a", -1, "bac"), ("c", -1, "acb"),
     ("b", -2, "bac"), ("b", -99, "bac"), ("b", 1, "abc"), ("a", 0, "abc")],
)
def test_move_positions(M, kind, key, position, order):
    m = restore(M([("a", 1), ("b", 2), ("c", 3)]), kind)
    m.move(key, position)
    assert "".join(m) == order and m._data == {"a": 1, "b": 2, "c": 3}


@on_both
@pytest.mark.parametrize(
    "stored, given",
    [
        ("word", "".join(["wo", "rd"])),
        (2, 2.0),
        (1, True),
        (2**70, int("1" + "0" * 21) // 10**21 * 2**70),
        (-(2**29), -(2**29) + int("0")),
        ((1, "x"), tuple([1, "x"])),
    ],
)
def test_equal_but_distinct_key_objects_are_found_in_the_order(M, stored, given):
    pairs = [("a", 1), (10**30, 2), (stored, 3), (-5, 4)]
    m = M(pairs)
    m.move(given, 0)
    assert list(m) == [stored, "a", 10**30, -5] and m[stored] == 3
    m = M(pairs)
    del m[given]
    assert list(m) == ["a", 10**30, -5] and list(m._data) == ["a", 10**30, -5]


@on_both
@pytest.mark.parametrize("key", ["b", ("b", 1), 2])
def test_insert_of_a_present_key(M, kind, key):
    m = restore(M([("a", 1), (key, 2)]), kind)
    with pytest.raises(KeyError) as info:
        m.insert(key, 3, 0)
    assert info.value.args == ("%s already exist in Report" % (key,),)
    assert state(m) == (["a", key], {"a": 1, key: 2})


class Position:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


# The baseline stores before it converts the position or hashes the key, so a
# failure leaves it half-changed: these two hold for ours only.
@pytest.mark.parametrize(
    "position, error",
    [("1", TypeError), (1.0, TypeError), (None, TypeError), (10**100, OverflowError)],
)
def test_bad_positions_change_nothing(kind, position, error):
    m = restore(RankMap([("a", 1), ("b", 2)]), kind)
    with pytest.raises(error):
        m.insert("c", 3, position)
    with pytest.raises(error):
        m.move("a", position)
    assert state(m) == (["a", "b"], {"a": 1, "b": 2})
    m.insert("c", 3, Position(0))
    m.move("a", Position(-1))
    assert "".join(m) == "cab"


@pytest.mark.parametrize("key", [[], {}, {1}, ("ok", [])])
def test_unhashable_keys_change_nothing(kind, key):
    m = restore(RankMap([("a", 1)]), kind)
    for action in (
        lambda: m.__setitem__(key, 2),
        lambda: m.insert(key, 2, 0),
        lambda: m.update([(key, 2)]),
        lambda: m[key],
    ):
        with pytest.raises(TypeError, match="unhashable"):
            action()
        assert state(m) == (["a"], {"a": 1})
    with pytest.raises(KeyError) as info:  # never in the map, so not found
        m.move(key, 0)
    assert info.value.args == (key,) and state(m) == (["a"], {"a": 1})


# --- copy, fromkeys, equality, text ---------------------------------------------


@on_both
def test_copy_keeps_class_and_order_and_is_independent(M, kind):
    Sub = type("Sub", (M,), {})
    m = restore(Sub([("b", 2), ("a", [1])]), kind)
    c = m.copy()
    assert type(c) is Sub and c.items() == [("b", 2), ("a", [1])]
    assert type(c._data) is dict and type(c._order) is list
    c.move("a", 0)
    c["z"] = 0
    assert list(m) == ["b", "a"] and c["a"] is m["a"]


class Sub(RankMap):
    pass


@pytest.mark.parametrize("clone", [lambda m: pickle.loads(pickle.dumps(m)), copy.deepcopy])
def test_pickle_and_deepcopy_keep_class_and_order(clone):
    m = Sub([("b", 1), ("a", [2])])
    m.move("a", 0)
    c = clone(m)
    assert type(c) is Sub and c == m and c.items() == [("a", [2]), ("b", 1)]
    assert c._order is not m._order and c["a"] is not m["a"]


@on_both
@pytest.mark.parametrize(
    "keys, value, expected",
    [(["x", "y"], None, [("x", None), ("y", None)]), ("xyx", 0, [("x", 0), ("y", 0)]), ((), 1, [])],
)
def test_fromkeys(M, keys, value, expected):
    Sub = type("Sub", (M,), {})
    made = Sub.fromkeys(*((keys,) if value is None else (keys, value)))
    assert type(made) is Sub and made.items() == expected
    assert type(Sub().fromkeys("a")) is Sub


@on_both
def test_equality(M):
    a = M([("a", 1), ("b", 2)])
    assert a == M([("a", 1), ("b", 2)]) and not a != M([("a", 1), ("b", 2)])
    assert a != M([("b", 2), ("a", 1)])
    assert a != M([("a", 1), ("b", 3)])
    assert a != {"a": 1, "b": 2} and not a == {"a": 1, "b": 2}
    assert (a == object()) is False
    assert a == type("Sub", (M,), {})(a.items())


@on_both
def test_equality_swallows_ordinary_errors_only(M):
    class Odd:
        def __init__(self, error):
            self.error = error

        def __eq__(self, other):
            raise self.error

        __hash__ = object.__hash__

    assert (M(a=Odd(ValueError())) == M(a=Odd(ValueError()))) is False
    with pytest.raises(KeyboardInterrupt):
        M(a=Odd(KeyboardInterrupt())) == M(a=Odd(KeyboardInterrupt()))


@on_both
def test_equality_returns_the_first_false_result_as_it_is(M):
    class Falsy(dict):
        def __eq__(self, other):
            return 0

    a, b = M(a=1), M(a=1)
    a._data = Falsy(a._data)
    assert (a == b) == 0 and (a == b) is not False


@on_both
def test_repr_names_the_class(M):
    assert repr(type("Sub", (M,), {})([("c", 3), ("a", 1)])) == "Sub([('c', 3), ('a', 1)])"


def test_repr_survives_self_reference():
    # The baseline recurses until RecursionError here.
    m = Sub(c=3)
    m["me"] = m
    m["other"] = RankMap(back=m)
    assert repr(m) == "Sub([('c', 3), ('me', Sub(...)), ('other', RankMap([('back', Sub(...))]))])"


# --- subclass overrides and general paths --------------------------------------


@on_both
def test_overrides_are_used_through_the_instance(M):
    calls = []

    class Logged(M):
        def update(self, *args, **kwargs):
            calls.append(("update", args, kwargs))
            super().update(*args, **kwargs)

        def __setitem__(self, name, value):
            calls.append(("set", name))
            super().__setitem__(name, value * 10)

        def __getitem__(self, name):
            calls.append(("get", name))
            return super().__getitem__(name)

        def __iter__(self):
            calls.append(("iter",))
            return reversed(self._order)

    m = Logged([("a", 1)], b=2)
    assert calls == [("update", ([("a", 1)],), {"b": 2}), ("set", "a"), ("set", "b")]
    calls.clear()
    assert m.values() == [20, 10]
    assert calls == [("iter",), ("get", "b"), ("get", "a")]
    assert m.items() == [("a", 10), ("b", 20)]  # items reads _data directly
    calls.clear()
    assert Logged.fromkeys("x", 1).items() == [("x", 10)]
    assert ("set", "x") in calls


@on_both
def test_items_override_feeds_copy_and_repr(M):
    class Upper(M):
        def items(self):
            return [(k.upper(), v) for k, v in super().items()]

    m = Upper(a=1)
    assert repr(m) == "Upper([('A', 1)])"
    assert list(m.copy()) == ["A"]


def test_setitem_replaced_on_the_class_is_used_by_update(monkeypatch):
    seen = []
    original = RankMap.__setitem__

    def spy(self, name, value):
        seen.append(name)
        original(self, name, value)

    monkeypatch.setattr(RankMap, "__setitem__", spy)
    assert RankMap([("a", 1)], b=2).items() == [("a", 1), ("b", 2)]
    assert seen == ["a", "b"]


def test_module_is_reached_through_a_mixin_in_front():
    class Mixed(type("Mixin", (), {}), RankMap):
        pass

    m = Mixed([("a", 1)])
    m.insert("b", 2, 0)
    assert repr(m) == "Mixed([('b', 2), ('a', 1)])"


# --- against the baseline ------------------------------------------------------------

KEYS = st.sampled_from(["a", "b", "c", "d", "e", 1, 2, (1, 2), 2.5])


class AgainstBaseline(RuleBasedStateMachine):
    """Drives ours and the baseline with the same operations: the same results
    or errors, and the same contents in the same order after every step."""

    def __init__(self):
        super().__init__()
        self.maps = [RankMap(), baseline("rankmap").RankMap()]

    def same(self, action):
        outcomes = []
        for m in self.maps:
            try:
                outcomes.append(action(m))
            except Exception as exc:
                outcomes.append(type(exc))
        assert outcomes[0] == outcomes[1]

    @rule(key=KEYS, value=st.integers())
    def assign(self, key, value):
        self.same(lambda m: m.__setitem__(key, value))

    @rule(key=KEYS)
    def delete(self, key):
        self.same(lambda m: m.__delitem__(key))

    @rule(key=KEYS, value=st.integers(), position=st.integers(-8, 8))
    def insert(self, key, value, position):
        self.same(lambda m: m.insert(key, value, position))

    @rule(key=KEYS, position=st.integers(-8, 8))
    def move(self, key, position):
        self.same(lambda m: m.move(key, position))

    @rule(pairs=st.lists(st.tuples(KEYS, st.integers()), max_size=4))
    def update(self, pairs):
        self.same(lambda m: m.update(pairs))

    @rule()
    def popitem(self):
        self.same(lambda m: m.popitem())

    @rule()
    def clear(self):
        self.same(lambda m: m.clear())

    @rule()
    def copy(self):
        self.maps = [m.copy() for m in self.maps]

    @rule(kind=st.sampled_from(sorted(STORAGES)))
    def swap_storage(self, kind):
        for m in self.maps:
            restore(m, kind)

    @invariant()
    def same_contents_and_order(self):
        ours, model = self.maps
        assert list(ours) == list(model) and len(ours) == len(model)
        assert ours.items() == model.items() and ours.values() == model.values()
        assert dict(ours._data) == dict(model._data)


AgainstBaseline.TestCase.settings = settings(max_examples=60, stateful_step_count=30, deadline=None)
test_against_baseline = AgainstBaseline.TestCase


# --- subscript and _data reads --------------------------------------------------------


def test_subscript_follows_getitem_replaced_on_the_class(monkeypatch):
    # m[k] on RankMap itself goes through its own mp_subscript slot.
    m = RankMap(a=1)
    assert m["a"] == 1
    monkeypatch.setattr(RankMap, "__getitem__", lambda self, name: ("replaced", name))
    assert m["a"] == ("replaced", "a") and RankMap()["zz"] == ("replaced", "zz")
    monkeypatch.undo()
    assert m["a"] == 1
    with pytest.raises(KeyError):
        m["zz"]
    del_getitem = RankMap.__dict__["__getitem__"]
    delattr(RankMap, "__getitem__")
    try:
        with pytest.raises(KeyError):  # Mapping.__getitem__ is abstract: raises KeyError
            m["a"]
    finally:
        RankMap.__getitem__ = del_getitem
    assert m["a"] == 1


@on_both
def test_subscript_of_subclasses_with_and_without_getitem(M):
    Plain = type("Plain", (M,), {})

    class Doubling(M):
        def __getitem__(self, name):
            return 2 * super().__getitem__(name)

    assert Plain(a=1)["a"] == 1 and Doubling(a=1)["a"] == 2
    Plain.__getitem__ = lambda self, name: "later"
    assert Plain(a=1)["a"] == "later" and M(a=1)["a"] == 1
    Plain.__getitem__ = M.__getitem__
    with pytest.raises(KeyError):
        Plain(a=1)["b"]


@on_both
def test_data_is_read_as_an_attribute_access_reads_it(M):
    reads = []

    class Watched(M):
        def __getattribute__(self, name):
            reads.append(name)
            return super().__getattribute__(name)

    m = Watched(a=1)
    reads.clear()
    assert m["a"] == 1 and "_data" in reads

    class Property(M):
        @property
        def _data(self):
            return {"a": "from property"}

        @_data.setter
        def _data(self, value):
            self.__dict__["_data"] = value  # shadowed: the property wins

    m = Property(a=1)
    assert m.__dict__["_data"] == {} and m["a"] == "from property"

    class Fallback(M):
        def __getattr__(self, name):
            return {"a": "from __getattr__"}

    m = Fallback(a=1)
    assert m["a"] == 1
    del m._data
    assert m["a"] == "from __getattr__"

    class ClassLevel(M):
        _data = {"a": "class attribute"}

    m = ClassLevel(a=1)
    assert m["a"] == 1  # the instance entry wins over a plain class attribute
    del m._data
    assert m["a"] == "class attribute"

    m = M(a=1)
    del m._data
    with pytest.raises(AttributeError, match="_data"):
        m["a"]
    m.__dict__["_data"] = {"a": "via __dict__"}
    assert m["a"] == "via __dict__"


@on_both
def test_data_replaced_by_a_dict_subclass_or_a_mapping(M):
    class Missing(dict):
        def __missing__(self, key):
            return "missing"

    m = M(a=1)
    m._data = Missing(m._data)
    assert m["a"] == 1 and m["zz"] == "missing"  # not a plain dict: its own subscript
    m.__dict__.clear()
    with pytest.raises(AttributeError):
        m["a"]


@on_both
@pytest.mark.parametrize("shape", ["reinserted", "replaced", "reversed"])
def test_data_and_order_found_in_any_instance_dict(M, shape):
    m = M(a=1, b=2)
    data, order = m._data, m._order
    if shape == "reinserted":  # the shared-key dict, its entries in the other order
        del m.__dict__["_data"]
        m.__dict__["_data"] = data
    elif shape == "replaced":  # a dict of its own, extra entries before ours
        m.__dict__ = {"x": 0, "_order": order, "_data": data}
    else:
        m.__dict__ = {"_order": order, "_data": data}
    m["c"] = 3
    del m["a"]
    assert m["b"] == 2 and list(m) == ["b", "c"] and m._data == {"b": 2, "c": 3}
