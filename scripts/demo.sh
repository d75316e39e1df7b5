#!/usr/bin/env bash
# make demo: the real updater on a demo game installation, in a fresh Wine
# prefix of its own (BUILD/demo/wineprefix).
#   - a demo install folder with the game's uninstall list, and the registry
#     value that the game's installer would leave (32-bit registry view);
#   - a demo patch of three files with its hash list, packed by patchtool;
#   - the updater itself. With a display the real boxes come up for you to
#     answer; headless (or with DEMO_HEADLESS=1) the box driver answers Yes
#     and each box's caption and text are printed as they appear.
# It ends with the exit code and its meaning, the changed files and the list.
# Usage: demo.sh BUILD_DIR
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-build}" && pwd)
. "$root/scripts/wine-select.sh"
. "$root/scripts/wine-servers.sh"
# The shipped 32-bit build where this machine runs 32-bit code; else (or
# with WINDOWS_TESTS=win64) its x86_64 test twin under 64-bit Wine.
twin_stub=
if wine_selected win32; then
  arch=win32
  echo "== The 32-bit updater (build/win32): $UPD_RUNS_32BIT_WHY"
else
  arch=win64
  twin_stub=--test-twin-stub  # pack takes the twin only when told
  echo "== The x86_64 test twin of the updater (build/win64), not the shipped 32-bit program:"
  echo "   ${WINE_SELECT_WHY#skipped: }"
fi
win=$build/$arch
for f in updater.exe patchtool.exe e2e_tests.exe box_probe.dll wine-run; do
  [ -f "$win/$f" ] || { echo "demo: $win/$f is missing; run make $arch" >&2; exit 1; }
done
loader=$(wine_loader "$arch")

demo=$build/demo
prefix=$demo/wineprefix
export WINE_PREFIX_DIR=$prefix WINE_ARCH=$arch LANG=ja_JP.UTF-8 LC_ALL=ja_JP.UTF-8 WINEDEBUG=-all
run() { "$win/wine-run" "$@"; }
winpath() { printf 'Z:%s' "$1" | tr '/' '\\'; }

# The demo's wineserver is stopped when it ends; a failure to stop it is
# told.
stop_server() {
  local name problem
  name=$(wine_server_name "$prefix") || return 0
  problem=$(wine_stop_server "$(id -u)" "$name" "$prefix") || echo "demo: $problem" >&2
}
# A fresh prefix every time, so that nothing of an earlier demo is left.
stop_server
rm -rf "$demo"
mkdir -p "$demo"
echo "== Creating a fresh Wine prefix in $prefix (this takes a while)"
trap stop_server EXIT
"$root/scripts/wine-prefix.sh" "$prefix" || { echo "demo: no Wine prefix" >&2; exit 1; }

# The game as its installer would leave it.
install_win='C:\Program Files (x86)\Quillory\ミロセナ'
install=$prefix/drive_c/Program\ Files\ \(x86\)/Quillory/ミロセナ
mkdir -p "$install"
printf 'the game' >"$install/game.exe"
printf 'old archive 1' >"$install/data1.arc"
printf 'game.exe\ndata1.arc\nuninst.lst\n\0' >"$install/uninst.lst"
run reg add 'HKLM\Software\Quillory\ミロセナ' /v InstalledFolder /t REG_SZ \
  /d "$install_win" /reg:32 /f >/dev/null || { echo "demo: reg add failed" >&2; exit 1; }
echo "== Demo installation: $install_win"
echo "   HKLM\\Software\\Quillory\\ミロセナ InstalledFolder (32-bit view)"
(cd "$install" && for f in *; do printf '  %-12s %8d bytes\n' "$f" "$(stat -c %s "$f")"; done)

# The demo patch: a new data1.arc, a new data2.arc and a readme in code
# page 932, with their hash list.
files=$demo/files
mkdir -p "$files"
python3 - "$files" <<'PY'
import os, random, sys
out = sys.argv[1]
rng = random.Random(4)
open(os.path.join(out, "data1.arc"), "wb").write(bytes(rng.randrange(256) for _ in range(20000)))
open(os.path.join(out, "data2.arc"), "wb").write(bytes(rng.randrange(256) for _ in range(50000)))
open(os.path.join(out, "readme.txt"), "wb").write(
    "ミロセナ 修正パッチ ver 1.00\r\n".encode("cp932"))
