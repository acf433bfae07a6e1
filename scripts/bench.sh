#!/usr/bin/env bash
# Runs every benchmark built under BUILD/bench and prints their reports.
set -euo pipefail
build=${1:-build}
shopt -s nullglob
benches=("$build"/bench/bench_*)
if [ ${#benches[@]} -eq 0 ]; then echo "no benchmarks built"; exit 0; fi
for b in "${benches[@]}"; do
  echo "=== $(basename "$b") ==="
  "$b" --benchmark_counters_tabular=true
done
