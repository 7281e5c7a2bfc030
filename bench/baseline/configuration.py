"""Plain-Python configuration tree and loaders: the baseline the C++ module is measured against.

Written the way the behaviour reads, with no attempt at speed. Two mends over the
straightforward version are kept here as well, because without them the loaders fail on
ordinary input: an empty YAML document merges nothing, entry points come from
importlib.metadata (the adapter below) instead of the removed pkg_resources, and the
loaders call update and pop through the class, so entries named like them do not
break the loaders.

Its base class is the plain-Python NestedDotBag of the dotbag baseline beside it.
"""

import configparser
import importlib.machinery
import importlib.util
import logging
import os

import yaml

from dravix.utils.strings import typecast_str

logger = logging.getLogger(__name__)


def _load_sibling(name):
    """The dotted-key dictionary this tree builds on, from the folder this module
    was loaded from: the source beside this file, or the compiled module beside
    this one when the set is compiled."""
    spec = importlib.machinery.PathFinder.find_spec(name, [os.path.dirname(os.path.abspath(__file__))])
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


NestedDotBag = _load_sibling("dotbag").NestedDotBag


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
