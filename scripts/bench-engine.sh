#!/usr/bin/env bash
# End-to-end speed and peak memory of the scan engine against the virtual
# scanner, as one table:
#   scripts/bench-engine.sh [build-dir] [repetitions]
# Speed: bench_EngineBench runs whole duplex 300 dpi jobs in its own process
# (ScanJob with the tool's parameters), each case `repetitions` times (default
# 3); the best run counts, since other work on the machine only slows a run
# down. The JPEG cases run a second time on a model whose duplex JPEG arrives
# as one interleaved stream, which the engine splits.
# Memory: bench_EngineMemoryBench runs 10, 50 and 100-sheet duplex colour
# jobs, each in a fresh process; the command-line tool's own peak for 100
# sheets is taken with /usr/bin/time as a cross-check.
# QUIREL_BENCH_MODEL (default fi-5950) and QUIREL_BENCH_SHEETS (default 20)
# change the scanner model and the sheets per timed job.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
reps=${2:-3}
model=${QUIREL_BENCH_MODEL:-fi-5950}
interleaved_model=fi-7160
goal=540  # images a minute: twice the fastest model's rated 270

speed="$build/bench/bench_EngineBench"
memory="$build/bench/bench_EngineMemoryBench"
tool="$build/bin/quirel"
for b in "$speed" "$memory"; do
  [ -x "$b" ] || { echo "build $b first (ninja -C $build bench/$(basename "$b"))" >&2; exit 2; }
done
command -v python3 >/dev/null || { echo "python3 is needed to read the benchmark results" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export TMPDIR="$work"

echo "machine: $(nproc) cores; load before: $(cut -d' ' -f1-3 /proc/loadavg)"

QUIREL_BENCH_MODEL="$model" "$speed" --benchmark_repetitions="$reps" \
  --benchmark_out="$work/speed.json" --benchmark_out_format=json >"$work/speed.txt" 2>&1 || true
QUIREL_BENCH_MODEL="$interleaved_model" "$speed" --benchmark_repetitions="$reps" --benchmark_filter='jpeg|gray' \
  --benchmark_out="$work/speed-interleaved.json" --benchmark_out_format=json >"$work/speed-il.txt" 2>&1 || true
QUIREL_BENCH_MODEL="$model" "$memory" \
  --benchmark_out="$work/memory.json" --benchmark_out_format=json >"$work/memory.txt" 2>&1 || true

tool_rss="-"
if [ -x "$tool" ] && [ -x /usr/bin/time ]; then
  if QUIREL_VIRTUAL_SCANNER="model=$model;sheets=100" /usr/bin/time -f '%M' -o "$work/tool-rss" \
      "$tool" --rgb --duplex --pdf --no-jpeg "$work/tool.pdf" >/dev/null 2>"$work/tool.err"; then
    tool_rss=$(( $(tail -1 "$work/tool-rss") / 1024 ))
  else
    tool_rss="failed: $(tail -1 "$work/tool.err")"
  fi
fi

echo "machine: load after: $(cut -d' ' -f1-3 /proc/loadavg)"
echo

python3 - "$work" "$goal" "$tool_rss" <<'EOF'
import json, os, sys

work, goal, tool_rss = sys.argv[1], float(sys.argv[2]), sys.argv[3]

def runs(name):
    path = os.path.join(work, name)
    if not os.path.exists(path):
        return []
    with open(path) as f:
        return [b for b in json.load(f)["benchmarks"] if b.get("run_type", "iteration") == "iteration"]

def case_of(b):
    # BM_Scan/<case>/<sheets>/...
    return b["run_name"].split("/")[1] if "run_name" in b else b["name"].split("/")[1]

print("End-to-end speed, duplex 300 dpi, best of the runs (scanner share: part of the")
print("job's time spent inside the virtual scanner's transfers)")
print("| case | model | sheets/min | images/min | goal %d | scanner share |" % goal)
print("|---|---|---:|---:|---|---:|")
for file in ("speed.json", "speed-interleaved.json"):
    best = {}
    for b in runs(file):
        key = (case_of(b), b.get("label", "?"))
        if b.get("error_occurred"):
            best.setdefault(key, {"error": b.get("error_message", "failed")})
            continue
        if "error" in best.get(key, {}) or b["images/min"] > best.get(key, {}).get("images/min", -1):
            best[key] = b
    for (case, model), b in best.items():
        if "error" in b:
            print("| %s | %s | failed | failed | - | %s |" % (case, model, b["error"].strip().splitlines()[0][:160]))
        else:
            ok = "met" if b["images/min"] >= goal else "MISSED"
            print("| %s | %s | %.0f | %.0f | %s | %.1f%% |" % (case, model, b["sheets/min"], b["images/min"], ok,
                                                            100 * b["scanner_share"]))

print()
print("Peak memory of a duplex colour 300 dpi job into PDF, one process per job (RSS after")
print("the job: mostly the virtual scanner's renderings of the two sides)")
print("| case | model | sheets | max RSS MB | RSS after the job MB | engine's share of the peak MB |")
print("|---|---|---:|---:|---:|---:|")
for b in runs("memory.json"):
    case, sheets = b["name"].split("/")[1:3]
    if b.get("error_occurred"):
        print("| %s | %s | %s | failed: %s | | |" % (case, b.get("label", "?"), sheets, b.get("error_message", "")[:120]))
        continue
    print("| %s | %s | %s | %.0f | %.0f | %.0f |" % (case, b.get("label", "?"), sheets, b["maxrss_MB"], b["after_job_MB"],
                                                b["maxrss_MB"] - b["after_job_MB"]))
print()
print("The command-line tool, 100 sheets (/usr/bin/time): max RSS %s MB" % tool_rss)
EOF
