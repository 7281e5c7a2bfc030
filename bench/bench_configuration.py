"""Configuration rows: building from nested data, copying, loading YAML."""

import atexit
import pathlib
import shutil
import tempfile

from bench_dotbag import rebuild  # noqa: F401 (used by the set-ups)
from cases import FASTER, FASTER_3, FASTER_10, Cand, Row, impls


def nested_data(sections=100, groups=10, keys=10):
    """sections x groups x keys leaves (10,000 by default), values of mixed kinds."""
    values = ["8080", 42, "true", 1.5, "text value", None, "0.25", False, "NULL", "a/b/c"]
    return {
        f"section_{s}": {
            f"group_{g}": {f"key_{k}": values[(s + g + k) % len(values)] for k in range(keys)}
            for g in range(groups)
        }
        for s in range(sections)
    }


_files = []


def yaml_file(sections=100):
    """A YAML file of nested_data(sections), removed when the process ends."""
    import yaml

    if not _files:
        folder = tempfile.mkdtemp(prefix="bench-yaml-")
        atexit.register(shutil.rmtree, folder, True)
        _files.append(pathlib.Path(folder))
    path = _files[0] / f"data-{sections}.yaml"
    if not path.exists():
        path.write_text(yaml.safe_dump(nested_data(sections), sort_keys=False))
    return str(path)


def load_with_c_loader(cls, path):
    """What a user of the transcription could do instead of load_yamls: PyYAML's C loader."""
    import yaml

    cfg = cls()
    with open(path) as f:
        cfg.update(yaml.load(f, Loader=yaml.CSafeLoader))
    return cfg


# Constructions make self-referencing levels, so the collector stays on.
ROWS = [
    Row("configuration.new", "Configuration(nested), {units:,} leaves", {
        **impls("configuration", "data = nested_data({n})\ncls = M.Configuration", "cls(data)"),
        "floor": Cand("data = nested_data({n})", "rebuild(data)", "floor: recursive dict copy"),
        "addict": Cand("import addict\ndata = nested_data({n})", "addict.Dict(data)", "addict.Dict(nested)",
                       instr=False),
        "box": Cand("import box\ndata = nested_data({n})", "box.Box(data)", "box.Box(nested)", instr=False),
    }, unit="leaf", sizes=(100, 10), ops=lambda n: 100 * n, gc=True, collect=True, number=1, k=20, k_plain=4,
        targets={"plain": FASTER_10, "addict": FASTER, "box": FASTER}, check="cls(data)"),
    Row("configuration.copy", "cfg.copy(), {units:,} leaves",
        impls("configuration", "cfg = M.Configuration(nested_data({n}))", "cfg.copy()"),
        unit="leaf", sizes=(100, 10), ops=lambda n: 100 * n, gc=True, collect=True, number=1, k=20, k_plain=4,
        check="cfg.copy()"),
    Row("configuration.load_yamls", "load_yamls, 10,000-key file", {
        **impls("configuration", "path = yaml_file({n})", "M.Configuration().load_yamls(path)"),
        "c_loader": Cand("P = impl('configuration', 'plain')\npath = yaml_file({n})",
                         "load_with_c_loader(P.Configuration, path)", "transcription, C YAML loader"),
    }, sizes=(100, None), ops=1, gc=True, collect=True, number=1, repeat=5, targets={"plain": FASTER_3},
        instr=False),
]
