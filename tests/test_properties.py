"""Random operation sequences against simple models: a list for GhostSeq, nested
plain dicts for NestedDotBag, and flatten/rebuild round trips for FlatPath."""

import copy
import gc

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule
from conftest import Member

from dravix.datastructures.dotbag import NestedDotBag
from dravix.datastructures.flatpath import DictItem, FlatPath, IndexMarker
from dravix.datastructures.ghostseq import GhostSeq

# --- GhostSeq against a list of tokens ---------------------------------------------------


tokens = st.integers(0, 11)


class GhostSeqMachine(RuleBasedStateMachine):
    """The model is a list of tokens (ints, so it keeps no member alive). A member
    dies when the pool lets go of it: at once, or at the next collection when it
    is in a reference cycle (automatic collection is off meanwhile)."""

    @initialize(start=st.lists(tokens, max_size=6))
    def setup(self, start):
        self.gc_was_enabled = gc.isenabled()
        gc.disable()
        self.pool = {t: Member(t % 4, token=t) for t in range(12)}
        self.doomed = set()  # tokens whose members are unreachable cycles, not yet collected
        self.seq = GhostSeq(self.pool[t] for t in start)
        self.model = list(start)

    def teardown(self):
        if getattr(self, "gc_was_enabled", False):
            gc.enable()

    def obj(self, t):
        return self.pool.get(t)

    def live(self, t):
        return t in self.pool

    def value(self, t):
        return t % 4

    def members(self, ts):
        return [self.pool[t] for t in ts]

    # reads and searches

    @rule(t=tokens)
    def searches(self, t):
        if not self.live(t):
            return
        vals = [self.value(m) for m in self.model]
        v = self.value(t)
        assert (self.obj(t) in self.seq) == (v in vals)
        assert self.seq.count(self.obj(t)) == vals.count(v)
        if v in vals:
            assert self.seq.index(self.obj(t)) == vals.index(v)
        else:
            with pytest.raises(ValueError):
                self.seq.index(self.obj(t))

    @rule(lo=st.integers(-7, 7) | st.none(), hi=st.integers(-7, 7) | st.none(),
          step=st.sampled_from([None, 1, 2, -1, -2]))
    def slice_read(self, lo, hi, step):
        part = self.seq[lo:hi:step]
        assert type(part) is GhostSeq
        assert [m.token for m in part] == self.model[lo:hi:step]
        assert [m.token for m in reversed(self.seq)] == self.model[::-1]

    @rule(i=st.integers(-8, 8))
    def index_read(self, i):
        if -len(self.model) <= i < len(self.model):
            assert self.seq[i].token == self.model[i]
        else:
            with pytest.raises(IndexError):
                self.seq[i]

    # writes

    @rule(t=tokens)
    def append(self, t):
        if self.live(t):
            self.seq.append(self.obj(t))
            self.model.append(t)

    @rule(i=st.integers(-8, 8), t=tokens)
    def insert(self, i, t):
        if self.live(t):
            self.seq.insert(i, self.obj(t))
            self.model.insert(i, t)

    @rule(ts=st.lists(tokens, max_size=4), how=st.sampled_from(["extend", "iadd"]))
    def extend(self, ts, how):
        ts = [t for t in ts if self.live(t)]
        if how == "extend":
            self.seq.extend(self.members(ts))
        else:
            self.seq += self.members(ts)
        self.model.extend(ts)

    @rule()
    def extend_with_itself(self):
        self.seq.extend(self.seq)
        self.model.extend(list(self.model))

    @rule(i=st.integers(-8, 8), t=tokens)
    def set_index(self, i, t):
        if not self.live(t):
            return
        if -len(self.model) <= i < len(self.model):
            self.seq[i] = self.obj(t)
            self.model[i] = t
        else:
            with pytest.raises(IndexError):
                self.seq[i] = self.obj(t)

    @rule(lo=st.integers(-6, 6), hi=st.integers(-6, 6), ts=st.lists(tokens, max_size=3))
    def set_slice(self, lo, hi, ts):
        ts = [t for t in ts if self.live(t)]
        self.seq[lo:hi] = self.members(ts)
        self.model[lo:hi] = ts

    @rule(lo=st.integers(-6, 6), hi=st.integers(-6, 6), step=st.sampled_from([None, 2, -1]))
    def delete_slice(self, lo, hi, step):
        del self.seq[lo:hi:step]
        del self.model[lo:hi:step]

    @rule(i=st.integers(-8, 8))
    def pop(self, i):
        if -len(self.model) <= i < len(self.model):
            assert self.seq.pop(i).token == self.model.pop(i)
        else:
            with pytest.raises(IndexError):
                self.seq.pop(i)

    @rule(t=tokens, by_reference=st.booleans())
    def remove(self, t, by_reference):
        if not self.live(t):
            return
        import weakref

        arg = weakref.ref(self.obj(t)) if by_reference else self.obj(t)
        vals = [self.value(m) for m in self.model]
        if self.value(t) in vals:
            self.seq.remove(arg)
            del self.model[vals.index(self.value(t))]
        else:
            with pytest.raises(ValueError):
                self.seq.remove(arg)

    @rule(reverse=st.booleans(), with_key=st.booleans())
    def sort(self, reverse, with_key):
        if with_key:
            self.seq.sort(key=lambda m: -m.v, reverse=reverse)
            self.model.sort(key=lambda t: -self.value(t), reverse=reverse)
        else:
            self.seq.sort(reverse=reverse)
            self.model.sort(key=self.value, reverse=reverse)

    @rule(t=tokens)
    def sort_while_a_member_dies(self, t):
        if not self.live(t) or t in self.doomed:
            return
        pool = self.pool

        def key(m):
            pool.pop(t, None)  # the first call lets the member go
            return -1 if m is None else m.v  # a later call may meet its dead entry

        self.seq.sort(key=key)
        self.model = sorted((x for x in self.model if x != t), key=self.value)
        self.pool[t] = Member(self.value(t), token=t)

    @rule()
    def reverse(self):
        self.seq.reverse()
        self.model.reverse()

    @precondition(lambda self: len(self.model) <= 24)  # repeated draws would otherwise grow it threefold each time
    @rule(n=st.integers(-1, 3))
    def repeat_in_place(self, n):
        self.seq *= n
        self.model *= n

    @rule()
    def copies(self):
        for dup in (copy.copy(self.seq), copy.deepcopy(self.seq), self.seq.copy(), self.seq + GhostSeq()):
            assert [m.token for m in dup] == self.model
            assert not {id(e) for e in dup.data} & {id(e) for e in self.seq.data}

    @rule()
    def clear(self):
        self.seq.clear()
        self.model.clear()

    # deaths

    @rule(t=tokens)
    def die(self, t):
        if self.live(t) and t not in self.doomed:
            del self.pool[t]  # reference counting reclaims it at once
            self.model = [x for x in self.model if x != t]
            self.pool[t] = Member(self.value(t), token=t)  # a new member under the same token

    @rule(t=tokens)
    def doom(self, t):
        if self.live(t) and t not in self.doomed:
            self.pool[t].me = self.pool[t]  # a cycle: only the collector reclaims it
            self.doomed.add(t)

    @precondition(lambda self: self.doomed)
    @rule()
    def collect(self):
        for t in self.doomed:
            del self.pool[t]
        assert len(self.seq) == len(self.model)  # unreachable, not yet collected
        gc.collect()
        self.model = [x for x in self.model if x not in self.doomed]
        for t in self.doomed:
            self.pool[t] = Member(self.value(t), token=t)
        self.doomed.clear()

    @invariant()
    def agrees(self):
        assert [m.token for m in self.seq] == self.model
        assert len(self.seq) == len(self.model)
        data = self.seq.data
        assert len({id(e) for e in data}) == len(data)  # every entry its own reference
        assert all(e.__callback__ == self.seq.remove for e in data)


