#!/usr/bin/env bash
# Runs every libFuzzer target of BUILD_DIR for SECONDS each, one after the other.
# Usage: [FUZZ_TARGETS="fuzz_x ..."] scripts/fuzz_run.sh BUILD_DIR SECONDS
#
# Seeds are regenerated from valid engine outputs on every run (fuzz_seeds);
# the corpus each target grows is kept in BUILD_DIR/corpus/<target>, crash
# inputs go to BUILD_DIR/artifacts/<target>/.
set -euo pipefail
build=${1:?build directory}
seconds=${2:?seconds per target}

seeds="$build/seeds"
rm -rf "$seeds"
"$build/fuzz_seeds" "$seeds"

targets=$(find "$build" -maxdepth 1 -type f -executable -name 'fuzz_*' ! -name fuzz_seeds -printf '%f\n' | sort)
# FUZZ_TARGETS="fuzz_a fuzz_b" runs only those.
[ -n "${FUZZ_TARGETS:-}" ] && targets=$FUZZ_TARGETS
[ -n "$targets" ] || { echo "fuzz: no targets in $build"; exit 1; }

summary=()
failed=0
for t in $targets; do
  corpus="$build/corpus/$t"
  artifacts="$build/artifacts/$t"
  mkdir -p "$corpus" "$artifacts" "$seeds/$t"
  log="$build/$t.log"
  echo "== $t: ${seconds}s"
  set +e
  "$build/$t" -max_total_time="$seconds" -print_final_stats=1 -max_len=8192 -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$artifacts/" "$corpus" "$seeds/$t" > "$log" 2>&1
  rc=$?
  set -e
  execs=$(grep -oE 'stat::number_of_executed_units: *[0-9]+' "$log" | grep -oE '[0-9]+$' || echo "?")
  rate=$(grep -oE 'stat::average_exec_per_sec: *[0-9]+' "$log" | grep -oE '[0-9]+$' || echo "?")
  cov=$(grep -E 'DONE' "$log" | grep -oE 'cov: [0-9]+ ft: [0-9]+' | tail -1 || true)
  units=$(find "$corpus" -type f | wc -l)
  if [ "$rc" -ne 0 ]; then
    failed=1
    summary+=("$t: FAILED (exit $rc) after $execs executions; see $log and $artifacts/")
    grep -E "ERROR|invariant|SUMMARY|Test unit written|runtime error" "$log" | head -20 || true
  else
    summary+=("$t: $execs executions in ${seconds}s ($rate/s), $cov, corpus $units")
  fi
done

echo "== fuzz summary"
printf '%s\n' "${summary[@]}"
[ "$failed" -eq 0 ] || { echo "fuzz: FAILED"; exit 1; }
echo "fuzz: OK: every target ran clean"
