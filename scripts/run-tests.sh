#!/usr/bin/env bash
# Builds and runs every test: the native build (which carries the link
# guard), the same suite under ASan and UBSan, the armhf build under
# qemu-user, the fuzz targets, and the Debian packages of both
# architectures; then the gates: the reference manual without a doxygen
# warning or a dead link, the coverage floor, and static analysis without a
# finding.
# Fails if anything fails.
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh all || exit 1

jobs=${JOBS:-$(nproc)}
passed=0 failed=0 status=0
for preset in default asan armhf; do
  echo "=== $preset: configure and build"
  if ! { cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset" -j "$jobs" >/dev/null; }; then
    # Show the failure: rerun the build in the foreground.
    cmake --build --preset "$preset" -j 1 2>&1 | grep -E -B5 -A20 'error|Error' | head -80
    echo "=== $preset: BUILD FAILED"
    status=1
    continue
  fi
  echo "=== $preset: test"
  log=build/$preset/ctest.log
  ctest --preset "$preset" -j "$jobs" --output-on-failure 2>&1 | tee "$log" | grep -E -v '^ *(Start|[0-9]+/[0-9]+ Test.*Passed)'
  rc=${PIPESTATUS[0]}
  summary=$(grep -E 'tests passed, [0-9]+ tests? failed out of' "$log" | tail -1)
  total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$summary")
  bad=$(sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/' <<<"$summary")
  if [ -n "$total" ]; then
    passed=$((passed + total - bad)); failed=$((failed + bad))
  fi
  [ "$rc" = 0 ] || status=1
done

# A gate counts as one test; its time is shown, since each adds to CI.
gate() {
  local name=$1 start=$SECONDS
  shift
  echo "=== $name"
  if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); status=1; fi
  echo "=== $name: $((SECONDS - start)) s"
}
gate "fuzz targets" scripts/run-fuzzers.sh
gate "Debian packages" scripts/build-packages.sh
# The manual afresh, in a build folder of its own: the default build's cache
# stays as the developer left it. Doxygen warns of what it cannot resolve,
# not of a link that it renders into nowhere: a browser reads every page.
docs_gate() {
  cmake -S . -B build/docs-gate -DQ48_BUILD_TESTS=OFF -DQ48_DOCS_WARN_AS_ERROR=YES >/dev/null &&
    rm -f build/docs-gate/docs/docs.stamp &&
    cmake --build build/docs-gate --target docs &&
    /usr/bin/python3 tests/docs/browse_manual.py build/docs-gate/docs/html
}
gate "reference manual (doxygen, warnings are errors; Chromium, no dead link)" docs_gate
gate "coverage floor" scripts/run-coverage.sh
gate "static analysis (clang-tidy, cppcheck)" scripts/run-analysers.sh

echo "Total: $passed passed, $failed failed"
exit $status
