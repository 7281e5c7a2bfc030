"""Tests of dravix.datastructures.typeattr (the installed module)."""

import gc
import inspect
import subprocess
import sys
import weakref

import pytest

import dravix.datastructures.typeattr as mod
from dravix.datastructures.typeattr import TypeAttrDescriptor, typeattr


def make_classes():
    reads = []

    class C:
        @typeattr
        def answer(cls):
            return 100

        @typeattr
        def label(cls):
            reads.append(cls)
            return cls.__name__

    class D(C):
        pass

    return C, D, reads


def test_module_and_class_facts():
    assert typeattr is TypeAttrDescriptor
    assert TypeAttrDescriptor.__bases__ == (object,) and type(TypeAttrDescriptor) is type
    assert TypeAttrDescriptor.__doc__
    assert [n for n in vars(mod) if not n.startswith("_")] == ["TypeAttrDescriptor", "typeattr"]
    assert [n for n in ("__init__", "__get__") if n in TypeAttrDescriptor.__dict__] == ["__init__", "__get__"]
    # A non-data descriptor.
    assert not hasattr(TypeAttrDescriptor, "__set__") and not hasattr(TypeAttrDescriptor, "__delete__")
    assert str(inspect.signature(TypeAttrDescriptor.__get__)) == "(self, /, obj, owner)"


@pytest.mark.parametrize("through", ["class", "instance"])
def test_value_for_the_class_read_through(through):
    C, D, reads = make_classes()
    read = (lambda k: k) if through == "class" else (lambda k: k())
    assert read(C).answer == 100
    assert read(C).label == "C"
    assert read(D).label == "D"
    assert reads == [C, D]


def test_func_runs_on_every_read():
    C, D, reads = make_classes()
    for expected in range(1, 6):
        C.label
        assert len(reads) == expected
    D().label
    assert reads[-1] is D and len(reads) == 6


def test_class_assignment_replaces_and_instance_assignment_shadows():
    C, D, _ = make_classes()
    a, b = C(), C()
    a.answer = 5
    assert a.answer == 5 and b.answer == 100 and C.answer == 100 and D.answer == 100
    C.answer = 7
    assert C.answer == 7 and D.answer == 7 and b.answer == 7 and a.answer == 5
    assert "answer" not in D.__dict__


def test_the_class_holds_the_descriptor_with_the_plain_function():
    def answer(cls):
        return 100

    class C:
        answer_attr = typeattr(answer)

    d = C.__dict__["answer_attr"]
    assert type(d) is TypeAttrDescriptor and d.func is answer
    assert d.__dict__ == {"func": answer}


@pytest.mark.parametrize("call", [
    lambda d, owner: d.__get__(None, owner),
    lambda d, owner: d.__get__(obj=None, owner=owner),
    lambda d, owner: TypeAttrDescriptor.__get__(d, object(), owner),
    lambda d, owner: type(d).__get__(d, owner=owner, obj="ignored"),
])
def test_get_called_directly(call):
    seen = []
    d = typeattr(lambda cls: seen.append(cls) or "v")
    assert call(d, int) == "v"
    assert call(d, None) == "v"
    assert seen == [int, None]


@pytest.mark.parametrize("call", [
    lambda d: d.__get__(None),
    lambda d: d.__get__(None, int, 3),
    lambda d: d.__get__(None, int, owner=int),
    lambda d: d.__get__(None, klass=int),
    lambda d: TypeAttrDescriptor(),
    lambda d: TypeAttrDescriptor(len, len),
    lambda d: TypeAttrDescriptor(fn=len),
])
def test_argument_errors(call):
    with pytest.raises(TypeError):
        call(typeattr(len))


def test_func_is_an_ordinary_attribute_read_on_every_access():
    class C:
        size = typeattr(lambda cls: 1)

    d = C.__dict__["size"]
    d.func = lambda cls: 2
    assert C.size == 2
    TypeAttrDescriptor.__init__(d, lambda cls: 3)
    assert C.size == 3
    del d.func
    with pytest.raises(AttributeError):
        C.size
    TypeAttrDescriptor(func=None)  # nothing is checked when made
    d.func = None
    with pytest.raises(TypeError, match="not callable"):
        C.size
    with pytest.raises(TypeError, match="not callable"):
        C().size


def test_exceptions_from_func_propagate_unchanged():
    error = LookupError("missing")

    def fail(cls):
        raise error

    class C:
        bad = typeattr(fail)

    for reader in (lambda: C.bad, lambda: C().bad, lambda: C.__dict__["bad"].__get__(None, C)):
        with pytest.raises(LookupError) as info:
            reader()
        assert info.value is error


def test_subclasses_of_the_descriptor():
    class Doubled(TypeAttrDescriptor):
        def __get__(self, obj, owner):
            return 2 * super().__get__(obj, owner)

    class Plain(TypeAttrDescriptor):
        pass

    class C:
        two = Doubled(lambda cls: 1)
        one = Plain(lambda cls: cls.__name__)

    assert C.two == 2 and C().two == 2
    assert C.one == "C" and C().one == "C"


def test_replacing_get_on_the_class_is_honoured():
    # Run apart: it changes the class for the rest of the process.
    code = (
        "from dravix.datastructures.typeattr import typeattr\n"
        "class C:\n"
        "    x = typeattr(lambda cls: 1)\n"
        "original = typeattr.__get__\n"
        "assert C.x == 1\n"
        "typeattr.__get__ = lambda self, obj, owner: 'patched'\n"
        "assert C.x == 'patched' and C().x == 'patched'\n"
        "typeattr.__get__ = original\n"
        "assert C.x == 1 and C().x == 1\n"
        "print('ok')\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert out.stdout == "ok\n"


def test_weak_references_and_cycle_collection():
    d = typeattr(None)
    d.func = d  # a cycle through the instance dict
    ref = weakref.ref(d)
    del d
    gc.collect()
    assert ref() is None
