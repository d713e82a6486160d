#!/usr/bin/env bash
# Unpacks Debian's nginx into a folder of the build tree for the HTTP
# benchmark's reference server; nothing is installed and no service starts.
#   scripts/bench-deps.sh BUILD_DIR
set -euo pipefail
dest="$1/bench/nginx"
[ -x "$dest/usr/sbin/nginx" ] && exit 0
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
(cd "$tmp" && apt-get -o Acquire::Retries=3 -o APT::Sandbox::User=root download -qq nginx)
mkdir -p "$dest"
dpkg -x "$tmp"/nginx_*.deb "$dest"
