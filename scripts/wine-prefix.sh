#!/usr/bin/env bash
# Creates a headless Wine prefix once and keeps its wineserver running, so
# that later Wine starts are fast. Usage: wine-prefix.sh PREFIX [UID]
# WINE_ARCH=win64 makes it call 64-bit Wine's loader directly (for the
# x86_64 twin, on machines where 32-bit Wine cannot start). The prefix is
# noted for the clean-up at the end of a test run (scripts/wine-servers.sh).
set -u
# Wine and wineserver take an absolute WINEPREFIX only.
prefix=$(realpath -m "$1")
uid=${2:-$(id -u)}
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/wine-select.sh"
. "$root/scripts/wine-servers.sh"
export WINEDEBUG=-all LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8
unset DISPLAY WAYLAND_DISPLAY
if [ "${WINE_ARCH:-win32}" = win64 ]; then
  loader=$(wine_loader win64)
  export WINELOADER=$loader
  wine=("$loader")
else
  wine=(wine)
fi
as_user() { wine_as_uid "$uid" "$prefix" "$@"; }
lock=$prefix.lock
mkdir -p "$(dirname "$prefix")"
exec 9>"$lock"
flock 9
if [ ! -f "$prefix/.ready" ]; then
  rm -rf "$prefix"
  mkdir -p "$prefix/home"
  chmod 700 "$prefix"
  [ "$uid" != "$(id -u)" ] && chown -R "$uid:$uid" "$prefix"
  wine_note_prefix "$prefix" "$uid"  # before Wine starts its server here
  as_user "${wine[@]}" wineboot.exe -i >/dev/null 2>&1 9>&-
  # No display: message boxes become real but invisible windows that test
  # programs find and answer.
  as_user "${wine[@]}" reg.exe add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f \
    >/dev/null 2>&1 9>&- || { echo "wine-prefix.sh: $prefix: Wine does not start" >&2; exit 1; }
  as_user wineserver -w 9>&-
  touch "$prefix/.ready"
fi
# A persistent wineserver saves the start-up of each test program. Wine's
# own background services are started here too, with no pipes of the
# caller's, so that CTest does not wait for them to close its output.
# (The lock's descriptor is closed for them: a server that kept it would
# hold the lock for as long as it runs. The start is bounded in time: one
# whose server goes away meanwhile would wait forever, with the lock held.)
wine_note_prefix "$prefix" "$uid"
if as_user wineserver -p >/dev/null 2>&1 9>&-; then
  as_user timeout 120 "${wine[@]}" cmd.exe /c exit >/dev/null 2>&1 </dev/null 9>&-
fi
exit 0
