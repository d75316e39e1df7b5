#!/usr/bin/env bash
# Runs every fuzz target of a sanitizer build for a while (default 300 s
# each). Inputs that crash are written to BUILD/fuzz-findings; keep each one
# as a regression case in tests/fuzz/regressions/<target>/ once it is fixed.
set -u
build=${1:?usage: fuzz.sh BUILD_DIR [SECONDS]}
seconds=${2:-300}
root=$(cd "$(dirname "$0")/.." && pwd)
findings=$build/fuzz-findings
mkdir -p "$findings"
status=0
for target in fuzz_package fuzz_hash_list fuzz_uninstall_list; do
  corpus=$build/tests/fuzz/corpus/$target
  mkdir -p "$corpus"
  dirs=("$corpus" "$root/tests/fuzz/seeds/$target")
  [ -d "$root/tests/fuzz/regressions/$target" ] && dirs+=("$root/tests/fuzz/regressions/$target")
  echo "=== $target: ${seconds}s"
  if "$build/tests/fuzz/$target" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$findings/$target-" "${dirs[@]}" \
      >"$findings/$target.log" 2>&1; then
    grep -E '^#[0-9]+.*DONE' "$findings/$target.log" | tail -n 1
  else
    status=1
    echo "FINDING: see $findings/$target.log"
    grep -E 'ERROR|Test unit written' "$findings/$target.log" | head -n 5
  fi
done
exit $status
