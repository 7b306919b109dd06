"""Access to a Q48 receipt printer from Python, over libQ48Api and libQ48Tb.

>>> import q48
>>> with q48.open("/dev/bus/usb/001/011") as printer:
...     printer.write(q48.coded_to_raw('[1B 40] "Hello" \\n'), timeout_ms=2000)
8

Paths are those of ``Q48_api_printer_open``: ``/dev/bus/usb/BBB/DDD`` for the
raw USB device (see :func:`printers`), ``/dev/usb/lpN`` for a USB
line-printer node, ``/dev/ttySN`` for a serial port.

A USB printer's address changes each time it is plugged in; its serial
number does not. A job that has to outlast a power cycle finds the printer
again by it and sends only what the failed write left
(``examples/keep_printing.py`` also gives up after a while)::

    sent = 0
    while sent < len(job):
        try:
            with q48.open(serial="Q48EMU0001") as printer:
                sent += printer.write(job[sent:], timeout_ms=2000)
        except q48.TimeoutError as cut:
            sent += cut.count  # these reached the printer: never again
        except q48.Error:
            time.sleep(0.5)  # off, unplugged, or not back yet

Threads: the access library keeps its one connection in process-wide state
and its calls must not overlap. Every call into it made by this package, on
any printer object and through the module functions, holds one lock,
:data:`api_lock`, for the length of the call. ctypes releases the GIL during
the call itself, so other Python threads keep running; only a second printer
call waits, for as long as the first may take (its time-out). The coded-text
functions use the toolbox, which guards itself, and take no lock.

One USB connection per process: every open that reaches a transport, a
device-file open too, ends the USB connection that an earlier open left
open. The earlier printer object then raises :class:`Error` on every call,
and its ``close()`` only marks it closed: the library may have given its
handle, an address, to the new connection. Device files stay open across
later opens, but the library sends each call over the transport of the last
open; while that is USB, a device-file printer raises :class:`Error` on
every call but ``close()``, which still closes its descriptor.

Set ``Q48_BUILD_DIR`` to a CMake build tree (``build/default``) to load the
libraries built there instead of the installed ones.
"""

from __future__ import annotations

import builtins
import contextlib
import ctypes
import enum
import os
import sys
import threading
import warnings
from typing import Callable, Iterator, List, Mapping, NamedTuple, Optional, Tuple, Type, Union

from . import _native

__all__ = [
    "Error",
    "OpenCode",
    "OpenError",
    "OPEN_CODES",
    "TimeoutError",
    "Printer",
    "PrinterInfo",
    "open",
    "printers",
    "coded_to_raw",
    "raw_to_coded",
    "debug_messages",
    "set_debug_messages",
    "api_library_info",
    "toolbox_library_info",
    "api_lock",
    "BUILD_DIR_VARIABLE",
]

__version__ = "1.1.0"

BUILD_DIR_VARIABLE = _native.BUILD_DIR_VARIABLE

_api, _tb = _native.load()

#: Serialises every call into libQ48Api; see the module's description.
api_lock = threading.Lock()

# Any object of the buffer protocol is taken (array.array, mmap, ...); these
# are the ones a type checker knows.
BytesLike = Union[bytes, bytearray, memoryview]
PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

_INT_MAX = 2**31 - 1
# The toolbox refuses raw input above (INT_MAX - 2) / 3 bytes: its coded
# text of 3 * n + 2 bytes must still fit an int.
_RAW_MAX = (_INT_MAX - 2) // 3
_ULONG_MAX = 2 ** (8 * ctypes.sizeof(ctypes.c_ulong)) - 1

# The library's transport, that of the last open that reached one (0: none
# yet); every call follows it.
_transport = ctypes.c_int.in_dll(_api, "communication")
_DEVICE_FILE, _USB = 1, 2

# The token of the printer that holds the library's USB connection, or None.
# A token rather than the printer, so that this record never keeps an
# abandoned printer alive. Read and set under api_lock.
_usb_holder: Optional[object] = None

# The (handle, usb, token) of printers collected unclosed, for whoever holds
# api_lock next to close. A collection can start at any allocation, in a
# thread that holds the lock already, so a finaliser must never wait for it.
_abandoned: List[Tuple[int, bool, object]] = []


