#!/usr/bin/env bash
# Runs the engine tests and the whole pytest suite against the build made with
# AddressSanitizer and UndefinedBehaviorSanitizer (VELORA_SANITIZE=ON).
# Usage: scripts/sanitize_run.sh BUILD_DIR PYTHON [pytest args...]
#
# The sanitized module is imported from BUILD_DIR/python via PYTHONPATH, so the
# normal install in .venv is left alone. The interpreter itself is not
# instrumented: libasan is preloaded into it, and leak detection is off for
# Python (the interpreter keeps its objects at exit by design); the engine
# tests run with leak detection on.
set -euo pipefail
build=${1:?build directory}
python=${2:?python}
shift 2

build=$(cd "$build" && pwd)
pkg="$build/python/velora"
rm -rf "$build/python"
mkdir -p "$pkg"
for f in python/velora/*; do ln -s "$(pwd)/$f" "$pkg/"; done
so=$(ls "$build"/_velora_core*.so)
for m in "$build"/_velora_*.so; do ln -s "$m" "$pkg/"; done

libasan=$(${CXX:-g++} -print-file-name=libasan.so)
[ -f "$libasan" ] || { echo "sanitize: libasan not found"; exit 1; }
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
log="$build/sanitize.log"
: > "$log"

# The engine tests on each code path: default, scalar loops, SHA-3 through EVP.
for config in "" "VELORA_FORCE_SCALAR=1" "VELORA_SHA3_VIA_EVP=1"; do
  echo "== engine tests (ASan + UBSan, leak detection on) ${config:-default}"
  env $config ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 "$build/engine_tests" --gtest_brief=1 2>&1 | tee -a "$log"
done

echo "== pytest against $so"
export LD_PRELOAD="$libasan"
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
export PYTHONPATH="$build/python"
export VELORA_SANITIZED=1
# pycryptodome (an interoperability peer of the key tests) loads its native
# libraries with RTLD_DEEPBIND, which the sanitizer runtime refuses (abort).
export PYCRYPTODOME_DISABLE_DEEPBIND=1
"$python" -c "import velora._velora_core as c, sys; sys.exit(0 if c.__file__.startswith('$build/') else 'wrong module: ' + c.__file__)"
"$python" -m pytest -q -p no:cacheprovider tests "$@" 2>&1 | tee -a "$log"
echo "== pytest again on the scalar loops (VELORA_FORCE_SCALAR=1)"
VELORA_FORCE_SCALAR=1 "$python" -m pytest -q -p no:cacheprovider tests "$@" 2>&1 | tee -a "$log"
unset LD_PRELOAD

# A report in a subprocess whose status a test ignored still counts.
if grep -qE "ERROR: AddressSanitizer|runtime error:|ERROR: LeakSanitizer" "$log"; then
  echo "sanitize: FAILED: a sanitizer report is in $log"
  exit 1
fi
echo "sanitize: OK: no AddressSanitizer or UndefinedBehaviorSanitizer report"
