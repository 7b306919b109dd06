#!/usr/bin/env bash
# The long soak of the CUPS road: many receipts through a private cupsd to
# the emulated printer, which is unplugged and plugged back at a new
# address, stalled and cancelled at random; then, from what the printer
# received alone, whether every job that was not cancelled arrived exactly
# once. It also measures a backend that waits 60 s for an absent printer,
# and one stall of 3 minutes in the middle of a job.
#
#   scripts/run-soak.sh                 1000 jobs, 100 faults (about 10 min)
#   scripts/run-soak.sh [OPTIONS]       the same with some of q48_soak's
#       options changed: --jobs N --faults N --seed S --speed BYTES_PER_S
#       --max-size BYTES --idle-seconds S --stall-seconds S
#
# The test command runs a short version (ctest -R ShortSoak). It exits
# with 0 when the soak passed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh native
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target q48_soak >/dev/null
# The last of an option given twice counts: these are the defaults.
exec build/default/tests/soak/q48_soak --jobs 1000 --faults 100 --seed "$(date +%s)" \
  --max-size 262144 --speed 50000 --idle-seconds 60 --stall-seconds 180 "$@"
