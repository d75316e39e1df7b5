#!/usr/bin/env bash
# Runs a Windows program under Wine in the build's own headless prefix.
#   WINE_PREFIX_DIR   prefix to use (default: "wineprefix" in the build folder
#                     that holds the program, else build/win32/wineprefix)
#   WINE_AS_NOBODY=1  run as uid 65534 in its own prefix, so that file
#                     permissions (read-only files) are enforced
#   WINE_LANG         locale (default ja_JP.UTF-8: ANSI code page 932)
set -u
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
build_dir=$root/build/win32
d=$(cd "$(dirname "$1")" 2>/dev/null && pwd)
while [ -n "$d" ] && [ "$d" != / ]; do
  if [ -f "$d/CMakeCache.txt" ]; then build_dir=$d; break; fi
  d=$(dirname "$d")
done
prefix=${WINE_PREFIX_DIR:-$build_dir/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
export LANG=${WINE_LANG:-ja_JP.UTF-8} LC_ALL=${WINE_LANG:-ja_JP.UTF-8}
unset DISPLAY WAYLAND_DISPLAY
# Wine may start background processes that inherit our output; a caller
# that reads it through a pipe (CTest) would wait for them. So the program
# writes into a file, which is shown once the program has ended.
out=$(mktemp)
trap 'rm -f "$out"' EXIT
if [ "${WINE_AS_NOBODY:-0}" = 1 ] && [ "$(id -u)" = 0 ]; then
  prefix=${prefix}-nobody
  "$root/scripts/wine-prefix.sh" "$prefix" 65534 >&2 || exit 125
  setpriv --reuid=65534 --regid=65534 --clear-groups \
    env HOME="$prefix/home" WINEPREFIX="$prefix" wine "$@" >"$out" 2>&1 </dev/null
  rc=$?
else
  "$root/scripts/wine-prefix.sh" "$prefix" >&2 || exit 125
  WINEPREFIX=$prefix wine "$@" >"$out" 2>&1 </dev/null
  rc=$?
fi
cat "$out"
exit $rc
