"""GhostSeq: a list of weak references whose entries leave when their objects die."""

import collections
import copy
import gc
import inspect
import sys
import weakref

import pytest
from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, rule
from conftest import Obj
from conftest import baseline as load_baseline

import dravix.datastructures.ghostseq as mod
from dravix.datastructures.ghostseq import GhostSeq

baseline = load_baseline("ghostseq")


class Val(Obj):
    """Compared by value, so different objects can be equal."""

    def __eq__(self, other):
        return other.v == self.v if isinstance(other, Val) else NotImplemented

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


@pytest.mark.parametrize(
    "name, params",
    [
        ("__contains__", ["self", "item"]),
        ("__setitem__", ["self", "index", "item"]),
        ("__add__", ["self", "item"]),
        ("__iadd__", ["self", "items"]),
    ],
)
def test_signatures(name, params):
    assert list(inspect.signature(getattr(GhostSeq, name)).parameters) == params


def test_entries_are_refs_with_the_instance_callback():
    members = objs(2)
    seq = GhostSeq(members)
    assert all(type(e) is weakref.ReferenceType for e in seq.data)
    assert [e() for e in seq.data] == members
    assert all(e.__callback__ == seq.remove for e in seq.data)
    assert type(seq.data) is list


def test_keywords_and_wrong_counts():
    a = Obj(1)
    seq = GhostSeq(items=[a])
    seq.append(item=a)
    seq.insert(index=0, item=a)
    assert seq.count(item=a) == 3 and seq.index(item=a) == 0
    assert seq.pop(item=-1) is a
    seq.remove(item=a)
    seq.sort(key=None, reverse=True)
    with pytest.raises(TypeError):
        seq.pop()
    with pytest.raises(TypeError):
        seq.append(a, a)
    with pytest.raises(TypeError):
        seq.index(a, 0)
    with pytest.raises(TypeError):
        seq.sort(cmp=None)


# --- reading and writing ----------------------------------------------------------


def test_reads_writes_and_texts():
    a, b, c = objs(3)
    seq = GhostSeq([a, b])
    assert str(GhostSeq()) == repr(GhostSeq()) == "GhostSeq([])"
    assert repr(seq) == "GhostSeq([Obj(0), Obj(1)])" and str(seq) == "GhostSeq([<0>, <1>])"
    assert str(Sub([a])).startswith("GhostSeq([")
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


def test_searches_use_equality():
    v1, v1b, v2 = Val(1), Val(1), Val(2)
    seq = GhostSeq([v2, v1, v1b])
    assert v1b in seq and Val(1) in seq and Val(3) not in seq
    assert seq.index(Val(1)) == 1 and seq.count(Val(1)) == 2
    seq.remove(weakref.ref(v1b))  # the first equal entry: v1
    assert list(seq) == [v2, v1b] and seq[1] is v1b
    with pytest.raises(ValueError, match="not in list"):
        seq.index(Val(7))
    with pytest.raises(ValueError, match=r"list\.remove"):
        seq.remove(Val(7))


class Never(Obj):
    def __eq__(self, other):
        return False

    __hash__ = object.__hash__


class Truthy(Obj):
    def __eq__(self, other):
        return [1]  # not a bool: its truth decides

    __hash__ = object.__hash__


@pytest.mark.parametrize("cls", [Obj, Val, Never, Truthy])
def test_searches_agree_with_the_plain_algorithm(cls):
    members = objs(3, cls)
    probe = members[1]
    outcomes = []
    for make in (GhostSeq, baseline.GhostSeq):
        seq = make(members + [cls(1)])
        found = []
        for op in (lambda: probe in seq, lambda: seq.count(probe), lambda: seq.index(probe),
                   lambda: seq.remove(weakref.ref(probe)) or len(seq)):
            try:
                found.append(op())
            except ValueError:
                found.append("ValueError")
        outcomes.append(found)
    assert outcomes[0] == outcomes[1]


