"""FlatPath rows: flattening a document, the lazy walk, rebuilding it."""

from cases import FASTER, FASTER_10, Cand, Row, fewer, impls


def document(services=11_111):
    """A service catalogue: nine leaves per service (nested dicts, lists and
    tuples) and one more, so 9 * services + 1 leaves (100,000 by default)."""
    return {
        "catalogue": {
            f"svc-{i:05d}": {
                "name": f"service {i}",
                "owner": {"team": f"team-{i % 40}", "oncall": [f"user{i % 7}", f"user{i % 11}"]},
                "endpoints": [{"port": 8000 + i % 100, "tls": bool(i % 2)}],
                "limits": (i % 4 + 1, 512 * (i % 8 + 1)),
                "tags": [],
            }
            for i in range(services)
        },
        "version": 3,
    }


def leaves(services):
    return 9 * services + 1


def flatten_dict_args():
    """flatten-dict walks lists and tuples by position here and keeps empty
    containers as leaves, so it does the same walk as FlatPath."""
    return dict(enumerate_types=(list, tuple), keep_empty_types=(dict, list))


SIZES = (11_111, 111)  # 100,000 leaves timed, 1,000 counted
FD = "import flatten_dict\ndoc = document({n})\nargs = flatten_dict_args()\n"

ROWS = [
    Row("flatpath.new", "FlatPath(d), {units:,} leaves", {
        **impls("flatpath", "doc = document({n})\ncls = M.FlatPath", "cls(doc)"),
        "fd": Cand(FD, "flatten_dict.flatten(doc, **args)", "flatten_dict.flatten"),
    }, unit="leaf", sizes=SIZES, ops=leaves, number=1, repeat=5, collect=True,
        targets={"plain": FASTER_10, "fd": FASTER}, instr_targets={"plain": fewer(10)}, check="len(cls(doc))"),
    Row("flatpath.reconstruct", "reconstruct(), {units:,} leaves", {
        **impls("flatpath", "doc = document({n})\nflat = M.FlatPath(doc)", "flat.reconstruct()"),
        "fd": Cand(FD + "flat = flatten_dict.flatten(doc, **args)", "flatten_dict.unflatten(flat)",
                   "flatten_dict.unflatten (dicts keyed by position)"),
    }, unit="leaf", sizes=SIZES, ops=leaves, number=1, repeat=5, collect=True,
        targets={"plain": FASTER_10, "fd": FASTER}, instr_targets={"plain": fewer(10)},
        check="flat.reconstruct() == doc"),
    Row("flatpath.walk", "lazy walk __flatten__, {units:,} leaves",
        impls("flatpath", "doc = document({n})\nwalk = M.FlatPath.__flatten__", "for _ in walk(doc): pass"),
        unit="leaf", sizes=SIZES, ops=leaves, number=1, repeat=5, collect=True,
        check="sum(1 for _ in walk(doc))"),
]
