#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer + ASan + UBSan) and runs
# each for a given number of seconds, starting from its seed corpus.
#   scripts/fuzz.sh [seconds] [build-dir] [target...]
# With target names only those run (PdfAppendReaderFuzz, TiffAppendReaderFuzz,
# PreviewRecordFuzz, PrefsReaderFuzz).
# New inputs found go to BUILD/corpus/<target>; the seed corpus in the
# source tree is only read. Crashes are written to BUILD/artifacts.
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

flags=(-std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
       -fno-omit-frame-pointer)

# target name, its sources, its seed corpus
build_and_run() {
  local name=$1 corpus=$2
  shift 2
  if (( ${#only[@]} )) && [[ " ${only[*]} " != *" $name "* ]]; then return; fi
  echo "== building $name"
  "$cxx" "${flags[@]}" -I"$root/src/engine/writers" "$@" -o "$build/$name"
  mkdir -p "$build/corpus/$name"
  echo "== running $name for ${seconds}s"
  "$build/$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=65536 \
    -artifact_prefix="$build/artifacts/$name-" -print_final_stats=1 \
    "$build/corpus/$name" "$corpus"
}

build_and_run PdfAppendReaderFuzz "$root/tests/fuzz/corpus/pdf" \
  "$root/tests/fuzz/PdfAppendReaderFuzz.cpp" "$root/src/engine/writers/PdfAppendReader.cpp"

build_and_run TiffAppendReaderFuzz "$root/tests/fuzz/corpus/tiff" \
  "$root/tests/fuzz/TiffAppendReaderFuzz.cpp" "$root/src/engine/writers/TiffAppendReader.cpp"

# The front end's readers of outside input: preview FIFO records and
# preference files. Qt is built for position-independent code; GLib headers
# use "signals", so Qt's keywords are off.
read -r -a frontend_deps <<<"$(pkg-config --cflags --libs Qt6Core libplist-2.0 gio-2.0 gio-unix-2.0)"
frontend=$root/src/frontend
frontend_flags=(-fPIC -DQT_NO_KEYWORDS -I"$frontend" "${frontend_deps[@]}" -lpthread)

build_and_run PreviewRecordFuzz "$root/tests/fuzz/corpus/preview" \
  "$root/tests/fuzz/PreviewRecordFuzz.cpp" "$frontend/PreviewFifoTask.cpp" "$frontend/FrontendLog.cpp" \
  "${frontend_flags[@]}"

build_and_run PrefsReaderFuzz "$root/tests/fuzz/corpus/prefs" \
  "$root/tests/fuzz/PrefsReaderFuzz.cpp" "$frontend/PrefsStore.cpp" "$frontend/Quirel_Settings.cpp" \
  "$frontend/HelperApp.cpp" "$frontend/FrontendLog.cpp" "${frontend_flags[@]}"
