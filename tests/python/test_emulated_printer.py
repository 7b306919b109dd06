"""The package against the emulated USB printer, through the real libusb."""

from __future__ import annotations

import ctypes
import re
import threading
import time
from pathlib import Path
from typing import Any, Callable, List

import pytest

import q48
from conftest import EmulatedPrinter

SOURCE_DIR = Path(__file__).resolve().parents[2]


@pytest.mark.parametrize(
    "setup, path, code",
    [
        (lambda emu: None, "/dev/bus/usb/001/099", q48.OpenCode.NO_PRINTER),
        (lambda emu: emu.kernel_driver(detach_fails=True), EmulatedPrinter.path,
         q48.OpenCode.DETACH_FAILED),
        (lambda emu: emu.claim_busy(100), EmulatedPrinter.path, q48.OpenCode.CLAIM_TIMEOUT),
    ],
    ids=["no_device", "driver_stays", "claim_busy"],
)
def test_open_codes_become_open_errors_with_their_meaning(
    usb_printer: EmulatedPrinter, setup: Callable[[EmulatedPrinter], None], path: str,
    code: q48.OpenCode
) -> None:
    setup(usb_printer)
    with pytest.raises(q48.OpenError) as failed:
        q48.open(path)
    assert failed.value.code is code
    assert failed.value.meaning == q48.OPEN_CODES[code] == code.meaning
    assert str(failed.value) == f"cannot open {path}: {code.meaning} (code {int(code)})"


def test_open_leaves_the_callers_path_whole(usb_printer: EmulatedPrinter) -> None:
    # Handing open the bytes object itself would let strtok cut it in place.
    path = bytes(bytearray(b"/dev/bus/usb/001/011"))  # not the constant below
    with q48.open(path) as printer:
        assert printer.path == EmulatedPrinter.path
    assert path == b"/dev/bus/usb/001/011"


def test_short_write_reports_its_count_and_resumes_without_repeats(
    usb_printer: EmulatedPrinter,
) -> None:
    job = bytes(range(10))
    usb_printer.accept_only(4)
    with q48.open(usb_printer.path) as printer:
        sent = 0
        for _ in range(3):  # a time-out of 0 makes exactly one transfer
            try:
                sent += printer.write(job[sent:], 0)
            except q48.TimeoutError as cut:
                assert (cut.count, cut.requested) == (4, len(job) - sent)
                sent += cut.count
        assert sent == len(job)
    assert usb_printer.received() == job


def test_read_times_out_then_takes_the_answer_and_debug_output_can_be_switched(
    usb_printer: EmulatedPrinter, capfd: pytest.CaptureFixture[str]
) -> None:
    libc = ctypes.CDLL(None)
    with q48.open(usb_printer.path) as printer:
        q48.set_debug_messages(True)
        try:
            assert q48.debug_messages()
            with pytest.raises(q48.TimeoutError) as timed_out:
                printer.read(1, 200)
        finally:
            q48.set_debug_messages(False)
        assert (timed_out.value.count, timed_out.value.data) == (0, b"")
        libc.fflush(None)
        assert "Start of reading = 1" in capfd.readouterr().out

        usb_printer.queue_answer(b"\x12\x34")
        assert printer.read(2, 1000) == b"\x12\x34"
        libc.fflush(None)
        assert capfd.readouterr().out == ""


def test_coded_text_round_trips_through_the_printer(usb_printer: EmulatedPrinter) -> None:
    raw = q48.coded_to_raw('[1B 40] [1B 61 01] "Caf\u00e9" \\n [1D 56 00] // cut')
    assert raw == b"\x1b@\x1ba\x01Caf\xc3\xa9\n\x1dV\x00"
    with q48.open(usb_printer.path) as printer:
        printer.write(raw, 1000)
    coded = q48.raw_to_coded(usb_printer.received())
    assert re.fullmatch(r"\[[0-9A-F]{2}( [0-9A-F]{2})*\]", coded)
    assert q48.coded_to_raw(coded) == raw
    assert q48.coded_to_raw(b"\x00[41]") == b"A" and q48.coded_to_raw("") == b""
    assert q48.raw_to_coded(b"") == "" and q48.raw_to_coded(bytearray(b"\x00")) == "[00]"


