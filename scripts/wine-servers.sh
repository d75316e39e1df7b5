# Sourced, not run: the wineservers that the test and demo scripts start,
# and how they are stopped again.
#
# A prefix's wineserver keeps running after the last Wine program ends
# (wine-prefix.sh starts it persistent, for speed), so whoever starts one
# stops it. A server is found by its working folder, which Wine names after
# the prefix folder's device and inode ("server-<dev>-<inode>", both in
# hex): that holds for any user and wherever the server folder lies.
#
# UPD_WINE_PREFIX_LOG, when set, names a file in which wine-prefix.sh notes
# every prefix it serves (uid, server name, absolute path, one line each),
# so that the end of a test run stops all of them.

# The server folder name of an existing prefix folder; fails when there is
# no such folder.
wine_server_name() {
  local stat
  stat=$(stat -L -c '%D %i' "$1" 2>/dev/null) || return 1
  set -- $stat
  printf 'server-%s-%x\n' "$1" "$2"
}

# The ids of the processes whose working folder is the server folder NAME:
# the wineserver of that prefix, if it runs.
wine_server_pids() {
  find /proc -mindepth 2 -maxdepth 2 -path '/proc/[0-9]*/cwd' -lname "*/$1" 2>/dev/null |
    cut -d/ -f3
}

# Runs a command for prefix PREFIX as user UID (its owner), with the
# absolute WINEPREFIX that wineserver and wine insist on.
#   wine_as_uid UID PREFIX COMMAND [ARGS...]
wine_as_uid() {
  local uid=$1 prefix=$2
  shift 2
  if [ "$uid" != "$(id -u)" ]; then
    setpriv --reuid="$uid" --regid="$uid" --clear-groups \
      env HOME="$prefix/home" WINEPREFIX="$prefix" "$@"
  else
    env WINEPREFIX="$prefix" "$@"
  fi
}

# Notes an absolute prefix served for UID in UPD_WINE_PREFIX_LOG, if set.
wine_note_prefix() {
  local line
  [ -n "${UPD_WINE_PREFIX_LOG:-}" ] || return 0
  line="$2 $(wine_server_name "$1") $1" || return 0
  grep -qxF -- "$line" "$UPD_WINE_PREFIX_LOG" 2>/dev/null ||
    printf '%s\n' "$line" >>"$UPD_WINE_PREFIX_LOG"
}

# The ids of the processes that run in prefix PREFIX (absolute): Wine's
# programs and services, which keep WINEPREFIX in their environment.
wine_prefix_pids() {
  grep -lzxF -- "WINEPREFIX=$1" /proc/[0-9]*/environ 2>/dev/null | cut -d/ -f3
}

# Whether the program started at SINCE (seconds since boot, as in
# /proc/uptime) in PREFIX lost its wineserver: none runs now, or one started
# later. Wine then ends the program with status 1, often without a word.
# Says which on stdout.
wine_server_lost() {
  local name pid start
  name=$(wine_server_name "$1") || return 1
  pid=$(wine_server_pids "$name" | head -n 1)
  if [ -z "$pid" ]; then
    echo "the wineserver of $1 is gone"
    return 0
  fi
  # Field 22 of /proc/PID/stat: the start, in clock ticks since boot (the
  # name before it holds no space: wineserver).
  start=$(cut -d' ' -f22 "/proc/$pid/stat" 2>/dev/null) || return 1
  awk -v start="$start" -v hz="$(getconf CLK_TCK)" -v since="$2" \
    'BEGIN { exit !(start / hz > since) }' || return 1
  echo "the wineserver of $1 is a new one (pid $pid)"
}

# Stops the wineserver of prefix PREFIX (absolute) that runs for UID, and
# waits for its end and its programs'. NAME is its server folder name
# (wine_server_name), given apart so that a server outlives the removal of
# its prefix folder. Succeeds silently when nothing of the prefix is left
# running; else prints what went wrong and fails. What `wineserver -k`
# leaves (or a server without its prefix folder, or programs without their
# server) is ended by process id, so that nothing is left behind, and
# still reported.
#   wine_stop_server UID NAME PREFIX
wine_stop_server() {
  local uid=$1 name=$2 prefix=$3 server left said outcome
  server=$(wine_server_pids "$name")
  [ -n "$server$(wine_prefix_pids "$prefix")" ] || return 0
  if [ -z "$server" ]; then
    said="its wineserver is gone"
  elif [ -d "$prefix" ]; then
    said=$(wine_as_uid "$uid" "$prefix" wineserver -k 2>&1) || said=${said:-it failed and said nothing}
    wine_as_uid "$uid" "$prefix" timeout 60 wineserver -w >/dev/null 2>&1
    [ -n "$(wine_server_pids "$name")$(wine_prefix_pids "$prefix")" ] || return 0
    said="wineserver -k: ${said:-it said nothing}"
  else
    said="its prefix folder is gone"
  fi
  left=$(echo $({ wine_prefix_pids "$prefix"; wine_server_pids "$name"; } | sort -nu))
  # TERM first; KILL for what is still there after about five seconds.
  for step in T . . . . . . . . . . . . . . . . . . . . . . . . K . . . . .; do
    [ -n "$(wine_server_pids "$name")$(wine_prefix_pids "$prefix")" ] || break
    case $step in
      T) kill -s TERM $left 2>/dev/null ;;
      K) kill -s KILL $left 2>/dev/null ;;
    esac
    sleep 0.2
  done
  outcome="ended by process id instead"
  [ -z "$(wine_server_pids "$name")$(wine_prefix_pids "$prefix")" ] || outcome="still running"
  echo "the wineserver of $prefix (uid $uid) did not stop cleanly ($said): processes $left $outcome"
  return 1
}

# Stops the server of every prefix noted in LOG. Prints one line: which
# prefixes' servers are stopped, or what went wrong; fails when any stop
# failed.
wine_stop_noted_servers() {
  local log=$1 uid name prefix problem problems="" prefixes=""
  [ -s "$log" ] || { echo "no Wine prefix was used"; return 0; }
  while read -r uid name prefix; do
    prefixes="$prefixes${prefixes:+, }$prefix"
    problem=$(wine_stop_server "$uid" "$name" "$prefix") ||
      problems="$problems${problems:+; }$problem"
  done < <(sort -u "$log")
  if [ -n "$problems" ]; then
    echo "FAILED: $problems"
    return 1
  fi
  echo "stopped (none left running): $prefixes"
}
