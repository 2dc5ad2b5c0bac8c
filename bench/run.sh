#!/bin/bash
# Builds the proxy benchmark and runs it several times on loopback, then
# prints every figure per run with its minimum, median, maximum and spread.
#
#   bench/run.sh                 # 3 full runs (about 3 minutes each)
#   bench/run.sh --smoke         # one tiny run that checks the tools work
#   bench/run.sh --runs 5 -- --server microsocks --idle 1000
#
# Everything after "--" goes to lumaret_bench (see bench/README.md). The raw
# output of each run is kept under <build dir>/bench-results/<time>/.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build/bench-native"
runs=3
pause=20
smoke=()
while [ $# -gt 0 ]; do
  case "$1" in
    --smoke) smoke=(--smoke); runs=1; shift ;;
    --runs) runs="$2"; shift 2 ;;
    --pause) pause="$2"; shift 2 ;;
    --build-dir) build="$2"; shift 2 ;;
    --) shift; break ;;
    *) echo "usage: bench/run.sh [--smoke] [--runs N] [--pause S] [--build-dir DIR] [-- lumaret_bench options]" >&2
       exit 2 ;;
  esac
done

cd "$root"
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake --preset native -B "$build" >/dev/null
fi
cmake --build "$build" -j2 --target lumaret_bench lumaret_bench_proxy >/dev/null

# 5000 tunnels take about 10000 descriptors in the proxy and in the benchmark
# process each; lumaret_bench raises its soft limit to the hard one.
ulimit -n 65536 2>/dev/null || ulimit -n "$(ulimit -Hn)"

out="$build/bench-results/$(date +%Y%m%d-%H%M%S)"
mkdir -p "$out"
status=0
for run in $(seq 1 "$runs"); do
  # The idle phase's thousands of threads lift the load average; let the
  # machine settle before the next run's bulk transfer.
  if [ "$run" -gt 1 ]; then sleep "$pause"; fi
  echo "=== run $run of $runs ($(cut -d' ' -f1-3 /proc/loadavg) load)"
  if ! "$build/bench/lumaret_bench" "${smoke[@]}" "$@" | tee "$out/run$run.txt"; then
    status=1
  fi
done

echo
echo "=== summary of $runs run(s), raw output in $out"
cat "$out"/run*.txt | awk -v runs="$runs" '
  $1 == "=" {
    if (!($2 in count)) { order[++keys] = $2 }
    values[$2, ++count[$2]] = $3
  }
  END {
    printf "%-44s", "figure"
    for (r = 1; r <= runs; r++) printf " %9s", "run" r
    printf " %9s %9s %9s %7s\n", "min", "median", "max", "spread"
    for (k = 1; k <= keys; k++) {
      key = order[k]; n = count[key]
      for (i = 1; i <= n; i++) sorted[i] = values[key, i]
      for (i = 2; i <= n; i++) {
        v = sorted[i]; j = i - 1
        while (j >= 1 && sorted[j] + 0 > v + 0) { sorted[j + 1] = sorted[j]; j-- }
        sorted[j + 1] = v
      }
      median = (n % 2) ? sorted[(n + 1) / 2] : (sorted[n / 2] + sorted[n / 2 + 1]) / 2
      printf "%-44s", key
      for (i = 1; i <= n; i++) printf " %9.4g", values[key, i]
      for (i = n + 1; i <= runs; i++) printf " %9s", "-"
      spread = (median + 0 != 0) ? sprintf("%6.1f%%", 100 * (sorted[n] - sorted[1]) / median) : "     -"
      printf " %9.4g %9.4g %9.4g %7s\n", sorted[1], median, sorted[n], spread
    }
  }'
exit $status
