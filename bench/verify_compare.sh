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

sizes="64M"
runs=5
work=build/bench-files
while (($#)); do
  case "$1" in
  --sizes) sizes=$2; shift 2 ;;
  --runs) runs=$2; shift 2 ;;
  --work) work=$2; shift 2 ;;
  *) echo "usage: $0 [--sizes \"64M 1G\"] [--runs N] [--work DIR]" >&2; exit 2 ;;
  esac
done

cmake --preset release >/dev/null
cmake --build --preset release >/dev/null
svfgen=$PWD/build/release/bench/svfgen
mkdir -p "$work"
files=()
for size in $sizes; do
  for kind in mixed sdr-heavy; do
    input=$work/$kind-$size.svf
    [[ -f $input ]] || "$svfgen" --kind "$kind" --size "$size" --output "$input"
    cat "$input" >/dev/null # warm the page cache
    files+=("$input")
  done
done
grep -m1 'model name' /proc/cpuinfo || true
build/release/bench/verify_compare --runs "$runs" "${files[@]}"
