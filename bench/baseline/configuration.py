"""Plain-Python configuration tree and loaders: the baseline the C++ module is measured against.

Written the way the behaviour reads, with no attempt at speed. Two mends over the
straightforward version are kept here as well, because without them the loaders fail on
ordinary input: an empty YAML document merges nothing, entry points come from
importlib.metadata (the adapter below) instead of the removed pkg_resources, and the
loaders call update and pop through the class, so entries named like them do not
break the loaders.

The file carries its own small NestedDotBag, so the baseline stands alone and does not
move when other baselines change.
"""

import configparser
import itertools
import logging
import os
from collections.abc import Mapping, MutableMapping

import yaml

from dravix.utils.strings import typecast_str

logger = logging.getLogger(__name__)


class DotBag(dict):
    def __init__(self, *args, **kwargs):
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
        subkey_value = self.setdefault(key, type(self)())
        if not isinstance(subkey_value, type(self)):
            raise KeyError('target key "%s" is a value, cannot update value against another %s'
                           % (key, type(self).__name__))
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
                raise TypeError("cannot convert dictionary update sequence element #%s to a sequence"
                                % iterable.index(item))
            key, value = item
            if isinstance(value, Mapping):
                self.setdefault(key, type(self)()).update(value)
            else:
                self[key] = value


class _Distribution:
    """The distribution behind an entry point; its text is "<name> <version>"."""

    def __init__(self, dist):
        self._dist = dist

    def __str__(self):
        return "%s %s" % (self._dist.name, self._dist.version)


class _EntryPoint:
    def __init__(self, ep):
        self._ep = ep
        self.name = ep.name
        self.dist = _Distribution(ep.dist)

    def load(self):
        return self._ep.load()


def iter_entry_points(group):
    import importlib.metadata
    for ep in importlib.metadata.entry_points(group=group):
        yield _EntryPoint(ep)


class Configuration(NestedDotBag):
    def copy(self):
        """Copy that owns its nested configuration blocks."""
        return type(self)(self)

    def __setitem__(self, key, value):
        super(Configuration, self).__setitem__(key, typecast_str(value))

    def load_cfgs(self, *files):
        config = configparser.ConfigParser(delimiters=("=",), comment_prefixes=("#",))
        loaded_files = config.read(files)
        type(self).update(self, config)
        type(self).pop(self, configparser.DEFAULTSECT)
        return loaded_files

    def load_yamls(self, *files):
        loaded_files = []
        for file in list(files):
            if not os.path.isfile(file):
                continue
            with open(file, "r") as f:
                document = yaml.safe_load(f)
                if document is not None:
                    type(self).update(self, document)
            loaded_files.append(file)
        return tuple(loaded_files)

    def load_entrypoint(self, group):
        """Fill the configuration from the objects published under an entry-point group."""
        loaded_eps = []
        for ep in iter_entry_points(group=group):
            try:
                type(self).update(self, ep.load())
            except Exception:
                logger.exception("Failed to load configuration from entrypoint: {}".format(ep.dist))
                continue
            loaded_eps.append(ep)
        return loaded_eps