def _close_abandoned() -> None:
    # Tried again after each release, so that a printer abandoned while the
    # lock was taken is closed by its holder or by the finaliser itself.
    while _abandoned and api_lock.acquire(blocking=False):
        try:
            while _abandoned:
                _end(*_abandoned.pop())
        finally:
            api_lock.release()


@contextlib.contextmanager
def _locked() -> Iterator[None]:
    """Holds :data:`api_lock` for a call into the library."""
    try:
        with api_lock:
            yield
    finally:
        _close_abandoned()


class Error(OSError):
    """Base of the errors this package raises for the printer.

    An :class:`OSError`, as a failing file or serial port is, so that
    ``except OSError`` also catches a printer that cannot be opened. Its
    ``errno`` is ``None``: the libraries report no system error number.
    """


class OpenCode(enum.IntEnum):
    """The negative results of ``Q48_api_printer_open``."""

    OPEN_FAILED = -1
    NO_PRINTER = -2
    DETACH_FAILED = -3
    CLAIM_TIMEOUT = -4
    NO_CONFIG = -5
    NO_ALTSETTING = -6
    TOO_FEW_ENDPOINTS = -7
    NO_MEMORY = -8

    @property
    def meaning(self) -> str:
        """What the code means to someone at a shell, as ``q48-send`` says it."""
        return OPEN_CODES[self]


# The texts of q48-send, word for word, so that a program and the tool report
# one failure alike.
OPEN_CODES: Mapping[int, str] = {
    OpenCode.OPEN_FAILED: "the device cannot be opened (missing, or no permission)",
    OpenCode.NO_PRINTER: "no printer there (unknown kind of path, no USB device at that "
    "address, or not a Q48 printer)",
    OpenCode.DETACH_FAILED: "a kernel driver holds the USB interface and cannot be detached",
    OpenCode.CLAIM_TIMEOUT: "the USB interface stayed busy for 1000 ms (another program "
    "uses the printer)",
    OpenCode.NO_CONFIG: "the USB configuration cannot be read",
    OpenCode.NO_ALTSETTING: "the USB interface has no alternate setting",
    OpenCode.TOO_FEW_ENDPOINTS: "the USB interface has fewer than two endpoints",
    OpenCode.NO_MEMORY: "no memory for the receive buffer",
}


class OpenError(Error):
    """The printer could not be opened.

    Attributes:
        code: open's result, an :class:`OpenCode` (a plain ``int`` for a code
            this package does not know).
        meaning: the code's text, as ``q48-send`` prints it.
        path: the path as the caller gave it, or where the serial number
            was found; ``""`` when it was not.
        serial: the serial number asked for, ``None`` for an open by path.
    """

    def __init__(self, path: str, code: int, serial: Optional[str] = None) -> None:
        self.path = path
        self.serial = serial
        self.code: int = OpenCode(code) if code in OPEN_CODES else code
        absent = serial is not None and not path
        self.meaning = _NO_SUCH_SERIAL if absent else OPEN_CODES.get(code, "unknown error")
        what = f"the printer with serial number {serial!r}" if absent else path
        super().__init__(f"cannot open {what}: {self.meaning} (code {code})")


_NO_SUCH_SERIAL = "no printer with that serial number is attached"


class TimeoutError(Error, builtins.TimeoutError):
    """A write or read did not finish within its time-out.

    Attributes:
        count: the bytes that did go through. A write never sends a byte
            twice, so ``data[count:]`` is what is left to send.
        requested: the bytes the call was asked to move.
        data: for a read, the bytes received before the time ran out (a
            device file may bring part of an answer; USB brings all or
            nothing and keeps a partial answer for the next read); empty
            for a write.
    """

    def __init__(self, what: str, count: int, requested: int, timeout_ms: int,
                 data: bytes = b"") -> None:
        self.count = count
        self.requested = requested
        self.data = data
        super().__init__(f"{what} {count} of {requested} bytes within {timeout_ms} ms")


def _check_timeout(timeout_ms: int) -> None:
    if not 0 <= timeout_ms <= _ULONG_MAX:
        raise ValueError(f"timeout_ms must lie in 0 .. {_ULONG_MAX}, not {timeout_ms}")


