#!/usr/bin/env bash
# Runs CTest in each build folder given and ends with one summary: test
# programs and scripts per build, and the GoogleTest cases inside them.
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
status=0
summary=()
for build in "$@"; do
  name=$(basename "$build")
  results="$build/test-results"
  rm -rf "$results"
  mkdir -p "$results"
  chmod 1777 "$results"  # the unprivileged runs write their reports here too
  echo "=== $name: running tests"
  ctest --test-dir "$build" --output-on-failure --timeout 600 -j 2 | tee "$results/ctest.log"
  rc=${PIPESTATUS[0]}
  [ "$rc" = 0 ] || status=1
  line=$(grep -E 'tests passed, [0-9]+ tests failed' "$results/ctest.log" | tail -n 1)
  failed=$(sed -n '/The following tests FAILED:/,$p' "$results/ctest.log" | grep -E '^\s+[0-9]+ - ' || true)
  cases=$(python3 "$root/scripts/gtest-summary.py" "$results" 2>/dev/null || echo "no test cases recorded")
  summary+=("$name: ${line:-no CTest result (exit $rc)}")
  summary+=("    $cases")
  [ -n "$failed" ] && summary+=("    failed:$(printf '\n      %s' "$failed")")
done
# The Wine tests leave their wineservers running for speed; stop them now.
for prefix in $(for b in "$@"; do ls -d "$b"/wineprefix* 2>/dev/null; done); do
  [ -f "$prefix/.ready" ] || continue
  owner=$(stat -c %u "$prefix")
  if [ "$owner" = "$(id -u)" ]; then
    WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true
    WINEPREFIX=$prefix wineserver -w >/dev/null 2>&1 || true
  else
    setpriv --reuid="$owner" --regid="$owner" --clear-groups \
      env HOME="$prefix/home" WINEPREFIX="$prefix" sh -c 'wineserver -k; wineserver -w' >/dev/null 2>&1 || true
  fi
done
echo
echo "================ test summary ================"
printf '%s\n' "${summary[@]}"
if [ "$status" = 0 ]; then
  echo "RESULT: all tests passed"
else
  echo "RESULT: FAILED"
fi
exit $status
