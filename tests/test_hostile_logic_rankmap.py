"""Hostile code that runs while logic_str builds and while RankMap changes:
a __hash__ inside re.compile that rewrites the parsed text, comparisons,
__hash__, __index__ and __del__ that change the map, its class or its order
mid-operation, and undos that fail. The result must be what the text said (or
ValueError), the map must keep _order holding exactly the keys of _data, and
no exception may be lost."""

import ast
import builtins
import functools
import gc
import itertools

import pytest

import dravix.datastructures.logic as logic_mod
from dravix.datastructures.logic import logic_str
from dravix.datastructures.rankmap import RankMap
from test_hostile import Boom, Key, boom, consistent_rankmap


class Interrupt(BaseException):
    """Stands for KeyboardInterrupt: must never be cleared."""


def on_call(n, action):
    """A hook that runs action on its n-th call only."""
    calls = itertools.count(1)
    return lambda *args: action() if next(calls) == n else None


# --- logic_str: the parsed text changed while it is built ----------------------------------


class RewritingText(str):
    """The decoded text. Or(string) compiles it, and re.compile hashes it: that
    hash changes the parser's node of the Not call built after it."""

    change = None

    def __hash__(self):
        change, type(self).change = type(self).change, None
        if change is not None:
            for node in gc.get_objects():
                if type(node) is ast.Call and getattr(node.func, "id", None) == "Not":
                    change(node)
        return str.__hash__(self)


@pytest.mark.parametrize(
    "change",
    [
        pytest.param(lambda n: setattr(n, "args", (ast.Constant("x"),)), id="args-tuple"),
        pytest.param(lambda n: setattr(n, "args", 5), id="args-int"),
        pytest.param(lambda n: setattr(n, "args", [ast.Constant("x")] * 3), id="args-longer"),
        pytest.param(lambda n: n.args.clear(), id="args-emptied"),
        pytest.param(lambda n: setattr(n.args[0], "value", ast), id="literal"),
        pytest.param(lambda n: setattr(n.func, "id", "probe"), id="name"),
        pytest.param(lambda n: setattr(n, "func", ast.Name("probe")), id="func"),
    ],
)
def test_logic_str_builds_what_was_checked(monkeypatch, change):
    ran = []
    monkeypatch.setattr(builtins, "probe", lambda *a: ran.append(a), raising=False)
    monkeypatch.setattr(logic_mod, "decode_cli_string", RewritingText)
    monkeypatch.setattr(RewritingText, "change", change)
    text = r"And(Or(string), Not('\x61'))"  # the escape sends it to the parser
    result = logic_str(text)
    assert RewritingText.change is None and ran == []  # the hook ran, the probe did not
    assert str(result) == f"And(Or('{text}'), Not('a'))"


# --- RankMap: every mutation keeps _order and _data in agreement -------------------------


class Finalizer:
    def __init__(self, action):
        self.action = action

    def __del__(self):
        self.action()


class Position:
    def __init__(self, action):
        self.action = action

    def __index__(self):
        self.action()
        return 0


def delete_while_an_earlier_key_raises(m):
    m[Key("a", eq=boom)] = 1  # compared first when the order is searched
    m["b"] = 2
    with pytest.raises(Boom):
        del m["b"]
    assert m["b"] == 2


def delete_while_a_comparison_moves_keys(m, n):
    # The n-th comparison with the stored key (1: in the search of the order,
    # 2: in the deletion from the dict) moves another key in front of it.
    m["a"] = 1
    m[Key("k", eq=on_call(n, lambda: m.move("b", 0)))] = 2
    m["b"] = 3
    del m[Key("k")]
    assert m.keys() == ["b", "p", "a"]


def insert_whose_position_adds_the_key(m):
    with pytest.raises(KeyError, match="already exist"):
        m.insert("z", 5, Position(lambda: m.__setitem__("z", 0)))
    assert m["z"] == 0


