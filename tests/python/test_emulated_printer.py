"""The package against the emulated USB printer, through the real libusb."""

from __future__ import annotations

import ctypes
import errno
import os
import re
import subprocess
import threading
import time
from pathlib import Path
from typing import Any, Callable
from urllib.parse import quote

import pytest

import q48
from conftest import DeviceTree, EmulatedPrinter
from keep_printing import print_job

USB = EmulatedPrinter.path


@pytest.mark.parametrize("setup, path, code", [
    (lambda emu: None, "/dev/bus/usb/001/099", q48.OpenCode.NO_PRINTER),
    (lambda emu: emu.set_kernel_driver(1, 1), USB, q48.OpenCode.DETACH_FAILED),
    (lambda emu: emu.set_claim_busy(100), USB, q48.OpenCode.CLAIM_TIMEOUT),
])
def test_open_codes_become_open_errors_with_their_meaning(
    usb_printer: EmulatedPrinter, setup: Callable[[EmulatedPrinter], None], path: str,
    code: q48.OpenCode
) -> None:
    setup(usb_printer)
    with pytest.raises(OSError) as failed:  # as a file or serial port that cannot be opened
        q48.open(path)
    assert isinstance(failed.value, q48.OpenError) and failed.value.errno is None
    assert failed.value.code is code and failed.value.meaning == q48.OPEN_CODES[code]
    assert str(failed.value) == f"cannot open {path}: {code.meaning} (code {int(code)})"


def test_short_write_reports_its_count_and_resumes_without_repeats(
    usb_printer: EmulatedPrinter,
) -> None:
    job = bytes(range(10))
    usb_printer.set_out_behaviour(4, EmulatedPrinter.OUT_TIMEOUT)
    # Handing open this bytes object itself would let strtok cut it in place.
    path = bytes(bytearray(USB.encode()))
    with q48.open(path) as printer:
        sent, cuts = 0, []
        for _ in range(3):  # a time-out of 0 makes exactly one transfer
            try:
                sent += printer.write(job[sent:], 0)
            except q48.TimeoutError as cut:
                cuts.append((cut.count, cut.requested))
                sent += cut.count
    assert cuts == [(4, 10), (4, 6)]
    assert path == b"/dev/bus/usb/001/011" and printer.path == USB
    assert usb_printer.received() == job


def test_read_times_out_then_takes_the_answer_and_debug_output_can_be_switched(
    usb_printer: EmulatedPrinter, capfd: pytest.CaptureFixture[str]
) -> None:
    with q48.open(USB) as printer:
        q48.set_debug_messages(True)
        try:
            assert q48.debug_messages()
            with pytest.raises(q48.TimeoutError) as timed_out:
                printer.read(1, 200)
        finally:
            q48.set_debug_messages(False)
        assert (timed_out.value.count, timed_out.value.data) == (0, b"")
        assert str(timed_out.value) == f"{USB}: received 0 of 1 bytes within 200 ms"
        usb_printer.queue_answer(b"\x12\x34", 2)
        assert printer.read(2, 1000) == b"\x12\x34"
    ctypes.CDLL(None).fflush(None)
    assert capfd.readouterr().out.count("Start of reading") == 1


def test_a_later_open_cuts_off_earlier_printers_which_close_only_themselves(
    usb_printer: EmulatedPrinter, device_tree: DeviceTree
) -> None:
    ring = ctypes.c_void_p.in_dll(q48._api, "m_pub_rx_buffer")  # NULL once closed
    fifo = q48.open(device_tree.lp0)
    # libusb may give a later connection an earlier one's address.
    fd, first, second, third = fifo._live(), q48.open(USB), q48.open(USB), q48.open(USB)
    calls: list[Callable[[q48.Printer], object]] = [
        lambda p: p.write(b"x", 100), lambda p: p.read(1, 100),
        q48.Printer.clear, q48.Printer.set_serial]
    for printer, why in ((first, "later open ended"), (fifo, "out of reach")):
        for call in calls:
            with pytest.raises(q48.Error, match=why):
                call(printer)
    first.close()
    fifo.close()  # but really closes the descriptor
    with pytest.raises(OSError) as gone:
        os.fstat(fd)
    assert gone.value.errno == errno.EBADF and first.closed and fifo.closed
    with pytest.warns(ResourceWarning, match="unclosed printer"):
        del second
    assert third.write(b"ok", 1000) == 2 and ring.value is not None
    with q48.api_lock, pytest.warns(ResourceWarning):
        del third  # a collection inside a call must not wait for its lock
    q48.debug_messages()
    assert ring.value is None and usb_printer.received() == b"ok"


