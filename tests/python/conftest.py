"""Printers for the q48 tests: a FIFO line printer and a pseudo-terminal
serial port under device-file paths, and the emulated USB printer, made in
the test process through ctypes (the test runs under umockdev's preload)."""

from __future__ import annotations

import contextlib
import ctypes
import os
import pty
from ctypes import c_char_p, c_int, c_size_t, c_uint8, c_uint16, c_void_p
from pathlib import Path
from typing import Any, Callable, Iterator, NamedTuple, Optional

import pytest

import q48


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


class EmuConfig(ctypes.Structure):
    _fields_ = [("vendor_id", c_uint16), ("product_id", c_uint16), ("busnum", c_int),
                ("devnum", c_int), ("num_altsettings", c_int), ("num_endpoints", c_int),
                ("in_endpoint", c_uint8), ("out_endpoint", c_uint8),
                ("max_packet_size", c_uint16), ("configured", c_int), ("serial", c_char_p),
                ("device_id", c_char_p), ("lp", c_int)]


class EmulatedPrinter:
    """One emulated USB printer, at /dev/bus/usb/001/011 unless the keywords
    set other fields of q48_emu_config; beside: plugged in next to that
    printer rather than alone. printer.NAME(...) calls q48_emu_NAME(emu, ...)
    of test_support/emulated_printer."""

    path = "/dev/bus/usb/001/011"
    OUT_TIMEOUT = 2  # Q48_EMU_OUT_TIMEOUT: a cut transfer hangs to its time-out

    def __init__(self, beside: Optional[EmulatedPrinter] = None, **config: Any) -> None:
        self._lib = ctypes.CDLL(os.environ["Q48_EMULATED_PRINTER_MODULE"])
        for name, args in (("new", [c_void_p]), ("free", [c_void_p]),
                           ("new_beside", [c_void_p, c_void_p]),
                           ("config_default", [c_void_p]), ("root_dir", [c_void_p]),
                           ("queue_answer", [c_void_p, ctypes.c_char_p, c_size_t]),
                           ("set_out_behaviour", [c_void_p, c_size_t, c_int]),
                           ("set_claim_busy", [c_void_p, c_int]),
                           ("set_kernel_driver", [c_void_p, c_int, c_int]),
                           ("received", [c_void_p, c_void_p, c_size_t])):
            getattr(self._lib, "q48_emu_" + name).argtypes = args
        self._lib.q48_emu_new.restype = self._lib.q48_emu_new_beside.restype = c_void_p
        self._lib.q48_emu_received.restype = c_size_t
        self._lib.q48_emu_root_dir.restype = c_char_p
        cfg = EmuConfig()
        self._lib.q48_emu_config_default(ctypes.byref(cfg))
        for name, value in config.items():
            setattr(cfg, name, value)
        self._emu: int = (self._lib.q48_emu_new_beside(beside._emu, ctypes.byref(cfg)) if beside
                     else self._lib.q48_emu_new(ctypes.byref(cfg)))
        assert self._emu, "cannot create the emulated printer"
        self.path = f"/dev/bus/usb/{cfg.busnum:03d}/{cfg.devnum:03d}"

    def __getattr__(self, name: str) -> Callable[..., Any]:
        function = getattr(self._lib, "q48_emu_" + name)
        return lambda *args: function(self._emu, *args)

    def received(self) -> bytes:
        n = self._lib.q48_emu_received(self._emu, None, 0)
        buf = ctypes.create_string_buffer(max(n, 1))
        n = self._lib.q48_emu_received(self._emu, buf, n)
        return buf.raw[:n]


@pytest.fixture
def usb_printer() -> Iterator[EmulatedPrinter]:
    printer = EmulatedPrinter()
    yield printer
    # A connection that a failed test left open would hang the next test's
    # open once its printer is freed. Any USB open ends it.
    with contextlib.suppress(q48.OpenError):
        q48.open("/dev/bus/usb/000/000")
    printer.free()
