#!/usr/bin/env bash
# Times svfseg against `cat in > out` and against a plain read/write loop with
# svfseg's buffer size (the floor for a program that looks at its bytes) on
# large generated SVF files, warm page cache, and prints the processor, the
# medians, the ratios svfseg / loop and svfseg / cat, svfseg's slowest run
# over its fastest, svfseg's peak resident memory, and what --verify costs:
# the median of svfseg --verify over that of svfseg.
#
#   bench/compare.sh [--sizes "64M 1G"] [--runs 5] [--work DIR]
#
# Builds the release preset first. The files are generated once into the work
# folder (default: build/bench-files) and kept for later runs; before each timed
# run, outside the timing, the outputs are removed and dirty pages written back.
set -euo pipefail
cd "$(dirname "$0")/.."

source bench/common.sh
bench_options "64M 1G" 5 "$@"
bench_build
svfseg=$PWD/build/release/app/svfseg
copyloop=$PWD/build/release/bench/copyloop

# Prints the seconds one run of "$@" takes.
seconds() {
  local start=$EPOCHREALTIME
  "$@" >/dev/null
  local end=$EPOCHREALTIME
  echo "$end - $start" | bc -l
}

median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

cat_copy() { cat "$1" >"$2"; }

# Removes the outputs given and writes back what is dirty, so that no timed run
# pays for the write-back of the one before it.
settle() {
  rm -f "$@"
  sync
}

echo "processor: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//'), $(nproc) cores"
printf '%-10s %5s %8s %8s %9s %11s %11s %9s %10s %14s\n' \
  file size "cat s" "loop s" "svfseg s" "svfseg/loop" "svfseg/cat" "slow/fast" "peak RSS" \
  "verify/svfseg"
for size in $sizes; do
  for kind in mixed sdr-heavy; do
    input=$(bench_input "$kind" "$size")
    output=$work/$kind-$size.gvf
    cat "$input" >/dev/null # warm the page cache
    cat_times=() loop_times=() svfseg_times=() verify_times=()
    for ((run = 0; run < runs; run++)); do
      settle "$work/cat.out" "$work/loop.out" "$output"
      cat_times+=("$(seconds cat_copy "$input" "$work/cat.out")")
      settle "$work/cat.out"
      loop_times+=("$(seconds "$copyloop" "$input" "$work/loop.out")")
      settle "$work/loop.out"
      svfseg_times+=("$(seconds "$svfseg" -q "$input")")
      settle "$output"
      verify_times+=("$(seconds "$svfseg" -q --verify "$input")")
    done
    rm -f "$output"
    rss_kb=$(/usr/bin/time -f %M "$svfseg" -q "$input" 2>&1 >/dev/null)
    rm -f "$output"
    cat_median=$(printf '%s\n' "${cat_times[@]}" | median)
    loop_median=$(printf '%s\n' "${loop_times[@]}" | median)
    svfseg_median=$(printf '%s\n' "${svfseg_times[@]}" | median)
    verify_median=$(printf '%s\n' "${verify_times[@]}" | median)
    svfseg_fastest=$(printf '%s\n' "${svfseg_times[@]}" | sort -g | head -1)
    svfseg_slowest=$(printf '%s\n' "${svfseg_times[@]}" | sort -g | tail -1)
    printf '%-10s %5s %8.4f %8.4f %9.4f %11.2f %11.2f %9.2f %6.2f MiB %14.2f\n' \
      "$kind" "$size" "$cat_median" "$loop_median" "$svfseg_median" \
      "$(echo "$svfseg_median / $loop_median" | bc -l)" \
      "$(echo "$svfseg_median / $cat_median" | bc -l)" \
      "$(echo "$svfseg_slowest / $svfseg_fastest" | bc -l)" \
      "$(echo "$rss_kb / 1024" | bc -l)" \
      "$(echo "$verify_median / $svfseg_median" | bc -l)"
  done
done
