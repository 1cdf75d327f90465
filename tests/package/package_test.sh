#!/usr/bin/env bash
# Installs the built library into a fresh prefix, then builds and runs the host programs on it.
# With SERVER_DIR (a running rtmp_server.sh), the hosts that let go of a streaming recorder run too.
# Usage: package_test.sh BUILD_DIR SOURCE_DIR TMP_DIR CXX [SERVER_DIR]
set -euo pipefail
build=$1 src=$2 tmp=$3 cxx=$4 server=${5:-}
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
"$work/host/streamer_host"

export KESTRUNE_CAPTURE_BACKEND=synthetic KESTRUNE_AUDIO_BACKEND=synthetic KESTRUNE_DOCUMENTS=$work/documents
run() { # name, then the host's arguments
  local name=$1 rc=0
  shift
  "$work/host/letgo_host" "$@" 2>"$work/stderr" || rc=$?
  if [ "$rc" -ne 0 ]; then
    cat "$work/stderr" >&2
    echo "letgo_host $name: exit status $rc" >&2
    exit 1
  fi
  # The host never switched the log on: the library writes nothing.
  if [ -s "$work/stderr" ]; then
    cat "$work/stderr" >&2
    echo "letgo_host $name: lines on standard error with the log off" >&2
    exit 1
  fi
  echo "letgo_host $name: ok"
}
run prepare prepare
[ -n "$server" ] || exit 0
# shellcheck disable=SC1091
. "$server/server.env"
stream=letgo-$$-$RANDOM
run drop drop "rtmp://127.0.0.1:$RTMP_PORT/live/$stream" "$RECORD_DIR/$stream.flv"
run static static "rtmp://127.0.0.1:$RTMP_PORT/live/$stream-static"
