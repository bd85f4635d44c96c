#!/usr/bin/env bash
# Whole runs of digitmill against MPFR's pi at the same number of digits,
# alternating the two so that drift of the machine affects both alike, then
# the kernel micro-benchmarks. Prints one table, writes it also as CSV and
# draws it as an SVG plot (CPU seconds against digits, log-log, the part
# spent in work-file transfers shaded).
#
#   bench/run_bench.sh [BUILD_DIR] [M ...]   (default: build, M = 16 18 20 22)
#   bench/run_bench.sh build 23 24 25        (the sizes machines are compared at: minutes)
#   ROUNDS=2 bench/run_bench.sh              (best of two for each side)
#   OUT=dir bench/run_bench.sh               (where the CSV and SVG go; default BUILD_DIR/bench-results)
#   KERNELS=0 bench/run_bench.sh             (whole runs only)
#
# System calls are counted with perf where the kernel lets this user count
# them; elsewhere that column shows "-".
set -euo pipefail

build=$(cd "${1:-build}" && pwd)
shift || true
sizes=${*:-16 18 20 22}
rounds=${ROUNDS:-1}
out=${OUT:-$build/bench-results}
mkdir -p "$out"
out=$(cd "$out" && pwd)
csv=$out/run_bench.csv
svg=$out/run_bench.svg
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

min() { awk -v a="$1" -v b="$2" 'BEGIN { print (a == "" || b + 0 < a + 0) ? b : a }'; }

# perf stat around the run when counting is allowed, else the run alone.
count_syscalls=0
if command -v perf >/dev/null 2>&1 &&
  perf stat -x, -e raw_syscalls:sys_enter -o "$work/probe" true >/dev/null 2>&1; then
  count_syscalls=1
fi

machine="$(lscpu | sed -n 's/^Model name: *//p' | head -1), $(nproc) cores"
virt=$(systemd-detect-virt --vm 2>/dev/null || true)
case "$virt" in
  "" | none) machine="$machine, not virtualised" ;;
  *) machine="$machine, virtual machine ($virt)" ;;
esac
machine="$machine; work files on $(df -T "$work" | awk 'NR == 2 { print $2 }'); $(date -u +%Y-%m-%d)"
echo "Machine: $machine"
echo
printf '%4s %10s %12s %12s %7s %16s %10s %10s %9s %6s\n' M digits "digitmill" "MPFR pi" ratio \
  "user / sys" "I/O" "syscalls" "peak RSS" exact
echo "M,digits,digitmill_cpu_s,mpfr_cpu_s,ratio,user_s,sys_s,io_s,syscalls,peak_rss_kib,exact" >"$csv"

for m in $sizes; do
  digits=$((1 << m))
  best_dm="" best_mp="" user="" sys="" iot="" rss="" calls="-" exact=yes
  for ((r = 0; r < rounds; r++)); do
    # time(1) next to digitmill, so that user, system and RSS are its own;
    # the count takes in the two shell commands of the run (a few hundred).
    run=(/usr/bin/time -f '%U %S %M' -o time.txt "$build/digitmill" "$m")
    if [ "$count_syscalls" = 1 ]; then
      run=(perf stat -x, -e raw_syscalls:sys_enter -o "$work/perf.txt" -- "${run[@]}")
    fi
    (cd "$work" && TMPDIR="$work" "${run[@]}" </dev/null >out.txt)
    (cd "$work" && "$build/digitmill-verify" >/dev/null) || exact=NO
    line=$(grep 'Total calculation' "$work/out.txt")
    total=$(echo "$line" | sed -E 's/.*time= *([0-9.]+)\( *([0-9.]+)\).*/\1/')
    if [ "$total" = "$(min "$best_dm" "$total")" ]; then
      # The figures of the best run, side by side.
      best_dm=$total
      iot=$(echo "$line" | sed -E 's/.*time= *([0-9.]+)\( *([0-9.]+)\).*/\2/')
      read -r user sys rss <"$work/time.txt"
      if [ "$count_syscalls" = 1 ]; then calls=$(awk -F, '/raw_syscalls/ { print $1 }' "$work/perf.txt"); fi
    fi
    rm -f "$work/PI.DAT"
    mp=$("$build/mpfr-pi" "$digits" | sed -E 's/.*const_pi=([0-9.]+).*/\1/')
    best_mp=$(min "$best_mp" "$mp")
  done
  ratio=$(awk -v a="$best_dm" -v b="$best_mp" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }')
  printf '%4s %10s %11ss %11ss %7s %7s / %6s %9ss %10s %5s MiB %6s\n' "$m" "$digits" "$best_dm" "$best_mp" \
    "$ratio" "$user" "$sys" "$iot" "$calls" "$(awk -v k="$rss" 'BEGIN { printf "%.1f", k / 1024 }')" "$exact"
  echo "$m,$digits,$best_dm,$best_mp,$ratio,$user,$sys,$iot,$calls,$rss,$exact" >>"$csv"
done
echo
echo "Table: $csv"

if command -v gnuplot >/dev/null 2>&1; then
  gnuplot <<EOF
set terminal svg size 800,560 dynamic background rgb "white"
set output "$svg"
set datafile separator ","
set title "digitmill and MPFR: CPU seconds for the digits of pi\n{/*0.8 $machine}"
set xlabel "decimal digits"
set ylabel "CPU seconds"
set logscale xy
set format x "%.0e"
set format y "%g"
set grid
set key top left
plot "$csv" every ::1 using 2:(\$3 - \$8):3 with filledcurves lc rgb "#f4c48a" title "digitmill: work-file transfers", \
     "" every ::1 using 2:3 with linespoints lw 2 pt 7 lc rgb "#c0392b" title "digitmill", \
     "" every ::1 using 2:4 with linespoints lw 2 pt 5 lc rgb "#2c3e80" title "MPFR mpfr\\\\_const\\\\_pi"
EOF
  echo "Plot:  $svg"
else
  echo "Plot:  skipped (gnuplot is not installed: make bench installs it)"
fi

if [ "${KERNELS:-1}" != 0 ]; then
  for bench in fft_bench mult_bench; do
    if [ -x "$build/bench/$bench" ]; then
      echo
      "$build/bench/$bench" --benchmark_min_time=0.5 2>/dev/null
    fi
  done
fi
