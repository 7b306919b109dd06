#!/bin/sh
# Fetches the armhf Debian packages that a cross build needs beyond the
# multi-arch ones that scripts/setup.sh installs, and unpacks them into a
# private folder, for builds whose tests run under qemu-arm:
#
#   scripts/fetch-armhf.sh DEST SET...
#
#   umockdev  umockdev and glib, for the emulated printer and its preload
#   cups      libcups2-dev and what libcups2 loads, for the backend and filter
#
# None of these can go into the build machine's dpkg database beside the
# host's own (umockdev is not multi-arch, and libcups2-dev would pull in the
# -dev packages of its whole tree), so the packages are only downloaded and
# unpacked: nothing is installed.
#
# Leaves DEST/root/{lib,usr/lib}/arm-linux-gnueabihf and DEST/root/usr/include.
# It does nothing when DEST already holds a complete copy of the same sets;
# otherwise it fetches them all again.
set -eu

if [ $# -lt 2 ]; then
  echo "usage: $0 DEST umockdev|cups..." >&2
  exit 2
fi
dest=$1
shift
arch=armhf
triplet=arm-linux-gnueabihf

# Each set goes down to what the multi-arch libc6, libgcc-s1, libstdc++6,
# libudev1 and libusb-1.0-0 already provide.
packages=""
for set in "$@"; do
  case $set in
    umockdev) packages="$packages libumockdev0 libumockdev-dev umockdev
      libglib2.0-0 libglib2.0-dev libpcap0.8 libdbus-1-3 libsystemd0 libcap2
      libgcrypt20 libgpg-error0 liblz4-1 liblzma5 libzstd1 libffi8 libmount1
      libblkid1 libpcre2-8-0 libselinux1 zlib1g" ;;
    cups) packages="$packages libcups2-dev libcups2 libavahi-client3
      libavahi-common3 libgnutls30 libgssapi-krb5-2 libkrb5-3 libk5crypto3
      libkrb5support0 libcom-err2 libkeyutils1 libssl3 libgmp10 libhogweed6
      libnettle8 libidn2-0 libunistring2 libp11-kit0 libtasn1-6 libdbus-1-3
      libsystemd0 libcap2 libgcrypt20 libgpg-error0 liblz4-1 liblzma5
      libzstd1 libffi8 zlib1g" ;;
    *) echo "$0: unknown set $set" >&2; exit 2 ;;
  esac
done
wanted=$(for p in $packages; do echo "$p"; done | sort -u | tr '\n' ' ')

stamp="$dest/.complete"
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$wanted" ]; then
  exit 0
fi

rm -rf "$dest/debs" "$dest/root" "$stamp"
mkdir -p "$dest/debs" "$dest/root"
cd "$dest/debs"
list=""
for p in $wanted; do
  list="$list $p:$arch"
done
# shellcheck disable=SC2086
apt-get download $list
for deb in ./*.deb; do
  dpkg-deb -x "$deb" ../root
done
cd ..

# Every unpacked library must find what it needs among the unpacked ones
# and the installed multi-arch libraries, or a test would fail at load time
# rather than here.
missing=""
for elf in root/lib/$triplet/*.so* root/usr/lib/$triplet/*.so*; do
  [ -f "$elf" ] && [ ! -L "$elf" ] || continue
  for need in $(readelf -d "$elf" | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p'); do
    found=no
    for dir in root/lib/$triplet root/usr/lib/$triplet /lib/$triplet /usr/lib/$triplet; do
      [ -e "$dir/$need" ] && found=yes
    done
    [ $found = yes ] || missing="$missing $(basename "$elf"):$need"
  done
done
if [ -n "$missing" ]; then
  echo "$0: unresolved armhf libraries:$missing" >&2
  exit 1
fi
echo "$wanted" > "$stamp"
