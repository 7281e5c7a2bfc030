"""typeattr: read-only properties computed from the class. What it shares with
the plain-Python baseline runs on both (the T parameter)."""

import operator

import pytest

from conftest import BASELINES, both

import dravix.datastructures.typeattr as mod
from dravix.datastructures.typeattr import TypeAttrDescriptor, typeattr

on_both = pytest.mark.parametrize("T", both("typeattr", "TypeAttrDescriptor"))


def make_classes(T):
    reads = []

    class C:
        @T
        def answer(cls):
            return 100

        @T
        def label(cls):
            reads.append(cls)
            return cls.__name__

    class D(C):
        pass

    return C, D, reads


def test_class_facts():
    assert typeattr is TypeAttrDescriptor
    assert TypeAttrDescriptor.__bases__ == (object,) and type(TypeAttrDescriptor) is type
    assert TypeAttrDescriptor.__doc__
    assert [n for n in vars(mod) if not n.startswith("_")] == ["TypeAttrDescriptor", "typeattr"]
    assert [n for n in ("__init__", "__get__") if n in TypeAttrDescriptor.__dict__] == ["__init__", "__get__"]
    # A non-data descriptor.
    assert not hasattr(TypeAttrDescriptor, "__set__") and not hasattr(TypeAttrDescriptor, "__delete__")


@on_both
@pytest.mark.parametrize("through", ["class", "instance"])
def test_value_for_the_class_read_through(T, through):
    C, D, reads = make_classes(T)
    read = (lambda k: k) if through == "class" else (lambda k: k())
    assert read(C).answer == 100
    assert read(C).label == "C"
    assert read(D).label == "D"
    assert reads == [C, D]


@on_both
def test_func_runs_on_every_read(T):
    C, D, reads = make_classes(T)
    for expected in range(1, 6):
        C.label
        assert len(reads) == expected
    D().label
    assert reads[-1] is D and len(reads) == 6


@on_both
def test_class_assignment_replaces_and_instance_assignment_shadows(T):
    C, D, _ = make_classes(T)
    a, b = C(), C()
    a.answer = 5
    assert a.answer == 5 and b.answer == 100 and C.answer == 100 and D.answer == 100
    C.answer = 7
    assert C.answer == 7 and D.answer == 7 and b.answer == 7 and a.answer == 5
    assert "answer" not in D.__dict__


@on_both
def test_the_class_holds_the_descriptor_with_the_plain_function(T):
    def answer(cls):
        return 100

    class C:
        answer_attr = T(answer)

    d = C.__dict__["answer_attr"]
    assert type(d) is T and d.func is answer
    assert d.__dict__ == {"func": answer}


@on_both
@pytest.mark.parametrize("call", [
    lambda d, owner: d.__get__(None, owner),
    lambda d, owner: d.__get__(obj=None, owner=owner),
    lambda d, owner: type(d).__get__(d, object(), owner),
    lambda d, owner: type(d).__get__(d, owner=owner, obj="ignored"),
])
def test_get_called_directly(T, call):
    seen = []
    d = T(lambda cls: seen.append(cls) or "v")
    assert call(d, int) == "v"
    assert call(d, None) == "v"
    assert seen == [int, None]


@on_both
@pytest.mark.parametrize("call", [
    lambda T: T(len).__get__(None, int, 3),
    lambda T: T(len).__get__(None, int, owner=int),
    lambda T: T(len, len),
])
def test_argument_errors(T, call):
    with pytest.raises(TypeError):
        call(T)


@on_both
def test_func_is_an_ordinary_attribute_read_on_every_access(T):
    class C:
        size = T(lambda cls: 1)

    d = C.__dict__["size"]
    d.func = lambda cls: 2
    assert C.size == 2
    T.__init__(d, lambda cls: 3)
    assert C.size == 3
    del d.func
    with pytest.raises(AttributeError):
        C.size
    T(func=None)  # nothing is checked when made
    d.func = None
    with pytest.raises(TypeError, match="not callable"):
        C.size
    with pytest.raises(TypeError, match="not callable"):
        C().size


@on_both
def test_exceptions_from_func_propagate_unchanged(T):
    error = LookupError("missing")

    def fail(cls):
        raise error

    class C:
        bad = T(fail)

    for reader in (lambda: C.bad, lambda: C().bad, lambda: C.__dict__["bad"].__get__(None, C)):
        with pytest.raises(LookupError) as info:
            reader()
        assert info.value is error


@on_both
def test_subclasses_of_the_descriptor(T):
    # Ours reads through a slot written on TypeAttrDescriptor; subclasses get
    # the interpreter's, which looks __get__ up.
    class Doubled(T):
        def __get__(self, obj, owner):
            return 2 * super().__get__(obj, owner)

    class Plain(T):
        pass

    class C:
        two = Doubled(lambda cls: 1)
        one = Plain(lambda cls: cls.__name__)

    assert C.two == 2 and C().two == 2
    assert C.one == "C" and C().one == "C"


def test_replacing_get_on_the_class_is_honoured(isolated):
    # Run apart: it changes the class for the rest of the process.
    isolated("""
        from dravix.datastructures.typeattr import typeattr
        class C:
            x = typeattr(lambda cls: 1)
        original = typeattr.__get__
        assert C.x == 1
        typeattr.__get__ = lambda self, obj, owner: 'patched'
        assert C.x == 'patched' and C().x == 'patched'
        typeattr.__get__ = original
        assert C.x == 1 and C().x == 1
    """)


@on_both
def test_func_read_from_the_dictionary_in_any_shape(T):
    # Reads find func in the descriptor's dictionary whatever its order of
    # entries, the string object of its key or the dictionary itself, and call
    # whatever callable it is.
    d = T.__new__(T)
    d.other = 1
    T.__init__(d, lambda cls: "second entry")

    class C:
        x = d

    assert C.x == "second entry" and C().x == "second entry"
    d.__dict__.clear()
    d.__dict__["".join(["fu", "nc"])] = lambda cls: "equal key"
    assert C.x == "equal key"
    d.__dict__ = {"func": operator.attrgetter("__name__")}
    assert C.x == "C" and C().x == "C"


def test_func_on_the_descriptor_class_and_attribute_hooks(isolated):
    # Run apart: it changes the classes for the rest of the process.
    isolated(f"""
        import importlib.util
        from dravix.datastructures.typeattr import TypeAttrDescriptor
        spec = importlib.util.spec_from_file_location("plain", {str(BASELINES / "typeattr.py")!r})
        plain = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(plain)
        for T in (TypeAttrDescriptor, plain.TypeAttrDescriptor):
            class C:
                x = T(lambda cls: "stored")
            T.__getattribute__ = lambda self, name: (lambda cls: "hooked")
            assert C.x == "hooked" and C().x == "hooked"
            del T.__getattribute__
            # A data descriptor on the class comes before the dictionary.
            T.func = property(lambda self: lambda cls: "property")
            assert C.x == "property" and C().x == "property"
            # Anything else on the class comes after it.
            T.func = lambda self, cls: "method " + cls.__name__
            assert C.x == "stored"
            del vars(C)["x"].func
            assert C.x == "method C" and C().x == "method C"
            del T.func
            vars(C)["x"].func = lambda cls: "restored"
            assert C.x == "restored" and C().x == "restored"
    """)
