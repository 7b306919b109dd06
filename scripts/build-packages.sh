#!/usr/bin/env bash
# Builds the Debian packages for amd64 and armhf from the build presets,
# installs the amd64 ones with dpkg and builds a consumer against the
# installed files and imports the Python package from them, looks into the
# armhf ones with dpkg-deb, and runs lintian on all nine (the Python
# package, architecture all, comes out of both builds alike). Fails on any
# error; removes the installed packages again.
#
# The armhf build takes what it needs beyond scripts/setup.sh from armhf
# packages that are only unpacked into its build tree
# (scripts/fetch-armhf.sh): the script fails if the dpkg database's armhf
# packages differ afterwards.
#
#   scripts/build-packages.sh
#   PACKAGE_BUILD_ROOT=/tmp/pkg scripts/build-packages.sh   # other build folders
#
# The packages stay in <build>/default and <build>/armhf.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
scripts/setup.sh all

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }
if ! command -v lintian >/dev/null; then
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    lintian >/dev/null
fi

# Every armhf package that dpkg knows of, in whatever state.
armhf_in_dpkg() { dpkg-query -W -f='${db:Status-Abbrev} ${Package}:${Architecture} ${Version}\n' '*:armhf'; }
armhf_before=$(armhf_in_dpkg)

builds="${PACKAGE_BUILD_ROOT:-$root/build}"
jobs=${JOBS:-$(nproc)}
declare -A arch=([default]=amd64 [armhf]=armhf)

for preset in default armhf; do
  dir="$builds/$preset"
  echo "=== $preset: build and package"
  cmake --preset "$preset" -B "$dir" >/dev/null
  cmake --build "$dir" -j "$jobs" >/dev/null
  rm -f "$dir"/*.deb
  (cd "$dir" && cpack -G DEB >/dev/null)
  ls "$dir"/*_"${arch[$preset]}".deb "$dir"/*_all.deb
done

amd64=("$builds"/default/*_amd64.deb)
armhf=("$builds"/armhf/*_armhf.deb)
all=("$builds"/default/*_all.deb)
[ ${#amd64[@]} = 4 ] && [ ${#armhf[@]} = 4 ] || { echo "expected four amd64 and four armhf packages" >&2; exit 1; }
[ ${#all[@]} = 1 ] || { echo "expected one architecture-independent package" >&2; exit 1; }
# Either build's copy may be the one shipped: they must hold the same files.
contents() { dpkg-deb -c "$1" | awk '{print $1, $6}'; dpkg-deb -f "$1" Depends; }
cmp <(contents "${all[0]}") <(contents "$builds"/armhf/python3-q48_*_all.deb)

echo "=== amd64: install and build against the installed files"
work=$(mktemp -d)
cleanup() {
  as_root dpkg -P python3-q48 q48-cups q48-tools libq48-dev libq48-1 >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
as_root dpkg -i "${amd64[@]}" "${all[@]}"
dpkg -L libq48-1 libq48-dev q48-tools q48-cups python3-q48 |
  grep -E '\.so|\.h$|\.pc$|Config\.cmake$|bin/|rules\.d/.|cups/|ppd/|\.py$|py\.typed'
# cupsd runs a backend that others may execute as lp, not as root.
[ "$(stat -c %a /usr/lib/cups/backend/q48)" = 755 ]
[ "$(/usr/lib/cups/backend/q48 2>&1)" = "" ] # no printer attached: an empty listing
# Debian's python3, from a neutral folder: nothing of the source tree is on
# its path, and no Q48_BUILD_DIR points it elsewhere.
(cd "$work" && env -u Q48_BUILD_DIR -u PYTHONPATH /usr/bin/python3 -c \
  'import q48; print(q48.__file__); print(q48.api_library_info()); print(q48.raw_to_coded(b"\x1b@"))') |
  tee "$work/python.out"
grep -qx /usr/lib/python3/dist-packages/q48/__init__.py "$work/python.out"
tests/install/consumer_test.sh "$work/consumer"
q48-list || echo "q48-list: no printer attached (status $?)"
q48-send --help | head -1
# The installed doctor finds the packaged udev rule (and exits 1: no printer).
{ q48-doctor || true; } | grep -x 'OK      udev rule: /usr/lib/udev/rules.d/60-q48-printer.rules: .*'

echo "=== armhf: contents"
for deb in "${armhf[@]}"; do
  echo "--- $(basename "$deb")"
  dpkg-deb -f "$deb" Package Architecture Depends
  dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6, $7, $8}'
  [ "$(dpkg-deb -f "$deb" Architecture)" = armhf ]
done
# As on amd64, cupsd runs the backend as lp.
dpkg-deb -c "$builds"/armhf/q48-cups_*_armhf.deb | grep '^-rwxr-xr-x .* ./usr/lib/cups/backend/q48$' >/dev/null
# The armhf binaries must really be ARM code, in the armhf library folder,
# and their packages must depend on whatever they load: Depends is spelled
# out by hand (cmake/Q48Packages.cmake).
declare -A provider=([libc.so.6]=libc6 [libusb-1.0.so.0]=libusb-1.0-0 [libcups.so.2]=libcups2
                     [libQ48Api.so.1]=libq48-1 [libQ48Tb.so.1]=libq48-1)
for deb in "${armhf[@]}"; do
  unpacked="$work/armhf/$(dpkg-deb -f "$deb" Package)"
  mkdir -p "$unpacked"
  dpkg-deb -x "$deb" "$unpacked"
  depends=$(dpkg-deb -f "$deb" Depends)
  for elf in "$unpacked"/usr/lib/arm-linux-gnueabihf/libQ48*.so.1.*.* "$unpacked"/usr/bin/* \
             "$unpacked"/usr/lib/cups/*/*; do
    [ -e "$elf" ] || continue
    machine=$(readelf -h "$elf" | sed -n 's/^ *Machine: *//p')
    echo "$(basename "$elf"): $machine"
    [ "$machine" = ARM ]
    for need in $(readelf -d "$elf" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
      [ "$(dpkg-deb -f "$deb" Package)" = "${provider[$need]:?$need}" ] ||
        grep -qE "(^|, )${provider[$need]} " <<<"$depends" ||
        { echo "$(basename "$deb"): $need, but no ${provider[$need]} in Depends" >&2; exit 1; }
    done
    glibc=$(readelf -V "$elf" | grep -oE 'GLIBC_[0-9.]+' | sed 's/GLIBC_//' | sort -V | tail -1)
    least=$(grep -oE 'libc6 \(>= [^)]*\)' <<<"$depends" | sed 's/.*>= //; s/)//')
    dpkg --compare-versions "${least:-0}" ge "$glibc" ||
      { echo "$(basename "$elf") needs GLIBC_$glibc, $(basename "$deb") asks for libc6 ${least:-(any)}" >&2; exit 1; }
  done
done

echo "=== lintian"
# Errors fail the job; warnings are shown.
lintian --fail-on error "${amd64[@]}" "${armhf[@]}" "${all[@]}"

echo "=== dpkg database: the same armhf packages as before"
diff <(echo "$armhf_before") <(armhf_in_dpkg)
echo "=== packages: ok"