@pytest.mark.parametrize("make", [GhostSeq, Sub])
def test_slices_and_reversed_keep_the_class(make):
    members = objs(4)
    seq = make(members)
    for part, expected in [(seq[1:3], members[1:3]), (seq[::-2], members[::-2]), (reversed(seq), members[::-1])]:
        assert type(part) is make and list(part) == expected
        assert all(e.__callback__ == part.remove for e in part.data)
    r = reversed(seq)
    assert list(r) == list(r)  # a sequence, not a one-shot iterator


def test_add_iadd_extend():
    a, b = objs(2)
    s, t = Sub([a]), GhostSeq([b])
    both = s + t
    assert type(both) is GhostSeq and list(both) == [a, b]
    with pytest.raises(TypeError, match=r'^can only concatenante GhostSeq \(not "list"\) to GhostSeq$'):
        s + [a]
    s += (x for x in [b])
    s.extend({a})
    assert list(s) == [a, b, a]
    s.extend(s)
    assert list(s) == [a, b, a] * 2


def test_equality():
    a, b = objs(2)
    seq = GhostSeq([a, b])
    assert seq == [a, b] and seq == GhostSeq([a, b]) and not seq == (a, b)
    assert seq != [b, a] and [a, b] == seq


def test_sort_by_key_reverse_stable():
    members = [Val(v) for v in (3, 1, 2, 1, 3)]
    seq = GhostSeq(members)
    seq.sort(key=lambda o: o.v, reverse=True)
    expected = sorted(members, key=lambda o: o.v, reverse=True)
    assert [id(o) for o in seq] == [id(o) for o in expected]
    with pytest.raises(TypeError):
        GhostSeq(members).sort()  # Val defines no ordering


@pytest.mark.parametrize(
    "operation",
    [
        lambda s, a: GhostSeq([a, 1]),
        lambda s, a: s.append(1),
        lambda s, a: s.insert(0, "x"),
        lambda s, a: s.extend([a, None]),
        lambda s, a: s.__iadd__([a, ()]),
        lambda s, a: s.__setitem__(0, 1),
        lambda s, a: s.__setitem__(slice(0, 1), [a, {}]),
        lambda s, a: 1 in s,
        lambda s, a: s.index(1),
        lambda s, a: s.count("x"),
        lambda s, a: s.remove(1),
    ],
)
def test_unreferenceable_objects_leave_the_list_unchanged(operation):
    a, b = objs(2)
    seq = GhostSeq([b])
    with pytest.raises(TypeError, match="cannot create weak reference"):
        operation(seq, a)
    assert list(seq) == [b] and len(seq.data) == 1


def test_pop_takes_a_position_and_gives_the_object():
    members = objs(4)
    seq = GhostSeq(members)
    assert seq.pop(0) is members[0] and seq.pop(-1) is members[3]
    assert list(seq) == members[1:3]
    with pytest.raises(IndexError):
        seq.pop(5)
    with pytest.raises(TypeError):
        seq.pop("0")


# --- automatic removal ----------------------------------------------------------------


def test_reclaimed_members_leave(unraisable):
    a, b = objs(2)
    seq = GhostSeq([a, b])
    seq.append(a)
    del a
    assert len(seq) == 1 and seq[0] is b
    del b
    assert len(seq) == 0 and not unraisable


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


def test_the_plain_algorithm_left_temporaries_dead(unraisable):
    # What the repaired version above avoids: entries that stay dead.
    seq = baseline.GhostSeq()
    seq.extend(Obj(i) for i in range(2))
    assert list(seq) == [None, None] and len(unraisable) == 2


def test_death_during_iteration_skips_like_a_list():
    members = objs(6)
    expected = [members[i] for i in (0, 1, 3, 4, 5)]
    seq = GhostSeq(members)
    seen = []
    for obj in seq:
        seen.append(obj)
        if obj is members[1]:
            members[2] = None  # dies here; the walk by position moves past it
    assert seen == expected
    assert list(seq) == expected


