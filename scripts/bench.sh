#!/usr/bin/env bash
# Runs every benchmark built under BUILD/bench and prints their reports.
set -euo pipefail
build=${1:-build}
shopt -s nullglob
benches=("$build"/bench/bench_*)
if [ ${#benches[@]} -eq 0 ]; then echo "no benchmarks built"; exit 0; fi
for b in "${benches[@]}"; do
  # The end-to-end engine benchmarks run below, through their own script.
  case "$(basename "$b")" in bench_EngineBench|bench_EngineMemoryBench) continue ;; esac
  echo "=== $(basename "$b") ==="
  "$b" --benchmark_counters_tabular=true
done
if [ -x "$build/bench/bench_EngineBench" ] && [ -x "$build/bench/bench_EngineMemoryBench" ]; then
  echo "=== scan engine end to end ==="
  "$(dirname "$0")/bench-engine.sh" "$build"
fi
