#!/usr/bin/env bash
# Installs what the builds and tests need on a Debian 12 machine. Safe to run
# again: it only calls apt when something is missing.
set -u

need=()
have_cmd() { command -v "$1" >/dev/null 2>&1; }
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

# Both mingw-w64 compilers: i686 for the shipped updater, x86_64 for its
# test twin (the Windows tests' build where 32-bit code cannot run).
for p in cmake make g++ clang-14 libclang-rt-14-dev g++-mingw-w64-i686-posix \
         binutils-mingw-w64-i686 g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 googletest libgtest-dev libbenchmark-dev \
         locales python3 xxd time osslsigncode openssl; do
  have_pkg "$p" || need+=("$p")
done
wine_needed=0
for p in wine wine32:i386 wine64; do
  have_pkg "$p" || wine_needed=1
done

if [ "$wine_needed" = 1 ] || [ "${#need[@]}" -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  if [ "$wine_needed" = 1 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  # The i386 security index sometimes fails to download; the main index is enough.
  apt-get update -q || true
  if [ "${#need[@]}" -gt 0 ]; then
    apt-get install -y -q --no-install-recommends "${need[@]}" || exit 1
  fi
  if [ "$wine_needed" = 1 ]; then
    apt-get install -y -q -t bookworm --no-install-recommends \
      wine wine32:i386 wine64 libwine:i386 fonts-wine || exit 1
  fi
fi

# Wine's Unix side needs a real ja_JP.UTF-8 locale for Japanese file names and
# for code page 932; en_US.UTF-8 is used for the non-Japanese locale runs.
for loc in ja_JP en_US; do
  if ! locale -a 2>/dev/null | grep -qi "^${loc}\.utf-\?8$"; then
    localedef -i "$loc" -f UTF-8 "$loc.UTF-8" || exit 1
  fi
done
exit 0
