"""The printer object over the device-file transport: a FIFO line printer and
a pseudo-terminal serial port."""

from __future__ import annotations

import mmap
import os
import resource
import sys
import termios
import threading
import time
from pathlib import Path

import pytest

import q48
from conftest import DeviceTree


def test_fifo_printer_takes_writes_and_closes_like_a_file(device_tree: DeviceTree) -> None:
    with q48.open(device_tree.lp0) as printer:
        assert printer.write(b"\x1b@Hi\n", 1000) == 5
        assert printer.write(bytearray(b"\x0c"), 1000) == 1
        with pytest.raises(TypeError):  # not five NUL bytes
            printer.write(5, 100)  # type: ignore[arg-type]
        with pytest.raises(q48.Error, match="refuses the serial line"):
            printer.set_serial(9600)  # a FIFO is no terminal
    assert os.read(device_tree.lp0_reader, 64) == b"\x1b@Hi\n\x0c"
    assert printer.closed
    printer.close()  # again: nothing happens
    with pytest.raises(ValueError, match="closed"):
        printer.write(b"x", 100)


def test_serial_printer_sets_its_line_reads_answers_and_clears(device_tree: DeviceTree) -> None:
    master = device_tree.pty_master
    with q48.open(device_tree.ttyS0) as printer:
        printer.set_serial(9600, "o", 2)
        attrs = termios.tcgetattr(printer._live())  # the descriptor
        # A pty clears PARENB (it has no parity to check); PARODD still shows.
        assert attrs[5] == termios.B9600
        assert attrs[2] & termios.PARODD and attrs[2] & termios.CSTOPB

        assert printer.write(b"\x10\x04\x01", 1000) == 3
        assert os.read(master, 16) == b"\x10\x04\x01"
        os.write(master, b"\x12")
        assert printer.read(1, 1000) == b"\x12"

        # A device file may bring part of an answer: the error carries it.
        os.write(master, b"\x06\x15")
        with pytest.raises(q48.TimeoutError) as timed_out:
            printer.read(4, 300)
        assert (timed_out.value.count, timed_out.value.requested) == (2, 4)
        assert timed_out.value.data == b"\x06\x15" and isinstance(timed_out.value, TimeoutError)

        os.write(master, b"stale")
        time.sleep(0.05)
        printer.clear()
        with pytest.raises(q48.TimeoutError) as nothing:
            printer.read(1, 100)
        assert nothing.value.data == b""


def test_a_close_racing_a_write_never_sends_into_the_next_file(
    device_tree: DeviceTree, tmp_path: Path
) -> None:
    printer = q48.open(device_tree.lp0)
    fd, job = printer._live(), bytearray(300 << 20)
    # Refused after the close, or cut at its time-out on the full pipe before.
    writer = threading.Thread(target=pytest.raises,
                              args=((ValueError, q48.TimeoutError), printer.write, job, 200))
    writer.start()
    printer.close()
    other = os.open(tmp_path / "other", os.O_WRONLY | os.O_CREAT)
    writer.join()
    os.close(other)
    assert other == fd and (tmp_path / "other").stat().st_size == 0


def test_an_oversized_buffer_is_refused_before_it_is_copied(
    device_tree: DeviceTree, tmp_path: Path
) -> None:
    if sys.maxsize <= q48._INT_MAX:
        pytest.skip("no buffer of a 32-bit process exceeds the limit")
    with (tmp_path / "sparse").open("w+b") as file:
        file.truncate(q48._INT_MAX + 1)
        with mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ) as mapped, \
                memoryview(mapped) as view, q48.open(device_tree.lp0) as printer:
            peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
            # Read-only: a copy for the library would read the whole hole.
            pytest.raises(OverflowError, printer.write, view, 100)
            pytest.raises(OverflowError, q48.raw_to_coded, view)
            pytest.raises(OverflowError, q48.coded_to_raw, view)
            assert resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - peak < 64 << 10  # KiB