def test_iteration_reads_data_and_length_at_each_step():
    a, b, c = objs(3)
    seq = GhostSeq([a])
    it = iter(seq)
    seq.data = GhostSeq([b]).data  # read at the first step, like a generator body
    out = []
    for obj in it:
        out.append(obj)
        if len(out) == 1:
            seq.append(c)
    assert out == [b, c]
    assert list(it) == []


def test_eq_that_drops_members():
    members = objs(4, Val)
    seq = GhostSeq(members)

    class Dropper:
        def __eq__(self, other):
            members.clear()
            return False

    assert not (Dropper() in seq)
    assert len(seq) == 0 and list(seq) == []

    members = objs(4, Val)
    seq = GhostSeq(members)
    other = [Val(0), Dropper(), Val(2), Val(3)]
    assert (seq == other) is False
    assert len(seq) == 0


def test_remove_takes_the_entry_that_matched_when_a_comparison_kills_another():
    class Killer(Val):
        def __eq__(self, other):
            if self.v == 2:
                members[0] = None  # an earlier member dies during this comparison
            return super().__eq__(other)

        __hash__ = object.__hash__

    results = []
    for make in (GhostSeq, baseline.GhostSeq):
        members = objs(4, Killer)
        keep = list(members[1:])
        seq = make(members)
        seq.remove(Val(2))
        results.append([o.v for o in seq])
        del keep
    # The plain algorithm deletes the position that matched, where member 3 now is.
    assert results == [[1, 3], [1, 2]]


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


def test_cycles_are_collected():
    class Node(Obj):
        pass

    seq = GhostSeq()
    ref_seq = weakref.ref(seq)
    nodes = objs(3, Node)
    for n in nodes:
        n.back = seq
        seq.append(n)
    del seq, nodes, n
    gc.collect()
    assert ref_seq() is None

    keeper = GhostSeq()
    ring = objs(3, Node)
    for i, n in enumerate(ring):
        n.next = ring[i - 1]
        keeper.append(n)
    it = iter(keeper)
    del ring, n
    assert len(keeper) == 3
    gc.collect()
    assert len(keeper) == 0 and list(it) == []


def test_dead_entries_from_shared_references():
    # seq.data *= 2 repeats the same reference objects; the callback takes out
    # only the first copy and the other reads as None, as a plain list would do it.
    a, b = objs(2)
    seq = GhostSeq([a, b])
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


def test_explicit_removal_of_a_dead_reference_takes_its_first_copy():
    a, b = objs(2)
    seq = GhostSeq([a, b])
    seq.data *= 2
    del a
    dead = seq.data[1]
    seq.data.append(dead)
    assert [e is dead for e in seq.data] == [False, True, False, True]
    seq.remove(dead)
    assert [e is dead for e in seq.data] == [False, False, True]


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


@pytest.mark.parametrize("n, expected", [(1, 2), (0, 0), (-3, 0)])
def test_in_place_repetition_by_one_or_less(n, expected):
    a, b = objs(2)
    seq = GhostSeq([a, b])
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


def test_copies_are_reclaimed():
    a = Obj(1)
    seq = GhostSeq([a])
    for copier in (copy.copy, copy.deepcopy):
        dup = copier(seq)
        ref_dup = weakref.ref(dup)
        del dup
        gc.collect()
        assert ref_dup() is None
    assert list(seq) == [a]


# --- super() and module globals -----------------------------------------------------


class Logged(collections.UserList):
    calls = []

    def append(self, item):
        self.calls.append(("append", type(item)))
        super().append(item)

    def remove(self, item):
        self.calls.append(("remove", type(item)))
        super().remove(item)


class Between(GhostSeq, Logged):
    pass


class ListData(list):
    pass


def test_base_calls_follow_the_mro():
    assert Between.__mro__[1:3] == (GhostSeq, Logged)
    Logged.calls.clear()
    a = Obj(1)
    seq = Between()
    seq.append(a)
    del a
    assert Logged.calls == [("append", weakref.ReferenceType), ("remove", weakref.ReferenceType)]
    assert len(seq) == 0