def test_printers_are_listed_as_q48_list_lists_them_and_found_by_whole_serials(
    usb_printer: EmulatedPrinter,
) -> None:
    if "Q48_LIST" not in os.environ:
        pytest.skip("q48-list is not built here (Q48_BUILD_TOOLS=OFF)")
    others = [EmulatedPrinter(usb_printer, devnum=4, serial=b"Till 2/\xe9", lp=0),
              EmulatedPrinter(usb_printer, busnum=3, devnum=2, serial=None)]
    try:
        found, env = q48.printers(), dict(os.environ, UMOCKDEV_DIR=usb_printer.root_dir().decode())
        listed = [subprocess.run([os.environ["Q48_LIST"], *args.split()], env=env, check=True,
                                 capture_output=True).stdout.decode().splitlines()
                  for args in ("", "--uri")]
        uris = [f"q48://usb?serial={quote(p.serial.encode('utf-8', 'surrogateescape'), '')}"
                if p.serial else f"q48:{p.path}" for p in found]
        assert listed == [[" ".join(filter(None, (p.path, p.lp))) for p in found], uris]
        assert found[0] == q48.PrinterInfo("/dev/bus/usb/001/004", "Till 2/\udce9", "/dev/usb/lp0",
                                           "Mirelvank", "Q48", 1, 4)
        with pytest.raises(q48.OpenError, match="no printer with that serial") as absent:
            q48.open(serial="Till 2/")
        assert (absent.value.code, absent.value.path) == (q48.OpenCode.NO_PRINTER, "")
    finally:
        for other in others:
            other.free()


def test_open_by_serial_opens_no_other_device_that_took_the_address(
    usb_printer: EmulatedPrinter, monkeypatch: pytest.MonkeyPatch
) -> None:
    # A replug between the lookup and the open cannot be timed with real
    # parts: a lookup that swaps the printers once it has looked stands in
    # for it. Another device takes 001/011; the one asked for comes back at 012.
    real, swapped = q48.printers, list[EmulatedPrinter]()

    def lookup() -> list[q48.PrinterInfo]:
        found = real()
        if not swapped:
            swapped.append(EmulatedPrinter(serial=b"Q48OTHER"))
            swapped.append(EmulatedPrinter(swapped[0], devnum=12))
        return found

    monkeypatch.setattr(q48, "printers", lookup)
    try:
        with q48.open(serial="Q48EMU0001") as printer:
            printer.write(b"job", 1000)
        assert [emu.received() for emu in swapped] == [b"", b"job"]
    finally:
        for emu in swapped:
            emu.free()


def test_a_job_goes_on_across_a_power_cycle_without_a_byte_twice(
    usb_printer: EmulatedPrinter,
) -> None:
    job, back = bytes(range(256)) * 8, list[EmulatedPrinter]()
    usb_printer.set_out_behaviour(64, EmulatedPrinter.OUT_TIMEOUT)  # 64 bytes a transfer

    def power_cycle() -> None:
        give_up = time.monotonic() + 10  # so that a job that never starts fails
        while len(usb_printer.received()) < 256 and time.monotonic() < give_up:
            time.sleep(0.01)
        usb_printer.unplug()
        time.sleep(0.3)
        back.append(EmulatedPrinter(devnum=12))  # the same serial at a new address

    cycle = threading.Thread(target=power_cycle)
    cycle.start()
    try:
        print_job("Q48EMU0001", job, timeout_ms=500, patience_s=10)
    finally:
        cycle.join()
    before, after = usb_printer.received(), back[0].received()
    back[0].free()
    assert 256 <= len(before) < len(job) and before + after == job


def test_coded_text_round_trips_through_the_printer(usb_printer: EmulatedPrinter) -> None:
    raw = q48.coded_to_raw('[1B 40] [1B 61 01] "Caf\u00e9" \\n [1D 56 00] // cut')
    assert raw == b"\x1b@\x1ba\x01Caf\xc3\xa9\n\x1dV\x00"
    with q48.open(USB) as printer:
        printer.write(raw, 1000)
    coded = q48.raw_to_coded(usb_printer.received())
    assert q48.coded_to_raw(coded) == raw
    assert q48.coded_to_raw(b"\x00[41]") == b"A" and q48.coded_to_raw("") == b""
    assert q48.raw_to_coded(b"") == "" and q48.raw_to_coded(bytearray(b"\x00")) == "[00]"
    assert q48.raw_to_coded(memoryview(b"\x01\x02\x03")[::2]) == "[01 03]"
    for convert in (q48.raw_to_coded, q48.coded_to_raw):
        with pytest.raises(TypeError):  # no int turns into NUL bytes
            convert(3)  # type: ignore[arg-type]


