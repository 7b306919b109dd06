#!/usr/bin/env bash
# Tries the CUPS road in one command: a cupsd of its own with a queue on the
# emulated USB printer (q48://usb?serial=Q48EMU0001, the q48 PPD and filter),
# one receipt in coded text printed with lp, the job's state, and the bytes
# the printer received.
#
#   scripts/try-cups.sh                builds what it needs first (and installs
#                                      the packages it lacks, as root or sudo)
#   scripts/try-cups.sh --build DIR    uses the programs of the build tree DIR
#                                      as they are
#   --printer 'OPTIONS'                the emulated printer's options, such as
#                                      '--serial Q48EMU0002 --node-mode 0'
#   --shell                            instead of the sample receipt, a shell
#                                      that reads standard input, its CUPS
#                                      clients and q48-list pointed at the two
#
# Nothing of the machine's own CUPS is used or touched: the cupsd has its own
# configuration, spool and logs in a temporary folder and listens on a free
# loopback port, and the clients reach it through CUPS_SERVER. Everything
# started is stopped at the end, on Ctrl-C too. Root is not needed. cupsd runs
# as the user who runs this, or as nobody when that is root: cupsd runs no
# job as root.
set -euo pipefail

# The second half, run by the first as the emulated printer's child: the
# printer reports what it received once this ends.
if [ "${1:-}" = --inside ]; then
  root=$2 shell=${3:-}
  echo "$UMOCKDEV_DIR" >"$root/umockdev_dir"
  # Only the backend and the filter talk to the printer (their wrappers set
  # the preload again); cupsd and the clients have no business with it.
  unset LD_PRELOAD UMOCKDEV_DIR
  CUPS_SERVER=127.0.0.1:$(cat "$root/port")
  export LC_ALL=C HOME=$root CUPS_SERVER
  /usr/sbin/cupsd -f -c "$root/etc/cupsd.conf" -s "$root/etc/cups-files.conf" &
  cupsd=$!
  trap 'kill "$cupsd" 2>/dev/null || true; wait "$cupsd" 2>/dev/null || true' EXIT
  trap 'exit 130' INT TERM
  for _ in $(seq 200); do
    [ "$(lpstat -r 2>/dev/null)" = "scheduler is running" ] && break
    kill -0 "$cupsd" 2>/dev/null || break
    sleep 0.1
  done
  [ "$(lpstat -r 2>/dev/null)" = "scheduler is running" ] || {
    echo "cupsd did not start:"
    tail -5 "$root/log/error_log"
    exit 1
  }
  echo "cupsd runs as $(id -un) on $CUPS_SERVER, its files in $root"
  cd "$root"
  cat >order-42.q48 <<'EOF'
[1B 40] [1B 61 01] "Corner Shop" \n
"Order 42" \n
[1B 61 00] "Tea      2.40" \n "Scone    4.80" \n
"Total    7.20" \n
[1D 56 00]   // cut
EOF
  if [ -n "$shell" ]; then
    # Its programs see the printer as the backend does; no queue is made.
    LD_PRELOAD=libumockdev-preload.so.0 UMOCKDEV_DIR=$(cat "$root/umockdev_dir") \
      LD_LIBRARY_PATH=$root/lib PATH=$root/bin:$PATH bash --norc --noprofile
    exit
  fi
  echo "+ lpadmin -p receipt -E -v 'q48://usb?serial=Q48EMU0001' -P q48.ppd -o printer-error-policy=abort-job"
  lpadmin -p receipt -E -v 'q48://usb?serial=Q48EMU0001' -P q48.ppd -o printer-error-policy=abort-job 2>&1
  echo "+ cat order-42.q48"
  cat order-42.q48
  echo "+ lp -d receipt order-42.q48"
  request=$(lp -d receipt order-42.q48)
  echo "$request"
  job=$(echo "$request" | sed -n 's/^request id is receipt-\([0-9]*\) .*/\1/p')
  for _ in $(seq 600); do
    lpstat -W completed -o receipt | grep -q "^receipt-$job " && break
    kill -0 "$cupsd" 2>/dev/null || break
    sleep 0.1
  done
  echo "--- the scheduler's log of the job"
  sed -n "s/^. \[[^]]*\] \(\[Job $job\] \(Started .*\|.*coded text.*\|Sent [0-9]* bytes\)\)$/\1/p" \
    log/error_log
  echo "+ lpstat -W completed -o receipt"
  lpstat -W completed -o receipt
  lpstat -W completed -o receipt | grep -q "^receipt-$job " || {
    echo "The job did not complete:"
    lpstat -l -o receipt
    exit 1
  }
  exit 0