def test_conversions_release_their_command_objects_also_on_errors(
    monkeypatch: pytest.MonkeyPatch,
) -> None:
    real = q48._tb
    made: List[int] = []

    class Toolbox:
        """The real toolbox, noting the objects made; with fail set, the
        getters refuse a live object, which the real one never does."""

        fail = False

        def __getattr__(self, name: str) -> Any:
            if name.startswith("Q48_tb_cmd_init"):

                def init(*args: Any) -> int:
                    made.append(getattr(real, name)(*args))
                    return made[-1]

                return init
            if name.startswith("Q48_tb_cmd_get") and self.fail:
                return lambda *args: 0
            return getattr(real, name)

    toolbox = Toolbox()
    monkeypatch.setattr(q48, "_tb", toolbox)
    assert q48.raw_to_coded(q48.coded_to_raw("[1B 40]")) == "[1B 40]"
    toolbox.fail = True
    with pytest.raises(q48.Error):
        q48.coded_to_raw("[0C]")
    with pytest.raises(q48.Error):
        q48.raw_to_coded(b"\x0c")
    assert len(made) == 4 and all(made)
    for handle in made:  # a released handle is refused
        assert real.Q48_tb_cmd_get_coded_str(handle, ctypes.byref(ctypes.c_char_p())) == 0


class CallWatch:
    """Forwards every call to the real access library and notes how many
    were inside it at once."""

    def __init__(self, api: ctypes.CDLL) -> None:
        self._api = api
        self._count = threading.Lock()
        self.inside = 0
        self.most_inside = 0

    def __getattr__(self, name: str) -> Callable[..., Any]:
        real = getattr(self._api, name)

        def watched(*args: Any) -> Any:
            with self._count:
                self.inside += 1
                self.most_inside = max(self.most_inside, self.inside)
            try:
                return real(*args)
            finally:
                with self._count:
                    self.inside -= 1

        return watched


def test_threads_get_serialised_calls_and_intact_bytes(
    usb_printer: EmulatedPrinter, monkeypatch: pytest.MonkeyPatch
) -> None:
    watch = CallWatch(q48._api)
    monkeypatch.setattr(q48, "_api", watch)
    chunks = {tag: bytes([tag]) * 200 for tag in (0xA1, 0xB2)}
    with q48.open(usb_printer.path) as printer:

        def reader() -> None:
            with pytest.raises(q48.TimeoutError):
                printer.read(1, 500)

        def writer(tag: int) -> None:
            for _ in range(10):
                printer.write(chunks[tag], 2000)

        threads = [threading.Thread(target=reader)]
        threads += [threading.Thread(target=writer, args=(tag,)) for tag in chunks]
        threads[0].start()
        while watch.inside == 0:
            time.sleep(0.001)
        # Had the call kept the GIL, this thread could not run again until
        # the read was over.
        time.sleep(0.05)
        assert watch.inside == 1 and threads[0].is_alive()
        for thread in threads[1:]:
            thread.start()
        for thread in threads:
            thread.join()
    assert watch.most_inside == 1
    got = usb_printer.received()
    pieces = [got[i:i + 200] for i in range(0, len(got), 200)]
    assert sorted(pieces) == sorted(list(chunks.values()) * 10)


def test_tables_match_the_libraries_and_q48_send() -> None:
    """The prototypes cover every exported function (none goes through
    ctypes' int default), the build tree's libraries are the ones loaded,
    and the open-code texts are q48-send's."""
    from q48 import _native

    def functions(library: str) -> List[str]:
        listed = (SOURCE_DIR / "tests/interface" / f"expected_symbols_{library}.txt").read_text()
        return sorted(n for n in listed.split() if re.match(r"Q48_(api|tb)_", n))

    assert sorted(_native.API_PROTOTYPES) == functions("Q48Api")
    assert sorted(_native.TB_PROTOTYPES) == functions("Q48Tb")

    maps = Path("/proc/self/maps").read_text()
    build = Path(__import__("os").environ[q48.BUILD_DIR_VARIABLE]).resolve()
    for soname in ("libQ48Api.so.1", "libQ48Tb.so.1"):
        assert re.search(re.escape(str(build)) + r"/\S+/" + re.escape(soname) + "(.0.0)?$", maps,
                         re.M), soname

    source = (SOURCE_DIR / "tools/q48_send.cpp").read_text()
    table = source[source.index("kOpenCodes[] = {"):source.index("};", source.index("kOpenCodes"))]
    rows = re.findall(r"\{Q48_API_(\w+),((?:\s*\"[^\"]*\")+)\}", table)
    assert {q48.OpenCode[name]: "".join(re.findall(r"\"([^\"]*)\"", texts))
            for name, texts in rows} == q48.OPEN_CODES
