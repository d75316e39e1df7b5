#!/usr/bin/env bash
# Runs a Windows program under Wine in the build's own headless prefix.
#   wine-run.sh PROGRAM [ARGS...]      the program under Wine
#   wine-run.sh --host COMMAND [ARGS...]
#                                      a host command (a test script that
#                                      calls this runner itself) once the
#                                      build's Wine is known to run here
# Each Windows build folder holds a `wine-run` that calls this script with
# WINE_BUILD_DIR set; without it, the build folder is the one that holds
# PROGRAM (else build/win32). The build's architecture decides the Wine:
# 64-bit Wine's loader is called directly for the x86_64 twin.
#   WINE_PREFIX_DIR   prefix to use (default: "wineprefix" in the build folder)
#   WINE_AS_NOBODY=1  run as uid 65534 in its own prefix, so that file
#                     permissions (read-only files) are enforced
#   WINE_LANG         locale (default ja_JP.UTF-8: ANSI code page 932)
#   WINE_RERUN_CRASHED=1  run the program once more where Wine itself
#                     crashed in it (a test program whose every case runs
#                     in this one run; see the end of this script)
#   WINDOWS_TESTS     which builds run under Wine here (scripts/wine-select.sh)
# Exit code 77 (CTest's skip) when this build's Wine does not run here.
set -u
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
. "$root/scripts/wine-select.sh"
. "$root/scripts/wine-servers.sh"

host=0
if [ "${1:-}" = --host ]; then host=1; shift; fi

build_dir=${WINE_BUILD_DIR:-}
if [ -z "$build_dir" ]; then
  build_dir=$root/build/win32
  d=$(cd "$(dirname "$1")" 2>/dev/null && pwd)
  while [ -n "$d" ] && [ "$d" != / ]; do
    if [ -f "$d/CMakeCache.txt" ]; then build_dir=$d; break; fi
    d=$(dirname "$d")
  done
fi
arch=$(wine_build_arch "$build_dir")
if ! wine_selected "$arch"; then
  echo "wine-run.sh: $(basename "$build_dir") ($arch): $WINE_SELECT_WHY" >&2
  exit 77
fi
export WINE_ARCH=$arch WINE_BUILD_DIR=$build_dir

prefix=$(realpath -m "${WINE_PREFIX_DIR:-$build_dir/wineprefix}")  # Wine takes it absolute only
export WINEDEBUG=${WINEDEBUG:--all}
export LANG=${WINE_LANG:-ja_JP.UTF-8} LC_ALL=${WINE_LANG:-ja_JP.UTF-8}
unset DISPLAY WAYLAND_DISPLAY
if [ "$arch" = win64 ]; then
  loader=$(wine_loader win64)
  wine=(env "WINELOADER=$loader" "$loader")
else
  wine=(wine)
fi

nobody=0
if [ "${WINE_AS_NOBODY:-0}" = 1 ] && [ "$(id -u)" = 0 ]; then
  nobody=1
  prefix=${prefix}-nobody
  "$root/scripts/wine-prefix.sh" "$prefix" 65534 >&2 || exit 125
else
  "$root/scripts/wine-prefix.sh" "$prefix" >&2 || exit 125
fi
if [ "$host" = 1 ]; then
  # The host command's own runs of Windows programs are its cases' to run
  # again (tests/tools/wine_reruns.py), never one run by itself.
  unset WINE_RERUN_CRASHED
  exec "$@"
fi

# Wine may start background processes that inherit our output; a caller
# that reads it through a pipe (CTest) would wait for them. So the program
# writes into a file, which is shown once the program has ended.
out=$(mktemp)
crash=$(mktemp)
trap 'rm -f "$out" "$crash"' EXIT

# Runs a command and notes in $crash the signal that ended it, if one did.
# A Windows program ends with an exit code, its own crash too (an exception
# code); only Wine itself dies by a signal (bash's $? cannot tell the two
# apart).
run_noting_signal() {
  : >"$crash"
  perl -e 'my $note = shift; my $pid = fork; defined $pid or exit 125;
           if ($pid == 0) { exec { $ARGV[0] } @ARGV; exit 127 }
           waitpid($pid, 0); my $status = $?;
           if ($status & 127) {
             my $f;
             print $f ($status & 127), "\n" if open($f, ">", $note);
             exit 128 + ($status & 127);
           }
           exit($status >> 8);' "$crash" "$@"
}

run_program() {
  read -r started _ </proc/uptime
  if [ "$nobody" = 1 ]; then
    run_noting_signal setpriv --reuid=65534 --regid=65534 --clear-groups \
      env HOME="$prefix/home" WINEPREFIX="$prefix" "${wine[@]}" "$@" >"$out" 2>&1 </dev/null
  else
    run_noting_signal env WINEPREFIX="$prefix" "${wine[@]}" "$@" >"$out" 2>&1 </dev/null
  fi
}

# Wine's own crash: its Unix process killed by a fault, not ended from
# outside. Says so, and returns 0, when the last run crashed so.
wine_crashed() {
  local signal
  signal=$(cat "$crash" 2>/dev/null)
  case "$signal" in
    4|5|6|7|8|11|31) ;;  # ILL, TRAP, ABRT, BUS, FPE, SEGV, SYS
    *) return 1 ;;
  esac
  echo "wine-run.sh: Wine itself crashed: $(basename "$1") was ended by signal $signal" \
    "(SIG$(kill -l "$signal")), not by the program" >&2
}

run_program "$@"
rc=$?
cat "$out"
# A program whose wineserver went away is ended by Wine, with status 1 and
# often nothing said: tell that apart from the program's own failure.
if [ "$rc" != 0 ] && lost=$(wine_server_lost "$prefix" "$started"); then
  echo "wine-run.sh: $lost: Wine ended $(basename "$1") with status $rc, not the program itself" >&2
fi
# A test program whose every case runs in this one run (WINE_RERUN_CRASHED=1,
# set by CTest for the C++ test programs) runs once more where Wine itself
# crashed in it, and says so loudly (and in UPD_TEST_RERUNS for make test's
# summary). Its own failures are never run again.
if [ "$rc" != 0 ] && [ "${WINE_RERUN_CRASHED:-0}" = 1 ] && why=$(wine_crashed "$@" 2>&1); then
  echo "$why" >&2
  line="$(basename "$1") (every case of this run): RUN ONCE MORE: Wine itself failed, not the program: $why"
  printf '\n%s\n!! %s\n%s\n' "$(printf '!%.0s' {1..78})" "$line" "$(printf '!%.0s' {1..78})" >&2
  [ -n "${UPD_TEST_RERUNS:-}" ] && printf '%s\n' "$line" >>"$UPD_TEST_RERUNS"
  run_program "$@"
  rc=$?
  cat "$out"
  if [ "$rc" != 0 ] && why=$(wine_crashed "$@" 2>&1); then
    echo "$why" >&2
    line="$(basename "$1") (every case of this run): FAILED AGAIN after a rerun: $why"
    printf '!! %s\n' "$line" >&2
    [ -n "${UPD_TEST_RERUNS:-}" ] && printf '%s\n' "$line" >>"$UPD_TEST_RERUNS"
  fi
  exit $rc
fi
[ "$rc" != 0 ] && wine_crashed "$@"
exit $rc
