"""Plain-Python path/value lists: the reference the C++ module is measured against.

Recursive generators for flattening (one generator per nesting level) and the
order-driven rebuild with its tuple bookkeeping, exactly as the algorithms
read. It shares the C++ module's behaviour for dictionaries, lists and tuples
of scalars; it does not have the C++ module's later repairs (tuples holding
containers, single-pass checks of one-shot iterables, cycle detection).
"""

from collections import namedtuple
from collections.abc import MutableMapping

DictItem = namedtuple("DictItem", ["path", "value"])


class IndexMarker:
    def __init__(self, obj, index):
        self.type_ = type(obj)
        self.index = int(index)

    def __repr__(self):
        return "{type_}[{index}]".format(type_=self.type_.__name__, index=self.index)


class FlatPath(list):
    """A nested dictionary as a flat list of (path, value) pairs."""

    def __init__(self, *args):
        if len(args) == 1 and isinstance(args[0], MutableMapping):
            list.__init__(self, FlatPath.__flatten__(args[0]))
            return
        if len(args) == 1:
            try:
                for path, obj in args[0]:
                    pass
            except Exception:
                raise ValueError("FlatPath only accepts a tuple of path/obj")
        list.__init__(self, *args)

    @staticmethod
    def __flatten__(indict, path=None):
        prefix = path[:] if path else ()
        if isinstance(indict, MutableMapping):
            for key, value in indict.items():
                if isinstance(value, (MutableMapping, list, tuple)) and value:
                    yield from FlatPath.__flatten__(value, prefix + (key,))
                else:
                    yield DictItem(prefix + (key,), value)
        elif isinstance(indict, (list, tuple)):
            for i, value in enumerate(indict):
                if isinstance(value, (MutableMapping, list, tuple)) and value:
                    yield from FlatPath.__flatten__(value, prefix + (IndexMarker(indict, i),))
                else:
                    yield DictItem(prefix + (IndexMarker(indict, i),), value)
        else:
            yield indict

    def __setitem__(self, index, item):
        try:
            path, obj = item
        except Exception:
            raise ValueError("FlatPath only accepts a tuple of path/obj")
        list.__setitem__(self, index, tuple(item))

    def append(self, item):
        try:
            path, obj = item
        except Exception:
            raise ValueError("FlatPath only accepts a tuple of path/obj")
        list.append(self, DictItem(path, obj))

    def extend(self, items):
        try:
            for path, obj in items:
                pass
        except Exception:
            raise ValueError("FlatPath only accepts a tuple of path/obj")
        list.extend(self, [DictItem(path, obj) for path, obj in items])

    def insert(self, index, item):
        try:
            path, obj = item
        except Exception:
            raise ValueError("FlatPath only accepts a tuple of path/obj")
        list.insert(self, index, DictItem(path, obj))

    def reconstruct(self):
        ret = {}
        for path, obj in self:
            ptr = ret
            path = list(path)
            while path:
                k = path.pop(0)
                if isinstance(k, IndexMarker):
                    if type(ptr) is not k.type_:
                        prev_ptr[prev_k] = k.type_(({},))  # noqa: F821 (read before assignment on purpose)
                    else:
                        try:
                            ptr[k.index]
                        except IndexError:
                            ptr += k.type_(({},))
                    if k.type_ is tuple:
                        tuple_ptr = prev_ptr
                        tuple_k = prev_k
                    prev_ptr = prev_ptr[prev_k]
                    prev_k = -1
                    ptr = prev_ptr[prev_k]
                else:
                    if isinstance(ptr, MutableMapping):
                        ptr[k] = ptr.get(k, {})
                    else:
                        ptr += type(ptr)(({k: {}},))
                        ptr = ptr[-1]
                    prev_ptr = ptr
                    prev_k = k
                    ptr = ptr[k]
            if isinstance(k, IndexMarker) and k.type_ is tuple:
                if tuple_ptr[tuple_k] == ({},):
                    tuple_ptr[tuple_k] = (obj,)
                else:
                    prev_ptr += (obj,)
                    tuple_ptr[tuple_k] = prev_ptr
            else:
                prev_ptr[prev_k] = obj
        return ret
