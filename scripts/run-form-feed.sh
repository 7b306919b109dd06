#!/usr/bin/env bash
# The main job: builds the libraries and Q48_Api_Test, then sends one form
# feed to a printer and shows what the printer received.
#
#   scripts/run-form-feed.sh            the emulated USB printer at
#                                       /dev/bus/usb/001/011 (no hardware)
#   scripts/run-form-feed.sh --fifo     a line-printer FIFO made on the spot
#   scripts/run-form-feed.sh PATH       a real printer: /dev/usb/lp0,
#                                       /dev/ttyS0, /dev/bus/usb/001/011 ...
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh native
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target Q48_Api_Test q48-emulated-printer >/dev/null
build=build/default
program=$build/api_test/Q48_Api_Test

case "${1:-}" in
  "")
    exec "$build/test_support/emulated_printer/q48-emulated-printer" -- \
      "$program" /dev/bus/usb/001/011
    ;;
  --fifo)
    # A FIFO under a dev/usb/lp0 path is a line-printer node to the library;
    # a reader of our own keeps what the printer receives.
    tree=$(mktemp -d)
    trap 'rm -rf "$tree"' EXIT
    mkdir -p "$tree/dev/usb"
    mkfifo "$tree/dev/usb/lp0"
    exec 3<>"$tree/dev/usb/lp0"
    "$program" "$tree/dev/usb/lp0"
    received=$(timeout 1 dd bs=4096 count=1 iflag=nonblock <&3 2>/dev/null |
      od -An -tx1 | tr -s ' \n' ' ' | sed 's/^ //;s/ $//' | tr a-f A-F)
    exec 3<&-
    echo "Printer received: [${received}]"
    ;;
  -h | --help)
    sed -n '2,9s/^# \{0,1\}//p' "$0"
    ;;
  *)
    exec "$program" "$1"
    ;;
esac
