"""DotBag and NestedDotBag rows: attribute reads, dotted-key access, construction."""

from cases import FASTER, FASTER_3, FASTER_10, Cand, Row, at_most, fewer, impls


class Plain:
    """An ordinary object, for the attribute read every object has."""


def small():
    return {"a": {"b": {"c": 1}}, "x": 1}


def nested_tree(width=10, depth=4):
    """width ** depth leaves (10,000 by default)."""
    if depth == 1:
        return {f"k{i}": i for i in range(width)}
    return {f"k{i}": nested_tree(width, depth - 1) for i in range(width)}


def rebuild(d):
    """The floor of building a tree of mappings: a recursive dict copy."""
    return {k: rebuild(v) if isinstance(v, dict) else v for k, v in d.items()}


def _peers(stmt, omc_stmt, omc_label):
    """python-box with dotted keys and OmegaConf on the small document."""
    return {
        "box": Cand("import box\no = box.Box(small(), box_dots=True)", stmt, "python-box, box_dots=True"),
        "omc": Cand("from omegaconf import OmegaConf\no = OmegaConf.create(small())\nselect = OmegaConf.select\n"
                    "update = OmegaConf.update\nMISSING = object()", omc_stmt, omc_label, instr=False),
    }


THREE = Cand("d = small()", "d['a']['b']['c']", "3 chained dict subscripts")

ROWS = [
    Row("dotbag.attr", "DotBag attribute read obj.a", {
        **impls("dotbag", "b = M.DotBag(a=1)", "b.a"),
        "floor": Cand("b = Plain()\nb.a = 1", "b.a", "floor: plain object attribute"),
        "addict": Cand("import addict\nb = addict.Dict(a=1)", "b.a", "addict.Dict"),
        "munch": Cand("import munch\nb = munch.Munch(a=1)", "b.a", "munch.Munch"),
        "box": Cand("import box\nb = box.Box(a=1)", "b.a", "box.Box"),
    }, repeat=11, min_time=0.05,
        targets={"plain": (1.10, "<= 1.10"), "addict": FASTER_3, "munch": FASTER_3, "box": FASTER_3}),
    Row("dotbag.get", "NestedDotBag obj['a.b.c'] read", {
        **impls("dotbag", "o = M.NestedDotBag(small())", "o['a.b.c']"),
        "floor": THREE,
        **_peers("o['a.b.c']", "select(o, 'a.b.c')", "OmegaConf.select"),
    }, repeat=9, targets={"floor": at_most(3), "box": FASTER_10, "omc": FASTER_10}),
    Row("dotbag.contains", "NestedDotBag 'a.b.c' in obj", {
        **impls("dotbag", "o = M.NestedDotBag(small())", "'a.b.c' in o"),
        "floor": Cand("d = small()", "'c' in d['a']['b']", "floor: 'c' in d['a']['b']"),
        "three": THREE,
        **_peers("'a.b.c' in o", "select(o, 'a.b.c', default=MISSING) is not MISSING",
                 "OmegaConf.select(default=)"),
    }, repeat=9, targets={"three": at_most(3), "box": FASTER_10, "omc": FASTER_10}),
    Row("dotbag.set", "NestedDotBag obj['a.b.c'] = v (existing)", {
        **impls("dotbag", "o = M.NestedDotBag(small())", "o['a.b.c'] = 2"),
        "floor": Cand("d = small()", "d['a']['b']['c'] = 2", "floor: d['a']['b']['c'] = v"),
        "three": THREE,
        **_peers("o['a.b.c'] = 2", "update(o, 'a.b.c', 2)", "OmegaConf.update"),
    }, repeat=9, targets={"three": at_most(3), "box": FASTER_10, "omc": FASTER_10}),
    # Each bag is its own __dict__, a self-referencing object. The first row
    # counts the construction itself (collector off, as for every other row;
    # a full collection before every timed sample keeps memory in bounds) and
    # carries the target; the second keeps the collector on, so its count
    # adds each bag's share of the collections that reclaim them, which a
    # user pays too.
    Row("dotbag.new", "DotBag(a=1, b=2)", impls("dotbag", "cls = M.DotBag", "cls(a=1, b=2)"),
        collect=True, k=2000, check="cls(a=1, b=2)", instr_targets={"plain": fewer(2)}),
    Row("dotbag.new_gc", "DotBag(a=1, b=2), collector on", impls("dotbag", "cls = M.DotBag", "cls(a=1, b=2)"),
        gc=True, collect=True, k=2000, check="cls(a=1, b=2)"),
    Row("dotbag.nested_new", "NestedDotBag(nested), {units:,} leaves", {
        **impls("dotbag", "tree = nested_tree(10, {n})\ncls = M.NestedDotBag", "cls(tree)"),
        "floor": Cand("tree = nested_tree(10, {n})", "rebuild(tree)", "floor: recursive dict copy"),
        "addict": Cand("import addict\ntree = nested_tree(10, {n})", "addict.Dict(tree)", "addict.Dict(nested)",
                       instr=False),
        "box": Cand("import box\ntree = nested_tree(10, {n})", "box.Box(tree)", "box.Box(nested)", instr=False),
        "munch": Cand("import munch\ntree = nested_tree(10, {n})", "munch.munchify(tree)", "munch.munchify(nested)",
                      instr=False),
    }, unit="leaf", sizes=(4, 3), ops=lambda n: 10 ** n, gc=True, collect=True, number=1, k=20, k_plain=4,
        targets={"plain": FASTER_10, "addict": FASTER, "box": FASTER}, check="cls(tree)"),
]
