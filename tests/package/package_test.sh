#!/usr/bin/env bash
# Installs the built library into a fresh prefix, then builds and runs the host program on it.
# Usage: package_test.sh BUILD_DIR SOURCE_DIR TMP_DIR CXX
set -euo pipefail
build=$1 src=$2 tmp=$3 cxx=$4
work=$(mktemp -d "$tmp/package.$$.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
if [ -d "$prefix/include/kestrune" ] && find "$prefix/include" -name '*.h' | grep -vq '/include/kestrune/'; then
  echo "headers outside include/kestrune were installed" >&2
  exit 1
fi

cmake -S "$src/tests/package" -B "$work/host" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_CXX_COMPILER="$cxx" >/dev/null
cmake --build "$work/host" >/dev/null
"$work/host/host"
"$work/host/notifications"
