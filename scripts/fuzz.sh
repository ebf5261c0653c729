#!/usr/bin/env bash
# Fuzzes the parsers with libFuzzer: `scripts/fuzz.sh TARGET SECONDS`, or
# `scripts/fuzz.sh all SECONDS` for every target one after another (the fuzz
# stage of scripts/test.sh). Builds into build-fuzz/ with clang,
# AddressSanitizer and UndefinedBehaviorSanitizer. A target starts from its
# seeds in fuzz/corpus/TARGET, which stay as they are, and from what earlier
# runs kept in build-fuzz/corpus/TARGET. A crash, a sanitizer report or a
# failed check fails the run and leaves the input in
# build-fuzz/findings/TARGET/; the whole output is in build-fuzz/logs/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

mapfile -t targets < <(cd fuzz && ls fuzz_*.cpp | sed 's/\.cpp$//')
usage() {
  echo "usage: scripts/fuzz.sh TARGET|all SECONDS, TARGET one of: ${targets[*]}" >&2
  exit 2
}
[ $# -eq 2 ] && [[ $2 =~ ^[1-9][0-9]*$ ]] || usage
if [ "$1" = all ]; then
  chosen=("${targets[@]}")
elif [[ " ${targets[*]} " == *" $1 "* ]]; then
  chosen=("$1")
else
  usage
fi
seconds=$2

scripts/deps.sh fuzz

build=$root/build-fuzz
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 -DTANDREL_FUZZ=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target "${chosen[@]}"

# The targets' scratch files (settings files) live in memory where it can be
# had, and go with the run.
scratch_base=/dev/shm
[ -d "$scratch_base" ] && [ -w "$scratch_base" ] || scratch_base=${TMPDIR:-/tmp}
scratch=$(mktemp -d "$scratch_base/tandrel-fuzz.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

export TMPDIR=$scratch LC_ALL=C.UTF-8
# No detect_stack_use_after_return (the test suite has it): its fake frames
# give ever new allocation stacks, and their store grows by tens of MB a
# minute until a long run hits the memory limit.
export ASAN_OPTIONS="detect_leaks=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export ASAN_SYMBOLIZER_PATH=/usr/lib/llvm-14/bin/llvm-symbolizer

failed=()
for target in "${chosen[@]}"; do
  corpus=$build/corpus/$target
  findings=$build/findings/$target
  log=$build/logs/$target.log
  mkdir -p "$corpus" "$findings" "$build/logs"
  options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
           -artifact_prefix="$findings/")
  [ -f "fuzz/$target.dict" ] && options+=(-dict="fuzz/$target.dict")
  echo "== $target: $seconds s"
  if "$build/fuzz/$target" "${options[@]}" "$corpus" "fuzz/corpus/$target" >"$log" 2>&1; then
    grep -E '^#[0-9]+[[:space:]]+DONE|^Done [0-9]+ runs|^stat::(number_of_executed_units|peak_rss_mb)' "$log" || true
  else
    tail -n 60 "$log"
    echo "$target FAILED: the input is in $findings/, the whole output in $log"
    failed+=("$target")
  fi
done

if ((${#failed[@]})); then
  echo "Fuzz targets that failed: ${failed[*]}"
  exit 1
fi
