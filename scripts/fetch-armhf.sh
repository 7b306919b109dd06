#!/bin/sh
# Fetches the armhf Debian packages that a cross build needs beyond the
# multi-arch ones that scripts/setup.sh installs, and unpacks them into a
# private folder, for builds whose tests run under qemu-arm:
#
#   scripts/fetch-armhf.sh DEST SET...
#
#   umockdev  umockdev and glib, for the emulated printer and its preload
#   cups      libcups2-dev and libcups2 with what it loads: CUPS's headers,
#             and libcups for q48-doctor (the backend links none)
#   python    Python 3.11 and pytest, for the Python package's tests
#
# None of these can go into the build machine's dpkg database beside the
# host's own (umockdev and python3.11 are not multi-arch, and libcups2-dev
# would pull in libcups2 and the 27 packages behind it), so the packages are
# only downloaded and unpacked: nothing is installed.
#
# Leaves DEST/root/{lib,usr/lib}/arm-linux-gnueabihf, DEST/root/usr/include
# and DEST/root/usr/bin/python3.11. It does nothing when DEST already holds
# a complete copy of the same packages in the versions that apt would fetch
# now; otherwise it fetches them all again.
set -eu

if [ $# -lt 2 ]; then
  echo "usage: $0 DEST umockdev|cups|python..." >&2
  exit 2
fi
dest=$1
shift
# DEST/debs and DEST/root are removed before each fetch: an empty DEST would
# make them /debs and /root, a relative one depend on where it is run.
case $dest in
  /*[!/]*) ;;
  *) echo "$0: DEST must be an absolute path below /, not '$dest'" >&2; exit 2 ;;
esac
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
      libavahi-common3 libdbus-1-3 libsystemd0 libcap2 libgcrypt20
      libgpg-error0 liblz4-1 liblzma5 libzstd1 libgnutls30 libgmp10
      libhogweed6 libnettle8 libidn2-0 libunistring2 libp11-kit0 libffi8
      libtasn1-6 libgssapi-krb5-2 libkrb5-3 libk5crypto3 libkrb5support0
      libcom-err2 libkeyutils1 zlib1g" ;;
    # pytest is architecture-independent, but comes from armhf's Debian all
    # the same: the armhf interpreter finds it in its own prefix, and never
    # sees the host's dist-packages with their x86-64 extension modules.
    python) packages="$packages python3.11-minimal libpython3.11-minimal
      libpython3.11-stdlib libexpat1 zlib1g libffi8 python3-pytest:all
      python3-pluggy:all python3-iniconfig:all python3-packaging:all
      python3-attr:all" ;;
    *) echo "$0: unknown set $set" >&2; exit 2 ;;
  esac
done
list=""
# shellcheck disable=SC2086
for p in $(printf '%s\n' $packages | sort -u); do
  case $p in
    *:*) list="$list $p" ;;
    *) list="$list $p:$arch" ;;
  esac
done

# The stamp names the files that apt would fetch now, versions included, so
# that a package updated in the index since is fetched again. Without an
# answer from apt, a complete copy serves as it is.
stamp="$dest/.complete"
# shellcheck disable=SC2086
if ! uris=$(apt-get download --print-uris $list); then
  [ -f "$stamp" ] || exit 1
  echo "$0: apt cannot say which versions it would fetch; keeping $dest as it is" >&2
  exit 0
fi
wanted=$(echo "$uris" | sed -n "s/^'[^']*' \([^ ]*\) .*/\1/p" | sort | tr '\n' ' ')
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$wanted" ]; then
  exit 0
fi

rm -rf "$dest/debs" "$dest/root" "$stamp"
mkdir -p "$dest/debs" "$dest/root"
cd "$dest/debs"
# shellcheck disable=SC2086
apt-get download $list
for deb in ./*.deb; do
  dpkg-deb -x "$deb" ../root
done
cd ..

# Byte-compiled once here, as Debian's py3compile does at installation: the
# bytecode does not depend on the processor, and under qemu each start of
# pytest would otherwise compile it and half the standard library anew
# (7 s instead of 1.5 s). Any Python 3.11 writes the same files.
if [ -d root/usr/lib/python3.11 ] && command -v python3.11 >/dev/null; then
  python3.11 -m compileall -q -j 2 root/usr/lib/python3.11 root/usr/lib/python3/dist-packages \
    >/dev/null || true
fi

# Every unpacked library must find what it needs among the unpacked ones
# and the installed multi-arch libraries, or a test would fail at load time
# rather than here.
missing=""
for elf in root/lib/$triplet/*.so* root/usr/lib/$triplet/*.so* root/usr/bin/python3.11; do
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