def test_conversions_release_their_command_objects_also_on_errors(
    monkeypatch: pytest.MonkeyPatch,
) -> None:
    real, made = q48._tb, list[int]()

    class Toolbox:  # the real toolbox, noting the objects it makes
        fail = False  # a getter refusing a live object: the real one never does

        def __getattr__(self, name: str) -> Any:
            return getattr(real, name)

        def Q48_tb_cmd_init_coded(self, *args: Any) -> int:
            made.append(real.Q48_tb_cmd_init_coded(*args))
            return made[-1]

        def Q48_tb_cmd_get_raw(self, *args: Any) -> int:
            return 0 if self.fail else int(real.Q48_tb_cmd_get_raw(*args))

    monkeypatch.setattr(q48, "_tb", Toolbox())
    assert q48.coded_to_raw("[1B 40]") == b"\x1b@"
    Toolbox.fail = True
    with pytest.raises(q48.Error):
        q48.coded_to_raw("[0C]")
    assert len(made) == 2 and all(made)
    for handle in made:  # a released handle is refused
        assert real.Q48_tb_cmd_get_coded_str(handle, ctypes.byref(ctypes.c_char_p())) == 0


def test_threads_get_serialised_calls_and_intact_bytes(
    usb_printer: EmulatedPrinter, monkeypatch: pytest.MonkeyPatch
) -> None:
    # Every call still reaches the real library; the watch counts how many
    # are inside it at once.
    api, guard, inside, most = q48._api, threading.Lock(), [0], [0]

    def watched(real: Callable[..., Any]) -> Callable[..., Any]:
        def call(*args: Any) -> Any:
            with guard:
                inside[0] += 1
                most[0] = max(most[0], inside[0])
            try:
                return real(*args)
            finally:
                with guard:
                    inside[0] -= 1
        return call

    class Watch:
        def __getattr__(self, name: str) -> Any:
            return watched(getattr(api, name))

    monkeypatch.setattr(q48, "_api", Watch())
    chunks = [bytes([tag]) * 200 for tag in (0xA1, 0xB2)]
    with q48.open(USB) as printer:
        reader = threading.Thread(target=lambda: pytest.raises(q48.TimeoutError, printer.read,
                                                               1, 500))
        writers = [threading.Thread(target=lambda c=c: [printer.write(c, 2000) for _ in range(10)])
                   for c in chunks]
        reader.start()
        while inside[0] == 0:
            time.sleep(0.001)
        # Had the read kept the GIL, this thread could not run again before
        # it was over.
        time.sleep(0.05)
        assert inside[0] == 1 and reader.is_alive()
        for thread in writers:
            thread.start()
        for thread in [reader] + writers:
            thread.join()
    assert most[0] == 1
    got = usb_printer.received()
    assert sorted(got[i:i + 200] for i in range(0, len(got), 200)) == sorted(chunks * 10)


def test_tables_match_the_libraries_and_the_programs() -> None:
    """Prototypes for every exported function (none goes through ctypes'
    int default), the build tree's libraries loaded, the texts with which
    q48-send and the CUPS backend report open's codes."""
    source = Path(os.environ["Q48_SOURCE_DIR"])
    build = Path(os.environ[q48.BUILD_DIR_VARIABLE]).resolve()
    maps = Path("/proc/self/maps").read_text()
    for lib, table in (("Api", q48._native.API_PROTOTYPES), ("Tb", q48._native.TB_PROTOTYPES)):
        listed = (source / f"tests/interface/expected_symbols_Q48{lib}.txt").read_text().split()
        assert sorted(table) == sorted(n for n in listed if re.match(r"Q48_(api|tb)_", n))
        assert f"{build}/Q48_{lib}/Sources/libQ48{lib}.so.1" in maps

    codes = subprocess.run([os.environ["Q48_OPEN_CODES_PROGRAM"]], check=True,
                           capture_output=True, text=True).stdout
    rows = (line.split("\t") for line in codes.splitlines())
    assert {q48.OpenCode(int(code)): meaning for code, meaning in rows} == q48.OPEN_CODES
