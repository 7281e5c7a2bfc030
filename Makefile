# The two commands a newcomer needs: `make demo` and `make test`.
# Each creates .venv with CPython 3.13 and (re)installs the package first; the
# C++ build folder under build/ persists, so rebuilds are incremental.
VENV := .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip
BUILD_TOOLS := "scikit-build-core>=1.0" ninja "cmake>=3.26"
SKB := --no-build-isolation -Ccmake.define.DRAVIX_WERROR=ON -Ccmake.define.DRAVIX_ASSERTIONS=ON
MODULES := flatpath dotbag configuration rankmap ghostseq logic branchlet typeattr

.PHONY: venv install demo test bench bench-instr bench-release sanitize memcheck dist check-dist clean

venv: $(VENV)/.tools
$(VENV)/.tools: pyproject.toml
	@test -x $(PY) || "$$(scripts/find-python)" -m venv $(VENV)
	$(PIP) install -q --upgrade pip
	$(PIP) install -q $(BUILD_TOOLS)
	$(PIP) install -q ".[test]" $(SKB)
	@touch $@

install: venv
	$(PIP) install -q --no-deps --force-reinstall . $(SKB)

demo: install
	$(PY) examples/explore.py

test: install
	$(PY) -m pytest -q

# Both bench targets measure a release build (NDEBUG) of every module, staged
# under build/ by scripts/dev.sh, with the peer libraries and Cython of the
# optional `bench` group installed by name (the package is not built again).
# bench-instr needs valgrind; BENCH_ARGS passes options, e.g.
# BENCH_ARGS="--only rankmap --compare bench/results/instr-OLD.json".
BENCH_STAGE := build/stage-$(subst $() ,-,$(MODULES))-release
bench-release: venv
	$(PY) -c "import tomllib; print(*tomllib.load(open('pyproject.toml', 'rb'))['project']['optional-dependencies']['bench'])" | xargs $(PIP) install -q
	BUILD_ONLY=1 ASSERTIONS=OFF scripts/dev.sh $(MODULES)

bench: bench-release
	PYTHONPATH=$(BENCH_STAGE) $(PY) bench/run.py $(BENCH_ARGS)

bench-instr: bench-release
	PYTHONPATH=$(BENCH_STAGE) $(PY) bench/run_instr.py $(BENCH_ARGS)

# The extensions built with AddressSanitizer and UBSan, the whole suite run
# against them in a staging folder (the interpreter itself is not instrumented).
# Any sanitizer report fails the run (see scripts/dev.sh).
sanitize: venv
	SANITIZE=1 ALL_TESTS=1 scripts/dev.sh $(MODULES) -- -p no:cacheprovider

# The whole suite under valgrind's memcheck (PYTHONMALLOC=malloc, nothing
# suppressed); any error fails it. Too slow for CI: run it by hand now and then.
memcheck: venv
	MEMCHECK=1 ALL_TESTS=1 scripts/dev.sh $(MODULES) -- -p no:cacheprovider

# Release artifacts under dist/: the sdist and a manylinux wheel built from it
# in a fresh build folder with the release options (scripts/build-dist). The
# tools (the `dist` dependency group) go into .venv without building the package.
dist: $(VENV)/.dist-tools
	scripts/build-dist $(PY)

# The wheel installed without a compiler into a new environment and tested there
# from the unpacked sdist, and a wheel built from the sdist alone (scripts/check-dist).
check-dist: dist
	scripts/check-dist $(PY)

$(VENV)/.dist-tools: pyproject.toml
	@test -x $(PY) || "$$(scripts/find-python)" -m venv $(VENV)
	$(PIP) install -q --upgrade pip
	$(PIP) install -q --group dist
	@touch $@

clean:
	rm -rf build $(VENV)
