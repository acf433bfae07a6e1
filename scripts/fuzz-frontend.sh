#!/usr/bin/env bash
# Builds the front end's fuzz targets with clang (libFuzzer + ASan + UBSan)
# and runs each for a given number of seconds from its seed corpus.
#   scripts/fuzz-frontend.sh [seconds] [build-dir] [target...]
# Targets: PreviewRecordFuzz (the preview FIFO's records), PrefsReaderFuzz
# (preference files and the settings read from them). New inputs go to
# BUILD/corpus/<target>, crashes to BUILD/artifacts; the seed corpus in the
# source tree is only read.
set -euo pipefail

seconds=${1:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${2:-$root/build-fuzz}
shift $(( $# < 2 ? $# : 2 ))
only=("$@")
cxx=${CXX_FUZZ:-clang++}

if ! command -v "$cxx" >/dev/null; then
  echo "fuzz: $cxx not found (scripts/install-deps.sh installs clang)" >&2
  exit 2
fi
mkdir -p "$build/artifacts"

# Qt is built for position-independent code; GLib headers use "signals".
flags=(-std=c++20 -O1 -g -fPIC -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
       -fno-omit-frame-pointer -DQT_NO_KEYWORDS -I"$root/src/frontend")
read -r -a deps <<<"$(pkg-config --cflags --libs Qt6Core libplist-2.0 gio-2.0 gio-unix-2.0)"
src=$root/src/frontend

build_and_run() {
  local name=$1 corpus=$2
  shift 2
  if (( ${#only[@]} )) && [[ " ${only[*]} " != *" $name "* ]]; then return; fi
  echo "== building $name"
  "$cxx" "${flags[@]}" "$@" "${deps[@]}" -lpthread -o "$build/$name"
  mkdir -p "$build/corpus/$name"
  echo "== running $name for ${seconds}s"
  "$build/$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=65536 \
    -artifact_prefix="$build/artifacts/$name-" -print_final_stats=1 \
    "$build/corpus/$name" "$corpus"
}

build_and_run PreviewRecordFuzz "$root/tests/fuzz/corpus/preview" \
  "$root/tests/fuzz/PreviewRecordFuzz.cpp" "$src/PreviewFifoTask.cpp" "$src/FrontendLog.cpp"

build_and_run PrefsReaderFuzz "$root/tests/fuzz/corpus/prefs" \
  "$root/tests/fuzz/PrefsReaderFuzz.cpp" "$src/PrefsStore.cpp" "$src/Quirel_Settings.cpp" \
  "$src/HelperApp.cpp" "$src/FrontendLog.cpp"
