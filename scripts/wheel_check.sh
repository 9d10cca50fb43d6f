#!/usr/bin/env bash
# Installs the repaired wheel into a fresh virtual environment, with nothing
# else of the project on the path (no index, no source tree, python -I), and
# runs scripts/wheel_smoke.py there; once for each CPython given and, as the
# wheel is abi3, once for each further CPython 3.11+ that pyenv has here.
# Each time it also checks that the wheel installs under the distribution name
# velora-pq, that `velora --version` runs from PATH as a user's shell finds it
# (the environment's bin/ first on PATH, as `activate` sets it), and that
# `pip uninstall velora-pq` takes the package and the command away again.
# Usage: scripts/wheel_check.sh DIST_DIR PYTHON [PYTHON...]
set -euo pipefail
dist=$(cd "${1:?dist directory}" && pwd)
shift
[ $# -gt 0 ] || { echo "usage: $0 DIST_DIR PYTHON [PYTHON...]"; exit 2; }
wheels=("$dist"/velora_pq-*.whl)
[ ${#wheels[@]} -eq 1 ] && [ -f "${wheels[0]}" ] || { echo "wheel-check: expected one wheel in $dist"; exit 1; }
wheel=${wheels[0]}
smoke=$(pwd)/scripts/wheel_smoke.py
work=$(pwd)/build/wheel-check

pythons=("$@")
if command -v pyenv >/dev/null 2>&1; then
  for py in "$(pyenv root)"/versions/3.*/bin/python3; do
    [ -x "$py" ] && pythons+=("$py")
  done
fi

rm -rf "$work"
mkdir -p "$work"
declare -A seen=()
checked=()
for py in "${pythons[@]}"; do
  ver=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2]) if sys.version_info >= (3, 11) and sys.implementation.name == "cpython" else None' 2>/dev/null || true)
  [ -n "$ver" ] && [ "$ver" != None ] && [ -z "${seen[$ver]:-}" ] || continue
  seen[$ver]=1
  echo "== wheel-check: $(basename "$wheel") on CPython $ver ($py)"
  env="$work/venv-$ver"
  "$py" -m venv "$env"
  # The wheel itself from dist/, its declared dependencies (tqdm, bech32)
  # from the package index, as a user's pip would install them.
  "$env/bin/python" -m pip install -q "$wheel"
  (cd "$work" && env -u PYTHONPATH "$env/bin/python" -I "$smoke")
  name=$("$env/bin/python" -m pip show velora-pq 2>/dev/null | sed -n 's/^Name: //p')
  [ "$name" = velora-pq ] || { echo "wheel-check: the wheel did not install as velora-pq"; exit 1; }
  ! "$env/bin/python" -m pip show velora >/dev/null 2>&1 || { echo "wheel-check: a distribution named velora is installed"; exit 1; }
  found=$(cd "$work" && env -u PYTHONPATH PATH="$env/bin:/usr/bin:/bin" bash -c 'command -v velora')
  [ "$found" = "$env/bin/velora" ] || { echo "wheel-check: velora on PATH is ${found:-missing}"; exit 1; }
  version=$(cd "$work" && env -u PYTHONPATH PATH="$env/bin:/usr/bin:/bin" velora --version)
  echo "   pip show: Name: $name; on PATH: $found; velora --version: $version"
  (cd "$work" && env -u PYTHONPATH "$env/bin/python" -I -c 'import velora, sys; print("   import velora:", velora.__version__, "from", velora.__file__)')
  "$env/bin/python" -m pip uninstall -q -y velora-pq
  [ ! -e "$env/bin/velora" ] || { echo "wheel-check: pip uninstall velora-pq left bin/velora"; exit 1; }
  ! (cd "$work" && "$env/bin/python" -I -c 'import velora' 2>/dev/null) || { echo "wheel-check: velora still imports after uninstall"; exit 1; }
  echo "   pip uninstall velora-pq: the package and the velora command are gone"
  checked+=("$ver")
done
[ ${#checked[@]} -gt 0 ] || { echo "wheel-check: no CPython 3.11+ to check with"; exit 1; }
echo "wheel-check: OK on CPython ${checked[*]}"
