#!/usr/bin/env python3
"""Prints a small receipt on a Q48 printer and reads back one status byte:
the Python twin of receipt.c, byte for byte the same job.

    examples/receipt.py /dev/bus/usb/001/011     (see q48-list)
    examples/receipt.py /dev/usb/lp0
"""

import sys

import q48

# A // in coded text hides everything after it, later lines included, so
# the notes stay in Python comments beside the pieces.
RECEIPT = "".join(
    [
        "[1B 40]",  # reset the printer
        '[1B 61 01] "Corner Shop" \\n \\n',  # centred title
        "[1B 61 00]",  # back to the left margin
        '"2 x Coffee      5.00" \\n',
        '"1 x Croissant   2.20" \\n',
        '"Total           7.20" \\n \\n',
        "[1D 56 00]",  # cut the paper
        "[10 04 01]",  # ask for the printer status
    ]
)


def main(argv: list[str]) -> int:
    if len(argv) != 2:
        print(f"usage: {argv[0]} PRINTER-PATH", file=sys.stderr)
        return 2
    job = q48.coded_to_raw(RECEIPT)
    try:
        with q48.open(argv[1]) as printer:
            printer.write(job, timeout_ms=2000)
            # The status request at the end of the job brings one byte back.
            status = printer.read(1, timeout_ms=1000)
    except q48.OpenError as error:
        print(error, file=sys.stderr)
        return 1
    except q48.TimeoutError as error:
        print(f"the printer did not keep up: {error}", file=sys.stderr)
        return 1
    print(f"printed {len(job)} bytes, status {q48.raw_to_coded(status)}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
