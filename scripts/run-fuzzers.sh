#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded number
# of inputs, starting from the committed seeds. Any finding (crash, sanitizer
# report, leak, time-out) fails the script; libFuzzer leaves the input that
# caused it in the build folder.
#
#   scripts/run-fuzzers.sh            # default counts, about a minute a target
#   FUZZ_RUNS=10000 scripts/run-fuzzers.sh
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${FUZZ_BUILD_DIR:-$root/build/fuzz}"

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DQ48_BUILD_FUZZERS=ON -DQ48_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target fuzz_coded_text fuzz_memory -j2

# Counts sized for about a minute each on a 2-core machine.
declare -A runs=(
  [coded_text]="${FUZZ_RUNS:-1200000}"
  [memory]="${FUZZ_RUNS:-4000000}"
)

for name in coded_text memory; do
  work="$build/corpus/$name"
  mkdir -p "$work" "$build/findings/$name"
  dict=()
  [[ -f "$root/fuzz/$name.dict" ]] && dict=(-dict="$root/fuzz/$name.dict")
  echo "== fuzz_$name: ${runs[$name]} runs"
  start=$SECONDS
  # New inputs go to the first folder, never into the committed seeds.
  "$build/fuzz/fuzz_$name" "${dict[@]}" -runs="${runs[$name]}" -max_len=4096 -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$build/findings/$name/" \
    "$work" "$root/fuzz/corpus/$name" 2>"$build/fuzz_$name.log" ||
    { tail -n 60 "$build/fuzz_$name.log"; echo "fuzz_$name: FINDING"; exit 1; }
  grep -E '^stat::number_of_executed_units|^Done' "$build/fuzz_$name.log" || true
  echo "fuzz_$name: no finding in $((SECONDS - start)) s"
done
