#!/usr/bin/env bash
# Runs a command with a small, nearly empty volume of its own: a 4 MiB
# tmpfs, named to the command in UPD_TEST_SMALL_VOLUME, so that tests can
# fill a disk for real. Mounting needs root; elsewhere the command is not
# run and the test is skipped (exit 77).
#   run-on-small-volume.sh COMMAND [ARGS...]
set -u
if [ "$(id -u)" != 0 ]; then
  echo "run-on-small-volume.sh: mounting a small volume needs root; skipped" >&2
  exit 77
fi
volume=$(mktemp -d /tmp/upd-small-volume.XXXXXX) || exit 1
if ! mount -t tmpfs -o size=4m,mode=1777 upd-small-volume "$volume"; then
  rmdir "$volume"
  echo "run-on-small-volume.sh: cannot mount a tmpfs here; skipped" >&2
  exit 77
fi
cleanup() { umount "$volume" && rmdir "$volume"; }
trap cleanup EXIT
UPD_TEST_SMALL_VOLUME=$volume "$@"
