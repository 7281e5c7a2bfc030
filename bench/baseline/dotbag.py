"""Plain-Python DotBag and NestedDotBag: the reference the extension is measured against.

A direct transcription of the documented algorithms (methods called through the
instance, as a Python class body would). It is also used by the tests as an
oracle for the results of the item operations and of update().
"""
import itertools
from collections.abc import Mapping, MutableMapping


class DotBag(dict):
    """A dictionary whose contents can also be reached as object attributes."""

    def __init__(self, *args, **kwargs):
        """Fill the dictionary, then make the instance its own attribute namespace."""
        super(DotBag, self).__init__(*args, **kwargs)
        self.__dict__ = self

    def __repr__(self):
        return "%s(%s)" % (self.__class__.__name__, super(DotBag, self).__repr__())


class NestedDotBag(DotBag, MutableMapping):
    def __init__(self, *args, **kwargs):
        super(NestedDotBag, self).__init__()
        self.update(*args, **kwargs)

    def __getitem__(self, key):
        if isinstance(key, str) and "." in key:
            head, rest = key.split(".", 1)
            return dict.__getitem__(self, head)[rest]
        return dict.__getitem__(self, key)

    def __setitem__(self, key, value):
        if not (isinstance(key, str) and "." in key):
            dict.__setitem__(self, key, value)
            return
        key, subkeys = key.split(".", 1)
        setdefault = self.setdefault
        subkey_value = setdefault(key, type(self)())
        if not isinstance(subkey_value, type(self)):
            raise KeyError(
                'target key "%s" is a value, cannot update value against another %s'
                % (key, type(self).__name__)
            )
        subkey_value[subkeys] = value

    def __contains__(self, key):
        if isinstance(key, str) and "." in key:
            head, rest = key.split(".", 1)
            if not dict.__contains__(self, head):
                return False
            return rest in dict.__getitem__(self, head)
        return dict.__contains__(self, key)

    def __delitem__(self, key):
        if isinstance(key, str) and "." in key:
            head, rest = key.split(".", 1)
            del dict.__getitem__(self, head)[rest]
            return
        dict.__delitem__(self, key)

    get = MutableMapping.get
    pop = MutableMapping.pop
    setdefault = MutableMapping.setdefault

    def update(self, *args, **kwargs):
        if len(args) > 1:
            raise TypeError("expected at most 1 arguments, got %d" % len(args))
        iterable = args[0] if args else ()
        if isinstance(iterable, Mapping):
            iterable = iterable.items()
        for item in itertools.chain(iterable, kwargs.items()):
            if len(item) != 2:
                raise TypeError(
                    "cannot convert dictionary update sequence element #%s to a sequence"
                    % iterable.index(item)
                )
            key, value = item
            if isinstance(value, Mapping):
                self.setdefault(key, type(self)()).update(value)
            else:
                self[key] = value