def _byte_buffer(data: BytesLike, limit: int, what: str) -> "ctypes.Array[ctypes.c_ubyte]":
    # memoryview() takes the buffer protocol and nothing else, so an int
    # cannot turn into that many NUL bytes as it would through bytes(). A
    # writable buffer is lent to the library as it is, without a copy of a
    # job that may run to hundreds of megabytes; while lent, it cannot be
    # resized under the call. One beyond the limit is refused before any
    # copy: a read-only mmap of gigabytes would otherwise be read whole.
    try:
        view = memoryview(data)
    except TypeError:
        raise TypeError(f"a bytes-like object is required, not {type(data).__name__!r}") from None
    if view.nbytes > limit:
        raise OverflowError(f"{what} at most {limit} bytes")
    if not view.c_contiguous:
        view = memoryview(view.tobytes())
    array = ctypes.c_ubyte * view.nbytes
    return array.from_buffer_copy(view) if view.readonly else array.from_buffer(view)


class Printer:
    """An open printer connection; made by :func:`open`.

    A context manager: leaving the ``with`` block closes it. Every method
    holds :data:`api_lock` while it calls the access library, so one printer
    may be shared between threads, and calls on it queue up rather than
    overlap. A method of a closed printer raises :class:`ValueError`; one
    of a printer that a later open cut off raises :class:`Error` (see the
    module's description). A printer dropped without ``close()`` is closed
    when it is collected, with a :class:`ResourceWarning`, as a file is.
    """

    def __init__(self, handle: int, path: str, usb: bool) -> None:
        self._handle: Optional[int] = handle
        self._path = path
        self._usb = usb
        self._token = object()

    @property
    def path(self) -> str:
        """The path the printer was opened with, as the caller gave it."""
        return self._path

    @property
    def closed(self) -> bool:
        """Whether :meth:`close` has run."""
        return self._handle is None

    def _live(self) -> int:
        # Read under api_lock, in the call that uses it: a close() between
        # the read and the call would free the descriptor number for the
        # next file the process opens, and the call would go there.
        if self._handle is None:
            raise ValueError(f"the printer {self._path} is closed")
        if self._usb and _usb_holder is not self._token:
            raise Error(f"{self._path}: a later open ended this USB connection "
                        "(the library keeps one per process); open the printer again")
        if not self._usb and _transport.value != _DEVICE_FILE:
            raise Error(f"{self._path}: out of reach since a USB open (the library sends "
                        "every call over the transport of the last open)")
        return self._handle

    def write(self, data: BytesLike, timeout_ms: int) -> int:
        """Sends all of ``data`` within ``timeout_ms`` milliseconds.

        Returns the number of bytes sent, ``len(data)``. Raises
        :class:`TimeoutError` when the time ran out first; its ``count`` says
        how many went out, and none of them is sent again by a later
        ``write(data[count:], ...)``. Over USB the call may overrun the
        time-out by about 110 ms. An empty ``data`` sends nothing and
        returns 0. ``data`` is a bytes-like object (``bytes``,
        ``bytearray``, ``memoryview`` or another buffer); anything else,
        an ``int`` included, raises :class:`TypeError`.
        """
        _check_timeout(timeout_ms)
        buffer = _byte_buffer(data, _INT_MAX, "a write takes")
        size = len(buffer)
        with _locked():
            handle = self._live()
            if size == 0:
                return 0
            sent = int(_api.Q48_api_printer_write(handle, buffer, size, timeout_ms))
        if sent != size:
            raise TimeoutError(f"{self._path}: sent", max(sent, 0), size, timeout_ms)
        return sent

    def read(self, n: int, timeout_ms: int) -> bytes:
        """Receives ``n`` bytes within ``timeout_ms`` milliseconds.

        Returns exactly ``n`` bytes, or raises :class:`TimeoutError`, whose
        ``data`` holds what a device file brought before the time ran out.
        Over USB a read of more than 1023 bytes can never be met (the
        receive ring holds no more), and a full ring raises :class:`Error`.
        ``n`` 0 returns ``b""`` without a call.
        """
        _check_timeout(timeout_ms)
        if not 0 <= n <= _INT_MAX:
            raise ValueError(f"n must lie in 0 .. {_INT_MAX}, not {n}")
        buffer = (ctypes.c_ubyte * n)()
        with _locked():
            handle = self._live()
            if n == 0:
                return b""
            got = int(_api.Q48_api_printer_read(handle, buffer, n, timeout_ms))
        if got < 0:
            # -1: no scratch memory; -2, -3: the ring cannot take one more
            # whole packet, so read the answer in smaller pieces.
            raise Error(f"{self._path}: the USB receive ring cannot take the answer "
                        f"(read's result {got})")
        if got < n:
            raise TimeoutError(f"{self._path}: received", got, n, timeout_ms, bytes(buffer[:got]))
        return bytes(buffer)

    def clear(self) -> None:
        """Discards pending input: reads until a device file has been silent
        for 100 ms; over USB waits up to 500 ms for a late answer (about
        550 ms on a silent printer) and, once bytes come, reads on until the
        printer has nothing more. Returns within about a second either way."""
        with _locked():
            done = int(_api.Q48_api_printer_clear(self._live()))
        if done != 1:
            raise Error(f"{self._path}: the connection is no longer open")

    def set_serial(self, baud: int = 115200, parity: str = "N", stop_bits: int = 1) -> None:
        """Sets up a serial line: ``baud`` 2400 .. 115200 (the library takes
        any other rate as 115200), 8 data bits, ``parity`` ``"N"``, ``"E"``
        or ``"O"``, ``stop_bits`` 1 or 2, hardware flow control. Discards
        pending input. The port keeps the settings after close; on a USB
        printer nothing happens. Raises :class:`Error` when the device
        refuses them: it is no terminal (a line-printer node, say)."""
        if parity.upper() not in ("N", "E", "O"):
            raise ValueError(f"parity must be 'N', 'E' or 'O', not {parity!r}")
        if stop_bits not in (1, 2):
            raise ValueError(f"stop_bits must be 1 or 2, not {stop_bits}")
        if not 0 <= baud <= _ULONG_MAX:
            raise ValueError(f"baud must lie in 0 .. {_ULONG_MAX}, not {baud}")
        with _locked():
            done = int(_api.Q48_api_printer_set_serial(self._live(), baud, 8,
                                                       ord(parity.upper()), stop_bits))
        if done != 1:
            raise Error(f"{self._path}: the device refuses the serial line settings "
                        "(it is no terminal)")

    def close(self) -> None:
        """Ends the connection. Closing again does nothing. A call that
        another thread has under way finishes first; one that comes after
        raises :class:`ValueError` and moves nothing."""
        with _locked():
            handle, self._handle = self._handle, None
            if handle is not None:
                _end(handle, self._usb, self._token)

    def __del__(self, _finalizing: Callable[[], bool] = sys.is_finalizing) -> None:
        # As an unclosed file does. At interpreter exit the process's end
        # ends the connection, and the module may be half torn down.
        handle = getattr(self, "_handle", None)
        if handle is None or _finalizing():
            return
        message = f"unclosed printer {self!r}"
        self._handle = None
        _abandoned.append((handle, self._usb, self._token))
        _close_abandoned()
        warnings.warn(message, ResourceWarning, source=self)

    def __enter__(self) -> "Printer":
        self._live()
        return self

    def __exit__(self, exc_type: Optional[Type[BaseException]],
                 exc: Optional[BaseException], traceback: object) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self._handle is None else "open"
        return f"<q48.Printer {self._path!r} {state}>"


