"""Explore configuration files: load them, draw the merged tree, list the
leaves as dotted paths and select paths with a match expression.

    python examples/explore.py                      # the samples shipped beside this script
    python examples/explore.py my.yaml other.cfg --select "Or('db', 'cache')"

YAML files (.yaml, .yml) are read with the YAML loader, every other file as an
INI-style file; files are merged in the order given, so later files win.
"""

from __future__ import annotations

import argparse
import configparser
import pathlib
import sys
from collections.abc import Mapping

import yaml

from dravix.datastructures.branchlet import Branchlet
from dravix.datastructures.configuration import Configuration
from dravix.datastructures.flatpath import FlatPath, IndexMarker
from dravix.datastructures.logic import logic_str

HERE = pathlib.Path(__file__).resolve().parent
SAMPLES = HERE / "config"
DEFAULT_SELECT = "And(Or('[.]host$', '[.]port$', '[.]url$'), Not('replicas'))"
YAML_SUFFIXES = {".yaml", ".yml"}


class UsageError(Exception):
    """Bad input from the user: reported in one line, exit status 2."""


def sample_files() -> list[pathlib.Path]:
    yamls = sorted(p for p in SAMPLES.iterdir() if p.suffix in YAML_SUFFIXES)
    others = sorted(p for p in SAMPLES.iterdir() if p.suffix in {".cfg", ".ini"})
    return yamls + others


def load(files: list[pathlib.Path]) -> Configuration:
    cfg = Configuration()
    for path in files:
        if not path.is_file():
            raise UsageError(f"no such file: {path}")
        try:
            if path.suffix in YAML_SUFFIXES:
                cfg.load_yamls(str(path))
            else:
                cfg.load_cfgs(str(path))
        except (yaml.YAMLError, configparser.Error, UnicodeDecodeError) as exc:
            reason = " ".join(str(exc).split())
            raise UsageError(f"cannot read {path}: {reason}") from None
        except (TypeError, AttributeError) as exc:
            raise UsageError(f"cannot merge {path}: {exc}") from None
    return cfg


def tree(name: str, value: object) -> Branchlet:
    """The node for one entry: mappings and lists open into children."""
    if isinstance(value, Mapping):
        return Branchlet(name, [tree(str(k), v) for k, v in value.items()])
    if isinstance(value, list) and any(isinstance(v, (Mapping, list)) for v in value):
        return Branchlet(name, [tree(f"[{i}]", v) for i, v in enumerate(value)])
    return Branchlet(f"{name} = {value!r}")


def dotted(path: tuple) -> str:
    text = ""
    for element in path:
        if isinstance(element, IndexMarker):
            text += f"[{element.index}]"
        else:
            text += ("." if text else "") + str(element)
    return text


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("files", nargs="*", type=pathlib.Path, help="YAML or INI files (default: the samples)")
    parser.add_argument(
        "--select", default=DEFAULT_SELECT, help=f"match expression for the paths to list (default: {DEFAULT_SELECT})"
    )
    args = parser.parse_args(argv)
    files = args.files or sample_files()
    try:
        select = logic_str(args.select)
        cfg = load(files)
    except (UsageError, ValueError) as exc:
        print(f"explore: {exc}", file=sys.stderr)
        return 2

    print("Files, later ones win: " + ", ".join(str(f) for f in files))
    print()
    print(tree("configuration", cfg))
    print()
    leaves = [(dotted(path), value) for path, value in FlatPath(cfg)]
    width = max((len(p) for p, _ in leaves), default=0)
    print(f"{len(leaves)} leaves:")
    for path, value in leaves:
        print(f"  {path:<{width}}  {value!r}")
    print()
    chosen = [(p, v) for p, v in leaves if select(p)]
    print(f"Selected by {select} ({len(chosen)} of {len(leaves)}):")
    for path, value in chosen:
        print(f"  {path:<{width}}  {value!r}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
