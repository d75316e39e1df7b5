#!/usr/bin/env bash
# Runs a native test program as an unprivileged user, so that file
# permissions are enforced (root writes read-only files).
set -u
if [ "$(id -u)" = 0 ]; then
  exec setpriv --reuid=65534 --regid=65534 --clear-groups env HOME=/tmp "$@"
fi
exec "$@"