# Each miss is a printer that left its address while it was being opened,
# and another device that took it. A few tries outlast any replug; the bound
# keeps a bus that never settles from holding the caller.
_SERIAL_OPEN_TRIES = 3


def open(path: Optional[PathLike] = None, *, serial: Optional[str] = None) -> Printer:
    """Opens the printer at ``path``, or the attached printer whose serial
    number is ``serial`` wherever it is plugged in now, and returns it.

    Give exactly one of them. Raises :class:`OpenError` with open's code and
    its meaning; for a serial number that no attached printer has, the code
    is :attr:`OpenCode.NO_PRINTER` and ``path`` is ``""``. Serial numbers
    are compared whole, as :func:`printers` gives them; of two printers with
    the same one, the first in its order is opened. Finding a printer and
    opening its address are two steps: should it be unplugged between them
    and another device take the address, the open reaches that one. So once
    open, the device at the address must still show the serial number, or
    it is closed and looked for again; after three such misses the open
    fails with :attr:`OpenCode.NO_PRINTER`. The library gets a copy
    of the path in a writable buffer of its own, which it may cut into
    tokens; the caller's string stays as it was. A USB open blocks for up to
    about a second while another program holds the printer.
    """
    if (path is None) == (serial is None):
        raise TypeError("open() takes a path or a serial number, and not both")
    if path is None:
        for _ in range(_SERIAL_OPEN_TRIES):
            info = next((info for info in printers() if info.serial == serial), None)
            if info is None:
                break
            try:
                printer = open(info.path)
            except OpenError as error:
                error.serial = serial
                raise
            # sysfs shows the device that has the address now, the one opened.
            if any(now.serial == serial and (now.bus, now.address) == (info.bus, info.address)
                   for now in printers()):
                return printer
            printer.close()
        raise OpenError("", OpenCode.NO_PRINTER, serial)
    encoded = os.fsencode(path)
    if b"\0" in encoded:
        raise ValueError("the printer path holds a NUL byte")
    shown = os.fsdecode(encoded)
    port = ctypes.create_string_buffer(encoded)
    global _usb_holder
    with _locked():
        handle = int(_api.Q48_api_printer_open(port))
        if _transport.value != 0:  # reached one, so the USB connection is over
            _usb_holder = None
        if handle < 0:
            raise OpenError(shown, handle)
        printer = Printer(handle, shown, usb=_transport.value == _USB)
        if printer._usb:
            _usb_holder = printer._token
    return printer


