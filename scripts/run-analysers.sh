#!/usr/bin/env bash
# Static analysis: clang-tidy (checks in .clang-tidy) and cppcheck over the
# two libraries, the test program, the tools, the CUPS programs and the code
# these programs share. Any finding fails the run; a check that does not fit
# is switched off in .clang-tidy, or suppressed where it stands, with the
# reason beside it.
#
#   scripts/run-analysers.sh [clang-tidy|cppcheck]    # default: both
#   ANALYSE_DB_DIR=DIR scripts/run-analysers.sh         # another compile database
set -uo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-$(nproc)}
which=${1:-both}
gated=(Q48_Api/Sources api_test shared tools cups Q48_Tb/Sources Q48_Tb/Sources/kernels)
shopt -s nullglob
sources=()
for d in "${gated[@]}"; do sources+=("$d"/*.cpp); done
status=0

# clang-tidy reads the flags of the default build.
if [ "$which" != cppcheck ]; then
  tidy=$(command -v clang-tidy-14 || command -v clang-tidy) || { echo "no clang-tidy" >&2; exit 1; }
  cmake --preset default >/dev/null || exit 1
  echo "--- clang-tidy: ${gated[*]}"
  # Every finding is an error (.clang-tidy). A clang-tidy that could not do its
  # work fails the gate too: a crash shows in the status, and a compile
  # database it cannot read only in what it says on stderr (it then goes on
  # without flags and exits 0), where a clean run says no more than how many
  # warnings the compiler's own checks generated.
  db=${ANALYSE_DB_DIR:-build/default}
  errors=$(mktemp)
  out=$(printf '%s\n' "${sources[@]}" |
    xargs -P "$jobs" -n 1 "$tidy" -p "$db" --quiet 2>"$errors")
  rc=$?
  said=$(grep -vE '^[0-9]+ (warning|error)s? generated\.$' "$errors")
  rm -f "$errors"
  if [ "$rc" != 0 ] || [ -n "$said" ] || grep -qE '(warning|error):' <<<"$out"; then
    printf '%s\n' "$out" "$said"
    echo "--- clang-tidy failed (status $rc)" >&2
    status=1
  fi
fi

if [ "$which" != clang-tidy ]; then
  command -v cppcheck >/dev/null || { echo "no cppcheck" >&2; exit 1; }
  echo "--- cppcheck: ${gated[*]}"
  cppcheck --quiet --std=c++20 --language=c++ --enable=warning,style,performance,portability \
    --inline-suppr --error-exitcode=1 -j "$jobs" \
    -D__GNUC__ -D__linux__ -I Q48_Api/Sources -I Q48_Tb/Sources -I Q48_Tb/Sources/kernels -I shared \
    --suppress=missingIncludeSystem "${sources[@]}" || status=1
fi
[ "$status" = 0 ] && echo "--- analysers: no findings"
exit $status
