"""Printers for the q48 tests: a FIFO line printer and a pseudo-terminal
serial port under device-file paths, and the emulated USB printer, made in
the test process through ctypes (the test runs under umockdev's preload)."""

from __future__ import annotations

import ctypes
import os
import pty
from ctypes import c_int, c_size_t, c_void_p
from pathlib import Path
from typing import Iterator, NamedTuple

import pytest


class DeviceTree(NamedTuple):
    lp0: str  # a FIFO at .../dev/usb/lp0
    lp0_reader: int  # our end of it: what the printer received
    ttyS0: str  # a link named .../dev/ttyS0 to a pty's slave side
    pty_master: int  # the far end of that serial line


@pytest.fixture
def device_tree(tmp_path: Path) -> Iterator[DeviceTree]:
    (tmp_path / "dev" / "usb").mkdir(parents=True)
    lp0 = tmp_path / "dev" / "usb" / "lp0"
    os.mkfifo(lp0)
    reader = os.open(lp0, os.O_RDONLY | os.O_NONBLOCK)
    master, slave = pty.openpty()
    ttyS0 = tmp_path / "dev" / "ttyS0"
    ttyS0.symlink_to(os.ttyname(slave))
    yield DeviceTree(str(lp0), reader, str(ttyS0), master)
    for fd in (reader, master, slave):
        os.close(fd)


_OUT_TIMEOUT = 2  # Q48_EMU_OUT_TIMEOUT


class EmulatedPrinter:
    """One emulated USB printer at /dev/bus/usb/001/011 (see
    test_support/emulated_printer/q48_emulated_printer.h)."""

    path = "/dev/bus/usb/001/011"

    def __init__(self, lib: ctypes.CDLL) -> None:
        self._lib = lib
        self._emu = lib.q48_emu_new(None)
        assert self._emu, "cannot create the emulated printer"

    def queue_answer(self, data: bytes) -> None:
        self._lib.q48_emu_queue_answer(self._emu, data, len(data))

    def accept_only(self, per_transfer: int) -> None:
        """OUT transfers take per_transfer bytes, then hang to their time-out."""
        self._lib.q48_emu_set_out_behaviour(self._emu, per_transfer, _OUT_TIMEOUT)

    def claim_busy(self, attempts: int) -> None:
        self._lib.q48_emu_set_claim_busy(self._emu, attempts)

    def kernel_driver(self, detach_fails: bool) -> None:
        self._lib.q48_emu_set_kernel_driver(self._emu, 1, int(detach_fails))

    def received(self) -> bytes:
        n = self._lib.q48_emu_received(self._emu, None, 0)
        buf = ctypes.create_string_buffer(max(n, 1))
        n = self._lib.q48_emu_received(self._emu, buf, n)
        return buf.raw[:n]

    def free(self) -> None:
        self._lib.q48_emu_free(self._emu)


def _emulator_library() -> ctypes.CDLL:
    lib = ctypes.CDLL(os.environ["Q48_EMULATED_PRINTER_MODULE"])
    lib.q48_emu_new.restype = c_void_p
    lib.q48_emu_new.argtypes = [c_void_p]
    lib.q48_emu_free.argtypes = [c_void_p]
    lib.q48_emu_queue_answer.argtypes = [c_void_p, ctypes.c_char_p, c_size_t]
    lib.q48_emu_set_out_behaviour.argtypes = [c_void_p, c_size_t, c_int]
    lib.q48_emu_set_claim_busy.argtypes = [c_void_p, c_int]
    lib.q48_emu_set_kernel_driver.argtypes = [c_void_p, c_int, c_int]
    lib.q48_emu_received.restype = c_size_t
    lib.q48_emu_received.argtypes = [c_void_p, c_void_p, c_size_t]
    return lib


@pytest.fixture
def usb_printer() -> Iterator[EmulatedPrinter]:
    printer = EmulatedPrinter(_emulator_library())
    yield printer
    printer.free()
