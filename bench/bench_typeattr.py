"""typeattr rows: reads on an instance and on the class, against a property read."""

from cases import Cand, Row, at_most, fewer, impls


def with_typeattr(typeattr):
    class Owner:
        @typeattr
        def value(cls):
            return 1

    return Owner


class WithProperty:
    @property
    def value(self):
        return 1


PROPERTY = Cand("o = WithProperty()", "o.value", "property read")
SETUP = "C = with_typeattr(M.typeattr)\no = C()"

ROWS = [
    Row("typeattr.instance", "typeattr read on an instance", {**impls("typeattr", SETUP, "o.value"), "floor": PROPERTY},
        repeat=11, min_time=0.05, targets={"floor": at_most(1.5)}, instr_targets={"plain": fewer(1.25)}),
    Row("typeattr.class", "typeattr read on the class", {**impls("typeattr", SETUP, "C.value"), "floor": PROPERTY},
        repeat=11, min_time=0.05, targets={"floor": at_most(1.5)}, instr_targets={"plain": fewer(1.25)}),
]
