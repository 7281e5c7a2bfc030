"""Hostile input for GhostSeq: instance dicts, data attributes and iterators
that user code shapes or changes while an operation runs, deaths during a sort,
and the operations UserList builds from self.__class__. Each case must end in
a Python exception or a correct result, with the object left consistent."""

import copy
import weakref

import pytest
from test_ghostseq import Obj, baseline

from dravix.datastructures.ghostseq import GhostSeq

# Run in a fresh interpreter under the debug allocator: before the fixes these
# read freed or out-of-bounds memory, or overflowed the C stack.
MEMORY_CASES = {
    # __dict__.items() of a dict subclass gives items of any shape: they are
    # unpacked as a for statement would, or fail as it does.
    "items of any shape": """
        import copy
        from dravix.datastructures.ghostseq import GhostSeq
        class G(GhostSeq): pass
        class O: pass
        m = O()
        for items, error in [([(10**40,)], ValueError), ([("a", 1, 2)], ValueError), ([7], TypeError)]:
            class D(dict):
                def items(self, items=items): return items
            for copier in (copy.copy, copy.deepcopy):
                g = G([m]); g.__dict__ = D(g.__dict__)
                try:
                    copier(g)
                except error:
                    pass
                else:
                    raise AssertionError(items)
        class D(dict):
            def items(self): return [["data", dict.__getitem__(self, "data")], iter(("tag", 5))]
        g = G([m]); g.__dict__ = D(g.__dict__)
        dup = copy.copy(g)
        assert list(dup) == [m] and dup.tag == 5 and dup.data[0] is not g.data[0]
    """,
    # A next() from inside the source's own step, as a generator would have it.
    "re-entrant next": """
        from dravix.datastructures.ghostseq import GhostSeq
        class O: pass
        keep = [O() for _ in range(3)]
        seen = []
        class G(GhostSeq):
            @property
            def data(self):
                def pred(entry):
                    try:
                        next(it)
                    except ValueError as exc:
                        seen.append(str(exc))
                    return False
                return filter(pred, tuple(self.__dict__["data"]))
            @data.setter
            def data(self, value):
                self.__dict__["data"] = value
        it = iter(G(keep))
        assert list(it) == [] and seen == ["generator already executing"] * 3
    """,
    # data that is itself a GhostSeq, 200,000 deep: each level's iterator
    # steps the next one. A shallow chain still works.
    "chained data": """
        import weakref
        from dravix.datastructures.ghostseq import GhostSeq
        class O:
            def __call__(self): return self
        keep = [O(), O()]
        def chain(n):
            seqs = [GhostSeq() for _ in range(n)]
            for a, b in zip(seqs, seqs[1:]):
                a.data = b
            seqs[-1].data = [weakref.ref(k) for k in keep]
            return seqs[0]
        try:
            for _ in chain(200000):
                raise AssertionError("no RecursionError")
        except RecursionError:
            pass
        it = iter(chain(500))
        assert next(it) is keep[0]
        del it
        assert [x for x in chain(500)] == keep
    """,
}


@pytest.mark.parametrize("case", MEMORY_CASES)
def test_ghostseq_user_shaped_state_in_isolation(isolated, case):
    isolated(MEMORY_CASES[case])


def test_ghostseq_iterator_is_a_generator_to_its_entries():
    seq = GhostSeq()

    def entry():
        with pytest.raises(ValueError, match="generator already executing"):
            next(it)
        return keep

    keep = Obj(0)
    seq.data = [entry, weakref.ref(keep)]
    it = iter(seq)
    assert list(it) == [keep, keep]


class Colliding:
    """An instance-dict key that looks up like "data" and interrupts once."""

    armed = False

    def __hash__(self):
        return hash("data")

    def __eq__(self, other):
        if Colliding.armed:
            Colliding.armed = False
            raise KeyboardInterrupt
        return False


