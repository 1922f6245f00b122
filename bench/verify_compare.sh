#!/usr/bin/env bash
# Times the conversion and its verification on the same generated files: the
# mixed and SDR-heavy files compare.sh uses, on files (warm page cache) and in
# memory. Prints the processor first.
#
#   bench/verify_compare.sh [--sizes "64M 1G"] [--runs 5] [--work DIR]
#
# Builds the release preset first. The files are generated once into the work
# folder (default: build/bench-files, shared with compare.sh) and kept. Do not
# run it while a build runs: the machine has two cores.
set -euo pipefail
cd "$(dirname "$0")/.."

source bench/common.sh
bench_options "64M" 5 "$@"
bench_build
files=()
for size in $sizes; do
  for kind in mixed sdr-heavy; do
    input=$(bench_input "$kind" "$size")
    cat "$input" >/dev/null # warm the page cache
    files+=("$input")
  done
done
grep -m1 'model name' /proc/cpuinfo || true
build/release/bench/verify_compare --runs "$runs" "${files[@]}"
