# What the benchmark scripts share: their options, the release build and the
# generated files. Sourced, from the project's root.

# Sets `sizes`, `runs` and `work` from the options, with the defaults given.
#   bench_options DEFAULT_SIZES DEFAULT_RUNS "$@"
bench_options() {
  sizes=$1
  runs=$2
  work=build/bench-files
  shift 2
  while (($#)); do
    case "$1" in
    --sizes) sizes=$2; shift 2 ;;
    --runs) runs=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    *) echo "usage: $0 [--sizes \"64M 1G\"] [--runs N] [--work DIR]" >&2; exit 2 ;;
    esac
  done
  mkdir -p "$work"
}

# Builds the release preset, which holds the program and the benchmarks.
bench_build() {
  cmake --preset release >/dev/null
  cmake --build --preset release >/dev/null
}

# Prints the path of the generated file of KIND and SIZE in the work folder,
# generating it the first time.
#   bench_input KIND SIZE
bench_input() {
  local input=$work/$1-$2.svf
  [[ -f $input ]] || build/release/bench/svfgen --kind "$1" --size "$2" --output "$input"
  echo "$input"
}
