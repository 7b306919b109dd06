#!/usr/bin/env bash
# Builds the consumer program against installed Q48 files, once through
# pkg-config and once through the CMake package, and runs both.
#
#   consumer_test.sh WORK [PREFIX]
#
# With PREFIX (a staging folder, blanks allowed) the files are looked up
# there and the programs run with its libraries; without, the system's
# (installed packages) are used. WORK is an empty scratch folder.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
work="$1"
prefix="${2:-}"
mkdir -p "$work"

if [ -n "$prefix" ]; then
  libdir=$(find "$prefix" -name q48api.pc -printf '%h\n' | head -1)
  [ -n "$libdir" ] || { echo "no q48api.pc under $prefix" >&2; exit 1; }
  libdir="$(dirname "$libdir")"
  export PKG_CONFIG_PATH="$libdir/pkgconfig"
  export LD_LIBRARY_PATH="$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
  cmake_prefix=(-DCMAKE_PREFIX_PATH="$prefix")
else
  cmake_prefix=()
fi

echo "== pkg-config: $(pkg-config --modversion q48api q48tb | tr '\n' ' ')"
# pkg-config escapes blanks in paths with a backslash; eval reads them back.
eval "${CC:-cc} -Wall -Werror -o \"\$work/consumer-pc\" \"\$here/consumer/consumer.c\" \
  $(pkg-config --cflags --libs q48api q48tb)"
"$work/consumer-pc"

echo "== CMake package"
cmake -S "$here/consumer" -B "$work/cmake-build" "${cmake_prefix[@]}" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
"$work/cmake-build/q48_consumer"