fi

build="" shell="" printer=()
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$(cd "$2" && pwd) && shift 2 ;;
    --printer) read -ra printer <<<"$2" && shift 2 ;;
    --shell) shell=--shell && shift ;;
    *)
      sed -n '2,23s/^# \{0,1\}//p' "$0"
      [ "$1" = -h ] || [ "$1" = --help ]
      exit
      ;;
  esac
done
source=$(cd "$(dirname "$0")/.." && pwd)
if [ -z "$build" ]; then
  cd "$source"
  scripts/setup.sh native
  cmake --preset default >/dev/null
  cmake --build --preset default -j "$(nproc)" --target q48-cups-backend q48-coded-to-raw \
    q48-emulated-printer q48-list q48-send >/dev/null
  build=$source/build/default
fi

root=$(mktemp -d /tmp/q48-try-cups.XXXXXX)
cleanup() {
  # The second half stops cupsd itself; this catches a cupsd left behind
  # when that half was killed.
  if [ -f "$root/state/cupsd.pid" ]; then kill "$(cat "$root/state/cupsd.pid")" 2>/dev/null || true; fi
  rm -rf "$root"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Copies of what cupsd runs, so that its user needs no access to the build
# tree or the clone.
mkdir -p "$root"/{bin/backend,bin/filter,lib,etc,spool/tmp,state,cache,log}
cp "$build/cups/q48" "$build/cups/q48-coded-to-raw" "$build/tools/q48-list" "$build/tools/q48-send" \
  "$build/test_support/emulated_printer/q48-emulated-printer" "$root/bin/"
cp -L "$build/Q48_Api/Sources/libQ48Api.so.1" "$build/Q48_Tb/Sources/libQ48Tb.so.1" "$root/lib/"
cp "$source/cups/q48.ppd" "$root/"
cp "$source/cups/q48.types" "$source/cups/q48.convs" "$root/etc/"
cp "$0" "$root/try-cups.sh"
ln -s /usr/lib/cups/daemon "$root/bin/daemon"
programs=(backend/q48 filter/q48-coded-to-raw)
# CUPS's own USB backend too, as on a machine with a printer plugged in; a
# copy, since only root may run the original.
if [ -r /usr/lib/cups/backend/usb ]; then
  install -m 755 /usr/lib/cups/backend/usb "$root/bin/usb"
  programs+=(backend/usb)
fi
# cupsd hands its backends and filters an environment of its own: the
# emulated printer's reaches them through these wrappers.
for program in "${programs[@]}"; do
  cat >"$root/bin/$program" <<EOF
#!/bin/sh
export LD_PRELOAD=libumockdev-preload.so.0 UMOCKDEV_DIR=\$(cat $root/umockdev_dir) \
  LD_LIBRARY_PATH=$root/lib ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0
exec $root/bin/$(basename "$program") "\$@"
EOF
  chmod 755 "$root/bin/$program"
done

if [ "$(id -u)" = 0 ]; then
  user=nobody
  as_user=(setpriv --reuid=nobody --regid="$(id -gn nobody)" --clear-groups)
else
  user=$(id -un)
  as_user=()
fi
python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])' \
  >"$root/port"
cat >"$root/etc/cups-files.conf" <<EOF
ServerRoot $root/etc
ServerBin $root/bin
RequestRoot $root/spool
TempDir $root/spool/tmp
StateDir $root/state
CacheDir $root/cache
AccessLog $root/log/access_log
ErrorLog $root/log/error_log
PageLog $root/log/page_log
Printcap $root/printcap
SystemGroup $(id -gn "$user")
Sandboxing Off
EOF
cat >"$root/etc/cupsd.conf" <<EOF
Listen 127.0.0.1:$(cat "$root/port")
LogLevel debug
Browsing Off
WebInterface No
DefaultAuthType None
<Location />
Order allow,deny
Allow all
</Location>
<Policy default>
<Limit All>
Order deny,allow
Allow all
</Limit>
</Policy>
EOF
chown -R "$user:$(id -gn "$user")" "$root"
chmod 755 "$root"

cd "$root"
"${as_user[@]}" "$root/bin/q48-emulated-printer" "${printer[@]}" -- \
  bash "$root/try-cups.sh" --inside "$root" $shell
