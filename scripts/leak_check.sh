#!/usr/bin/env bash
# Leak and reference checks of the installed module.
# Usage: scripts/leak_check.sh PYTHON CALLS
#   1. valgrind memcheck (PYTHONMALLOC=malloc) over rounds of every API: no
#      definite leak and no memory error with a frame in _velora_core or _velora_native;
#   2. CALLS calls per API: reference counts, gc-tracked objects and the heap
#      in use stay flat (tests/leaks/api_loop.py).
set -euo pipefail
python=${1:?python}
calls=${2:?calls per API}
rounds=${LEAK_ROUNDS:-3}
out=build/leaks
mkdir -p "$out"
vg=(valgrind --xml=yes --leak-check=full --show-leak-kinds=definite --num-callers=40
    --suppressions=/usr/lib/valgrind/python3.supp)

# The report must see a leak when one is there: a 100-byte block lost through ctypes.
PYTHONMALLOC=malloc "${vg[@]}" --xml-file="$out/selftest.xml" "$python" -c \
  "import ctypes; ctypes.CDLL(None).malloc(100)" > /dev/null 2>&1
if "$python" tests/leaks/valgrind_report.py "$out/selftest.xml" _ctypes > "$out/selftest.txt"; then
  cat "$out/selftest.txt"; echo "leaks: FAILED: the valgrind report missed a planted leak"; exit 1
fi
echo "leaks: self-test: a planted 100-byte leak is reported"

module=$("$python" -c "import velora._velora_core as c; print(c.__file__.rsplit('/', 1)[-1])")
echo "== valgrind over $rounds round(s) of every API ($module)"
PYTHONMALLOC=malloc "${vg[@]}" --xml-file="$out/valgrind.xml" "$python" tests/leaks/api_loop.py --rounds "$rounds"
"$python" tests/leaks/valgrind_report.py "$out/valgrind.xml" _velora_  # both modules

echo "== $calls calls per API: references, gc objects, heap and RSS"
PYTHONMALLOC=malloc "$python" tests/leaks/api_loop.py --self-test > "$out/selftest_loop.txt" 2>&1 && {
  cat "$out/selftest_loop.txt"; echo "leaks: FAILED: the loop missed a planted leak"; exit 1; }
echo "leaks: self-test: a planted reference and heap leak is reported"
PYTHONMALLOC=malloc "$python" tests/leaks/api_loop.py --calls "$calls"