GhostSeqMachine.TestCase.settings = settings(max_examples=60, stateful_step_count=30, deadline=None,
                                             suppress_health_check=[HealthCheck.too_slow])
TestGhostSeqAgainstList = GhostSeqMachine.TestCase


# --- NestedDotBag against nested plain dicts ---------------------------------------------

segments = st.sampled_from(["a", "b", "c", ""])
paths = st.lists(segments, min_size=1, max_size=3).map(".".join)
scalars = st.integers(0, 9)
nested = st.recursive(scalars, lambda inner: st.dictionaries(segments, inner, max_size=3), max_leaves=6)
update_args = st.dictionaries(st.one_of(segments, paths), nested, max_size=3)


def plain(obj):
    if isinstance(obj, dict):
        return {k: plain(v) for k, v in obj.items()}
    return obj


def model_get(level, key):
    head, _, rest = key.partition(".")
    if "." not in key:
        return level[key]
    value = level[head]
    if not isinstance(value, dict):
        raise TypeError("not subscriptable")
    return model_get(value, rest)


def model_set(level, key, value):
    if "." not in key:
        level[key] = value
        return
    head, _, rest = key.partition(".")
    sub = level.setdefault(head, {})
    if not isinstance(sub, dict):
        raise KeyError(head)
    model_set(sub, rest, value)


def model_contains(level, key):
    if "." not in key:
        return key in level
    head, _, rest = key.partition(".")
    if head not in level:
        return False
    if not isinstance(level[head], dict):
        raise TypeError("no membership")
    return model_contains(level[head], rest)


def model_delete(level, key):
    if "." not in key:
        del level[key]
        return
    head, _, rest = key.partition(".")
    if not isinstance(level[head], dict):
        raise TypeError("no deletion")
    model_delete(level[head], rest)


def model_update(level, mapping):
    for key, value in mapping.items():
        if isinstance(value, dict):
            try:
                sub = model_get(level, key)
            except KeyError:
                sub = {}
                model_set(level, key, sub)
            if not isinstance(sub, dict):
                raise AttributeError("update")
            model_update(sub, value)
        else:
            model_set(level, key, value)


def outcome(func, *args):
    try:
        return ("ok", func(*args))
    except (KeyError, TypeError, AttributeError) as e:
        return ("err", type(e))


