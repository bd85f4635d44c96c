#!/usr/bin/env bash
# Whole runs of digitmill against MPFR's pi at the same number of digits,
# alternating the two so that drift of the machine affects both alike, then
# the kernel micro-benchmarks. Prints one table.
#
#   bench/run_bench.sh [BUILD_DIR] [M ...]      (default: build, M = 16 18 20 22)
#   ROUNDS=3 bench/run_bench.sh                 (best of three for each side)
set -euo pipefail

build=$(cd "${1:-build}" && pwd)
shift || true
sizes=${*:-16 18 20 22}
rounds=${ROUNDS:-1}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

min() { awk -v a="$1" -v b="$2" 'BEGIN { print (a == "" || b < a) ? b : a }'; }

echo "Machine: $(lscpu | sed -n 's/^Model name: *//p' | head -1), $(nproc) cores; $(date -u +%Y-%m-%d)"
echo
printf '%4s %10s %14s %14s %9s %11s %11s\n' M digits "digitmill CPU" "MPFR pi CPU" ratio "peak RSS" "I/O share"
for m in $sizes; do
  digits=$((1 << m))
  best_dm="" best_mp="" rss="" io=""
  for ((r = 0; r < rounds; r++)); do
    (cd "$work" && TMPDIR="$work" /usr/bin/time -f '%M' -o time.txt "$build/digitmill" "$m" </dev/null >out.txt)
    line=$(grep 'Total calculation' "$work/out.txt")
    total=$(echo "$line" | sed -E 's/.*time= *([0-9.]+)\( *([0-9.]+)\).*/\1/')
    iot=$(echo "$line" | sed -E 's/.*time= *([0-9.]+)\( *([0-9.]+)\).*/\2/')
    best_dm=$(min "$best_dm" "$total")
    rss=$(cat "$work/time.txt")
    io=$(awk -v a="$iot" -v b="$total" 'BEGIN { printf "%.0f%%", (b > 0 ? 100 * a / b : 0) }')
    mp=$("$build/mpfr-pi" "$digits" | sed -E 's/.*const_pi=([0-9.]+).*/\1/')
    best_mp=$(min "$best_mp" "$mp")
  done
  ratio=$(awk -v a="$best_dm" -v b="$best_mp" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }')
  printf '%4s %10s %13ss %13ss %9s %8s MiB %11s\n' "$m" "$digits" "$best_dm" "$best_mp" "$ratio" \
    "$(awk -v k="$rss" 'BEGIN { printf "%.1f", k / 1024 }')" "$io"
done

for bench in fft_bench mult_bench; do
  if [ -x "$build/bench/$bench" ]; then
    echo
    "$build/bench/$bench" --benchmark_min_time=0.5 2>/dev/null
  fi
done
