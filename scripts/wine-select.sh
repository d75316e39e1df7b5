# Sourced, not run: which Windows builds run their tests under Wine here.
#
# Some machines' kernels run no 32-bit code at all; there 32-bit Wine cannot
# start, and the Windows tests run on build/win64, the x86_64 twin of the
# same sources, under 64-bit Wine. The probe is one start of the 32-bit Wine
# loader; its answer is kept in the environment (UPD_RUNS_32BIT and
# UPD_RUNS_32BIT_WHY) so that child scripts do not probe again.
#
# WINDOWS_TESTS chooses (default auto):
#   auto   win32 where 32-bit code runs, and the twin on every machine
#   win64  the twin only, as on a machine without 32-bit code
#   win32  the 32-bit build only
#   both   both builds (the 32-bit tests then fail where they cannot run)

WINE_LOADER_32=/usr/lib/wine/wine
WINE_LOADER_64=/usr/lib/wine/wine64

# Sets UPD_RUNS_32BIT to yes or no, and UPD_RUNS_32BIT_WHY.
wine_probe_32bit() {
  case "${UPD_RUNS_32BIT:-}" in yes|no) return 0 ;; esac
  local out
  if [ ! -x "$WINE_LOADER_32" ]; then
    UPD_RUNS_32BIT=no
    UPD_RUNS_32BIT_WHY="there is no 32-bit Wine loader ($WINE_LOADER_32)"
  elif out=$("$WINE_LOADER_32" --version 2>&1); then
    UPD_RUNS_32BIT=yes
    UPD_RUNS_32BIT_WHY="the 32-bit Wine loader runs ($out)"
  else
    UPD_RUNS_32BIT=no
    # (bash's own complaint names this script and line: drop that)
    UPD_RUNS_32BIT_WHY="the 32-bit Wine loader does not start: $(printf '%s' "$out" |
      head -n 1 | sed 's/^.*: line [0-9]*: //')"
  fi
  export UPD_RUNS_32BIT UPD_RUNS_32BIT_WHY
}

# Whether the Wine tests of ARCH (win32 or win64) are to run here. Sets
# WINE_SELECT_WHY to a sentence that says why or why not.
wine_selected() {
  local arch=$1 mode=${WINDOWS_TESTS:-auto}
  wine_probe_32bit
  case "$mode" in
    auto|win32|win64|both) ;;
    *)
      WINE_SELECT_WHY="WINDOWS_TESTS=$mode is none of auto, win32, win64, both"
      return 1
      ;;
  esac
  if [ "$arch" = win32 ]; then
    case "$mode" in
      win64)
        WINE_SELECT_WHY="skipped: WINDOWS_TESTS=win64 runs the x86_64 twin only"
        return 1 ;;
      win32|both)
        WINE_SELECT_WHY="run: WINDOWS_TESTS=$mode ($UPD_RUNS_32BIT_WHY)"
        return 0 ;;
    esac
    if [ "$UPD_RUNS_32BIT" = yes ]; then
      WINE_SELECT_WHY="run: $UPD_RUNS_32BIT_WHY"
      return 0
    fi
    WINE_SELECT_WHY="skipped: this machine runs no 32-bit code ($UPD_RUNS_32BIT_WHY)"
    return 1
  fi
  case "$mode" in
    win32)
      WINE_SELECT_WHY="skipped: WINDOWS_TESTS=win32 runs the 32-bit build only"
      return 1 ;;
    win64|both)
      WINE_SELECT_WHY="run: WINDOWS_TESTS=$mode"
      return 0 ;;
  esac
  if [ "$UPD_RUNS_32BIT" = yes ]; then
    WINE_SELECT_WHY="run: the twin is tested on every machine, so that it cannot rot"
  else
    WINE_SELECT_WHY="run: this machine runs no 32-bit code ($UPD_RUNS_32BIT_WHY)"
  fi
  return 0
}

# The Wine loader that runs ARCH's programs. The `wine` wrapper would pick
# the 32-bit loader, which fails where 32-bit code cannot run; the 64-bit
# loader is called directly, with WINELOADER naming it for the processes
# that Wine starts itself.
wine_loader() {
  if [ "$1" = win64 ]; then echo "$WINE_LOADER_64"; else echo "$WINE_LOADER_32"; fi
}

# The build's architecture, from the marker that CMake writes into every
# Windows build folder (win32 when there is none).
wine_build_arch() {
  local marker=$1/wine-arch
  if [ -f "$marker" ]; then cat "$marker"; else echo win32; fi
}