def insert_whose_store_adds_the_key(m):
    # -1 and -2 hash alike: storing Key(-2) compares it with the stored Key(-1)
    # (once in the membership check, then in the store, which adds it).
    m[Key(-1, eq=on_call(2, lambda: m.__setitem__(Key(-2), 0)))] = 1
    with pytest.raises(KeyError, match="already exist"):
        m.insert(Key(-2), 5, 0)
    assert m[Key(-2)] == 0


def store_whose_comparison_clears_the_map(m):
    m[Key(-1, eq=on_call(1, m.clear))] = 1
    m[Key(-2)] = 2


def store_whose_second_hash_deletes_the_key(m):
    k = Key("k")
    m[k] = m["z"] = 1
    k.hash_ = on_call(2, lambda: m.__delitem__(k))
    m[k] = 2
    assert m.items() == [("p", 0), ("z", 1), (k, 2)]


def clear_whose_value_adds_a_key(m):
    m["v"] = Finalizer(lambda: m.__setitem__("x", 1))
    m.clear()
    assert m.keys() == ["x"]


class RaisingRemove(list):
    def remove(self, item):
        raise Boom


def delete_whose_order_refuses(m):
    m["a"] = 1
    m._order = RaisingRemove(m._order)
    with pytest.raises(Boom):
        del m["a"]
    assert m["a"] == 1


@pytest.mark.parametrize(
    "mutation",
    [
        delete_while_an_earlier_key_raises,
        pytest.param(functools.partial(delete_while_a_comparison_moves_keys, n=1), id="comparison-moves-keys-1"),
        pytest.param(functools.partial(delete_while_a_comparison_moves_keys, n=2), id="comparison-moves-keys-2"),
        insert_whose_position_adds_the_key,
        insert_whose_store_adds_the_key,
        store_whose_comparison_clears_the_map,
        store_whose_second_hash_deletes_the_key,
        clear_whose_value_adds_a_key,
        delete_whose_order_refuses,
    ],
)
def test_rankmap_mutations_keep_the_invariant(mutation):
    m = RankMap(p=0)
    mutation(m)
    consistent_rankmap(m)  # equal lengths, every key of _data in _order: each once


class ChangingClass(RankMap):
    pass


def change_setitem_during_update(m):
    seen = []

    def replace():
        ChangingClass.__setitem__ = lambda self, key, value: seen.append(key)

    m.update([("a", 1), (Key("b", hash_=on_call(1, replace)), 2), ("c", 3)], d=4)
    return seen == ["c", "d"] and "c" not in m


def change_getitem_during_values(m):
    m.update(a=1)
    k = Key("b")
    m[k] = 2
    m["c"] = 3
    k.hash_ = on_call(1, lambda: setattr(ChangingClass, "__getitem__", lambda self, key: "new"))
    return m.values() == [1, 2, "new"]


@pytest.mark.parametrize("change", [change_setitem_during_update, change_getitem_during_values])
def test_rankmap_follows_class_changes_made_during_a_call(change):
    try:
        assert change(ChangingClass())
    finally:
        for name in ("__setitem__", "__getitem__"):
            if name in vars(ChangingClass):
                delattr(ChangingClass, name)


class FailingTwice(list):
    """An order whose insert raises Boom, then Interrupt when the undo puts the key back."""

    def insert(self, index, item):
        raise next(self.failures)


def move_undo_fails(m):
    m._order = FailingTwice(m._order)
    m._order.failures = iter([Boom, Interrupt])
    m.move("p", 0)


class RaisingDelete(dict):
    def __delitem__(self, key):
        raise Interrupt


class RaisingAppend(list):
    def append(self, item):
        raise Boom


def store_undo_fails(m):
    m._data, m._order = RaisingDelete(m._data), RaisingAppend(m._order)
    m["new"] = 1


@pytest.mark.parametrize("failing", [move_undo_fails, store_undo_fails])
def test_rankmap_undo_that_fails_is_raised_with_the_first_failure(failing):
    with pytest.raises(Interrupt) as info:
        failing(RankMap(p=0))
    assert isinstance(info.value.__context__, Boom)
