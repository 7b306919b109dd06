#!/usr/bin/env python3
"""Prints a job on the Q48 printer with a given serial number and carries on
when the printer is switched off and on, or unplugged and plugged in again,
in the middle of it: every byte of the job reaches the printer once.

    examples/keep_printing.py Q48EMU0001 < job.bin     (serial numbers: q48-list --uri)
"""

import sys
import time

import q48


def print_job(serial: str, job: bytes, timeout_ms: int = 2000, patience_s: float = 60.0) -> None:
    """Sends ``job`` to the printer whose serial number is ``serial``,
    finding it again wherever it is plugged in after each failed write.
    Raises the last error once nothing has gone through for ``patience_s``
    seconds."""
    sent = 0
    progress = time.monotonic()
    while sent < len(job):
        try:
            # Its address changes with each plug-in; its serial number stays.
            with q48.open(serial=serial) as printer:
                sent += printer.write(job[sent:], timeout_ms)
        except q48.Error as failure:
            if isinstance(failure, q48.TimeoutError) and failure.count > 0:
                # These went out before the printer did: never send them again.
                sent += failure.count
                progress = time.monotonic()
            elif time.monotonic() - progress > patience_s:
                raise
            else:
                time.sleep(0.5)  # off, unplugged, or not back yet


def main(argv: list[str]) -> int:
    if len(argv) != 2:
        print(f"usage: {argv[0]} SERIAL < JOB", file=sys.stderr)
        return 2
    job = sys.stdin.buffer.read()
    try:
        print_job(argv[1], job)
    except q48.Error as error:
        print(error, file=sys.stderr)
        return 1
    print(f"printed {len(job)} bytes")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
