"""logic rows: calling an expression, reading its text form."""

from cases import FASTER_3, Row, fewer, impls

TEXT = "And(Or('a', 'b'), Not('c'))"


def names(count=10_000):
    """Mixed names, about half of them selected by TEXT."""
    stems = ["alpha", "beta", "gamma", "delta", "epsilon", "zeta", "theta", "kappa", "omicron", "sigma"]
    return [f"{stems[i % len(stems)]}_{i}" for i in range(count)]


EXPR = "expr = M.logic_str(TEXT)\nitems = names({n})"

ROWS = [
    Row("logic.call_each", f"{TEXT} on {{n:,}} names, one call each",
        impls("logic", EXPR, "[x for x in items if expr(x)]"), unit="name", sizes=(10_000, 1000),
        ops=lambda n: n, repeat=9, targets={"plain": FASTER_3}, instr_targets={"plain": fewer(8)},
        check="[x for x in items if expr(x)]"),
    Row("logic.call_all", f"{TEXT}, one call with {{n:,}} names",
        impls("logic", EXPR, "expr(*items)"), unit="name", sizes=(10_000, 1000), ops=lambda n: n, repeat=9,
        targets={"plain": FASTER_3}, check="expr(*items)"),
    Row("logic.parse", f"logic_str({TEXT!r})", impls("logic", "parse = M.logic_str", "parse(TEXT)"),
        repeat=9, targets={"plain": FASTER_3}, check="str(parse(TEXT))"),
]
