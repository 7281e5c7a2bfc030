"""Plain-Python GhostSeq: the reference behaviour the extension module is measured against.

A list that holds weak references to its members and drops an entry once its
object is reclaimed. Written as the straightforward Python class, without the
extension's repairs (temporaries given to extend/+= may leave dead entries,
entries that die while the list is sorted stay, and the automatic removal is a
list.remove of the dead reference).
"""

import collections
import weakref


class GhostSeq(collections.UserList):
    """A list of weak references to the objects given; dead entries leave by themselves."""

    def __init__(self, items=()):
        super().__init__([weakref.ref(obj, self.remove) for obj in items])

    def __contains__(self, item):
        return super().__contains__(weakref.ref(item))

    def __getitem__(self, index):
        if isinstance(index, slice):
            return self.__class__(ref() for ref in self.data[index])
        return super().__getitem__(index)()

    def __setitem__(self, index, item):
        if isinstance(index, slice):
            item = [weakref.ref(obj, self.remove) for obj in item]
        else:
            item = weakref.ref(item, self.remove)
        super().__setitem__(index, item)

    def __iter__(self):
        for ref in self.data:
            yield ref()

    def __eq__(self, other):
        return list(self) == other

    def __reversed__(self):
        return self[::-1]

    def __add__(self, item):
        if not isinstance(item, GhostSeq):
            raise TypeError(
                'can only concatenante GhostSeq (not "{value_type}") to GhostSeq'.format(
                    value_type=type(item).__name__
                )
            )
        r = GhostSeq()
        r.extend(self)
        r.extend(item)
        return r

    def __radd__(self, other):
        objects = self._live_objects()
        if isinstance(other, type(self.data)):
            return self.__class__(other + objects)
        return self.__class__(list(other) + objects)

    def __mul__(self, n):
        return self.__class__(self._live_objects() * n)

    __rmul__ = __mul__

    def _live_objects(self):
        # UserList's operations build self.__class__(... self.data ...), which for
        # weak references would make references to them; these take the objects.
        return [obj for obj in (ref() for ref in self.data) if obj is not None]

    def __iadd__(self, items):
        return super().__iadd__([weakref.ref(obj, self.remove) for obj in items])

    def remove(self, item):
        if isinstance(item, weakref.ReferenceType):
            super().remove(item)
        else:
            super().remove(weakref.ref(item))

    def append(self, item):
        super().append(weakref.ref(item, self.remove))

    def index(self, item):
        return super().index(weakref.ref(item))

    def count(self, item):
        return super().count(weakref.ref(item))

    def pop(self, item):
        return super().pop(item)()

    def insert(self, index, item):
        super().insert(index, weakref.ref(item, self.remove))

    def extend(self, items):
        super().extend([weakref.ref(obj, self.remove) for obj in items])

    def sort(self, key=None, reverse=False):
        if key is None:
            def sort_key(ref):
                return ref()
        else:
            def sort_key(ref):
                return key(ref())
        super().sort(key=sort_key, reverse=reverse)

    def __repr__(self):
        return "GhostSeq([" + ", ".join(repr(obj) for obj in self) + "])"

    def __str__(self):
        return "GhostSeq([" + ", ".join(str(obj) for obj in self) + "])"
