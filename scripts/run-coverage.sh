#!/usr/bin/env bash
# Measures how much of the two libraries the whole suite exercises (the
# emulated-printer tests included) and fails below the floor: 95% of lines
# and 85% of branches of Q48_Api/Sources and Q48_Tb/Sources together.
#
#   scripts/run-coverage.sh            # report in build/coverage/coverage.html
#
# Branches that only a failing compiler-generated path could take (exception
# edges, unreachable blocks) are not counted: the libraries build without
# exceptions, so no test could ever take them.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-$(nproc)}
line_floor=${COVERAGE_LINE_FLOOR:-95}
branch_floor=${COVERAGE_BRANCH_FLOOR:-85}

cmake --preset coverage >/dev/null
cmake --build --preset coverage -j "$jobs" >/dev/null
# Counts add up across runs: start from nothing.
find build/coverage -name '*.gcda' -delete
ctest --preset coverage -j "$jobs" --output-on-failure >build/coverage/ctest.log 2>&1 || {
  # What a failing test printed, for whoever reads only this output.
  grep -v -E '^ *(Start|[0-9]+/[0-9]+ Test.*Passed)' build/coverage/ctest.log | tail -150
  exit 1
}
grep -E 'tests passed' build/coverage/ctest.log

# The filters are folders, so whatever files the libraries are split into count.
gcovr_args=(--root . --object-directory build/coverage
            --filter 'Q48_Api/Sources/' --filter 'Q48_Tb/Sources/'
            --exclude-unreachable-branches --exclude-throw-branches)
gcovr "${gcovr_args[@]}" --txt build/coverage/coverage.txt \
  --html-details build/coverage/coverage.html --print-summary \
  --fail-under-line "$line_floor" --fail-under-branch "$branch_floor" \
  build/coverage || {
  echo "coverage below the floor of ${line_floor}% lines, ${branch_floor}% branches" >&2
  exit 1
}
