"""GhostSeq: a list of weak references whose entries leave when their objects die.

What it shares with the plain-Python baseline runs on both (the G parameter), so
the baseline is the model it is held to; the tests of ours alone are its
repairs (temporaries being added, deaths during a sort, a comparison that
moves entries, copies and repetitions with entries of their own)."""

import collections
import copy
import inspect
import sys
import weakref

import pytest
from conftest import Obj, baseline, both

import dravix.datastructures.ghostseq as mod
from dravix.datastructures.ghostseq import GhostSeq

on_both = pytest.mark.parametrize("G", both("ghostseq", "GhostSeq"))


class Val(Obj):
    """Compared by value, so different objects can be equal; not ordered."""

    def __eq__(self, other):
        return other.v == self.v if isinstance(other, Val) else NotImplemented

    __hash__ = object.__hash__


class Never(Obj):
    def __eq__(self, other):
        return False

    __hash__ = object.__hash__


class Truthy(Obj):
    def __eq__(self, other):
        return [1]  # not a bool: its truth decides

    __hash__ = object.__hash__


class Sub(GhostSeq):
    pass


@pytest.fixture
def unraisable(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    return seen


def objs(n, cls=Obj):
    return [cls(i) for i in range(n)]


# --- the class ------------------------------------------------------------------


def test_class_facts():
    assert GhostSeq.__bases__ == (collections.UserList,)
    assert type(GhostSeq) is type(collections.UserList)
    assert GhostSeq.__hash__ is None
    assert mod.weakref is weakref and mod.collections is collections
    public = {n for n in vars(mod) if not n.startswith("_")}
    assert public == {"GhostSeq", "weakref", "collections"}
    with pytest.raises(TypeError):
        hash(GhostSeq())


@on_both
def test_entries_are_refs_with_the_instance_callback(G):
    members = objs(2)
    seq = G(members)
    assert type(seq.data) is list and all(type(e) is weakref.ReferenceType for e in seq.data)
    assert [e() for e in seq.data] == members
    assert all(e.__callback__ == seq.remove for e in seq.data)


@on_both
def test_arguments_by_keyword(G):
    for name, params in [("__contains__", ["item"]), ("__setitem__", ["index", "item"]), ("__add__", ["item"]),
                         ("__iadd__", ["items"])]:
        assert list(inspect.signature(getattr(G, name)).parameters) == ["self", *params]
    a = Obj(1)
    seq = G(items=[a])
    seq.append(item=a)
    seq.insert(index=0, item=a)
    seq.__setitem__(index=1, item=a)
    assert seq.count(item=a) == 3 and seq.index(item=a) == 0 and seq.__contains__(item=a)
    assert seq.pop(item=-1) is a
    seq.remove(item=a)
    seq.sort(key=None, reverse=True)
    seq.__iadd__(items=[a])
    assert list(seq.__add__(item=G([a]))) == [a, a, a]


# --- reading and writing ----------------------------------------------------------


@on_both
def test_reads_writes_and_texts(G):
    a, b, c = objs(3)
    seq = G([a, b])
    assert str(G()) == repr(G()) == "GhostSeq([])"
    assert repr(seq) == "GhostSeq([Obj(0), Obj(1)])" and str(seq) == "GhostSeq([<0>, <1>])"
    assert str(type("Sub", (G,), {})([a])).startswith("GhostSeq([")
    seq[1] = c
    seq.insert(0, b)
    assert list(seq) == [b, a, c] and seq[-1] is c
    seq[0:2] = [c]
    assert list(seq) == [c, c]
    with pytest.raises(IndexError):
        seq[5]
    with pytest.raises(IndexError):
        seq[5] = a
    with pytest.raises(ValueError):
        seq[::2] = [a, b, c]


@on_both
def test_searches_use_equality(G):
    v1, v1b, v2 = Val(1), Val(1), Val(2)
    seq = G([v2, v1, v1b])
    assert v1b in seq and Val(1) in seq and Val(3) not in seq
    assert seq.index(Val(1)) == 1 and seq.count(Val(1)) == 2
    seq.remove(weakref.ref(v1b))  # the first equal entry: v1
    assert list(seq) == [v2, v1b] and seq[1] is v1b
    with pytest.raises(ValueError, match="not in list"):
        seq.index(Val(7))
    with pytest.raises(ValueError, match=r"list\.remove"):
        seq.remove(Val(7))


@on_both
@pytest.mark.parametrize(
    "cls, found",
    [
        (Obj, [True, 1, 1, 3]),  # by identity: only the probe's own member
        (Val, [True, 2, 1, 3]),
        (Never, [False, 0, "ValueError", "ValueError"]),  # references compare their objects with ==
        (Truthy, [True, 4, 0, 3]),
    ],
)
def test_searches_compare_as_references_do(G, cls, found):
    members = objs(3, cls) + [cls(1)]
    probe = members[1]
    seq = G(members)
    outcomes = []
    for op in (lambda: probe in seq, lambda: seq.count(probe), lambda: seq.index(probe),
               lambda: seq.remove(weakref.ref(probe)) or len(seq)):
        try:
            outcomes.append(op())
        except ValueError:
            outcomes.append("ValueError")
    assert outcomes == found


@on_both
def test_slices_and_reversed_keep_the_class(G):
    for make in (G, type("Sub", (G,), {})):
        members = objs(4)
        seq = make(members)
        for part, expected in [(seq[1:3], members[1:3]), (seq[::-2], members[::-2]), (reversed(seq), members[::-1])]:
            assert type(part) is make and list(part) == expected
            assert all(e.__callback__ == part.remove for e in part.data)
        r = reversed(seq)
        assert list(r) == list(r)  # a sequence, not a one-shot iterator


@on_both
def test_add_iadd_extend(G):
    a, b = objs(2)
    s, t = type("Sub", (G,), {})([a]), G([b])
    joined = s + t
    assert type(joined) is G and list(joined) == [a, b]
    with pytest.raises(TypeError, match=r'^can only concatenante GhostSeq \(not "list"\) to GhostSeq$'):
        s + [a]
    s += (x for x in [b])
    s.extend({a})
    assert list(s) == [a, b, a]
    s.extend(s)
    assert list(s) == [a, b, a] * 2


@on_both
def test_equality_and_sort(G):
    a, b = objs(2)
    seq = G([a, b])
    assert seq == [a, b] and seq == G([a, b]) and not seq == (a, b)
    assert seq != [b, a] and [a, b] == seq
    members = [Val(v) for v in (3, 1, 2, 1, 3)]
    seq = G(members)
    seq.sort(key=lambda o: o.v, reverse=True)
    assert [id(o) for o in seq] == [id(o) for o in sorted(members, key=lambda o: o.v, reverse=True)]
    with pytest.raises(TypeError):
        G(members).sort()  # Val defines no ordering


@on_both
@pytest.mark.parametrize(
    "operation",
    [
        lambda G, s, a: G([a, 1]),
        lambda G, s, a: s.append(1),
        lambda G, s, a: s.insert(0, "x"),
        lambda G, s, a: s.extend([a, None]),
        lambda G, s, a: s.__iadd__([a, ()]),
        lambda G, s, a: s.__setitem__(0, 1),
        lambda G, s, a: s.__setitem__(slice(0, 1), [a, {}]),
        lambda G, s, a: 1 in s,
        lambda G, s, a: s.index(1),
        lambda G, s, a: s.count("x"),
        lambda G, s, a: s.remove(1),
    ],
)
def test_unreferenceable_objects_leave_the_list_unchanged(G, operation):
    a, b = objs(2)
    seq = G([b])
    with pytest.raises(TypeError, match="cannot create weak reference"):
        operation(G, seq, a)
    assert list(seq) == [b] and len(seq.data) == 1


@on_both
def test_pop_takes_a_position_and_gives_the_object(G):
    members = objs(4)
    seq = G(members)
    assert seq.pop(0) is members[0] and seq.pop(-1) is members[3]
    assert list(seq) == members[1:3]
    with pytest.raises(IndexError):
        seq.pop(5)
    with pytest.raises(TypeError):
        seq.pop("0")


# --- automatic removal ----------------------------------------------------------------


@on_both
def test_reclaimed_members_leave(G, unraisable):
    a, b = objs(2)
    seq = G([a, b])
    seq.append(a)
    del a
    assert len(seq) == 1 and seq[0] is b
    del b
    assert len(seq) == 0 and not unraisable


# Members dying last entry first take the removal hint; in order and shuffled,
# deaths away from it take the scan of the whole list.
@pytest.mark.parametrize("order", ["forward", "reverse", "shuffled"])
def test_mass_reclamation_by_identity(order, unraisable):
    calls = []

    class Counting(Obj):
        def __eq__(self, other):
            calls.append(1)
            return NotImplemented

        __hash__ = object.__hash__

    members = objs(3000, Counting)
    keep = objs(50)
    seq = GhostSeq(members[:1500] + keep + members[1500:])
    holder = {"forward": members[::-1], "reverse": members, "shuffled": members[1::2] + members[::2]}[order]
    del members
    holder.clear()  # a list drops its items last to first
    assert list(seq) == keep
    assert calls == [] and not unraisable


def test_temporaries_being_added_leave_after_storing(unraisable):
    # The baseline leaves such entries dead, each with an unraisable ValueError.
    seq = GhostSeq(Obj(i) for i in range(3))
    assert len(seq) == 0
    a = Obj("a")
    seq.append(a)
    seq.extend(Obj(i) for i in range(3))
    seq += (Obj(i) for i in range(3))
    seq[0:0] = (Obj(i) for i in range(3))
    seq.append(Obj(1))
    seq.insert(0, Obj(2))
    assert list(seq) == [a] and not unraisable


@on_both
def test_death_during_iteration_skips_like_a_list(G):
    members = objs(6)
    expected = [members[i] for i in (0, 1, 3, 4, 5)]
    seq = G(members)
    seen = []
    for obj in seq:
        seen.append(obj)
        if obj is members[1]:
            members[2] = None  # dies here; the walk by position moves past it
    assert seen == expected
    assert list(seq) == expected


@on_both
def test_iteration_reads_data_and_length_at_each_step(G):
    a, b, c = objs(3)
    seq = G([a])
    it = iter(seq)
    seq.data = G([b]).data  # read at the first step, like a generator body
    out = []
    for obj in it:
        out.append(obj)
        if len(out) == 1:
            seq.append(c)
    assert out == [b, c]
    assert list(it) == []


@on_both
def test_eq_that_drops_members(G):
    class Dropper:
        def __eq__(self, other):
            members.clear()
            return False

    members = objs(4, Val)
    seq = G(members)
    assert not (Dropper() in seq)
    assert len(seq) == 0 and list(seq) == []
    members = objs(4, Val)
    seq = G(members)
    assert (seq == [Val(0), Dropper(), Val(2), Val(3)]) is False
    assert len(seq) == 0


def test_remove_takes_the_entry_that_matched_when_a_comparison_kills_another():
    class Killer(Val):
        def __eq__(self, other):
            if self.v == 2:
                members[0] = None  # an earlier member dies during this comparison
            return super().__eq__(other)

        __hash__ = object.__hash__

    members = objs(4, Killer)
    keep = list(members[1:])
    seq = GhostSeq(members)
    seq.remove(Val(2))
    # The baseline deletes the position that matched, where member 3 now is: [1, 2].
    assert [o.v for o in seq] == [1, 3]
    del keep


def test_sort_key_that_drops_members(unraisable):
    members = objs(6)
    seq = GhostSeq(members)
    seen = []

    def key(obj):  # keys are taken first, in list order; the dead give None
        seen.append(obj and obj.v)
        if obj is None:
            return 0
        if obj.v == 2:
            members[3] = members[4] = None  # die while the list is being sorted
        return -obj.v

    seq.sort(key=key)
    assert [o.v for o in seq] == [5, 2, 1, 0]
    assert None not in seq.data and not unraisable
    assert seen == [0, 1, 2, None, None, 5]


def test_slice_and_extend_while_members_die(unraisable):
    members = objs(6)
    seq = GhostSeq(members)

    def killing():
        for i in range(6):
            members[5 - i] = None
            yield Obj(i)

    seq.extend(killing())
    assert len(seq) == 0
    members = objs(4)
    seq = GhostSeq(members)
    part = seq[::2]
    members[0] = None
    assert list(part) == [members[2]] and list(seq) == members[1:]
    assert not unraisable


@on_both
def test_dead_entries_from_shared_references(G):
    # seq.data *= 2 repeats the same reference objects; the callback takes out
    # only the first copy and the other reads as None, as a plain list would do it.
    a, b = objs(2)
    seq = G([a, b])
    seq.data *= 2
    del a
    assert list(seq) == [b, None, b] and repr(seq) == "GhostSeq([Obj(1), None, Obj(1)])"
    with pytest.raises(TypeError):
        seq[:]
    seq.append(b)
    assert seq.pop(1) is None and list(seq) == [b, b, b]
    c = Obj(2)
    seq.append(c)
    seq.data *= 2
    del c
    assert list(seq).count(None) == 1
    with pytest.raises(TypeError):
        seq.sort()  # Obj has no order; the entry dead before the sort stays
    assert list(seq).count(None) == 1 and list(seq).count(b) == 6
    with pytest.raises(ValueError, match=r"list\.remove"):
        seq.remove(weakref.ref(Obj(0)))
    dead = next(e for e in seq.data if e() is None)
    seq.data.insert(0, dead)  # an explicit removal takes the first copy
    seq.remove(dead)
    assert [e is dead for e in seq.data].index(True) > 0


@pytest.mark.parametrize("n", [2, 3])
def test_in_place_repetition_gives_every_copy_its_own_entry(n):
    a, b = objs(2)
    seq = Sub([a, b])
    same = seq
    seq *= n
    assert seq is same and type(seq) is Sub and list(seq) == [a, b] * n
    assert len({id(e) for e in seq.data}) == 2 * n
    assert all(e.__callback__ == seq.remove for e in seq.data)
    del a
    assert list(seq) == [b] * n
    del b
    assert len(seq) == 0


@on_both
@pytest.mark.parametrize("n, expected", [(1, 2), (0, 0), (-3, 0)])
def test_in_place_repetition_by_one_or_less(G, n, expected):
    a, b = objs(2)
    seq = G([a, b])
    seq *= n
    assert len(seq) == expected
    with pytest.raises(TypeError, match="can't multiply sequence by non-int"):
        seq *= 2.0
    assert len(seq) == expected


@pytest.mark.parametrize("copier", [copy.copy, copy.deepcopy])
def test_copy_module_gives_entries_of_its_own(copier):
    a, b = objs(2)
    seq = Sub([a, b])
    seq.tag = ["t"]
    dup = copier(seq)
    assert type(dup) is Sub and list(dup) == [a, b] and dup[0] is a
    assert not {id(e) for e in dup.data} & {id(e) for e in seq.data}
    assert all(e.__callback__ == dup.remove for e in dup.data)
    assert dup.tag == ["t"] and (dup.tag is seq.tag) == (copier is copy.copy)
    del a
    assert list(dup) == [b] and list(seq) == [b]
    dup.append(Obj(9))  # dies at once, from the copy only
    assert list(dup) == [b] and list(seq) == [b]


# --- the base calls and the module globals: the general paths ---------------------------


class Logged(collections.UserList):
    calls = []

    def append(self, item):
        self.calls.append(("append", type(item)))
        super().append(item)

    def remove(self, item):
        self.calls.append(("remove", type(item)))
        super().remove(item)


class ListData(list):
    pass


@on_both
def test_base_calls_follow_the_mro(G):
    Between = type("Between", (G, Logged), {})
    Logged.calls.clear()
    a = Obj(1)
    seq = Between()
    seq.append(a)
    del a
    assert Logged.calls == [("append", weakref.ReferenceType), ("remove", weakref.ReferenceType)]
    assert len(seq) == 0


@on_both
def test_callbacks_are_the_instance_remove_as_looked_up(G):
    log = []

    class Watched(G):
        def remove(self, item):
            log.append(type(item))
            super().remove(item)

    members = objs(3)
    seq = Watched(members[:1])
    seq.append(members[1])
    seq.insert(0, members[2])
    assert all(e.__callback__ == seq.remove for e in seq.data)
    members.clear()
    assert log == [weakref.ReferenceType] * 3 and len(seq) == 0


@pytest.mark.parametrize("change", ["instance attribute", "instance remove", "UserList.append"])
@on_both
def test_append_uses_what_self_remove_and_super_append_find_now(G, change, monkeypatch):
    log = []
    a, b = objs(2)
    seq = G([a])
    seq.append(a)
    if change == "instance attribute":
        seq.tag = 1
    elif change == "instance remove":
        seq.remove = log.append
    else:
        monkeypatch.setattr(collections.UserList, "append", lambda self, item: log.append(self.data.append(item)))
    seq.append(b)
    assert seq.data[-1].__callback__ == seq.remove
    del b
    assert len(log) == (0 if change == "instance attribute" else 1)
    assert len(seq.data) == (3 if change == "instance remove" else 2)


@on_both
def test_non_list_data_goes_through_its_own_methods(G):
    members = objs(3)
    seq = G(members)
    seq.data = ListData(seq.data)
    seq.append(Obj(9))
    assert members[1] in seq and seq.index(members[2]) == 2
    assert seq.pop(0) is members[0]
    members[1] = None
    assert list(seq) == [members[2]] and type(seq.data) is ListData


@pytest.mark.parametrize("module", [pytest.param(mod, id="ours"), pytest.param(baseline("ghostseq"), id="baseline")])
def test_weakref_global_is_read_at_call_time(monkeypatch, module):
    made = []

    class FakeWeakref:
        ReferenceType = weakref.ReferenceType

        @staticmethod
        def ref(obj, *callback):
            made.append(obj)
            return weakref.ref(obj, *callback)

    monkeypatch.setattr(module, "weakref", FakeWeakref)
    a = Obj(1)
    seq = module.GhostSeq([a])
    seq.append(a)
    seq.remove(a)
    assert a in seq and made == [a, a, a, a]
