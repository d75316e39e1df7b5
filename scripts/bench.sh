#!/usr/bin/env bash
# Speed and memory figures of a native build: `make bench`.
# Usage: bench.sh BUILD_DIR [SECTION...] (the native build folder, already
# built; sections by name: checksum, release, apply, apply-wine, files, make;
# all by default). apply-wine uses a Windows build beside it (see there).
# Each section prints its own table; a new section is a function added to
# the list at the end.
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/native}
shift
sections=${*:-checksum release apply apply-wine files make}
out=$build/bench-results
mkdir -p "$out"

# The checksum against its plain byte loop and against memcpy, per size:
# Google Benchmark, repetitions interleaved so that a busy machine slows
# all three alike; medians and their ratios.
bench_checksum() {
  local program=$build/bench/content_sum_bench
  if [ ! -x "$program" ]; then
    echo "checksum: $program is missing (Google Benchmark not found?)" >&2
    return 1
  fi
  echo "=== checksum throughput (UpdateContentSum)"
  "$program" --benchmark_filter='^checksum/' --benchmark_repetitions=5 \
    --benchmark_enable_random_interleaving=true --benchmark_min_time=0.2 \
    --benchmark_report_aggregates_only=true \
    --benchmark_out="$out/checksum.json" --benchmark_out_format=json \
    >"$out/checksum.log" 2>&1 || { cat "$out/checksum.log" >&2; return 1; }
  python3 "$root/scripts/bench-checksum.py" "$out/checksum.json"
}

# The updater's release check on lists of 53, 3,000 and 30,000 records,
# against the walk through the list that it replaced: medians and ratios.
bench_release() {
  local program=$build/bench/release_check_bench
  if [ ! -x "$program" ]; then
    echo "release: $program is missing (Google Benchmark not found?)" >&2
    return 1
  fi
  echo "=== release check (FindForeignRecord)"
  "$program" --benchmark_repetitions=5 --benchmark_enable_random_interleaving=true \
    --benchmark_min_time=0.1 --benchmark_report_aggregates_only=true \
    --benchmark_out="$out/release.json" --benchmark_out_format=json \
    >"$out/release.log" 2>&1 || { cat "$out/release.log" >&2; return 1; }
  python3 "$root/scripts/bench-release.py" "$out/release.json"
}

# A whole update against copying its files: patchtool apply of a package
# with a 1 GiB entry and several small ones, and cp of the same files, and
# the apply's peak memory. The files stay in the build folder between runs.
bench_apply() {
  local tool=$build/patchtool
  if [ ! -x "$tool" ]; then
    echo "apply: $tool is missing" >&2
    return 1
  fi
  python3 "$root/scripts/bench-apply.py" "$tool" "$out/apply" 5
}

# The same apply under Wine against flushed_copy.exe, a Win32 program that
# copies the same files and flushes each, as the Windows file layer does.
# The Windows build beside BUILD_DIR (or WINE_BENCH_BUILD): win32 where its
# Wine runs here, else win64; skipped, and said so, without either. A prefix
# of its own per architecture in the results folder, whose wineserver is
# stopped at the end. RUNS: timed runs of each (default 5).
bench_apply-wine() {
  . "$root/scripts/wine-select.sh"
  . "$root/scripts/wine-servers.sh"
  local win=${WINE_BENCH_BUILD:-} candidate arch why=""
  if [ -z "$win" ]; then
    for candidate in win32 win64; do
      candidate=$(dirname "$build")/$candidate
      [ -f "$candidate/patchtool.exe" ] || continue
      arch=$(wine_build_arch "$candidate")
      if ! wine_selected "$arch"; then
        why="$why${why:+; }$(basename "$candidate"): $WINE_SELECT_WHY"
      elif [ ! -x "$(wine_loader "$arch")" ]; then
        why="$why${why:+; }$(basename "$candidate"): no Wine ($(wine_loader "$arch") is missing)"
      else
        win=$candidate
        break
      fi
    done
  fi
  if [ -z "$win" ]; then
    echo "apply-wine: skipped: no Windows build whose Wine runs here" \
      "(${why:-neither $(dirname "$build")/win32 nor win64 holds patchtool.exe; make win32})"
    return 0
  fi
  local copy=$win/bench/flushed_copy.exe
  for f in "$win/patchtool.exe" "$copy" "$win/wine-run"; do
    [ -f "$f" ] || { echo "apply-wine: $f is missing (make $(basename "$win"))" >&2; return 1; }
  done
  arch=$(wine_build_arch "$win")
  echo "apply-wine: $win ($arch)"
  local prefix=$out/apply-wine/wineprefix-$arch status=0
  mkdir -p "$out/apply-wine"
  WINE_PREFIX_DIR=$prefix python3 "$root/scripts/bench-apply.py" --wine "$win/wine-run" \
    "$win/patchtool.exe" "$copy" "$out/apply-wine" "${RUNS:-5}" || status=1
  local name problem
  if name=$(wine_server_name "$(realpath -m "$prefix")"); then
    problem=$(wine_stop_server "$(id -u)" "$name" "$(realpath -m "$prefix")") ||
      { echo "apply-wine: $problem" >&2; status=1; }
  fi
  return $status
}

# The release check by the install's files (no hash list in the install)
# against reading the same files once with cat.
bench_files() {
  local tool=$build/patchtool
  if [ ! -x "$tool" ]; then
    echo "files: $tool is missing" >&2
    return 1
  fi
  python3 "$root/scripts/bench-files.py" "$tool" "$out/files" 5
}

# make against an earlier make (the commit before make read each release
# once for several OLDs, or BASELINE_COMMIT) on one generated release of
# 3,000 files, side by side; then make for four releases against make from
# one, for both. The baseline is built once from that commit into the
# results folder, or taken from BASELINE_PATCHTOOL.
make_baseline_commit=${BASELINE_COMMIT:-5ad6e8c}
bench_make() {
  local tool=$build/patchtool
  local baseline=${BASELINE_PATCHTOOL:-}
  if [ ! -x "$tool" ]; then
    echo "make: $tool is missing" >&2
    return 1
  fi
  if [ -z "$baseline" ]; then
    local scratch=$out/make-baseline-$make_baseline_commit
    baseline=$scratch/build/patchtool
    if [ ! -x "$baseline" ]; then
      echo "make: building the baseline patchtool from $make_baseline_commit in $scratch"
      rm -rf "$scratch"
      mkdir -p "$scratch/src"
      git -C "$root" archive "$make_baseline_commit" | tar -x -C "$scratch/src" &&
        cmake -S "$scratch/src" -B "$scratch/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
          >"$scratch/build.log" 2>&1 &&
        cmake --build "$scratch/build" --target patchtool -j "${JOBS:-2}" \
          >>"$scratch/build.log" 2>&1 ||
        { cat "$scratch/build.log" >&2; return 1; }
    fi
  fi
  python3 "$root/scripts/bench-make.py" "$tool" "$baseline" "$out/make" 7
}

status=0
for section in $sections; do
  "bench_$section" || status=1
  echo
done
exit $status
