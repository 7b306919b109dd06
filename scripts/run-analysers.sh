#!/usr/bin/env bash
# Static analysis: clang-tidy (checks in .clang-tidy) and cppcheck over the
# access library, the test program and the tools. Any finding fails.
# The toolbox (Q48_Tb/Sources) is analysed too and its findings are shown,
# but they do not fail the run while its sources are being rewritten; set
# ANALYSE_TOOLBOX_STRICT=1 to make them count.
#
#   scripts/run-analysers.sh [clang-tidy|cppcheck]    # default: both
set -uo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-$(nproc)}
which=${1:-both}
strict_tb=${ANALYSE_TOOLBOX_STRICT:-0}
gated=(Q48_Api/Sources api_test tools cups)
shopt -s nullglob
gated_sources=()
for d in "${gated[@]}"; do gated_sources+=("$d"/*.cpp); done
toolbox_sources=(Q48_Tb/Sources/*.cpp)
status=0

# clang-tidy reads the flags of the default build.
if [ "$which" != cppcheck ]; then
  tidy=$(command -v clang-tidy-14 || command -v clang-tidy) || { echo "no clang-tidy" >&2; exit 1; }
  cmake --preset default >/dev/null || exit 1
  tidy_run() {
    printf '%s\n' "$@" | xargs -P "$jobs" -n 1 "$tidy" -p build/default --quiet 2>/dev/null
  }
  echo "--- clang-tidy: ${gated[*]}"
  out=$(tidy_run "${gated_sources[@]}")
  if grep -qE '(warning|error):' <<<"$out"; then echo "$out"; status=1; fi
  echo "--- clang-tidy: Q48_Tb/Sources"
  out=$(tidy_run "${toolbox_sources[@]}")
  if grep -qE '(warning|error):' <<<"$out"; then
    echo "$out"
    [ "$strict_tb" = 1 ] && status=1
  fi
fi

if [ "$which" != clang-tidy ]; then
  command -v cppcheck >/dev/null || { echo "no cppcheck" >&2; exit 1; }
  cppcheck_run() {
    cppcheck --quiet --std=c++20 --language=c++ --enable=warning,style,performance,portability \
      --inline-suppr --error-exitcode=1 -j "$jobs" \
      -D__GNUC__ -D__linux__ -I Q48_Api/Sources -I Q48_Tb/Sources \
      --suppress=missingIncludeSystem "$@"
  }
  echo "--- cppcheck: ${gated[*]}"
  cppcheck_run "${gated_sources[@]}" || status=1
  echo "--- cppcheck: Q48_Tb/Sources"
  if ! cppcheck_run "${toolbox_sources[@]}"; then
    [ "$strict_tb" = 1 ] && status=1
  fi
fi
[ "$status" = 0 ] && echo "--- analysers: no findings"
exit $status
