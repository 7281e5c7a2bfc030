"""A typed tour of the package: an inventory report for a small web service.

Loads the service's settings (the YAML and INI files named on the command line,
or the samples in examples/config), lists the settings that a selection
expression picks, keeps the service's ports in a chosen order, tracks its live
workers and prints the settings tree. The program is written to pass
`mypy --strict`, using the type information shipped with the package:

    python examples/typed_usage.py [FILE ...] [--select EXPRESSION]
"""

from __future__ import annotations

import sys
from collections.abc import Mapping
from pathlib import Path
from typing import Any

from dravix.datastructures.branchlet import Branchlet
from dravix.datastructures.configuration import Configuration
from dravix.datastructures.dotbag import DotBag, NestedDotBag
from dravix.datastructures.flatpath import DictItem, FlatPath, IndexMarker
from dravix.datastructures.ghostseq import GhostSeq
from dravix.datastructures.logic import And, BaseLogic, Not, Or, logic_str
from dravix.datastructures.rankmap import RankMap
from dravix.datastructures.typeattr import typeattr
from dravix.utils.strings import decode_cli_string, typecast_str

SAMPLES = Path(__file__).resolve().parent / "config"
DEFAULTS: dict[str, Any] = {"service": {"name": "unnamed"}, "server": {"port": "8000", "workers": "2"}}


class Worker:
    """One worker process of the service, as the report sees it."""

    role = "worker"

    def __init__(self, number: int) -> None:
        self.number = number

    @typeattr
    def kind(cls: type[Worker]) -> str:
        return f"{cls.role}/{cls.__name__.lower()}"


class Prober(Worker):
    role = "health"


def load_settings(files: list[Path]) -> tuple[Configuration, list[str]]:
    """The defaults, then every file in the order given (later files win)."""
    settings = Configuration(DEFAULTS)
    yamls: tuple[Path, ...] = settings.load_yamls(*(f for f in files if f.suffix in (".yaml", ".yml")))
    inis: list[str] = settings.load_cfgs(*(f for f in files if f.suffix in (".ini", ".cfg")))
    return settings, [str(f) for f in yamls] + inis


def dotted(path: tuple[Any, ...]) -> str:
    """A leaf's path as text, such as server.tls.protocols[0]."""
    text = ""
    for element in path:
        if isinstance(element, IndexMarker):
            text += f"[{element.index}]"
        else:
            text += f".{element}" if text else str(element)
    return text


def tree(name: str, level: Mapping[Any, Any]) -> Branchlet:
    node = Branchlet(name)
    for key, value in level.items():
        node.add_child(tree(str(key), value) if isinstance(value, Mapping) else f"{key} = {value!r}")
    return node


def main(argv: list[str]) -> int:
    select = "And(Or('^server[.]', 'port'), Not('tls'))"
    if "--select" in argv:
        at = argv.index("--select")
        select = argv[at + 1]
        argv = argv[:at] + argv[at + 2 :]
    files = [Path(arg) for arg in argv] or sorted(SAMPLES.glob("service.*"))
    settings, loaded = load_settings(files)
    print("loaded:", ", ".join(loaded) or "defaults only")

    # Every leaf as a (path, value) pair; an expression picks some of them.
    selector: BaseLogic = logic_str(decode_cli_string(select.encode()))
    leaves: list[DictItem] = list(FlatPath(settings))
    picked = [(dotted(item.path), item.value) for item in leaves if selector(dotted(item.path))]
    for path, value in picked:
        print(f"  {path} = {value!r}")
    secret = And(Or("key", "password", "certificate"), Not("^features"))
    print("secret paths:", sum(1 for item in leaves if secret(dotted(item.path))))

    # Ports in the order the load balancer probes them.
    port: int = settings.get("server.port", 8000)
    ports: RankMap[str, int] = RankMap([("http", port), ("metrics", port + 1)])
    ports.insert("admin", port + 2, 0)
    ports.move("http", 0)
    order: list[str] = ports.keys()
    print("ports:", ", ".join(f"{name}={ports[name]}" for name in order))

    # Workers stay listed only while something else keeps them alive.
    pool: list[Worker] = [Worker(n) for n in range(int(settings["server.workers"]))] + [Prober(0)]
    live: GhostSeq[Worker] = GhostSeq(pool)
    del pool[0]
    print("live workers:", len(live), sorted({worker.kind for worker in live}))

    # A short summary that reads like an object.
    summary = DotBag(service=settings.service.name, leaves=len(leaves))
    summary.secret = typecast_str("false")
    overrides = NestedDotBag({"server.port": port, "server.debug": False})
    summary.debug = overrides["server.debug"]
    print(repr(summary))

    # The server section rebuilt as plain dictionaries, drawn as a tree.
    rebuilt: dict[Any, Any] = FlatPath(settings.copy()).reconstruct()
    print(tree("server", rebuilt["server"]))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