class PrinterInfo(NamedTuple):
    """An attached printer, as :func:`printers` finds it.

    Attributes:
        path: its raw USB path for :func:`open`, ``/dev/bus/usb/BBB/DDD``.
        serial: its serial number, ``None`` when it has none. Bytes that
            are no UTF-8 are kept as surrogate escapes, as Python keeps such
            file names: ``serial.encode("utf-8", "surrogateescape")`` gives
            them back, and no other text compares equal.
        lp: the line-printer node ``/dev/usb/lpN`` that the kernel's usblp
            driver made for it, or ``None``.
        manufacturer, product: its names for them, ``None`` when unknown.
        bus, address: the bus number and device address in ``path``.
    """

    path: str
    serial: Optional[str]
    lp: Optional[str]
    manufacturer: Optional[str]
    product: Optional[str]
    bus: int
    address: int


_USB_DEVICES = "/sys/bus/usb/devices"
_VENDOR_ID, _PRODUCT_ID = 0x2F7A, 0x0001


def _attribute(device: str, name: str) -> Optional[str]:
    try:
        with builtins.open(os.path.join(device, name), "rb") as attribute:
            value = attribute.read()
    except OSError:
        return None
    # Only the line end that the kernel appends goes: a serial number may
    # hold a CR, and one cut short could match another printer's.
    return value.removesuffix(b"\n").decode("utf-8", "surrogateescape")


def _number(device: str, name: str, base: int = 10) -> Optional[int]:
    try:
        return int(_attribute(device, name) or "", base)
    except ValueError:
        return None


def _lp_node(device: str, name: str) -> Optional[str]:
    # usblp's node sits under one of the device's interfaces ("1-1:1.0").
    for interface in sorted(os.listdir(device)):
        if interface.startswith(name + ":"):
            try:
                nodes = sorted(os.listdir(os.path.join(device, interface, "usbmisc")))
            except OSError:
                continue
            for node in nodes:
                if node.startswith("lp"):
                    return "/dev/usb/" + node
    return None


