"""Loading speed of Configuration against the plain-Python version of the same loaders.

Run:  PYTHONPATH=build/stage-<modules> .venv/bin/python bench/bench_configuration.py

Every figure is the median of several timed repeats after a warm-up, all taken in this
one run; ratio = ours / baseline (below 1 means we are faster).
"""

import importlib.util
import pathlib
import statistics
import sys
import tempfile
import timeit

import yaml

from dravix.datastructures.configuration import Configuration

HERE = pathlib.Path(__file__).resolve().parent


def load_baseline():
    spec = importlib.util.spec_from_file_location("baseline_configuration", HERE / "baseline" / "configuration.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


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


def ini_text(sections=100, options=10):
    """sections x options options (1,000 by default), a DEFAULT section and dotted names."""
    lines = ["[DEFAULT]", "base = /srv/app", ""]
    for s in range(sections):
        lines.append(f"[service_{s}.settings]" if s % 2 else f"[service_{s}]")
        for o in range(options):
            if o == 0:
                lines.append(f"path = %(base)s/{s}")
            elif o % 3 == 0:
                lines.append(f"log.level_{o} = debug")
            else:
                lines.append(f"option_{o} = {s * o}")
        lines.append("")
    return "\n".join(lines)


def compare(ours, baseline, repeat, number=1):
    """Median seconds per call of each, timed alternately so both see the same machine load."""
    ours(), baseline()  # warm-up
    ours_times, base_times = [], []
    for _ in range(repeat):
        ours_times.append(timeit.timeit(ours, number=number) / number)
        base_times.append(timeit.timeit(baseline, number=number) / number)
    return statistics.median(ours_times), statistics.median(base_times)


def main():
    base = load_baseline()
    data = nested_data()
    with tempfile.TemporaryDirectory() as tmp:
        yaml_path = pathlib.Path(tmp) / "big.yaml"
        yaml_path.write_text(yaml.safe_dump(data, sort_keys=False))
        ini_path = pathlib.Path(tmp) / "big.ini"
        ini_path.write_text(ini_text())

        ours = Configuration()
        ours.load_yamls(str(yaml_path))
        theirs = base.Configuration()
        theirs.load_yamls(str(yaml_path))
        assert ours == theirs and len(ours) == 100
        ours, theirs = Configuration(), base.Configuration()
        ours.load_cfgs(str(ini_path))
        theirs.load_cfgs(str(ini_path))
        assert ours == theirs

        def base_yaml_c_loader():
            cfg = base.Configuration()
            with open(yaml_path) as f:
                cfg.update(yaml.load(f, Loader=yaml.CSafeLoader))

        def ours_yaml():
            Configuration().load_yamls(str(yaml_path))

        rows = [
            ("load_yamls, 10,000 keys", "plain Python, yaml.safe_load",
             compare(ours_yaml, lambda: base.Configuration().load_yamls(str(yaml_path)), 5)),
            ("load_yamls, 10,000 keys", "plain Python, C YAML loader",
             compare(ours_yaml, base_yaml_c_loader, 7)),
            ("load_cfgs, 1,000 options", "plain Python",
             compare(lambda: Configuration().load_cfgs(str(ini_path)),
                     lambda: base.Configuration().load_cfgs(str(ini_path)), 9, 3)),
            ("Configuration(nested), 10,000 leaves", "plain Python",
             compare(lambda: Configuration(data), lambda: base.Configuration(data), 9, 3)),
            ("cfg.copy(), 10,000 leaves", "plain Python",
             compare(Configuration(data).copy, base.Configuration(data).copy, 9, 3)),
        ]

    print(f"{'operation':38} {'ours ms':>9} {'baseline ms':>12}  {'ratio':>6}  baseline")
    for name, label, (ours_t, base_t) in rows:
        print(f"{name:38} {ours_t * 1e3:9.2f} {base_t * 1e3:12.2f}  {ours_t / base_t:6.3f}  {label}")


if __name__ == "__main__":
    sys.exit(main())
