"""Plain-Python RankMap, written step by step from the documented behaviour.

It is the baseline the benchmarks compare the extension against, and it keeps
the straightforward algorithm on purpose: membership scans the order list,
deletion and move search it again, and items() sorts the pairs by their
position in the order list. Nothing here is tuned.
"""

from collections.abc import MutableMapping


class RankMap(MutableMapping):
    """A MutableMapping that remembers first-insertion order and lets keys be
    moved; keys are stored twice (in _data and in _order)."""

    def __init__(self, *args, **kwargs):
        self._data = {}
        self._order = []
        self.update(*args, **kwargs)

    def __getitem__(self, name):
        return self._data[name]

    def __setitem__(self, name, value):
        if name not in self._order:
            self._order.append(name)
        self._data[name] = value

    def __delitem__(self, name):
        del self._data[name]
        self._order.remove(name)

    def __iter__(self):
        return iter(self._order)

    def items(self):
        return sorted(self._data.items(), key=lambda pair: self._order.index(pair[0]))

    def clear(self):
        self._data = {}
        self._order = []

    def copy(self):
        return self.__class__(self.items())

    def insert(self, key, value, position):
        """Add key with value in front of the key now at index position
        (list.insert rules)."""
        if key in self._order:
            raise KeyError("%s already exist in Report" % (key,))
        self._data[key] = value
        self._order.insert(position, key)

    def move(self, key, position):
        """Move an existing key to index position of the order without it
        (list.insert rules)."""
        if key not in self._order:
            raise KeyError(key)
        self._order.insert(position, self._order.pop(self._order.index(key)))

    def keys(self):
        return self._order

    def values(self):
        return [self[key] for key in self]

    def update(self, *args, **kwargs):
        if len(args) > 1:
            raise TypeError("expected at most 1 arguments, got %d" % len(args))
        if args:
            for index, element in enumerate(args[0]):
                if len(element) != 2:
                    raise ValueError(
                        "update sequence element #%s has length %s; 2 is required"
                        % (index, len(element))
                    )
                key, value = element
                self[key] = value
        for key, value in kwargs.items():
            self[key] = value

    def __repr__(self):
        return "%s(%r)" % (self.__class__.__name__, self.items())

    def __len__(self):
        return len(self._order)

    def __eq__(self, other):
        try:
            result = self._data == other._data
            if not result:
                return result
            return self._order == other._order
        except Exception:
            return False

    @classmethod
    def fromkeys(cls, keys, value=None):
        made = cls()
        for key in keys:
            made[key] = value
        return made
