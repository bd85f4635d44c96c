#!/usr/bin/env bash
# Whole runs of digitmill against MPFR's pi at the same number of digits,
# alternating the two so that drift of the machine affects both alike, then
# the kernel micro-benchmarks. Prints one table, writes it also as CSV and
# draws it as an SVG plot (CPU seconds against digits, log-log, the range of
# the rounds as error bars, the part spent in work-file transfers shaded).
#
#   bench/run_bench.sh [BUILD_DIR] [M ...]   (default: build, M = 16 18 20 22)
#   bench/run_bench.sh build 23 24 25        (the sizes machines are compared at: minutes)
#   ROUNDS=5 bench/run_bench.sh              (five rounds of each side: minimum, median, maximum)
#   ROUNDOFF_BUILD=dir bench/run_bench.sh    (a build with DIGITMILL_ROUNDOFF_REPORT=ON: one more
#                                             run a size, for its largest rounding distance)
#   OUT=dir bench/run_bench.sh               (where the CSV and SVG go; default BUILD_DIR/bench-results)
#   KERNELS=0 bench/run_bench.sh             (whole runs only)
#
# System calls are counted with perf where the kernel lets this user count
# them; elsewhere that column shows "-". User, system, I/O, system calls and
# peak RSS are those of digitmill's fastest round.
set -euo pipefail

build=$(cd "${1:-build}" && pwd)
shift || true
sizes=${*:-16 18 20 22}
rounds=${ROUNDS:-1}
roundoff=""
if [ -n "${ROUNDOFF_BUILD:-}" ]; then
  roundoff=$(cd "$ROUNDOFF_BUILD" && pwd)/digitmill
  [ -x "$roundoff" ] || { echo "run_bench.sh: no digitmill in $ROUNDOFF_BUILD" >&2; exit 1; }
fi
out=${OUT:-$build/bench-results}
mkdir -p "$out"
out=$(cd "$out" && pwd)
csv=$out/run_bench.csv
svg=$out/run_bench.svg
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Minimum, median (the mean of the middle two for an even count) and maximum
# of the arguments, with three decimals.
spread() {
  printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 }
    END { m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
          printf "%.3f %.3f %.3f\n", v[1], m, v[NR] }'
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }

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
echo "Rounds:  $rounds of each side"
echo
printf '%15s %-29s %-29s %-13s\n' "" "  digitmill CPU s" "  MPFR pi CPU s" "  ratio"
printf '%4s %10s %9s %9s %9s %9s %9s %9s %6s %6s %16s %10s %10s %9s %9s %8s %6s\n' M digits min median max \
  min median max min median "user / sys" "I/O" "syscalls" "peak RSS" "round D" "at n" exact
echo "M,digits,digitmill_min_s,digitmill_median_s,digitmill_max_s,mpfr_min_s,mpfr_median_s,mpfr_max_s,ratio_min,ratio_median,user_s,sys_s,io_s,syscalls,peak_rss_kib,round_distance,round_n,exact,rounds" >"$csv"

for m in $sizes; do
  digits=$((1 << m))
  best_dm="" user="" sys="" iot="" rss="" calls="-" exact=yes distance="-" at_n="-"
  dm_times=() mp_times=()
  if [ -n "$roundoff" ]; then
    # Not timed: the largest rounding distance is the same in every run, and
    # the digits must be those of the plain build.
    mkdir -p "$work/roundoff"
    (cd "$work/roundoff" && TMPDIR="$work/roundoff" "$roundoff" "$m" </dev/null >out.txt 2>err.txt) || exact=NO
    report=$(sed -n 's/^digitmill: largest rounding distance \([0-9.]*\) in a product of \([0-9]*\) words$/\1 \2/p' \
      "$work/roundoff/err.txt")
    if [ -n "$report" ]; then read -r distance at_n <<<"$report"; else exact=NO; fi
  fi
  for ((r = 0; r < rounds; r++)); do
    # time(1) next to digitmill, so that user, system and RSS are its own;
    # the count takes in the two shell commands of the run (a few hundred).
    run=(/usr/bin/time -f '%U %S %M' -o time.txt "$build/digitmill" "$m")
    if [ "$count_syscalls" = 1 ]; then
      run=(perf stat -x, -e raw_syscalls:sys_enter -o "$work/perf.txt" -- "${run[@]}")
    fi
    (cd "$work" && TMPDIR="$work" "${run[@]}" </dev/null >out.txt)
    (cd "$work" && "$build/digitmill-verify" >/dev/null) || exact=NO
    if [ -n "$roundoff" ] && [ "$r" = 0 ]; then
      cmp -s "$work/PI.DAT" "$work/roundoff/PI.DAT" || exact=NO
      rm -rf "$work/roundoff"
    fi
    line=$(grep 'Total calculation' "$work/out.txt")
    total=$(echo "$line" | sed -E 's/.*time= *([0-9.]+)\( *([0-9.]+)\).*/\1/')
    dm_times+=("$total")
    if [ -z "$best_dm" ] || awk -v a="$total" -v b="$best_dm" 'BEGIN { exit !(a + 0 < b + 0) }'; then
      # The figures of the fastest run, side by side.
      best_dm=$total
      iot=$(echo "$line" | sed -E 's/.*time= *([0-9.]+)\( *([0-9.]+)\).*/\2/')
      read -r user sys rss <"$work/time.txt"
      if [ "$count_syscalls" = 1 ]; then calls=$(awk -F, '/raw_syscalls/ { print $1 }' "$work/perf.txt"); fi
    fi
    rm -f "$work/PI.DAT"
    mp_times+=("$("$build/mpfr-pi" "$digits" | sed -E 's/.*const_pi=([0-9.]+).*/\1/')")
  done
  read -r dm_min dm_med dm_max <<<"$(spread "${dm_times[@]}")"
  read -r mp_min mp_med mp_max <<<"$(spread "${mp_times[@]}")"
  ratio_min=$(ratio "$dm_min" "$mp_min")
  ratio_med=$(ratio "$dm_med" "$mp_med")
  printf '%4s %10s %9s %9s %9s %9s %9s %9s %6s %6s %7s / %6s %9ss %10s %5s MiB %9s %8s %6s\n' "$m" "$digits" \
    "$dm_min" "$dm_med" "$dm_max" "$mp_min" "$mp_med" "$mp_max" "$ratio_min" "$ratio_med" "$user" "$sys" "$iot" \
    "$calls" "$(awk -v k="$rss" 'BEGIN { printf "%.1f", k / 1024 }')" "$distance" "$at_n" "$exact"
  echo "$m,$digits,$dm_min,$dm_med,$dm_max,$mp_min,$mp_med,$mp_max,$ratio_min,$ratio_med,$user,$sys,$iot,$calls,$rss,$distance,$at_n,$exact,$rounds" >>"$csv"
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
plot "$csv" every ::1 using 2:(\$3 - \$13):3 with filledcurves lc rgb "#f4c48a" title "digitmill: work-file transfers", \
     "" every ::1 using 2:4 with lines lw 2 lc rgb "#c0392b" notitle, \
     "" every ::1 using 2:4:3:5 with yerrorbars pt 7 lc rgb "#c0392b" title "digitmill (median, range of the rounds)", \
     "" every ::1 using 2:7 with lines lw 2 lc rgb "#2c3e80" notitle, \
     "" every ::1 using 2:7:6:8 with yerrorbars pt 5 lc rgb "#2c3e80" title "MPFR mpfr\\\\_const\\\\_pi (median, range)"
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
