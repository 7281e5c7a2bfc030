"""The three implementations every benchmark row compares: ours (the extension
modules on sys.path), the plain-Python transcription in bench/baseline/, and
that same transcription compiled with Cython, unchanged (no annotations).

    from baselines import impl
    RankMap = impl("rankmap", "compiled").RankMap

The compiled set is built once per set of sources, Cython version and
interpreter into build/bench-cython/<digest>/, with the C compiler and flags
the interpreter was built with (what `cythonize -i` would use). A
transcription that builds on another (configuration on dotbag) loads its
sibling from its own folder, so the compiled set uses compiled siblings.
DRAVIX_BENCH_COMPILED names a folder built earlier (the instruction run's
child processes get it that way).
"""

import concurrent.futures
import hashlib
import importlib
import importlib.machinery
import importlib.util
import os
import pathlib
import shlex
import shutil
import subprocess
import sys
import sysconfig
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
SOURCE = HERE / "baseline"
CACHE = HERE.parent / "build" / "bench-cython"
KINDS = ("ours", "plain", "compiled")

_loaded = {}


def _load_from(folder, name):
    """Module `name` found in `folder` (an extension module before a source file),
    executed without entering it in sys.modules."""
    spec = importlib.machinery.PathFinder.find_spec(name, [str(folder)])
    if spec is None:
        raise ImportError(f"no module {name!r} in {folder}")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def impl(name, kind="plain"):
    """The module `name` as ours, plain (the .py transcription) or compiled."""
    if kind == "ours":
        return importlib.import_module(f"dravix.datastructures.{name}")
    if kind not in KINDS:
        raise ValueError(f"unknown kind {kind!r}")
    key = (name, kind)
    if key not in _loaded:
        _loaded[key] = _load_from(SOURCE if kind == "plain" else compiled_dir(), name)
    return _loaded[key]


def compiled_dir():
    """The folder of the compiled transcriptions, built if needed."""
    given = os.environ.get("DRAVIX_BENCH_COMPILED")
    return pathlib.Path(given) if given else build_compiled()


def _digest(sources):
    import Cython

    h = hashlib.sha256(f"{Cython.__version__}\n{sys.version}\n".encode())
    for path in sources:
        h.update(path.name.encode() + b"\0" + path.read_bytes() + b"\0")
    return h.hexdigest()[:16]


def _compile_one(source, folder):
    """source.py -> folder/<name><EXT_SUFFIX>, through Cython's C output."""
    name = source.stem
    c_file = folder / f"{name}.c"
    obj = folder / f"{name}.o"
    target = folder / f"{name}{sysconfig.get_config_var('EXT_SUFFIX')}"
    cfg = sysconfig.get_config_var
    steps = [
        [sys.executable, "-m", "cython", "-3", "--fast-fail", "-o", str(c_file), str(source)],
        [*shlex.split(cfg("CC")), *shlex.split(cfg("CFLAGS")), *shlex.split(cfg("CCSHARED")),
         f"-I{sysconfig.get_paths()['include']}", "-w", "-c", str(c_file), "-o", str(obj)],
        [*shlex.split(cfg("LDSHARED")), str(obj), "-o", str(target)],
    ]
    for cmd in steps:
        done = subprocess.run(cmd, capture_output=True, text=True)
        if done.returncode != 0:
            raise RuntimeError(f"building the compiled {name} failed: {shlex.join(cmd)}\n{done.stdout}{done.stderr}")
    c_file.unlink()
    obj.unlink()
    return target


def build_compiled(progress=None):
    """Compile bench/baseline/*.py with Cython into the cache folder (unless an
    identical set is there already) and return the folder."""
    sources = sorted(SOURCE.glob("*.py"))
    folder = CACHE / _digest(sources)
    if (folder / "BUILT").exists():
        return folder
    if progress:
        progress(f"compiling {len(sources)} transcriptions with Cython into {folder.relative_to(HERE.parent)}")
    CACHE.mkdir(parents=True, exist_ok=True)
    work = pathlib.Path(tempfile.mkdtemp(prefix="tmp-", dir=CACHE))
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        list(pool.map(lambda source: _compile_one(source, work), sources))
    (work / "BUILT").write_text("".join(f"{s.name}\n" for s in sources))
    try:
        work.rename(folder)
    except OSError:  # built by another run meanwhile
        if not (folder / "BUILT").exists():
            raise
        shutil.rmtree(work)
    return folder
