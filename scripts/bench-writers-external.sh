#!/usr/bin/env bash
# Times the same A4 300 dpi pages written by our writers (bench_WriterBench)
# and by tiffcp (-c g4 for line art, -c zip for gray and colour; ImageMagick
# too when its Debian package is installed), and prints the ratios.
#   scripts/bench-writers-external.sh [build-dir] [runs]
# A ratio above 1 means our writer is faster.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
runs=${2:-10}
bench="$build/bench/bench_WriterBench"
[ -x "$bench" ] || { echo "build $bench first (ninja -C $build bench/bench_WriterBench)" >&2; exit 2; }
command -v tiffcp >/dev/null || { echo "tiffcp missing (libtiff-tools)" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$bench" --dump-pages "$work"
tiffcp -c none "$work/lineart.tif" "$work/lineart-raw.tif"

json="$work/ours.json"
"$bench" --benchmark_format=json --benchmark_out="$json" --benchmark_out_format=json \
  --benchmark_min_time=1 >/dev/null

# Milliseconds per run of a command, averaged over $runs runs.
time_ms() {
  local start end
  start=$(date +%s%N)
  for _ in $(seq "$runs"); do "$@" >/dev/null 2>&1; done
  end=$(date +%s%N)
  echo $(( (end - start) / runs / 1000000 ))
}

ours() {  # benchmark name -> ms per page
  python3 -c "import json,sys; d=json.load(open('$json'))
print('%.1f' % next(b['real_time'] for b in d['benchmarks'] if b['name'].startswith('$1')))"
}

have_magick=0
if dpkg-query -W -f='${Status}' imagemagick 2>/dev/null | grep -q 'install ok installed'; then
  have_magick=1
fi

printf '%-22s %10s %14s %8s\n' "page" "ours ms" "other ms" "ratio"
row() {  # label, our benchmark, other command...
  local label=$1 name=$2
  shift 2
  local o t
  o=$(ours "$name")
  t=$(time_ms "$@")
  python3 -c "print('%-22s %10s %14s %8.2f' % ('$label', '$o', '$t', $t / max($o, 0.001)))"
}
row "TIFF G4 vs tiffcp"      BM_TiffLineArtG4     tiffcp -c g4  "$work/lineart-raw.tif" "$work/o1.tif"
row "TIFF gray vs tiffcp"    BM_TiffGrayDeflate   tiffcp -c zip "$work/gray.tif"        "$work/o2.tif"
row "TIFF colour vs tiffcp"  BM_TiffColourDeflate tiffcp -c zip "$work/colour.tif"      "$work/o3.tif"
if [ "$have_magick" = 1 ]; then
  row "PDF G4 vs magick"     BM_PdfLineArtG4      convert "$work/lineart-raw.tif" -compress Group4 "$work/o4.pdf"
  row "PDF gray vs magick"   BM_PdfGrayFlate      convert "$work/gray.tif" -compress Zip "$work/o5.pdf"
  row "PDF colour vs magick" BM_PdfColourFlate    convert "$work/colour.tif" -compress Zip "$work/o6.pdf"
else
  echo "(ImageMagick not installed: PDF comparisons skipped)"
fi
