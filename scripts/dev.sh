#!/usr/bin/env bash
# Fast edit-build-test loop for one or a few modules, without reinstalling the package:
#   scripts/dev.sh rankmap                  build rankmap (and the platform helpers), run tests/test_rankmap.py
#   scripts/dev.sh dotbag configuration     build both, run both test files
#   scripts/dev.sh rankmap -- -k move -x    extra pytest arguments after --
#   SANITIZE=1 scripts/dev.sh rankmap       the same under AddressSanitizer and UBSan
#   MEMCHECK=1 scripts/dev.sh rankmap       the same under valgrind's memcheck (slow)
#   ALL_TESTS=1 scripts/dev.sh MODULE...    run the whole suite instead of the modules' own test files
#   ASSERTIONS=OFF scripts/dev.sh MODULE... a release build (NDEBUG), as shipped; the default keeps assert()
#   BUILD_ONLY=1 scripts/dev.sh MODULE...   build and stage, run no tests (the bench targets use it)
# Each module set has its own build and staging folder under build/, so several can be worked on at once.
set -euo pipefail
cd "$(dirname "$0")/.."
mods=(); extra=()
while [ $# -gt 0 ]; do
  if [ "$1" = "--" ]; then shift; extra=("$@"); break; fi
  mods+=("$1"); shift
done
[ ${#mods[@]} -gt 0 ] || { echo "usage: scripts/dev.sh MODULE... [-- PYTEST-ARGS]" >&2; exit 2; }
tag=$(IFS=-; echo "${mods[*]}")
# The staged package hides the installed one, so the whole suite needs every
# module staged: ALL_TESTS builds them all, whatever was named (in a folder of
# the named set's own, so that several sets can be worked on at once).
if [ "${ALL_TESTS:-0}" = 1 ]; then
  mods=(flatpath dotbag configuration rankmap ghostseq logic branchlet typeattr)
  tag="$tag-all"
fi
PY=${PY:-.venv/bin/python}
BIN=$(cd "$(dirname "$PY")" && pwd)
CMAKE=$BIN/cmake; [ -x "$CMAKE" ] || CMAKE=cmake
[ -x "$PY" ] || { echo "no $PY: run 'make venv' first" >&2; exit 2; }
san=OFF; [ "${SANITIZE:-0}" = 1 ] && { san=ON; tag="$tag-san"; }
[ "${ASSERTIONS:-ON}" = OFF ] && tag="$tag-release"
bdir=build/dev-$tag; stage=build/stage-$tag
list=$(IFS=';'; echo "${mods[*]}")
"$CMAKE" -S . -B "$bdir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DDRAVIX_WERROR=ON -DDRAVIX_ASSERTIONS=${ASSERTIONS:-ON} -DDRAVIX_SANITIZE=$san \
  -DPython_EXECUTABLE="$(realpath "$PY")" -DDRAVIX_MODULES="$list" -DCMAKE_MAKE_PROGRAM="$BIN/ninja" >/dev/null
"$CMAKE" --build "$bdir"
"$CMAKE" --install "$bdir" --prefix "$stage" >/dev/null
[ "${BUILD_ONLY:-0}" = 1 ] && exit 0
tests=()
if [ "${ALL_TESTS:-0}" = 1 ]; then tests=(tests); else
  for m in "${mods[@]}"; do [ -f "tests/test_$m.py" ] && tests+=("tests/test_$m.py"); done
fi
export PYTHONPATH="$PWD/$stage"
if [ "${MEMCHECK:-0}" = 1 ]; then
  # The suite under valgrind's memcheck, with the interpreter's allocator
  # replaced by malloc so that every object is checked. Nothing is suppressed;
  # any error gives exit status 99. The report goes to a file (pytest would
  # capture file descriptor 2) and is printed at the end. glibc's AVX2 wmemcmp
  # reads whole vectors past the end of a string, which memcheck reports as
  # invalid reads in plain interpreter code (sorting 4-byte-kind strings), so
  # glibc is told to use its SSE versions instead.
  log=$(mktemp "$PWD/build/memcheck.XXXXXX.log")
  rc=0
  GLIBC_TUNABLES=glibc.cpu.hwcaps=-AVX2 PYTHONMALLOC=malloc valgrind --tool=memcheck --error-exitcode=99 --leak-check=no --num-callers=40 \
    --log-file="$log" "$PY" -m pytest -q "${tests[@]}" "${extra[@]}" || rc=$?
  cat "$log" >&2
  echo "memcheck log: $log" >&2
  exit "$rc"
fi
[ "$san" = ON ] || exec "$PY" -m pytest -q "${tests[@]}" "${extra[@]}"

# Under the sanitizers the first report ends the process (abort). pytest
# captures only sys.stdout/sys.stderr, so a report written to file descriptor 2
# reaches the terminal even from inside a test. AddressSanitizer also writes
# each report to a file of its own, so that one raised in a child process still
# fails the run (UBSan ignores log_path when loaded beside ASan; its abort ends
# the process that hit it).
logs=$(mktemp -d "$PWD/build/sanitizer-logs.XXXXXX")
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=1:allocator_may_return_null=1:log_path=$logs/asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:abort_on_error=1:report_error_type=1:log_path=$logs/ubsan"
export PYTHONMALLOC=malloc
rc=0
"$PY" -m pytest -q --capture=sys "${tests[@]}" "${extra[@]}" || rc=$?
reports=("$logs"/*)
if [ -e "${reports[0]}" ]; then
  for f in "${reports[@]}"; do echo "=== sanitizer report $f" >&2; cat "$f" >&2; done
  [ "$rc" != 0 ] || rc=1
  echo "sanitizer reports: ${#reports[@]} (kept in $logs)" >&2
else
  rmdir "$logs"
fi
exit "$rc"
