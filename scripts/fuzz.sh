#!/usr/bin/env bash
# Builds the fuzz targets (QUIREL_FUZZ: clang, libFuzzer, ASan and UBSan) from
# the project's CMakeLists and runs each for a given number of seconds,
# starting from its seed corpus.
#   scripts/fuzz.sh [seconds] [build-dir] [target...]
# With target names only those are built and run (PdfAppendReaderFuzz,
# TiffAppendReaderFuzz, PreviewRecordFuzz, PrefsReaderFuzz).
# New inputs found go to BUILD/corpus/<target>; the seed corpus in the
# source tree is only read. Crashes are written to BUILD/artifacts.
set -euo pipefail

seconds=${1:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${2:-$root/build-fuzz}
shift $(( $# < 2 ? $# : 2 ))
cxx=${CXX_FUZZ:-clang++}
cc=${CC_FUZZ:-clang}

# target name and its seed corpus folder under tests/fuzz/corpus
declare -A corpus=(
  [PdfAppendReaderFuzz]=pdf
  [TiffAppendReaderFuzz]=tiff
  [PreviewRecordFuzz]=preview
  [PrefsReaderFuzz]=prefs
)
targets=("$@")
if (( ${#targets[@]} == 0 )); then
  targets=(PdfAppendReaderFuzz TiffAppendReaderFuzz PreviewRecordFuzz PrefsReaderFuzz)
fi
for name in "${targets[@]}"; do
  if [[ -z "${corpus[$name]:-}" ]]; then
    echo "fuzz: no fuzz target named $name (known: ${!corpus[*]})" >&2
    exit 2
  fi
done

if ! command -v "$cxx" >/dev/null; then
  echo "fuzz: $cxx not found (scripts/install-deps.sh installs clang)" >&2
  exit 2
fi

echo "== configuring $build"
cmake -S "$root" -B "$build" -G Ninja -DQUIREL_FUZZ=ON -DQUIREL_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_C_COMPILER="$cc" >/dev/null
echo "== building ${targets[*]}"
cmake --build "$build" -j "${FUZZ_JOBS:-4}" --target "${targets[@]}"

mkdir -p "$build/artifacts"
for name in "${targets[@]}"; do
  mkdir -p "$build/corpus/$name"
  echo "== running $name for ${seconds}s"
  "$build/fuzz/$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=65536 \
    -artifact_prefix="$build/artifacts/$name-" -print_final_stats=1 \
    "$build/corpus/$name" "$root/tests/fuzz/corpus/${corpus[$name]}"
done
