"""RankMap rows: reads, stores, iteration and building, against OrderedDict and dict."""

from cases import Cand, Row, at_most, impls


def keys(n):
    return [f"key{i}" for i in range(n)]


def filled(cls, names):
    return cls((k, i) for i, k in enumerate(names))


def _row(key, op, setup, stmt, **kw):
    """ours, plain, compiled, OrderedDict (the floor) and dict for one statement
    over a map of n keys made by filled(); setups may use cls."""
    return Row(key, op, {
        **impls("rankmap", "cls = M.RankMap\n" + setup, stmt),
        "od": Cand("from collections import OrderedDict as cls\n" + setup, stmt, "collections.OrderedDict"),
        "dict": Cand("cls = dict\n" + setup, stmt, "dict"),
    }, floor="od", **kw)


FULL = "names = keys({n})\nm = filled(cls, names)\nk = names[len(names) // 2]"

ROWS = [
    _row("rankmap.get", "RankMap m[k] ({n:,} keys)", FULL, "m[k]", sizes=(1000, 1000), repeat=9,
         targets={"od": at_most(1.5)}, instr_targets={"od": at_most(1.5)}),
    _row("rankmap.set", "RankMap m[k] = v, existing key", FULL, "m[k] = 1", sizes=(1000, 1000), repeat=9,
         targets={"od": at_most(2)}),
    _row("rankmap.set_new", "RankMap m[k] = v, new key (fill {n:,})", "fresh = keys({n})",
         "m = cls()\nfor k in fresh: m[k] = 0", unit="key", sizes=(1000, 100), ops=lambda n: n, number=1,
         repeat=31, targets={"od": at_most(2)}, instr_targets={"od": at_most(1.3)}),
    _row("rankmap.iter", "RankMap iteration, per key ({n:,} keys)", FULL, "for k in m: pass", unit="key",
         sizes=(1000, 1000), ops=lambda n: n, repeat=9, targets={"od": at_most(1.5)},
         instr_targets={"od": at_most(1.3)}),
    # The transcription scans its order list for every new key (quadratic):
    # it is built from 10,000 pairs only, ours and OrderedDict also from 100,000.
    _row("rankmap.build", "RankMap(pairs), {n:,} pairs", "pairs = [(k, i) for i, k in enumerate(keys({n}))]",
         "cls(pairs)", unit="key", sizes=(10_000, 100), ops=lambda n: n, number=1, repeat=5, collect=True,
         check="list(cls(pairs).items())"),
]
big = _row("rankmap.build_big", "RankMap(pairs), {n:,} pairs",
           "pairs = [(k, i) for i, k in enumerate(keys({n}))]", "cls(pairs)", unit="key", sizes=(100_000, None),
           ops=lambda n: n, number=1, repeat=5, collect=True, instr=False)
del big.cands["plain"], big.cands["compiled"]
ROWS.append(big)
