#!/usr/bin/env bash
# Scans a multi-page duplex colour document from the virtual scanner into a
# PDF and prints its path.
set -euo pipefail
build=${1:-build}
tool="$build/bin/quirel"
out_dir="${TMPDIR:-/tmp}/quirel-demo"
mkdir -p "$out_dir"
out="$out_dir/demo-$(date +%Y%m%d-%H%M%S).pdf"
export QUIREL_VIRTUAL_SCANNER="${QUIREL_VIRTUAL_SCANNER:-model=fi-7160;sheets=3}"
if ! "$tool" --help 2>/dev/null | grep -q -- '--pdf'; then
  "$tool" --enumerate
  echo "no scanner found: this build of quirel cannot scan yet"
  exit 0
fi
"$tool" --adf --rgb --resolution 300 --duplex --pdf "$out"
echo "$out"
