#!/bin/sh
# Runs a command in a network namespace of its own with loopback up, so that
# what it binds on the chassis addresses never meets another run's:
#   scripts/netns.sh COMMAND [ARGS...]
#   scripts/netns.sh --check      exit 0 when namespaces can be made here (root)
if [ "$1" = --check ]; then
  exec unshare -n sh -c 'ip link set lo up' >/dev/null 2>&1
fi
exec unshare -n sh -c 'ip link set lo up && exec "$@"' netns "$@"
