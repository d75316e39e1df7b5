#!/usr/bin/env bash
# Runs every fuzz target of a sanitizer build for a while (default 300 s
# each). The targets are the tests that CMake registers in
# BUILD/tests/fuzz (tests/fuzz/CMakeLists.txt adds one per target), so a
# new target is fuzzed here as soon as it is built and tested. Inputs that
# crash are written to BUILD/fuzz-findings; keep each one as a regression
# case in tests/fuzz/regressions/<target>/ once it is fixed.
set -u
build=${1:?usage: fuzz.sh BUILD_DIR [SECONDS]}
seconds=${2:-300}
root=$(cd "$(dirname "$0")/.." && pwd)
findings=$build/fuzz-findings
# Each target's name and program, one per line, as CTest knows them.
targets=$(ctest --test-dir "$build/tests/fuzz" --show-only=json-v1 2>/dev/null | python3 -c '
import json, sys
for test in json.load(sys.stdin).get("tests", []):
    print(test["name"] + "\t" + test["command"][0])
' 2>/dev/null)
if [ -z "$targets" ]; then
  echo "fuzz.sh: no fuzz targets in $build/tests/fuzz (build them first: make asan)" >&2
  exit 1
fi
mkdir -p "$findings"
status=0
count=0
while IFS=$'\t' read -r target program; do
  count=$((count + 1))
  corpus=$build/tests/fuzz/corpus/$target
  mkdir -p "$corpus"
  dirs=("$corpus")
  [ -d "$root/tests/fuzz/seeds/$target" ] && dirs+=("$root/tests/fuzz/seeds/$target")
  [ -d "$root/tests/fuzz/regressions/$target" ] && dirs+=("$root/tests/fuzz/regressions/$target")
  echo "=== $target: ${seconds}s"
  if "$program" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$findings/$target-" "${dirs[@]}" \
      >"$findings/$target.log" 2>&1 </dev/null; then
    grep -E '^#[0-9]+.*DONE' "$findings/$target.log" | tail -n 1
  else
    status=1
    echo "FINDING: see $findings/$target.log"
    grep -E 'ERROR|Test unit written' "$findings/$target.log" | head -n 5
  fi
done <<<"$targets"
echo "fuzz.sh: $count targets fuzzed for ${seconds}s each"
exit $status