class NestedDotBagMachine(RuleBasedStateMachine):
    @initialize(start=update_args)
    def setup(self, start):
        self.bag, self.model = NestedDotBag(), {}
        self.both(lambda: self.bag.update(start), lambda: model_update(self.model, start))

    def both(self, ours, theirs):
        assert outcome(ours) == outcome(theirs)

    @rule(key=paths)
    def read(self, key):
        self.both(lambda: plain(self.bag[key]), lambda: plain(model_get(self.model, key)))

        def theirs_get():
            # get() turns only KeyError into the default; a TypeError of the path passes through.
            try:
                return plain(model_get(self.model, key))
            except KeyError:
                return "dflt"

        self.both(lambda: plain(self.bag.get(key, "dflt")), theirs_get)

    @rule(key=paths)
    def contains(self, key):
        self.both(lambda: key in self.bag, lambda: model_contains(self.model, key))

    @rule(key=paths, value=scalars)
    def write(self, key, value):
        self.both(lambda: self.bag.__setitem__(key, value), lambda: model_set(self.model, key, value))

    @rule(key=paths)
    def delete(self, key):
        self.both(lambda: self.bag.__delitem__(key), lambda: model_delete(self.model, key))

    @rule(key=paths)
    def pop(self, key):
        def theirs():
            value = model_get(self.model, key)
            model_delete(self.model, key)
            return plain(value)

        self.both(lambda: plain(self.bag.pop(key)), theirs)

    @rule(key=paths, value=scalars)
    def setdefault(self, key, value):
        def theirs():
            try:
                return plain(model_get(self.model, key))
            except KeyError:
                model_set(self.model, key, value)
                return value

        self.both(lambda: plain(self.bag.setdefault(key, value)), theirs)

    @rule(mapping=update_args, as_keywords=st.booleans())
    def update(self, mapping, as_keywords):
        ours = (lambda: self.bag.update(**mapping)) if as_keywords else (lambda: self.bag.update(mapping))
        self.both(ours, lambda: model_update(self.model, copy.deepcopy(mapping)))

    @invariant()
    def agrees(self):
        assert plain(self.bag) == self.model

        def levels_are_bags(level):
            assert type(level) is NestedDotBag and vars(level) is level
            for value in dict.values(level):
                assert not isinstance(value, dict) or isinstance(value, NestedDotBag)
                if isinstance(value, NestedDotBag):
                    levels_are_bags(value)

        levels_are_bags(self.bag)


NestedDotBagMachine.TestCase.settings = settings(max_examples=60, stateful_step_count=25, deadline=None)
TestNestedDotBagAgainstDicts = NestedDotBagMachine.TestCase


# --- FlatPath round trips ---------------------------------------------------------------------


class Seq(list):
    """A list subclass: its markers carry it, and the rebuild makes one again."""


leaves = st.one_of(st.integers(), st.text(max_size=3), st.none(), st.builds(object), st.just(float("nan")))
keys = st.one_of(st.integers(-2, 2), st.text(max_size=2), st.tuples(st.integers(0, 1)))


nestings = st.recursive(
    leaves,
    lambda inner: st.one_of(
        st.dictionaries(keys, inner, max_size=3),
        st.lists(inner, max_size=3),
        st.lists(inner, min_size=1, max_size=3).map(Seq),
        st.lists(inner, min_size=1, max_size=3).map(tuple),
        st.sampled_from([(), [], {}]).map(copy.copy),
    ),
    max_leaves=15,
)


def shape(obj):
    """The structure with exact container types; leaves by identity."""
    if type(obj) is dict:
        return ("dict", [(k, shape(v)) for k, v in obj.items()])
    if type(obj) in (list, tuple, Seq):
        return (type(obj).__name__, [shape(v) for v in obj])
    return ("leaf", id(obj))


def plain_path(path):
    return tuple((p.type_, p.index) if isinstance(p, IndexMarker) else p for p in path)


@settings(max_examples=200, deadline=None)
@given(st.dictionaries(keys, nestings, max_size=4))
def test_flatpath_round_trip_keeps_types_and_leaves(data):
    flat = FlatPath(data)
    before = [(entry, tuple(entry.path), entry.value) for entry in flat]
    rebuilt = flat.reconstruct()
    assert shape(rebuilt) == shape(data)
    # The list is read, not changed: same entries, same paths, same values.
    assert [(e, tuple(e.path), e.value) for e in flat] == before
    assert all(type(e) is DictItem for e in flat)
    # Flattening is lazy and yields what the constructor stores; the rebuild flattens back to it.
    assert [(plain_path(p), id(v)) for p, v in FlatPath.__flatten__(data)] == [(plain_path(p), id(v)) for p, v in flat]
    assert [(plain_path(p), id(v)) for p, v in FlatPath(rebuilt)] == [(plain_path(p), id(v)) for p, v in flat]
    # Plain (path, value) tuples rebuild the same, and every rebuild is new.
    again = FlatPath([(tuple(p), v) for p, v in flat]).reconstruct()
    assert shape(again) == shape(data) and again is not rebuilt
