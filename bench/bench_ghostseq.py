"""GhostSeq rows: append, iteration, `in`, and the reclamation of all members at once.

weakref.WeakSet is unordered and hashes its members: a reference point, not a
like-for-like rival.
"""

import random
import weakref  # noqa: F401 (used by the set-ups)

from cases import FASTER_5, Cand, Row, at_most, impls


class Member:
    __slots__ = ("__weakref__", "v")

    def __init__(self, v):
        self.v = v


def make_members(n):
    return [Member(i) for i in range(n)]


def doomed(cls, n, order):
    """(holder, container): n members, held only by the list `holder`, in a
    container of class cls. Clearing the holder reclaims them at once; a list
    lets go of its items last to first, so "in reverse" drops the container's
    last entry first and "in order" its first entry first."""
    members = make_members(n)
    container = cls(members)
    if order == "in order":
        holder = members[::-1]
    elif order == "shuffled":
        holder = members[:]
        random.Random(7).shuffle(holder)
    else:
        holder = members
    return holder, container


def _cands(setup, stmt, ws_stmt, floor_setup, floor_stmt, floor_label):
    return {
        **impls("ghostseq", "cls = M.GhostSeq\n" + setup, stmt),
        "ws": Cand("cls = weakref.WeakSet\n" + setup, ws_stmt, "weakref.WeakSet"),
        "floor": Cand(floor_setup, floor_stmt, floor_label),
    }


FILLED = "members = make_members({n})\ns = cls(members)\nlast = members[-1]\nprobe = members[5 % len(members)]"
LIST = "members = make_members({n})\nlast = members[-1]\nprobe = members[5 % len(members)]"

ROWS = [
    # A fresh container per run of the loop; the floor is the same loop
    # storing weak references with a callback in a local list.
    Row("ghostseq.append", "GhostSeq append, per member ({n:,} into empty)", _cands(
        "members = make_members({n})", "s = cls()\nput = s.append\nfor m in members: put(m)",
        "s = cls()\nput = s.add\nfor m in members: put(m)",
        "from weakref import ref\nmembers = make_members({n})\ncb = impl('ghostseq', 'ours').GhostSeq().remove",
        "s = []\nput = s.append\nfor m in members: put(ref(m, cb))", "floor: list.append(ref(m, cb))"),
        unit="member", sizes=(1000, 1000), ops=lambda n: n, number=1, repeat=21,
        targets={"plain": FASTER_5}, instr_targets={"floor": at_most(1.2)}),
    Row("ghostseq.iter", "GhostSeq iteration, per member ({n:,})", _cands(
        FILLED, "for x in s: pass", "for x in s: pass", LIST, "for x in members: pass", "floor: list iteration"),
        unit="member", sizes=(1000, 1000), ops=lambda n: n, repeat=9, targets={"plain": FASTER_5}),
    Row("ghostseq.in_last", "GhostSeq `in`, last of {n:,}", _cands(
        FILLED, "last in s", "last in s", LIST, "last in members", "floor: `in` on the list of members"),
        sizes=(1000, 1000), repeat=9, k=20, targets={"plain": FASTER_5}),
    Row("ghostseq.in_6th", "GhostSeq `in`, 6th of {n:,}", _cands(
        FILLED, "probe in s", "probe in s", LIST, "probe in members", "floor: `in` on the list of members"),
        sizes=(10, 10), repeat=9, targets={"plain": FASTER_5}),
]

# Reclaiming every member at once by clearing the one list that holds them.
# The transcription removes each dead entry with list.remove (a scan from the
# front): quadratic in reverse and shuffled order, so it is compared at 10,000
# members; ours at larger sizes is in run.py's scale section.
for order in ("in order", "in reverse", "shuffled"):
    ROWS.append(Row(f"ghostseq.reclaim_{order.replace(' ', '_')}", f"GhostSeq reclaim {{n:,}} at once, {order}", {
        **impls("ghostseq", f"cls = M.GhostSeq\norder = {order!r}", "holder.clear()"),
        "ws": Cand(f"cls = weakref.WeakSet\norder = {order!r}", "holder.clear()", "weakref.WeakSet"),
    }, unit="run", sizes=(10_000, None), each="holder, s = doomed(cls, {n}, order)", number=1, repeat=3,
        collect=True, targets={"plain": FASTER_5}, instr=False))
