#!/usr/bin/env bash
# Installs what building and testing need on Debian 12, only where missing.
# Safe to run again. Needs root, or sudo.
set -euo pipefail

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

native=(g++ gcc make cmake pkg-config libusb-1.0-0-dev googletest libgtest-dev
        umockdev libumockdev-dev libglib2.0-dev python3 binutils doxygen man-db
        python3-pytest mypy python3-setuptools python3-wheel python3-pip
        libcups2-dev cups-daemon cups-client cups)
cross=(g++-arm-linux-gnueabihf binutils-arm-linux-gnueabihf qemu-user
       libc6:armhf libstdc++6:armhf libusb-1.0-0-dev:armhf)
extra=(clang clang-format libclang-rt-14-dev libbenchmark-dev gcovr clang-tidy-14 cppcheck chromium)

want=("${native[@]}")
case "${1:-all}" in
  native) ;;
  all) want+=("${cross[@]}" "${extra[@]}") ;;
  *) echo "usage: $0 [native|all]" >&2; exit 2 ;;
esac

if [ "${1:-all}" = all ] && ! dpkg --print-foreign-architectures | grep -qx armhf; then
  as_root dpkg --add-architecture armhf
  need_update=1
fi

missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ] || [ -n "${need_update:-}" ]; then
  echo "Installing: ${missing[*]}"
  # A mirror in the middle of a sync fails one index or another while the
  # rest load; what is needed may still install from those, so a failed
  # refresh is only worth a warning. The install below says when it is not.
  if ! as_root apt-get update -qq; then
    echo "setup.sh: warning: apt-get update failed (above); installing from the indexes that loaded" >&2
  fi
  if [ ${#missing[@]} -gt 0 ] && ! as_root env DEBIAN_FRONTEND=noninteractive \
      apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null; then
    still=()
    for p in "${missing[@]}"; do
      dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || still+=("$p")
    done
    echo "setup.sh: cannot install: ${still[*]}" >&2
    echo "setup.sh: run 'apt-get update' again once the mirror has synced, then this script" >&2
    exit 1
  fi
fi