PY
patch=$demo/velmora_patch.exe
echo
echo "== Packing the demo patch with patchtool"
run "$win/patchtool.exe" pack --stub "$(winpath "$win/updater.exe")" $twin_stub -o "$(winpath "$patch")" \
  --hash-list "$(winpath "$files/data1.arc")" "$(winpath "$files/data2.arc")" \
  "$(winpath "$files/readme.txt")" || { echo "demo: packing failed" >&2; exit 1; }
run "$win/patchtool.exe" list "$(winpath "$patch")"

before=$demo/before.txt
(cd "$install" && sha256sum -- *) >"$before"

report=$demo/boxes.txt
: >"$report"
echo
if [ -n "${DISPLAY:-}" ] && [ -z "${DEMO_HEADLESS:-}" ]; then
  echo "== Running the updater: answer its boxes on your display"
  # Back to Wine's normal graphics driver for this prefix.
  run reg delete 'HKCU\Software\Wine\Drivers' /v Graphics /f >/dev/null 2>&1
  WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1
  WINEPREFIX=$prefix wineserver -w >/dev/null 2>&1
  WINEPREFIX=$prefix WINELOADER=$loader "$loader" "$win/e2e_tests.exe" --demo "$patch" "$report" \
    --probe="$win/box_probe.dll" --answer=none </dev/null >"$demo/driver.log" 2>&1 &
else
  echo "== Running the updater headless: each box as it appears, answered Yes (or OK)"
  run "$win/e2e_tests.exe" --demo "$patch" "$report" --probe="$win/box_probe.dll" \
    --answer=yes >"$demo/driver.log" 2>&1 &
fi
driver=$!
tail -n +1 -f --pid="$driver" "$report"
wait "$driver"
driver_rc=$?
[ "$driver_rc" = 0 ] || { echo "demo: the box driver failed ($driver_rc):" >&2; cat "$demo/driver.log" >&2; }

code=$(sed -n 's/^exit code: [-0-9]* (0x\([0-9A-F]*\))$/\1/p' "$report" | tail -n 1)
case "$code" in
  00000000) meaning="UPD_OK: the update ran to the end" ;;
  FFFFFFFF) meaning="EXIT_NOT_INSTALLED: the install folder was not found" ;;
  FFFFFFFE) meaning="EXIT_GAME_RUNNING: the game, its launcher or its uninstaller is running" ;;
  FFFFFFFD) meaning="EXIT_DECLINED: the question was not answered Yes" ;;
  FFFFFFFC) meaning="EXIT_ALREADY_RUNNING: another copy of the updater is running" ;;
  80000001) meaning="UPD_E_PACKAGE: the package cannot be read" ;;
  80000002) meaning="UPD_E_TOO_MANY: the package lists more than 16 entries" ;;
  80000003) meaning="UPD_E_CHECKSUM: an entry does not match its hash-list record" ;;
  80000004) meaning="UPD_E_WRITE: a file in the install folder cannot be written" ;;
  80000005) meaning="UPD_E_UNINSTALL_LIST: the uninstall list could not be updated" ;;
  "") meaning="unknown: the updater did not end normally" ;;
  *) meaning="not one of the updater's codes" ;;
esac
echo
echo "== Result"
echo "exit code 0x${code:-????????}: $meaning"
echo
echo "== Files in $install_win"
(cd "$install" && sha256sum -- *) >"$demo/after.txt"
(cd "$install" && for f in *; do
  if ! grep -q " $f\$" "$before"; then state="new"
  elif grep -qxF "$(grep " $f\$" "$demo/after.txt")" "$before"; then state="unchanged"
  else state="changed"; fi
  printf '  %-10s %-12s %8d bytes\n' "$state" "$f" "$(stat -c %s "$f")"
done)
echo
echo "== uninst.lst"
python3 - "$install/uninst.lst" <<'PY'
import sys
data = open(sys.argv[1], "rb").read()
text, nul, rest = data.partition(b"\0")
for line in text.decode("cp932", "replace").split("\n")[:-1]:
    print("  " + line)
print("  (then %s)" % ("one NUL byte, the last byte of the file" if nul and not rest
                        else "no NUL at the end" if not nul else "a NUL with bytes after it"))
PY
[ "$driver_rc" = 0 ]
