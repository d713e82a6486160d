#!/usr/bin/env bash
# Builds into a folder: scripts/build.sh [BUILD_DIR] [extra cmake options]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$top/build}
shift || true
# Paths below the tree are cached relative to it, so clones share the cache.
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$top} CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-1}
export CCACHE_MAXSIZE=${CCACHE_MAXSIZE:-8G}
cmake -S "$top" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$dir" -j"$(nproc)"
