#!/usr/bin/env bash
# Fast edit-build-test loop for one or a few modules, without reinstalling the package:
#   scripts/dev.sh rankmap                  build rankmap (and the platform helpers), run tests/test_rankmap.py
#   scripts/dev.sh dotbag configuration     build both, run both test files
#   scripts/dev.sh rankmap -- -k move -x    extra pytest arguments after --
#   SANITIZE=1 scripts/dev.sh rankmap       the same under AddressSanitizer and UBSan
#   ALL_TESTS=1 scripts/dev.sh MODULE...    run the whole suite instead of the modules' own test files
# Each module set has its own build and staging folder under build/, so several can be worked on at once.
set -euo pipefail
cd "$(dirname "$0")/.."
mods=(); extra=()
while [ $# -gt 0 ]; do
  if [ "$1" = "--" ]; then shift; extra=("$@"); break; fi
  mods+=("$1"); shift
done
[ ${#mods[@]} -gt 0 ] || { echo "usage: scripts/dev.sh MODULE... [-- PYTEST-ARGS]" >&2; exit 2; }
PY=${PY:-.venv/bin/python}
BIN=$(cd "$(dirname "$PY")" && pwd)
CMAKE=$BIN/cmake; [ -x "$CMAKE" ] || CMAKE=cmake
[ -x "$PY" ] || { echo "no $PY: run 'make venv' first" >&2; exit 2; }
tag=$(IFS=-; echo "${mods[*]}")
san=OFF; [ "${SANITIZE:-0}" = 1 ] && { san=ON; tag="$tag-san"; }
bdir=build/dev-$tag; stage=build/stage-$tag
list=$(IFS=';'; echo "${mods[*]}")
"$CMAKE" -S . -B "$bdir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DDRAVIX_WERROR=ON -DDRAVIX_SANITIZE=$san \
  -DPython_EXECUTABLE="$(realpath "$PY")" -DDRAVIX_MODULES="$list" -DCMAKE_MAKE_PROGRAM="$BIN/ninja" >/dev/null
"$CMAKE" --build "$bdir"
"$CMAKE" --install "$bdir" --prefix "$stage" >/dev/null
tests=()
if [ "${ALL_TESTS:-0}" = 1 ]; then tests=(tests); else
  for m in "${mods[@]}"; do [ -f "tests/test_$m.py" ] && tests+=("tests/test_$m.py"); done
fi
export PYTHONPATH="$PWD/$stage"
if [ "$san" = ON ]; then
  export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
  export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 PYTHONMALLOC=malloc
fi
exec "$PY" -m pytest -q "${tests[@]}" "${extra[@]}"