def test_callbacks_are_the_instance_remove_as_looked_up():
    log = []

    class Watched(GhostSeq):
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


def test_non_list_data_goes_through_its_own_methods():
    members = objs(3)
    seq = GhostSeq(members)
    seq.data = ListData(seq.data)
    seq.append(Obj(9))
    assert members[1] in seq and seq.index(members[2]) == 2
    assert seq.pop(0) is members[0]
    members[1] = None
    assert list(seq) == [members[2]] and type(seq.data) is ListData


def test_module_globals_are_read_at_call_time(monkeypatch):
    made = []

    class FakeWeakref:
        ReferenceType = weakref.ReferenceType

        @staticmethod
        def ref(obj, *callback):
            made.append(obj)
            return weakref.ref(obj, *callback)

    monkeypatch.setattr(mod, "weakref", FakeWeakref)
    a = Obj(1)
    seq = GhostSeq([a])
    assert a in seq and made == [a, a]
    monkeypatch.setattr(mod, "GhostSeq", Sub)
    with pytest.raises(TypeError, match="GhostSeq"):
        seq + GhostSeq([a])
    assert type(Sub() + Sub([a])) is Sub


# --- against the plain algorithm --------------------------------------------------------


class Model(RuleBasedStateMachine):
    """Drive GhostSeq and the plain-Python class side by side."""

    def __init__(self):
        super().__init__()
        self.pool = [Val(i % 4) for i in range(8)]
        self.ours = GhostSeq(self.pool[:3])
        self.theirs = baseline.GhostSeq(self.pool[:3])

    def both(self, op):
        outcome = []
        for seq in (self.ours, self.theirs):
            try:
                outcome.append(("ok", op(seq)))
            except Exception as exc:  # noqa: BLE001 - compare the failures too
                outcome.append(("err", type(exc)))
        a, b = outcome
        if a[0] == "ok" and isinstance(a[1], collections.UserList):
            a, b = ("ok", list(a[1])), ("ok", list(b[1]))
        assert a == b

    @rule(i=st.integers(0, 7))
    def append(self, i):
        self.both(lambda s: s.append(self.pool[i]))

    @rule(pos=st.integers(-4, 4), i=st.integers(0, 7))
    def insert(self, pos, i):
        self.both(lambda s: s.insert(pos, self.pool[i]))

    @rule(pos=st.integers(-4, 4))
    def pop(self, pos):
        self.both(lambda s: s.pop(pos))

    @rule(i=st.integers(0, 7))
    def searches(self, i):
        for op in (lambda s: self.pool[i] in s, lambda s: s.index(self.pool[i]), lambda s: s.count(self.pool[i])):
            self.both(op)

    @rule(i=st.integers(0, 7))
    def remove(self, i):
        self.both(lambda s: s.remove(self.pool[i]))

    @rule(lo=st.integers(-3, 3), hi=st.integers(-3, 3), step=st.sampled_from([None, 1, -1, 2]))
    def slice_read(self, lo, hi, step):
        self.both(lambda s: s[lo:hi:step])

    @rule(lo=st.integers(0, 3), idx=st.lists(st.integers(0, 7), max_size=3))
    def slice_write(self, lo, idx):
        self.both(lambda s: s.__setitem__(slice(lo, lo + 1), [self.pool[j] for j in idx]))

    @rule(reverse=st.booleans())
    def sort(self, reverse):
        self.both(lambda s: s.sort(key=lambda o: o.v, reverse=reverse))

    @rule(i=st.integers(0, 7))
    def kill(self, i):
        self.pool[i] = Val(self.pool[i].v)

    @invariant()
    def same(self):
        assert list(self.ours) == list(self.theirs)
        assert repr(self.ours) == repr(self.theirs)


Model.TestCase.settings = settings(max_examples=40, stateful_step_count=25, deadline=None)
TestAgainstPlainAlgorithm = Model.TestCase