def printers() -> List[PrinterInfo]:
    """Lists the attached Q48 printers, sorted by bus and address, as
    ``q48-list`` does.

    Reads what the kernel shows in sysfs and opens no device, so listing
    neither claims a printer nor disturbs one that is printing. A printer's
    address changes each time it is plugged in; its serial number does not:
    ``open(serial=...)`` finds it again. No USB at all gives ``[]``.
    """
    try:
        names = os.listdir(_USB_DEVICES)
    except OSError:
        return []
    found = []
    for name in names:
        device = os.path.join(_USB_DEVICES, name)
        if (":" in name or _number(device, "idVendor", 16) != _VENDOR_ID
                or _number(device, "idProduct", 16) != _PRODUCT_ID):
            continue
        bus, address = _number(device, "busnum"), _number(device, "devnum")
        if bus is None or address is None:
            continue
        try:
            lp = _lp_node(device, name)
        except OSError:  # unplugged while we looked
            continue
        found.append(PrinterInfo(f"/dev/bus/usb/{bus:03d}/{address:03d}",
                                 _attribute(device, "serial"), lp,
                                 _attribute(device, "manufacturer"),
                                 _attribute(device, "product"), bus, address))
    return sorted(found, key=lambda info: (info.bus, info.address))


def _end(handle: int, usb: bool, token: object) -> None:
    """Closes a printer's connection; the caller holds :data:`api_lock`."""
    global _usb_holder
    if not usb:
        # The library closes a descriptor that its open returned whatever
        # the transport now is.
        _api.Q48_api_printer_close(handle)
    elif _usb_holder is token:
        _usb_holder = None
        _api.Q48_api_printer_close(handle)


def coded_to_raw(text: Union[str, BytesLike]) -> bytes:
    """Turns coded command text into printer bytes.

    ``[1B 40]`` is hexadecimal, ``"Hi"`` a quoted run taken as it stands,
    ``\\n \\r \\t \\b \\f`` escapes, ``//`` starts a comment that runs to the
    end of the text. A ``str`` is encoded as UTF-8; pass a bytes-like object
    for text in the printer's code page. Anything else raises
    :class:`TypeError`. The notation has no syntax errors.
    """
    coded = _byte_buffer(text.encode("utf-8") if isinstance(text, str) else text, _INT_MAX,
                         "coded text holds")
    if not coded:
        return b""
    command = _tb.Q48_tb_cmd_init_coded(coded, len(coded))
    if command == 0:
        raise MemoryError("the toolbox cannot make a command object")
    try:
        raw = ctypes.POINTER(ctypes.c_ubyte)()
        size = ctypes.c_uint()
        if not _tb.Q48_tb_cmd_get_raw(command, ctypes.byref(raw), ctypes.byref(size)):
            raise Error("the toolbox lost the command object")
        return ctypes.string_at(raw, size.value) if size.value else b""
    finally:
        _tb.Q48_tb_cmd_exit(command)


def raw_to_coded(data: BytesLike) -> str:
    """Renders printer bytes as coded text: ``b"\\x1b@"`` gives ``"[1B 40]"``,
    which :func:`coded_to_raw` turns back into the same bytes. No bytes give
    ``""``. ``data`` is a bytes-like object, as for :meth:`Printer.write`."""
    raw = _byte_buffer(data, _RAW_MAX, "raw data holds")
    if not raw:
        return ""
    command = _tb.Q48_tb_cmd_init_raw(raw, len(raw))
    if command == 0:
        raise MemoryError("the toolbox cannot make a command object")
    try:
        coded = ctypes.c_char_p()
        if not _tb.Q48_tb_cmd_get_coded_str(command, ctypes.byref(coded)) or coded.value is None:
            raise Error("the toolbox lost the command object")
        return coded.value.decode("ascii")
    finally:
        _tb.Q48_tb_cmd_exit(command)


_debug = ctypes.c_int.in_dll(_api, "DEBUG_MESSAGES")


def debug_messages() -> bool:
    """Whether the access library prints its diagnostics to standard output."""
    with _locked():
        return _debug.value == 1


def set_debug_messages(on: bool) -> None:
    """Switches the access library's diagnostics (``DEBUG_MESSAGES``) on or
    off. They go to the process's standard output through the C library,
    past :data:`sys.stdout`."""
    with _locked():
        _debug.value = 1 if on else 0


def _text(value: Optional[bytes]) -> str:
    return value.decode("ascii", "replace") if value is not None else ""


def api_library_info() -> str:
    """libQ48Api's information string, with its release."""
    with _locked():
        return _text(_api.Q48_api_get_library_info())


def toolbox_library_info() -> str:
    """libQ48Tb's information string, with its release."""
    return _text(_tb.Q48_tb_get_library_info())