class DataProperty(GhostSeq):
    """data through a property: with `reads` set, that many reads go through
    and every later one raises KeyboardInterrupt."""

    reads = None

    @property
    def data(self):
        if self.reads is not None:
            if self.reads == 0:
                raise KeyboardInterrupt
            self.reads -= 1
        return self.__dict__["data"]

    @data.setter
    def data(self, value):
        self.__dict__["data"] = value


def _colliding(op):
    def run(seq, m):
        seq.__dict__ = {Colliding(): 0, "data": seq.data}
        Colliding.armed = True
        op(seq, m)

    return run


def _sort_with_interrupted_data(seq, m):
    seq = DataProperty([m])
    seq.reads = 1  # one read of data goes through, the next one is interrupted
    try:
        seq.sort()
    finally:
        seq.reads = None


@pytest.mark.parametrize(
    "op",
    [
        pytest.param(_sort_with_interrupted_data, id="sort"),
        pytest.param(_colliding(lambda s, m: s.extend([m])), id="extend"),
        pytest.param(_colliding(lambda s, m: s.__iadd__([m])), id="iadd"),
        pytest.param(_colliding(lambda s, m: s.__setitem__(slice(0, 0), [m])), id="setslice"),
    ],
)
def test_ghostseq_interrupts_are_not_lost(op):
    m = Obj(0)
    with pytest.raises(KeyboardInterrupt):
        op(GhostSeq([m]), m)


def test_ghostseq_deepcopy_notices_its_attributes_change():
    class Adds:
        def __deepcopy__(self, memo):
            seq.extra = 1
            return self

    seq = GhostSeq([Obj(0)])
    seq.a = Adds()
    with pytest.raises(RuntimeError, match="changed size during iteration"):  # as for any object's __dict__
        copy.deepcopy(seq)


def test_ghostseq_constructor_follows_a_class_changed_by_its_items():
    written = []
    m = Obj(0)

    class Sub(GhostSeq):
        pass

    def store(self, value):
        written.append(len(value))
        self.__dict__["data"] = value

    def items():
        Sub.data = property(lambda self: self.__dict__["data"], store)
        yield m

    assert list(Sub(items())) == [m] and written == [0]  # UserList.__init__ sets [] and then fills it


@pytest.mark.parametrize("keeps_dead", [True, False])
def test_ghostseq_sort_takes_out_only_what_dies_during_it(keeps_dead):
    class Seq(GhostSeq):
        def remove(self, item):
            if not keeps_dead:
                super().remove(item)

    keep = [Obj(i) for i in range(6)]
    seq = Seq(keep)
    seq.data.append(seq.data[0])  # a second copy, which the callback leaves dead
    keep[0] = None
    dead_before = list(seq).count(None)

    def key(m):
        if m is not None and m.v == 2:
            keep[3] = None
        return -1 if m is None else m.v

    seq.sort(key=key)
    assert list(seq).count(None) == dead_before + keeps_dead
    assert [m.v for m in seq if m is not None] == [1, 2, 4, 5]


@pytest.mark.parametrize(
    "op",
    [
        pytest.param(lambda s, a: s * 2, id="mul"),
        pytest.param(lambda s, a: 2 * s, id="rmul"),
        pytest.param(lambda s, a: [a] + s, id="radd list"),
        pytest.param(lambda s, a: (a,) + s, id="radd tuple"),
    ],
)
def test_ghostseq_operations_built_from_the_class(op):
    class Sub(GhostSeq):
        pass

    class BaseSub(baseline.GhostSeq):
        pass

    a, b, c = (Obj(i) for i in range(3))
    seq = Sub([b, c])
    seq.data.append(seq.data[1])
    del c  # one dead entry left behind: only live objects are copied
    result = op(seq, a)
    assert type(result) is Sub and list(result) == list(op(BaseSub([b]), a))
    assert all(e.__callback__ == result.remove for e in result.data)
    assert not {id(e) for e in result.data} & {id(e) for e in seq.data}
    del a, b
    assert len(result) == 0
