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

# The engine tests on each code path: all of them on the default (the best
# Keccak path of the CPU: avx512 where it has AVX-512, else avx2), then the
# ML-KEM, SHA-3 and layered tests on the scalar loops with the portable
# Keccak, and the SHA-3 and ML-KEM vector tests on the avx2 and libcrypto
# Keccak paths (the multi-lane SHA-3 tests cover every path in each run).
layers="*MlKem*:*TransitPackage*:*Stream*:*KeyWrap*:Sha3.*:KeccakPath*"
vectors="Sha3.*:KeccakPath*:*MlKemVectors*:*MlKemKem*"
for config in "|" "VELORA_FORCE_SCALAR=1 VELORA_KECCAK=scalar|$layers" "VELORA_KECCAK=avx2|$vectors" \
              "VELORA_KECCAK=libcrypto|$vectors"; do
  vars=${config%%|*}
  filter=${config#*|}
  args=(--gtest_brief=1)
  [ -n "$filter" ] && args+=("--gtest_filter=$filter")
  echo "== engine tests (ASan + UBSan, leak detection on) ${vars:-default}"
  env $vars ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 "$build/engine_tests" "${args[@]}" 2>&1 | tee -a "$log"
done

echo "== pytest against $so"
export LD_PRELOAD="$libasan"
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
export PYTHONPATH="$build/python"
export VELORA_SANITIZED=1
# pycryptodome (an interoperability peer of the key tests) loads its native
# libraries with RTLD_DEEPBIND, which the sanitizer runtime refuses (abort).
export PYCRYPTODOME_DISABLE_DEEPBIND=1
# tests/data drives pyarrow, DuckDB, Dask and moto, which bring native libraries
# and allocators of their own that were not built for the sanitizer runtime;
# the readers and writers they reach are run here by tests/files and tests/age.
"$python" -c "import velora._velora_core as c, sys; sys.exit(0 if c.__file__.startswith('$build/') else 'wrong module: ' + c.__file__)"
"$python" -m pytest -q -p no:cacheprovider tests --ignore=tests/data "$@" 2>&1 | tee -a "$log"
echo "== pytest again on the scalar loops and the portable Keccak (VELORA_FORCE_SCALAR=1 VELORA_KECCAK=scalar)"
VELORA_FORCE_SCALAR=1 VELORA_KECCAK=scalar "$python" -m pytest -q -p no:cacheprovider tests --ignore=tests/data "$@" 2>&1 | tee -a "$log"
unset LD_PRELOAD

# A report in a subprocess whose status a test ignored still counts.
if grep -qE "ERROR: AddressSanitizer|runtime error:|ERROR: LeakSanitizer" "$log"; then
  echo "sanitize: FAILED: a sanitizer report is in $log"
  exit 1
fi
echo "sanitize: OK: no AddressSanitizer or UndefinedBehaviorSanitizer report"
