#!/usr/bin/env bash
# The set-up scripts against stand-ins for apt and dpkg first on PATH:
# nothing real here produces a mirror in the middle of a sync, or a newer
# version of a package, on demand.
#
#   scripts_test.sh setup|fetch SCRIPT
#
# shellcheck disable=SC2016 # the stubs' bodies expand when the stubs run
set -euo pipefail

case=$1 script=$(realpath "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin" "$work/cwd" && cd "$work/cwd" && touch "$work/calls" "$work/out"
stub() { printf '#!/bin/sh\nwork=%s\n%s\n' "$work" "$2" >"$work/bin/$1" && chmod +x "$work/bin/$1"; }
run() { set +e; PATH="$work/bin:$PATH" "$@" >>"$work/out" 2>&1; status=$?; set -e; }
check() { local why=$1; shift; "$@" || { cat "$work/out"; echo "FAILED: $why" >&2; exit 1; }; }

if [ "$case" = setup ]; then
  # dpkg's database is $work/installed; the indexes that loaded lack the
  # packages in $work/unavailable.
  stub dpkg-query 'eval p=\$$#; grep -qx "$p" "$work/installed" && echo "install ok installed"'
  stub sudo 'exec "$@"'
  stub apt-get 'echo "apt-get $*" >>"$work/calls"
    [ "$1" = update ] && { echo "E: Failed to fetch .../Packages.xz  File has unexpected size"; exit 100; }
    for p; do grep -qx -- "$p" "$work/unavailable" && exit 100; done; printf "%s\n" "$@" >>"$work/installed"'
  sed -n 's/^native=(//; T; :a; /)/!{N; ba}; s/[()]//g; p' "$script" | tr -s ' \n' '\n' |
    grep -vx 'doxygen\|mypy\|cups-daemon' >"$work/installed"
  touch "$work/unavailable"
  run bash "$script" native
  check "a failed refresh stopped the set-up (status $status)" [ $status = 0 ]
  check "no warning of the failed refresh" grep -q "warning: apt-get update failed" "$work/out"
  check "the install did not ask for the missing packages" grep -qx "apt-get install .* doxygen mypy cups-daemon" \
    "$work/calls"
  sed -i '/^doxygen$\|^mypy$\|^cups-daemon$/d' "$work/installed" && echo mypy >"$work/unavailable"
  run bash "$script" native
  check "a failed install passed (status $status)" [ $status = 1 ]
  check "the missing packages are not named" \
    grep -qx "setup.sh: cannot install: doxygen mypy cups-daemon" "$work/out"
else
  # The archive has each package in the version that $work/version names.
  # rm and mkdir act inside $work alone and note any other path, so that a
  # script that would remove /root cannot.
  stub apt-get 'v=$(cat "$work/version"); [ "$2" = --print-uris ] || echo download >>"$work/calls"
    for p; do case $p in -*|download) ;; *) f=${p%%:*}_${v}_${p#*:}.deb
      if [ "$2" = --print-uris ]; then echo "'\''http://x/$f'\'' $f 1 SHA256:0"; else : >"$f"; fi ;; esac; done'
  stub dpkg-deb 'exit 0'
  for tool in rm mkdir; do
    stub $tool 'for a; do case $a in -*|"$work"/*) ;; *) echo "$0 $*" >>"$work/outside"; exit 0 ;; esac; done
      exec /bin/'$tool' "$@"'
  done
  echo 2.4.2-3 >"$work/version"
  for dest in "" relative/dest / //; do
    run sh "$script" "$dest" cups
    check "DEST '$dest' was taken (status $status)" [ $status = 2 ]
    check "DEST '$dest' reached $(cat "$work/outside" 2>&1)" [ ! -e "$work/outside" ]
  done
  run sh "$script" "$work/dest" cups && run sh "$script" "$work/dest" cups
  check "the same version was fetched again" [ "$(wc -l <"$work/calls")" = 1 ]
  echo 2.4.2-3+deb12u9 >"$work/version"
  run sh "$script" "$work/dest" cups
  check "a newer version was not fetched" [ -f "$work/dest/debs/libcups2-dev_2.4.2-3+deb12u9_armhf.deb" ]
fi
cat "$work/out"
echo "ok: $case"
