#!/bin/sh
# Fetches the armhf umockdev and glib libraries that the emulated printer
# needs into a private folder, for cross builds whose tests run under
# qemu-arm. umockdev:armhf cannot be installed next to the host's umockdev
# (the package is not multi-arch), so the packages are only downloaded and
# unpacked:
#
#   scripts/fetch-armhf-umockdev.sh DEST
#
# leaves DEST/root/{lib,usr/lib}/arm-linux-gnueabihf and DEST/root/usr/include.
# It does nothing when DEST already holds a complete copy; a partial one is
# fetched again.
set -eu

if [ $# -ne 1 ]; then
  echo "usage: $0 DEST" >&2
  exit 2
fi
dest=$1
arch=armhf
triplet=arm-linux-gnueabihf

# The emulator's libraries and what they load, down to what the armhf libc
# and libudev (installed as multi-arch packages) already provide.
packages="libumockdev0 libumockdev-dev umockdev
libglib2.0-0 libglib2.0-dev
libpcap0.8 libdbus-1-3 libsystemd0 libcap2 libgcrypt20 libgpg-error0
liblz4-1 liblzma5 libzstd1
libffi8 libmount1 libblkid1 libpcre2-8-0 libselinux1 zlib1g"

stamp="$dest/.complete"
wanted=$(echo $packages)
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$wanted" ] &&
   [ -e "$dest/root/usr/lib/$triplet/libumockdev-preload.so.0" ]; then
  exit 0
fi

rm -rf "$dest/debs" "$dest/root" "$stamp"
mkdir -p "$dest/debs" "$dest/root"
cd "$dest/debs"
list=""
for p in $packages; do
  list="$list $p:$arch"
done
# shellcheck disable=SC2086
apt-get download $list
for deb in ./*.deb; do
  dpkg-deb -x "$deb" ../root
done
cd ..

# The unpacked libraries must resolve among themselves and the installed
# armhf multi-arch libraries, or the tests would fail at load time.
missing=""
for lib in root/usr/lib/$triplet/libumockdev.so.0 root/usr/lib/$triplet/libumockdev-preload.so.0; do
  for need in $(readelf -d "$lib" | sed -n 's/.*Shared library: \[\(.*\)\]/\1/p'); do
    found=no
    for dir in root/lib/$triplet root/usr/lib/$triplet /lib/$triplet /usr/lib/$triplet; do
      [ -e "$dir/$need" ] && found=yes
    done
    [ $found = yes ] || missing="$missing $need"
  done
done
if [ -n "$missing" ]; then
  echo "$0: unresolved armhf libraries:$missing" >&2
  exit 1
fi
echo "$wanted" > "$stamp"
