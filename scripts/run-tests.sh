#!/usr/bin/env bash
# Runs CTest in each build folder given and ends with one summary: test
# programs and scripts per build (passed, failed, skipped), the GoogleTest
# cases inside them, and which Windows build ran its tests under Wine and why.
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/wine-select.sh"
. "$root/scripts/wine-servers.sh"
# Probed once here; the test scripts find the answer in the environment.
wine_probe_32bit
# Every prefix whose wineserver a test starts is noted here
# (wine-prefix.sh), wherever it lies and whoever runs it, and stopped at the
# end.
UPD_WINE_PREFIX_LOG=$(mktemp /tmp/upd-wine-prefixes.XXXXXX) || exit 1
export UPD_WINE_PREFIX_LOG
trap 'rm -f "$UPD_WINE_PREFIX_LOG"' EXIT
status=0
summary=()
for build in "$@"; do
  name=$(basename "$build")
  # Absolute: the tests that note their reruns there run in folders of
  # their own.
  results="$(cd "$build" && pwd)/test-results" || { status=1; continue; }
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
  # Where Wine itself crashed and a case ran once more (cmake/wine-run.sh,
  # tests/tools/wine_reruns.py), one line each.
  export UPD_TEST_RERUNS=$results/reruns.txt
  : >"$UPD_TEST_RERUNS"
  ctest --test-dir "$build" --output-on-failure --timeout 600 -j 2 | tee "$results/ctest.log"
  rc=${PIPESTATUS[0]}
  [ "$rc" = 0 ] || status=1
  line=$(python3 "$root/scripts/ctest-summary.py" "$results/ctest.log")
  [ -n "$line" ] || { line="no CTest result (exit $rc)"; status=1; }
  cases=$(python3 "$root/scripts/gtest-summary.py" "$results" 2>/dev/null || echo "no test cases recorded")
  summary+=("$name: $line")
  [ -n "$wine_line" ] && summary+=("    $wine_line")
  summary+=("    $cases")
  if [ -s "$UPD_TEST_RERUNS" ]; then
    summary+=("    cases run once more because Wine itself failed: $(grep -c . "$UPD_TEST_RERUNS")")
    while IFS= read -r rerun; do summary+=("      $rerun"); done <"$UPD_TEST_RERUNS"
  elif [ -n "$wine_line" ]; then
    summary+=("    cases run once more because Wine itself failed: none")
  fi
done
unset UPD_TEST_RERUNS
# The Wine tests leave their wineservers running for speed; stop them now.
# A server left running fails the run: nothing else would show it, and the
# clean-up once went wrong unseen on every run.
cleanup=$(wine_stop_noted_servers "$UPD_WINE_PREFIX_LOG") || status=1
echo
echo "================ test summary ================"
echo "32-bit code on this machine: $UPD_RUNS_32BIT ($UPD_RUNS_32BIT_WHY); WINDOWS_TESTS=${WINDOWS_TESTS:-auto}"
printf '%s\n' "${summary[@]}"
echo "Wine servers: $cleanup"
if [ "$status" = 0 ]; then
  echo "RESULT: all tests passed"
else
  echo "RESULT: FAILED"
fi
exit $status
