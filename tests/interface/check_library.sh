#!/usr/bin/env bash
# Checks one shared library's outward face: its soname, that it exports
# exactly the expected symbols, and (in builds that carry the link guard)
# that it needs exactly the expected libraries.
#   check_library.sh NM READELF LIBRARY SONAME SYMBOL_FILE "NEEDED..." CHECK_NEEDED
set -euo pipefail
nm=$1 readelf=$2 lib=$3 soname=$4 symbols=$5 needed=$6 check_needed=$7
status=0

actual_soname=$("$readelf" -d "$lib" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
if [ "$actual_soname" != "$soname" ]; then
  echo "soname is '$actual_soname', expected '$soname'"
  status=1
fi

# Every defined dynamic symbol, whatever its kind, counts as exported, except
# the ODR indicators that AddressSanitizer adds beside each global.
actual=$("$nm" -D --defined-only "$lib" | awk '{print $NF}' | grep -v '^__odr_asan\.' | sort -u)
expected=$(sort -u "$symbols")
if [ "$actual" != "$expected" ]; then
  echo "exported symbols differ from $symbols (< expected, > actual):"
  diff <(echo "$expected") <(echo "$actual") || true
  status=1
fi

if [ "$check_needed" = ON ]; then
  actual_needed=$("$readelf" -d "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort)
  expected_needed=$(tr ' ' '\n' <<<"$needed" | sed '/^$/d' | sort)
  if [ "$actual_needed" != "$expected_needed" ]; then
    echo "NEEDED entries are:"; echo "$actual_needed"
    echo "expected:"; echo "$expected_needed"
    status=1
  fi
fi
[ $status = 0 ] && echo "$lib: soname, exports and dependencies as expected"
exit $status
