#!/usr/bin/env bash
# Runs CTest in each build folder given and ends with one summary: test
# programs and scripts per build (passed, failed, skipped), the GoogleTest
# cases inside them, and which Windows build ran its tests under Wine and why.
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/wine-select.sh"
# Probed once here; the test scripts find the answer in the environment.
wine_probe_32bit
status=0
summary=()
for build in "$@"; do
  name=$(basename "$build")
  results="$build/test-results"
  rm -rf "$results"
  mkdir -p "$results"
  chmod 1777 "$results"  # the unprivileged runs write their reports here too
  wine_line=""
  if [ -f "$build/wine-arch" ]; then
    arch=$(wine_build_arch "$build")
    wine_selected "$arch"
    wine_line="Wine tests ($arch): $WINE_SELECT_WHY"
    echo "=== $name: $wine_line"
  fi
  echo "=== $name: running tests"
  ctest --test-dir "$build" --output-on-failure --timeout 600 -j 2 | tee "$results/ctest.log"
  rc=${PIPESTATUS[0]}
  [ "$rc" = 0 ] || status=1
  line=$(python3 "$root/scripts/ctest-summary.py" "$results/ctest.log")
  [ -n "$line" ] || { line="no CTest result (exit $rc)"; status=1; }
  cases=$(python3 "$root/scripts/gtest-summary.py" "$results" 2>/dev/null || echo "no test cases recorded")
  summary+=("$name: $line")
  [ -n "$wine_line" ] && summary+=("    $wine_line")
  summary+=("    $cases")
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
echo "32-bit code on this machine: $UPD_RUNS_32BIT ($UPD_RUNS_32BIT_WHY); WINDOWS_TESTS=${WINDOWS_TESTS:-auto}"
printf '%s\n' "${summary[@]}"
if [ "$status" = 0 ]; then
  echo "RESULT: all tests passed"
else
  echo "RESULT: FAILED"
fi
exit $status
