"""Loading of libQ48Api and libQ48Tb, and the C prototypes of their exports.

Nothing here is public: :mod:`q48` wraps every call. The libraries are found
by soname, as the dynamic linker finds them for a C program, unless
``Q48_BUILD_DIR`` names a CMake build tree (``build/default``); then the
libraries freshly built there are loaded instead, so that tests and examples
run against the tree and not against an installed ``libq48-1``.
"""

from __future__ import annotations

import ctypes
import os
from ctypes import (
    POINTER,
    c_char,
    c_char_p,
    c_int,
    c_long,
    c_ssize_t,
    c_ubyte,
    c_uint,
    c_ulong,
    c_void_p,
)
from typing import Any, Dict, List, Optional, Tuple

BUILD_DIR_VARIABLE = "Q48_BUILD_DIR"

API_SONAME = "libQ48Api.so.1"
TB_SONAME = "libQ48Tb.so.1"

# intptr_t: ssize_t has its width on every Linux target, armhf included.
c_intptr = c_ssize_t

_u8p = POINTER(c_ubyte)


class Timespec(ctypes.Structure):
    """struct timespec of the C library: time_t is a long on Debian 12's
    amd64 and armhf. An armhf built with a 64-bit time_t would need a 64-bit
    tv_sec here; only the toolbox's time functions take this struct."""

    _fields_ = [("tv_sec", c_long), ("tv_nsec", c_long)]


_Prototype = Tuple[Any, List[Any]]

# Every exported function, so that no call ever goes through ctypes' default
# of int arguments and an int result: on 64-bit hosts that would cut the
# printer handle, an address, in half.
API_PROTOTYPES: Dict[str, _Prototype] = {
    "Q48_api_get_library_info": (c_char_p, []),
    # The path goes in as a writable buffer: open may cut it in place.
    "Q48_api_printer_open": (c_intptr, [POINTER(c_char)]),
    "Q48_api_printer_set_serial": (c_int, [c_intptr, c_ulong, c_ubyte, c_ubyte, c_ubyte]),
    "Q48_api_printer_close": (None, [c_intptr]),
    "Q48_api_printer_clear": (c_int, [c_intptr]),
    "Q48_api_printer_write": (c_int, [c_intptr, _u8p, c_int, c_ulong]),
    "Q48_api_printer_read": (c_int, [c_intptr, _u8p, c_int, c_ulong]),
}

TB_PROTOTYPES: Dict[str, _Prototype] = {
    "Q48_tb_set_time_stamp": (None, [POINTER(Timespec)]),
    "Q48_tb_calc_age_in_ms": (c_ulong, [POINTER(Timespec)]),
    "Q48_tb_convert_ts_to_ms": (None, [POINTER(Timespec), POINTER(c_ulong)]),
    "Q48_tb_get_delta_ts": (None, [POINTER(Timespec), POINTER(Timespec), POINTER(Timespec)]),
    "Q48_tb_cmd_init_coded": (c_int, [_u8p, c_uint]),
    "Q48_tb_cmd_init_raw": (c_int, [_u8p, c_uint]),
    "Q48_tb_cmd_get_raw": (c_int, [c_int, POINTER(_u8p), POINTER(c_uint)]),
    "Q48_tb_cmd_get_coded": (c_int, [c_int, POINTER(_u8p), POINTER(c_uint)]),
    "Q48_tb_cmd_get_coded_str": (c_int, [c_int, POINTER(c_char_p)]),
    "Q48_tb_cmd_exit": (None, [c_int]),
    "Q48_tb_alloc_mem": (c_void_p, [c_ulong]),
    "Q48_tb_free": (None, [c_void_p]),
    "Q48_tb_alloc_mem_cat": (c_void_p, [c_void_p, c_void_p, c_ulong]),
    "Q48_tb_alloc_mem_size": (c_ulong, [c_void_p]),
    "Q48_tb_trim": (c_char_p, [POINTER(c_char)]),
    "Q48_tb_get_library_info": (c_char_p, []),
}

def _declare(lib: ctypes.CDLL, table: Dict[str, _Prototype]) -> None:
    for name, (restype, argtypes) in table.items():
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = argtypes


def library_paths(build_dir: Optional[str]) -> Tuple[str, str]:
    """Where the toolbox and the access library are loaded from: their
    sonames, or their files in the build tree ``build_dir``."""
    if not build_dir:
        return TB_SONAME, API_SONAME
    return (
        os.path.join(build_dir, "Q48_Tb", "Sources", TB_SONAME),
        os.path.join(build_dir, "Q48_Api", "Sources", API_SONAME),
    )


def load() -> Tuple[ctypes.CDLL, ctypes.CDLL]:
    """Loads both libraries and declares their prototypes.

    The toolbox comes first: the access library needs it by soname, and the
    dynamic linker then takes the copy already loaded rather than searching
    for one, which is what keeps a build tree's pair together.
    """
    build_dir = os.environ.get(BUILD_DIR_VARIABLE)
    tb_path, api_path = library_paths(build_dir)
    try:
        tb = ctypes.CDLL(tb_path)
        api = ctypes.CDLL(api_path)
    except OSError as error:
        where = (
            f"the build tree {build_dir!r} ({BUILD_DIR_VARIABLE})"
            if build_dir
            else "the system (install libq48-1, or set " + BUILD_DIR_VARIABLE + " to a build tree)"
        )
        raise ImportError(f"q48: cannot load the Q48 libraries from {where}: {error}") from error
    _declare(tb, TB_PROTOTYPES)
    _declare(api, API_PROTOTYPES)
    return api, tb
