"""vexdaq: drive the USB data-acquisition instrument from Python.

    import vexdaq

    with vexdaq.open(0) as device:
        samples = device.acquire(channels=[0, 1], rate=51200, seconds=1.0)  # (frames, 2) array
        print(samples.mean(axis=0), samples.loss)

A thin, typed layer over the C library (ctypes): see :mod:`vexdaq.device` for the instrument,
:mod:`vexdaq.sim` for the virtual instrument, :mod:`vexdaq.hdf5` for capture files and
:mod:`vexdaq.errors` for the exceptions.
"""

from . import errors, scaling, sim, timing
from ._library import LIBRARY_ENV, library_path
from .device import (
    Acquisition,
    Block,
    CounterReading,
    Device,
    DeviceInfo,
    LossCounters,
    Stream,
    dropped_commands,
    library_version,
    list_devices,
    log_directory,
    open,
    sample_dtype,
    set_log_directory,
    set_transfer_depth,
    set_transfer_realtime,
    transfer_depth,
)
from .errors import (
    DataLossError,
    DataLossWarning,
    DeviceDisconnectedError,
    DeviceNotFoundError,
    InvalidArgumentError,
    LibraryNotFoundError,
    PermissionDeniedError,
    SessionClosedError,
    StreamError,
    VexdaqError,
)

__version__ = "5.0.0"

__all__ = [
    "Acquisition",
    "Block",
    "CounterReading",
    "DataLossError",
    "DataLossWarning",
    "Device",
    "DeviceDisconnectedError",
    "DeviceInfo",
    "DeviceNotFoundError",
    "InvalidArgumentError",
    "LIBRARY_ENV",
    "LibraryNotFoundError",
    "LossCounters",
    "PermissionDeniedError",
    "SessionClosedError",
    "Stream",
    "StreamError",
    "VexdaqError",
    "dropped_commands",
    "errors",
    "library_path",
    "library_version",
    "list_devices",
    "log_directory",
    "open",
    "sample_dtype",
    "scaling",
    "set_log_directory",
    "set_transfer_depth",
    "set_transfer_realtime",
    "sim",
    "timing",
    "transfer_depth",
]
