"""Finding and loading the vexdaq shared library, and the C prototypes of its exports.

The library is looked for, in this order:

1. the file named by the environment variable ``VEXDAQ_LIBRARY``;
2. a copy beside this package (``libvexdaq.so*``, ``libvexdaq*.dylib`` or ``vexdaq.dll``);
3. the installed system library (``ctypes.util.find_library("vexdaq")``, then ``libvexdaq.so.5``).

When none loads, :class:`LibraryNotFoundError` names every place tried and why it failed.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import sys
import threading
from pathlib import Path
from typing import List, Optional, Tuple

from .errors import LibraryNotFoundError

#: The environment variable that names the library file to load.
LIBRARY_ENV = "VEXDAQ_LIBRARY"

_lock = threading.Lock()
_lib: Optional[ctypes.CDLL] = None
_path: Optional[str] = None

_i32 = ctypes.c_int32
_u8 = ctypes.c_uint8
_u16 = ctypes.c_uint16
_u32 = ctypes.c_uint32
_u64 = ctypes.c_uint64
_i64 = ctypes.c_int64
_char_p = ctypes.c_char_p
_void_p = ctypes.c_void_p
_pi32 = ctypes.POINTER(ctypes.c_int32)
_pu32 = ctypes.POINTER(ctypes.c_uint32)


class LossCountersC(ctypes.Structure):
    """``vexdaq_loss_counters``."""

    _fields_ = [
        ("moved", ctypes.c_uint64),
        ("overwritten", ctypes.c_uint64),
        ("zero_filled", ctypes.c_uint64),
        ("dropped", ctypes.c_uint64),
        ("transfer_failures", ctypes.c_uint64),
    ]


class StreamTimingC(ctypes.Structure):
    """``vexdaq_stream_timing``."""

    _fields_ = [
        ("start_monotonic_ns", ctypes.c_int64),
        ("start_utc_ns", ctypes.c_int64),
        ("first_frame_monotonic_ns", ctypes.c_int64),
        ("frames_received", ctypes.c_int64),
        ("frames_settled", ctypes.c_int64),
        ("drift_ppm", ctypes.c_double),
        ("rate", ctypes.c_int32),
        ("bus_frame_number", ctypes.c_int32),
        ("fitted", ctypes.c_int32),
        ("started", ctypes.c_int32),
    ]


class StreamGapC(ctypes.Structure):
    """``vexdaq_stream_gap``."""

    _fields_ = [
        ("frame_index", ctypes.c_int64),
        ("frame_count", ctypes.c_int64),
        ("host_monotonic_ns", ctypes.c_int64),
    ]


class GapTotalsC(ctypes.Structure):
    """``vexdaq_gap_totals``."""

    _fields_ = [
        ("stream_gaps", ctypes.c_uint64),
        ("stream_frames_missing", ctypes.c_uint64),
        ("gaps", ctypes.c_uint64),
        ("frames_missing", ctypes.c_uint64),
    ]


# Buffers go through as c_void_p so that numpy arrays pass their data pointer without a copy.
_PROTOTYPES = {
    "vexdaq_device_list": (_i32, []),
    "vexdaq_device_open": (_i32, [_i32]),
    "vexdaq_device_close": (None, []),
    "vexdaq_start": (_i32, []),
    "vexdaq_stop": (_i32, []),
    "vexdaq_get_version": (_i32, [_void_p, _i32]),
    "vexdaq_get_information": (_i32, [_void_p, _i32]),
    "vexdaq_get_driver_version": (_i32, [_void_p, _i32]),
    "vexdaq_get_device_name": (_i32, [_void_p]),
    "vexdaq_get_device_version": (_i32, [_void_p, _i32]),
    "vexdaq_set_trigger_mode": (_i32, [_i32, _u8, _u8, _i32, _i32, _u8]),
    "vexdaq_set_sample_mode": (_i32, [_i32, _u8, _i32, _u8]),
    "vexdaq_can_sample_rate": (_i32, [_i32, _u8]),
    "vexdaq_set_sample_rate": (_i32, [_i32, _i32]),
    "vexdaq_get_sample_rate": (_i32, [_pi32, _pi32]),
    "vexdaq_get_sample_width": (_i32, [_pi32]),
    "vexdaq_get_channel_count": (_i32, [_pi32, _pi32]),
    "vexdaq_set_input_gear": (_i32, [_u64, _u8, _u8]),
    "vexdaq_set_input_icp": (_i32, [_u64, _u8]),
    "vexdaq_create_buffers": (_i32, [_i32, _i32]),
    "vexdaq_dispose_buffers": (_i32, []),
    "vexdaq_set_output_channel": (_i32, [_u64]),
    "vexdaq_set_input_channel": (_i32, [_u64]),
    "vexdaq_send_data": (_i32, [_i32, _void_p, _i32, _i32]),
    "vexdaq_recv_data": (_i32, [_i32, _void_p, _i32, _i32]),
    "vexdaq_send_all_data": (_i32, [_i32, _void_p, _i32, _i32]),
    "vexdaq_recv_all_data": (_i32, [_i32, _void_p, _i32, _i32]),
    "vexdaq_set_gpio_mode": (_i32, [_u32, _i32]),
    "vexdaq_digital_io_write": (_i32, [_i32, _void_p, _i32]),
    "vexdaq_digital_io_read": (_i32, [_i32, _void_p, _i32]),
    "vexdaq_set_pwm": (_i32, [_i32, _i32, _i32]),
    "vexdaq_set_counter": (_i32, [_i32, _i32, _i32]),
    "vexdaq_counter_read": (_i32, [_i32, _pu32, _pu32, _pu32, _pu32]),
    "vexdaq_set_uart_line_code": (_i32, [_i32, _u8, _u8, _u8]),
    "vexdaq_UART_Write": (_i32, [_void_p, _i32]),
    "vexdaq_UART_Read": (_i32, [_void_p, _i32]),
    "vexdaq_I2C_Reg_Write": (_i32, [_u16, _void_p, _i32]),
    "vexdaq_I2C_Reg_Read": (_i32, [_u16, _void_p, _i32]),
    "vexdaq_firmware_download": (_i32, [_char_p]),
    "vexdaq_serial_download": (_i32, [_char_p, _i32]),
    # vexdaq_ext.h
    "vexdaq_get_loss_counters": (_i32, [_u8, _i32, ctypes.POINTER(LossCountersC)]),
    "vexdaq_reset_loss_counters": (_i32, []),
    "vexdaq_get_stream_format": (_i32, [_u8, _pi32, _pi32]),
    "vexdaq_get_sample_rates": (_i32, [_u8, _pi32, _i32]),
    "vexdaq_get_last_open_status": (_u32, []),
    "vexdaq_get_dropped_commands": (ctypes.c_uint64, []),
    "vexdaq_set_transfer_depth": (_i32, [_u8, _i32]),
    "vexdaq_get_transfer_depth": (_i32, [_u8]),
    "vexdaq_set_transfer_realtime": (_i32, [_i32]),
    "vexdaq_send_channel_blocks": (_i32, [_void_p, _i32, _i32]),
    "vexdaq_set_log_directory": (_i32, [ctypes.c_char_p]),
    "vexdaq_get_stream_timing": (_i32, [ctypes.POINTER(StreamTimingC)]),
    "vexdaq_get_stream_gaps": (_i32, [ctypes.POINTER(StreamGapC), _i32, ctypes.POINTER(GapTotalsC)]),
    # vexdaq_sim.h
    "vexdaq_sim_plug": (_i32, [_char_p]),
    "vexdaq_sim_unplug": (_i32, [_i32]),
    "vexdaq_sim_reset": (None, []),
    "vexdaq_sim_set": (_i32, [_i32, _char_p]),
    "vexdaq_sim_fault": (_i32, [_i32, _char_p]),
    "vexdaq_sim_trace": (_i32, [_i32, _void_p, _i32]),
    "vexdaq_sim_driver_trace": (_i32, [_i32, _void_p, _i32]),
    "vexdaq_sim_counter": (_i64, [_i32, _char_p]),
    "vexdaq_sim_eeprom_read": (_i32, [_i32, _u32, _void_p, _i32]),
    "vexdaq_sim_output_read": (_i32, [_i32, _void_p, _i32]),
    "vexdaq_sim_uart_inject": (_i32, [_i32, _void_p, _i32]),
    "vexdaq_sim_uart_output_read": (_i32, [_i32, _void_p, _i32]),
}


def _beside_package() -> List[Path]:
    here = Path(__file__).resolve().parent
    found: List[Path] = []
    for pattern in ("vexdaq.dll", "libvexdaq.so", "libvexdaq.so.*", "libvexdaq*.dylib"):
        found.extend(sorted(here.glob(pattern)))
    return found


def _candidates() -> List[Tuple[str, str]]:
    """(what, path-or-name) in the order they are tried."""
    tried: List[Tuple[str, str]] = []
    env = os.environ.get(LIBRARY_ENV)
    if env:
        tried.append((f"${LIBRARY_ENV}", env))
    for path in _beside_package():
        tried.append(("beside the package", str(path)))
    system = ctypes.util.find_library("vexdaq")
    if system:
        tried.append(("system library", system))
    if sys.platform == "win32":
        tried.append(("system library", "vexdaq.dll"))
    elif sys.platform == "darwin":
        tried.append(("system library", "libvexdaq.5.dylib"))
    else:
        tried.append(("system library", "libvexdaq.so.5"))
    return tried


def _bind(lib: ctypes.CDLL) -> None:
    for name, (restype, argtypes) in _PROTOTYPES.items():
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = argtypes


def load() -> ctypes.CDLL:
    """The loaded library (loaded on first use). Raises LibraryNotFoundError."""
    global _lib, _path
    with _lock:
        if _lib is not None:
            return _lib
        failures: List[str] = []
        for what, candidate in _candidates():
            try:
                lib = ctypes.CDLL(candidate)
            except OSError as error:
                failures.append(f"{what}: {candidate} ({error})")
                continue
            try:
                _bind(lib)
            except AttributeError as error:
                failures.append(f"{what}: {candidate} (not the vexdaq library: {error})")
                continue
            _lib, _path = lib, candidate
            return lib
        raise LibraryNotFoundError(
            "the vexdaq library could not be loaded; tried:\n  "
            + "\n  ".join(failures)
            + f"\nSet {LIBRARY_ENV} to the library file (libvexdaq.so or vexdaq.dll) to choose one."
        )


def library_path() -> str:
    """The path or name the library was loaded from."""
    load()
    assert _path is not None
    return _path
