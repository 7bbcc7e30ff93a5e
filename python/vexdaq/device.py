"""The instrument: opening it, its settings, acquisition into numpy, streaming and the outputs."""

from __future__ import annotations

import builtins
import ctypes
import datetime as _dt
import math
import os
import time
import weakref
from dataclasses import dataclass
from pathlib import Path
from typing import Dict, Iterable, List, Optional, Sequence, Tuple, TypeVar, Union

import numpy as np

from . import _library, _playback, scaling, timing
from ._library import LossCountersC
from .errors import (
    DataLossError,
    DeviceDisconnectedError,
    DeviceNotFoundError,
    InvalidArgumentError,
    PermissionDeniedError,
    SessionClosedError,
    StreamError,
    VexdaqError,
)

Channels = Union[None, int, Iterable[int]]

# Driver status of an instrument that is no longer there, as the log and the open status show it.
_STATUS_GONE = 0xE000100A
_STATUS_ACCESS_DENIED = 0x00000005
# 50 ms blocks keep Ctrl-C prompt and the per-call overhead small against the samples moved.
_BLOCK_SECONDS = 0.05


@dataclass(frozen=True)
class LossCounters:
    """Where one channel's samples went during a run (see vexdaq_ext.h)."""

    moved: int = 0
    overwritten: int = 0
    zero_filled: int = 0
    dropped: int = 0
    transfer_failures: int = 0

    @property
    def lost(self) -> int:
        """Input samples that never reached the application (overwritten or dropped)."""
        return self.overwritten + self.dropped

    def __sub__(self, other: "LossCounters") -> "LossCounters":
        return LossCounters(
            self.moved - other.moved,
            self.overwritten - other.overwritten,
            self.zero_filled - other.zero_filled,
            self.dropped - other.dropped,
            self.transfer_failures - other.transfer_failures,
        )


@dataclass(frozen=True)
class DeviceInfo:
    """What the opened instrument and the library report about themselves."""

    index: int
    product: str
    device_version: str
    driver_version: str
    library_version: str
    library_build: str
    in_channels: int
    out_channels: int
    in_bits: int
    out_bits: int
    input_rates: Tuple[int, ...]
    output_rates: Tuple[int, ...]
    #: The library offers no way to read the serial number back; empty until it does.
    serial: str = ""


@dataclass(frozen=True)
class CounterReading:
    """One pulse counter's figures, as vexdaq_counter_read returns them."""

    edge_count: int
    cycle_width: int
    positive_pulse_width: int
    negative_pulse_width: int


class Acquisition(np.ndarray):
    """Samples of shape (frames, channels) with what describes the run.

    A plain numpy array in every other respect; slices keep the attributes.
    """

    rate: int
    channels: Tuple[int, ...]
    sample_bits: int
    #: Loss counters of this run for each channel, by channel number.
    loss: Dict[int, LossCounters]
    #: When the stream was started, in UTC.
    start_time: Optional[_dt.datetime]
    #: Frames the instrument lost before they reached the host, found by the library.
    gaps: Tuple["timing.Gap", ...]
    #: The stream's start and the fit of its clock (first frame's time, drift).
    timing: Optional["timing.StreamTiming"]

    def __array_finalize__(self, obj: Optional[np.ndarray]) -> None:
        self.rate = getattr(obj, "rate", 0)
        self.channels = getattr(obj, "channels", ())
        self.sample_bits = getattr(obj, "sample_bits", 0)
        self.loss = getattr(obj, "loss", {})
        self.start_time = getattr(obj, "start_time", None)
        self.units = getattr(obj, "units", ())
        self.gears = getattr(obj, "gears", ())
        self.gaps = getattr(obj, "gaps", ())
        self.timing = getattr(obj, "timing", None)

    def __getitem__(self, index):  # type: ignore[no-untyped-def]
        """Slices keep the attributes, with `channels` and `loss` of the columns kept."""
        result = super().__getitem__(index)
        if not isinstance(result, Acquisition) or not self.channels:
            return result
        columns = index[1] if isinstance(index, tuple) and len(index) > 1 else slice(None)
        if isinstance(index, tuple) and len(index) > 2 or result.ndim > 2:
            return result
        if isinstance(index, tuple) and any(i is Ellipsis or i is None for i in index):
            return result.view(np.ndarray)  # the layout is no longer (frames, channels)
        kept = np.arange(len(self.channels))[columns]
        kept = np.atleast_1d(kept)
        result.channels = tuple(self.channels[int(i)] for i in kept)
        result.loss = {c: self.loss[c] for c in result.channels if c in self.loss}
        if self.units:
            result.units = tuple(self.units[int(i)] for i in kept)
        if self.gears:
            result.gears = tuple(self.gears[int(i)] for i in kept)
        return result

    @property
    def first_frame_time(self) -> Optional[_dt.datetime]:
        """When the first frame was taken, UTC, from the library's fit of the stream."""
        return self.timing.first_frame_time if self.timing is not None else None

    @property
    def lost(self) -> int:
        """Samples lost over all channels (overwritten before they were read, or dropped)."""
        return sum(c.lost for c in self.loss.values())

    #: The unit of each column once converted by in_units(); empty while in counts.
    units: Tuple[str, ...] = ()
    #: The range code each channel was on when recorded (-1: not set by this session).
    gears: Tuple[int, ...] = ()

    def in_units(self, description: "Union[scaling.ScaleDescription, str, os.PathLike[str]]") -> "Acquisition":
        """The samples as float64 values in engineering units (a copy; `units` names them),
        converted with a scale description or the path of a scale file."""
        if self.units:
            raise InvalidArgumentError("these samples are in units already")
        if not isinstance(description, scaling.ScaleDescription):
            description = scaling.load(description)
        gears = self.gears if len(self.gears) == len(self.channels) else None
        scales = description.channel_scales(self.channels, self.sample_bits, gears)
        values = np.asarray(self, dtype=np.float64).reshape(-1, len(self.channels))
        values = values * np.array([s.scale for s in scales]) + np.array([s.offset for s in scales])
        result = values.reshape(self.shape).view(Acquisition)
        for name in ("rate", "channels", "sample_bits", "loss", "start_time", "gears"):
            setattr(result, name, getattr(self, name))
        result.units = tuple(s.unit for s in scales)
        return result


class Block(Acquisition):
    """One block of a :meth:`Device.stream`: samples of shape (frames, channels) with the
    stream's `rate`, `channels`, `sample_bits` and `start_time`, `first_frame`, the index of
    its first frame counted from the stream's first (0), `first_frame_seconds`, when that frame
    was taken in seconds after the stream's first (from the library's fit, gaps counted in),
    and `gaps`, the stream's gaps found so far."""

    first_frame: int
    first_frame_seconds: float

    def __array_finalize__(self, obj: Optional[np.ndarray]) -> None:
        super().__array_finalize__(obj)
        self.first_frame = getattr(obj, "first_frame", 0)
        self.first_frame_seconds = getattr(obj, "first_frame_seconds", 0.0)


def _parse_channel_text(text: str) -> List[int]:
    """Channels from text as the tool takes them: "0-3,6" (ranges and single channels)."""
    chosen: List[int] = []
    for part in text.split(","):
        first, dash, last = part.strip().partition("-")
        if not first.strip().isdigit() or (dash and not last.strip().isdigit()):
            raise InvalidArgumentError(
                f"bad channel list {text!r}: {part.strip()!r} is not a channel or a range like 0-3"
            )
        low, high = int(first), int(last) if dash else int(first)
        if high < low:
            raise InvalidArgumentError(f"bad channel range {part.strip()!r}")
        chosen.extend(c for c in range(low, high + 1) if c not in chosen)
    return chosen


def _whole_rate(rate: Optional[float]) -> Optional[int]:
    """A rate in whole hertz; 1000.0 is taken, 1000.5 and True are refused."""
    if rate is None:
        return None
    if isinstance(rate, (bool, np.bool_)) or not isinstance(rate, (int, float, np.number)):
        raise InvalidArgumentError(f"a rate is a whole number of hertz, not {rate!r}")
    if not float(rate).is_integer():
        raise InvalidArgumentError(f"a rate is a whole number of hertz, not {rate}")
    return int(rate)


def sample_dtype(bits: int) -> np.dtype:
    """The numpy dtype holding samples of a width: int16 for 16 bits, int32 for 24 and 32."""
    if bits == 16:
        return np.dtype(np.int16)
    if bits in (24, 32):
        return np.dtype(np.int32)
    raise InvalidArgumentError(f"samples of {bits} bits are not supported (16, 24 or 32)")


def _unpack24(packed: np.ndarray, out: np.ndarray) -> None:
    """Sign-extends packed little-endian 24-bit samples (uint8, 3 per sample) into int32 out."""
    n = out.shape[0]
    wide = np.empty((n, 4), dtype=np.uint8)
    wide[:, 0] = 0
    wide[:, 1:] = packed[: n * 3].reshape(n, 3)
    # The sample sits in the top three bytes: an arithmetic shift brings its sign down with it.
    np.right_shift(wide.view("<i4").reshape(n), 8, out=out)


def _pack(values: np.ndarray, bits: int) -> np.ndarray:
    """Little-endian sample bytes of a 1-D integer array for the given width."""
    if bits == 16:
        return np.ascontiguousarray(values, dtype="<i2").view(np.uint8)
    wide = np.ascontiguousarray(values, dtype="<i4").view(np.uint8).reshape(-1, 4)
    if bits == 32:
        return wide.reshape(-1)
    return np.ascontiguousarray(wide[:, :3]).reshape(-1)


# The session of this process, weakly: a device nobody holds any more is closed when released.
_open_device: "Optional[weakref.ref[Device]]" = None


def _current() -> Optional["Device"]:
    device = _open_device() if _open_device is not None else None
    return device if device is not None and not device.closed else None


def _text(query, size: int = 256) -> str:
    buffer = ctypes.create_string_buffer(size)
    return buffer.value.decode("utf-8", "replace") if query(buffer, size) >= 0 else ""


def library_version() -> str:
    """The library's version text, such as "5.0.17d11d6" (no instrument needed)."""
    return _text(_library.load().vexdaq_get_version)


def list_devices() -> int:
    """How many instruments (real and virtual) are connected."""
    count = _library.load().vexdaq_device_list()
    if count < 0:
        raise VexdaqError("the instruments cannot be listed", result=count, call="vexdaq_device_list")
    return count


def dropped_commands() -> int:
    """Settings commands (gear, ICP, GPIO modes, rates, UART line coding) the library dropped
    because its command queue was full, since it was loaded; such calls did not raise."""
    return int(_library.load().vexdaq_get_dropped_commands())


def set_transfer_depth(depth: int = 0, input: bool = True) -> None:
    """Bulk transfers one direction keeps in flight from the next start on: 4 to 4096, or 0 for
    the default that the rate chooses (100 ms of the stream). Deeper queues give the host more
    slack before the instrument's buffer overflows."""
    result = _library.load().vexdaq_set_transfer_depth(1 if input else 0, depth)
    if result != 0:
        raise InvalidArgumentError(
            f"transfer depth {depth} is outside 4 to 4096 (0 for the default)",
            result=result,
            call="vexdaq_set_transfer_depth",
        )


def transfer_depth(input: bool = True) -> int:
    """The transfer depth one direction streams with now, or streamed with last."""
    return int(_library.load().vexdaq_get_transfer_depth(1 if input else 0))


def set_transfer_realtime(enable: Optional[bool]) -> None:
    """Whether the transfer threads ask for a real-time scheduling class from the next start on
    (where the system allows it; the log says which class they got). None, the default: while
    the device paces its stream, which every real device does."""
    _library.load().vexdaq_set_transfer_realtime(2 if enable is None else 1 if enable else 0)


# Where the library writes the next session's log (relative to the working directory at open).
_log_directory: Optional[str] = None


def set_log_directory(directory: Union[None, str, "os.PathLike[str]"]) -> None:
    """Where the next session's log goes: a directory, created with its parents when missing;
    None restores the library's default, ``log`` under the working directory."""
    global _log_directory
    text = None if directory is None else os.fsencode(directory)
    result = _library.load().vexdaq_set_log_directory(text)
    if result != 0:
        raise InvalidArgumentError(
            "the log directory name is too long (1024 bytes at most)",
            result=result,
            call="vexdaq_set_log_directory",
        )
    _log_directory = None if directory is None else os.fsdecode(directory)


def log_directory() -> Path:
    """The directory the next session's log goes to."""
    return Path.cwd() / (_log_directory or "log")


def _newest_log(since: float) -> Optional[str]:
    """The session log the library opened at or after `since` (seconds since the epoch)."""
    folder = log_directory()
    try:
        logs = [p for p in folder.glob("usbio_*.txt") if p.stat().st_mtime >= since - 1]
    except OSError:
        return None
    if not logs:
        return None
    return str(max(logs, key=lambda p: p.stat().st_mtime))


def open(index: int = 0) -> "Device":  # noqa: A001 - vexdaq.open mirrors the C name
    """Opens the index-th instrument. Use it as a context manager so that it is always closed.

    Raises DeviceNotFoundError (PermissionDeniedError when this user may not open it) and
    VexdaqError when a session of this process is still open.
    """
    global _open_device
    lib = _library.load()
    if _current() is not None:
        raise VexdaqError("a device is already open in this process; close it first")
    count = list_devices()
    if not 0 <= index < count:
        raise DeviceNotFoundError(f"no instrument at index {index} ({count} found)")
    opened_at = time.time()
    result = lib.vexdaq_device_open(index)
    log = _newest_log(opened_at)
    if result != 0:
        status = lib.vexdaq_get_last_open_status()
        cls = PermissionDeniedError if status == _STATUS_ACCESS_DENIED else DeviceNotFoundError
        hint = " (install packaging/60-vexdaq.rules)" if status == _STATUS_ACCESS_DENIED else ""
        raise cls(
            f"instrument {index} could not be opened, driver status 0x{status:08X}{hint}",
            result=result,
            call="vexdaq_device_open",
            log_path=log,
        )
    device = Device(index, count, log)
    _open_device = weakref.ref(device)
    return device


_Self = TypeVar("_Self", bound="_ClosedOnRelease")


class _ClosedOnRelease:
    """A context manager whose close() also runs when the object is released."""

    def close(self) -> None:
        raise NotImplementedError

    def __enter__(self: _Self) -> _Self:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:  # interpreter shutdown: nothing sensible to report to
            pass


class Device(_ClosedOnRelease):
    """The open instrument (at most one per process). Create it with :func:`vexdaq.open`.

    Not thread-safe as a whole: use it from one thread, or serialise the calls.
    """

    def __init__(self, index: int, listed: int, log_path: Optional[str]) -> None:
        self._lib = _library.load()
        self._index = index
        self._listed = listed
        self._closed = False
        # Weak, so that a loop left by break releases its stream, which then stops at once.
        self._stream: Optional["weakref.ref[Stream]"] = None
        self._log_path = log_path
        self._gear: Dict[int, int] = {}
        self._icp: Dict[int, int] = {}
        try:
            self._info = self._read_info()
        except BaseException:
            self.close()
            raise

    # -- life cycle ------------------------------------------------------------------------------

    def close(self) -> None:
        """Stops any stream and closes the session. Harmless when already closed."""
        if self._closed:
            return
        try:
            self._end_stream()
        finally:
            self._closed = True
            self._lib.vexdaq_device_close()

    @property
    def closed(self) -> bool:
        return self._closed

    @property
    def log_path(self) -> Optional[str]:
        """The session's log file, where the library writes what the device answered."""
        return self._log_path

    @property
    def info(self) -> DeviceInfo:
        return self._info

    # -- errors ----------------------------------------------------------------------------------

    def _error(self, cls: type, message: str, result: int, call: str) -> VexdaqError:
        return cls(message, result=result, call=call, log_path=self._log_path)

    def _check(self, result: int, call: str, what: str) -> int:
        if result >= 0:
            return result
        if self._closed:
            raise self._error(SessionClosedError, f"{what}: the device is closed", result, call)
        if result == -1 and self._gone():
            raise self._error(DeviceDisconnectedError, f"{what}: the instrument is gone", result, call)
        raise self._error(VexdaqError, f"{what} failed", result, call)

    def _require_open(self) -> None:
        if self._closed:
            raise SessionClosedError("the device is closed", log_path=self._log_path)

    def _gone(self) -> bool:
        """Whether the instrument has left: fewer are listed than at open, or the log says so."""
        if self._lib.vexdaq_device_list() < self._listed:
            return True
        if self._log_path:
            try:
                with builtins.open(self._log_path, "rb") as log:
                    log.seek(0, os.SEEK_END)
                    log.seek(max(0, log.tell() - 8192))
                    return b"0x%08X" % _STATUS_GONE in log.read()
            except OSError:
                return False
        return False

    def _stream_failure(self, result: int, call: str, done: int) -> VexdaqError:
        if result == 0:
            return self._error(
                StreamError, f"the stream stopped after {done} frames", result, call
            )
        if self._gone():
            return self._error(
                DeviceDisconnectedError,
                f"the instrument went away after {done} frames",
                result,
                call,
            )
        return self._error(
            StreamError, f"a transfer failed after {done} frames", result, call
        )

    # -- identity and settings -------------------------------------------------------------------

    def _read_info(self) -> DeviceInfo:
        lib = self._lib
        out_count, in_count = ctypes.c_int32(), ctypes.c_int32()
        self._check(
            lib.vexdaq_get_channel_count(ctypes.byref(out_count), ctypes.byref(in_count)),
            "vexdaq_get_channel_count",
            "reading the channel counts",
        )
        in_bits, out_bits = ctypes.c_int32(), ctypes.c_int32()
        lib.vexdaq_get_stream_format(1, ctypes.byref(in_bits), None)
        lib.vexdaq_get_stream_format(0, ctypes.byref(out_bits), None)
        name = ctypes.create_string_buffer(32)
        lib.vexdaq_get_device_name(name)
        return DeviceInfo(
            index=self._index,
            product=name.value.decode("utf-8", "replace"),
            device_version=_text(lib.vexdaq_get_device_version),
            driver_version=_text(lib.vexdaq_get_driver_version),
            library_version=_text(lib.vexdaq_get_version),
            library_build=_text(lib.vexdaq_get_information),
            in_channels=in_count.value,
            out_channels=out_count.value,
            in_bits=in_bits.value,
            out_bits=out_bits.value,
            input_rates=self._rates(True),
            output_rates=self._rates(False),
        )

    def _rates(self, input: bool) -> Tuple[int, ...]:
        rates = (ctypes.c_int32 * 64)()
        count = self._lib.vexdaq_get_sample_rates(1 if input else 0, rates, 64)
        return tuple(rates[: max(0, min(count, 64))])

    @property
    def input_rates(self) -> Tuple[int, ...]:
        """The input sample rates the instrument supports, in Hz."""
        return self._info.input_rates

    @property
    def output_rates(self) -> Tuple[int, ...]:
        """The output sample rates the instrument supports, in Hz."""
        return self._info.output_rates

    def supports_rate(self, rate: int, input: bool = True) -> bool:
        """Whether the instrument lists this rate for the direction."""
        self._require_open()
        return self._lib.vexdaq_can_sample_rate(int(rate), 1 if input else 0) == 0

    @property
    def sample_rate(self) -> Tuple[int, int]:
        """The (input, output) rates last set, in Hz."""
        self._require_open()
        out_rate, in_rate = ctypes.c_int32(), ctypes.c_int32()
        self._check(
            self._lib.vexdaq_get_sample_rate(ctypes.byref(out_rate), ctypes.byref(in_rate)),
            "vexdaq_get_sample_rate",
            "reading the sample rate",
        )
        return in_rate.value, out_rate.value

    def set_sample_rate(self, input: Optional[int] = None, output: Optional[int] = None) -> None:
        """Sets the input and/or output rate (Hz); a rate left out keeps its value."""
        self._require_open()
        input, output = _whole_rate(input), _whole_rate(output)
        in_rate, out_rate = self.sample_rate
        for rate, is_input in ((input, True), (output, False)):
            if rate is not None and not self.supports_rate(rate, is_input):
                rates = self.input_rates if is_input else self.output_rates
                side = "input" if is_input else "output"
                raise InvalidArgumentError(
                    f"unsupported {side} rate {rate} Hz; supported: "
                    + (", ".join(map(str, rates)) or "none")
                )
        self._check(
            self._lib.vexdaq_set_sample_rate(
                out_rate if output is None else int(output), in_rate if input is None else int(input)
            ),
            "vexdaq_set_sample_rate",
            "setting the sample rate",
        )

    def _channels(self, channels: Channels, input: bool) -> List[int]:
        available = self._info.in_channels if input else self._info.out_channels
        side = "input" if input else "output"
        if available <= 0:
            raise InvalidArgumentError(f"the instrument has no {side} channels")
        if channels is None or (isinstance(channels, str) and channels.strip() == "all"):
            chosen = list(range(available))
        elif isinstance(channels, str):
            chosen = _parse_channel_text(channels)
        elif isinstance(channels, (int, np.integer)):
            chosen = [int(channels)]
        else:
            chosen = []
            for c in channels:
                if isinstance(c, (bool, np.bool_)) or not isinstance(c, (int, np.integer)):
                    raise InvalidArgumentError(f"a channel is an integer, not {c!r}")
                chosen.append(int(c))
        if not chosen:
            raise InvalidArgumentError("no channel selected")
        if len(set(chosen)) != len(chosen):
            raise InvalidArgumentError(f"a channel is listed twice: {chosen}")
        for c in chosen:
            if not 0 <= c < min(available, 64):
                raise InvalidArgumentError(
                    f"unknown {side} channel {c}: the instrument has {available} (0-{available - 1})"
                )
        return chosen

    @staticmethod
    def _mask(channels: Sequence[int]) -> int:
        mask = 0
        for c in channels:
            mask |= 1 << c
        return mask

    def set_gear(self, channels: Channels, gear: int) -> None:
        """Selects the input range code 0-7 for channels; 8 forces range 8."""
        self._require_open()
        if not 0 <= gear <= 8:
            raise InvalidArgumentError(f"gear {gear} is outside 0-8")
        chosen = self._channels(channels, True)
        self._check(
            self._lib.vexdaq_set_input_gear(self._mask(chosen), 1 if gear >= 8 else 0, gear),
            "vexdaq_set_input_gear",
            "setting the input range",
        )
        self._gear.update({c: gear for c in chosen})

    def set_icp(self, channels: Channels, on: bool) -> None:
        """Switches ICP (IEPE) excitation of input channels on or off."""
        self._require_open()
        chosen = self._channels(channels, True)
        self._check(
            self._lib.vexdaq_set_input_icp(self._mask(chosen), 1 if on else 0),
            "vexdaq_set_input_icp",
            "setting ICP",
        )
        self._icp.update({c: int(bool(on)) for c in chosen})

    def gear(self, channel: int) -> int:
        """The gear last set on a channel through this object, or -1 when none was set."""
        return self._gear.get(channel, -1)

    def icp(self, channel: int) -> int:
        """ICP last set on a channel through this object (0, 1), or -1 when none was set."""
        return self._icp.get(channel, -1)

    def set_trigger_mode(
        self,
        mode: int,
        source: int = 0,
        edge: int = 0,
        level: int = 0,
        pre_samples: int = 0,
        direction: int = 1,
    ) -> None:
        """Sets the trigger (codes as the instrument defines them; direction 1: input side)."""
        self._require_open()
        self._check(
            self._lib.vexdaq_set_trigger_mode(mode, source, edge, level, pre_samples, direction),
            "vexdaq_set_trigger_mode",
            "setting the trigger mode",
        )

    def set_sample_mode(self, mode: int, option: int = 0, count: int = 0, direction: int = 1) -> None:
        """Sets the sample mode (continuous, a fixed count...; codes as the instrument defines)."""
        self._require_open()
        self._check(
            self._lib.vexdaq_set_sample_mode(mode, option, count, direction),
            "vexdaq_set_sample_mode",
            "setting the sample mode",
        )

    # -- loss accounting -------------------------------------------------------------------------

    def loss_counters(self, channel: Optional[int] = None, input: bool = True) -> LossCounters:
        """The counters of one channel, or of the whole direction (channel None), since load or
        the last reset."""
        self._require_open()
        out = LossCountersC()
        self._check(
            self._lib.vexdaq_get_loss_counters(
                1 if input else 0, -1 if channel is None else channel, ctypes.byref(out)
            ),
            "vexdaq_get_loss_counters",
            "reading the loss counters",
        )
        return LossCounters(
            out.moved, out.overwritten, out.zero_filled, out.dropped, out.transfer_failures
        )

    def reset_loss_counters(self) -> None:
        self._require_open()
        self._check(
            self._lib.vexdaq_reset_loss_counters(),
            "vexdaq_reset_loss_counters",
            "resetting the loss counters",
        )

    def _loss_snapshot(self, channels: Sequence[int], input: bool) -> Dict[int, LossCounters]:
        return {c: self.loss_counters(c, input) for c in channels}

    # -- acquisition -----------------------------------------------------------------------------

    def _end_stream(self) -> None:
        stream = self._stream() if self._stream is not None else None
        if stream is not None:
            stream.close()
        self._stream = None

    def _prepare_input(
        self, channels: Channels, rate: Optional[int]
    ) -> Tuple[List[int], int, int]:
        """Stops any stream, sizes the FIFOs and selects channels and rate; (channels, rate, block)."""
        self._require_open()
        self._end_stream()
        chosen = self._channels(channels, True)
        sample_dtype(self._info.in_bits)  # refuses widths this package cannot hold
        if rate is None:
            rate = self.sample_rate[0]
        rate = _whole_rate(rate)
        self.set_sample_rate(input=rate)
        block = max(1, int(rate * _BLOCK_SECONDS))
        # FIFOs of two seconds ride out a slow consumer (an HDF5 flush, a plot).
        capacity = int(min(max(rate * 2, block * 8), 1 << 22))
        lib = self._lib
        self._check(lib.vexdaq_create_buffers(0, capacity), "vexdaq_create_buffers", "creating the buffers")
        self._check(lib.vexdaq_set_output_channel(0), "vexdaq_set_output_channel", "selecting outputs")
        self._check(
            lib.vexdaq_set_input_channel(self._mask(chosen)),
            "vexdaq_set_input_channel",
            "selecting inputs",
        )
        return chosen, int(rate), block

    @staticmethod
    def _check_length(seconds: Optional[float], frames: Optional[int]) -> None:
        """Refuses a length that is not positive, before anything is configured."""
        if frames is not None:
            if isinstance(frames, bool) or not isinstance(frames, (int, np.integer)):
                raise InvalidArgumentError(f"the frame count must be an integer, not {frames!r}")
            if frames <= 0:
                raise InvalidArgumentError(f"the frame count must be positive, not {frames}")
        elif seconds is not None:
            if not (isinstance(seconds, (int, float, np.number)) and math.isfinite(seconds)):
                raise InvalidArgumentError(
                    f"the duration must be a finite number of seconds, not {seconds!r} "
                    "(stream() runs without end)"
                )
            if not seconds > 0:
                raise InvalidArgumentError(f"the duration must be positive, not {seconds}")

    @staticmethod
    def _frames_wanted(rate: int, seconds: Optional[float], frames: Optional[int]) -> Optional[int]:
        if frames is not None:
            return int(frames)
        if seconds is not None:
            return max(1, int(round(seconds * rate)))
        return None

    def acquire(
        self,
        channels: Channels = None,
        rate: Optional[int] = None,
        seconds: Optional[float] = None,
        frames: Optional[int] = None,
        on_loss: str = "raise",
    ) -> Acquisition:
        """Records input channels into an array of shape (frames, channels).

        channels: a channel number, a sequence of them (columns in that order) or None for all.
        rate: input rate in Hz (None keeps the current one). Give seconds or frames (frames wins).
        The dtype is int16 for 16-bit samples and int32 for 24 (sign-extended) and 32-bit ones.
        The library writes each channel's samples straight into the array's memory (the array is
        the transpose of a channel-major block, so it is Fortran-ordered). Blocks the calling
        thread until the samples are there; Ctrl-C stops the stream and raises KeyboardInterrupt.
        Raises StreamError (DeviceDisconnectedError when unplugged) if the stream stops early.
        on_loss: what a run that misses samples does (frames the instrument lost, found by the
        library from the stream, or samples read too late): "raise" DataLossError carrying the
        data, "warn" (DataLossWarning) or "ignore"; the gaps are in the result either way.
        """
        timing.check_on_loss(on_loss)
        if frames is None and seconds is None:
            raise InvalidArgumentError("give the duration (seconds) or the number of frames")
        self._check_length(seconds, frames)
        chosen, rate, block = self._prepare_input(channels, rate)
        wanted = self._frames_wanted(rate, seconds, frames)
        assert wanted is not None
        bits = self._info.in_bits
        width = bits // 8
        data = np.empty((len(chosen), wanted), dtype=sample_dtype(bits))
        staging = np.empty(block * 3, dtype=np.uint8) if width == 3 else None
        lib = self._lib
        before = self._loss_snapshot(chosen, True)
        started = _dt.datetime.now(_dt.timezone.utc)
        self._check(lib.vexdaq_start(), "vexdaq_start", "starting the stream")
        try:
            done = 0
            while done < wanted:
                n = min(block, wanted - done)
                for row, channel in enumerate(chosen):
                    if staging is None:
                        target = data[row, done:].ctypes.data
                    else:
                        target = staging.ctypes.data
                    got = lib.vexdaq_recv_data(channel, target, n * width, 1)
                    if got != n * width:
                        raise self._stream_failure(got, "vexdaq_recv_data", done)
                    if staging is not None:
                        _unpack24(staging, data[row, done : done + n])
                done += n
        finally:
            lib.vexdaq_stop()
        after = self._loss_snapshot(chosen, True)
        result = data.T.view(Acquisition)
        result.rate = rate
        result.channels = tuple(chosen)
        result.sample_bits = bits
        result.loss = {c: after[c] - before[c] for c in chosen}
        result.start_time = started
        result.gears = tuple(self.gear(c) for c in chosen)
        result.gaps, _ = timing.read_gaps()
        result.timing = timing.read_timing()
        timing.report_loss(on_loss, result.gaps, result.loss, data=result)
        return result

    def stream(
        self,
        channels: Channels = None,
        rate: Optional[int] = None,
        block_frames: Optional[int] = None,
        seconds: Optional[float] = None,
        frames: Optional[int] = None,
        on_loss: str = "raise",
    ) -> "Stream":
        """Starts streaming input channels; iterate over the result for blocks of shape
        (block_frames, channels) (the last one may be shorter).

        Without seconds or frames it runs until the loop ends. Leaving the loop by break, an
        exception or Ctrl-C stops the stream (at once when used with ``with``, otherwise when the
        iterator is released or the device is next used).
        on_loss as for acquire, judged at every block: "raise" ends the stream with
        DataLossError in place of the block after the one with which a loss was noticed.
        """
        timing.check_on_loss(on_loss)
        self._check_length(seconds, frames)
        if block_frames is not None and block_frames <= 0:
            raise InvalidArgumentError(f"block_frames must be positive, not {block_frames}")
        chosen, rate, block = self._prepare_input(channels, rate)
        wanted = self._frames_wanted(rate, seconds, frames)
        if block_frames is not None:
            block = int(block_frames)
        stream = Stream(self, chosen, rate, block, wanted, on_loss)
        self._stream = weakref.ref(stream)
        return stream

    # -- outputs ---------------------------------------------------------------------------------

    def generate(
        self,
        samples: np.ndarray,
        rate: Optional[int] = None,
        channels: Channels = None,
        timeout: Optional[float] = None,
        loop: bool = False,
    ) -> Dict[int, LossCounters]:
        """Plays samples on output channels and returns once the instrument has played the last
        one, however much of them it buffers (or, with loop=True, plays them over and over until
        KeyboardInterrupt, which then propagates with the outputs stopped).

        samples: shape (frames,) for one channel or (frames, channels), integers within the
        output width. channels: the output channels of the columns (None: 0, 1, ...).
        Returns each channel's counters of the run (zero_filled counts the gaps the device filled).
        timeout is no longer needed (a stalled stream raises StreamError) and is ignored.
        """
        del timeout
        chosen, packed, rate = self._prepare_output(samples, rate, channels, recording=False)
        loss, _ = _playback.play(self, packed, chosen, rate, bool(loop), None)
        return loss

    def generate_and_record(
        self,
        samples: np.ndarray,
        rate: Optional[int] = None,
        channels: Channels = None,
        inputs: Channels = None,
    ) -> Acquisition:
        """Plays samples as :meth:`generate` does and records input channels (None: all) at the
        same rate meanwhile: one input frame per output frame, from the stream's start. Returns
        the recording (an :class:`Acquisition`) with `output_loss`, the outputs' counters."""
        chosen, packed, rate = self._prepare_output(samples, rate, channels, recording=True)
        recorded_channels = self._channels(inputs, True)
        loss, recorded = _playback.play(self, packed, chosen, rate, False, recorded_channels)
        assert recorded is not None
        recorded.output_loss = loss  # type: ignore[attr-defined]
        return recorded

    def _prepare_output(
        self, samples: np.ndarray, rate: Optional[int], channels: Channels, recording: bool
    ) -> Tuple[List[int], List[np.ndarray], int]:
        """Checks the samples, sets the rate(s); (output channels, packed bytes per channel, rate)."""
        self._require_open()
        self._end_stream()
        array = np.asarray(samples)
        if array.ndim == 1:
            array = array.reshape(-1, 1)
        if array.ndim != 2 or array.shape[0] == 0:
            raise InvalidArgumentError(f"samples must have shape (frames, channels), not {array.shape}")
        if not np.issubdtype(array.dtype, np.integer):
            raise InvalidArgumentError(f"samples must be integers, not {array.dtype}")
        bits = self._info.out_bits
        sample_dtype(bits)
        low, high = -(1 << (bits - 1)), (1 << (bits - 1)) - 1
        if array.min() < low or array.max() > high:
            raise InvalidArgumentError(f"samples must lie within {low}..{high} for {bits}-bit outputs")
        if channels is None:
            channels = range(array.shape[1])
        chosen = self._channels(channels, False)
        if len(chosen) != array.shape[1]:
            raise InvalidArgumentError(f"{array.shape[1]} columns for {len(chosen)} channels")
        out_rate = self.sample_rate[1] if rate is None else _whole_rate(rate)
        assert out_rate is not None
        if recording or rate is not None:
            self.set_sample_rate(output=out_rate, input=out_rate if recording else None)
        return chosen, [_pack(array[:, i], bits) for i in range(len(chosen))], out_rate

    # -- auxiliary I/O ---------------------------------------------------------------------------

    def set_gpio_mode(self, pin_mask: int, mode: int) -> None:
        """Sets the mode of the GPIO pins in pin_mask (bit n: pin n)."""
        self._require_open()
        self._check(self._lib.vexdaq_set_gpio_mode(pin_mask, mode), "vexdaq_set_gpio_mode", "setting GPIO")

    def dio_write(self, port: int, data: bytes) -> None:
        """Writes bytes to a digital I/O port."""
        self._require_open()
        buffer = (ctypes.c_uint8 * max(1, len(data))).from_buffer_copy(bytes(data) or b"\0")
        self._check(
            self._lib.vexdaq_digital_io_write(port, buffer, len(data)),
            "vexdaq_digital_io_write",
            "writing the digital port",
        )

    def dio_read(self, port: int, length: int = 1) -> bytes:
        """Reads length bytes from a digital I/O port."""
        self._require_open()
        buffer = ctypes.create_string_buffer(max(1, length))
        self._check(
            self._lib.vexdaq_digital_io_read(port, buffer, length),
            "vexdaq_digital_io_read",
            "reading the digital port",
        )
        return buffer.raw[:length]

    def set_pwm(self, pin: int, frequency: int, duty: int) -> None:
        """Drives a PWM output: frequency in Hz, duty as the instrument counts it."""
        self._require_open()
        self._check(self._lib.vexdaq_set_pwm(pin, frequency, duty), "vexdaq_set_pwm", "setting PWM")

    def set_counter(self, pin: int, mode: int, edge: int) -> None:
        """Configures a pulse counter."""
        self._require_open()
        self._check(self._lib.vexdaq_set_counter(pin, mode, edge), "vexdaq_set_counter", "setting the counter")

    def read_counter(self, pin: int) -> CounterReading:
        """Reads a pulse counter's figures."""
        self._require_open()
        values = [ctypes.c_uint32() for _ in range(4)]
        self._check(
            self._lib.vexdaq_counter_read(pin, *(ctypes.byref(v) for v in values)),
            "vexdaq_counter_read",
            "reading the counter",
        )
        return CounterReading(*(v.value for v in values))

    def set_uart(self, rate: int, stop_bits: int = 1, parity: int = 0, data_bits: int = 8) -> None:
        """Sets the UART's line code (baud rate and framing)."""
        self._require_open()
        self._check(
            self._lib.vexdaq_set_uart_line_code(rate, stop_bits, parity, data_bits),
            "vexdaq_set_uart_line_code",
            "setting the UART",
        )

    def uart_write(self, data: bytes) -> int:
        """Sends bytes on the UART; returns how many left within 50 ms."""
        self._require_open()
        buffer = ctypes.create_string_buffer(bytes(data), max(1, len(data)))
        return self._uart_result(self._lib.vexdaq_UART_Write(buffer, len(data)), "vexdaq_UART_Write")

    def uart_read(self, size: int) -> bytes:
        """Up to size bytes that arrived on the UART within 50 ms (b"" when none)."""
        self._require_open()
        buffer = ctypes.create_string_buffer(max(1, size))
        got = self._uart_result(self._lib.vexdaq_UART_Read(buffer, size), "vexdaq_UART_Read")
        return buffer.raw[:got]

    def _uart_result(self, result: int, call: str) -> int:
        if result == -2:  # no event within 50 ms: nothing moved
            return 0
        return self._check(result, call, "the UART transfer")

    def i2c_write(self, register: int, data: bytes) -> None:
        """Writes bytes to an I2C register."""
        self._require_open()
        buffer = ctypes.create_string_buffer(bytes(data), max(1, len(data)))
        self._check(
            self._lib.vexdaq_I2C_Reg_Write(register, buffer, len(data)),
            "vexdaq_I2C_Reg_Write",
            "writing the I2C register",
        )

    def i2c_read(self, register: int, length: int) -> bytes:
        """Reads length bytes from an I2C register."""
        self._require_open()
        buffer = ctypes.create_string_buffer(max(1, length))
        self._check(
            self._lib.vexdaq_I2C_Reg_Read(register, buffer, length),
            "vexdaq_I2C_Reg_Read",
            "reading the I2C register",
        )
        return buffer.raw[:length]

    # -- downloads -------------------------------------------------------------------------------

    def firmware_download(self, path: Union[str, "os.PathLike[str]"]) -> None:
        """Writes a firmware file to the instrument and verifies it by reading it back."""
        self._require_open()
        path = os.fspath(path)
        if not os.path.isfile(path):
            raise InvalidArgumentError(f"no firmware file '{path}'")
        self._check(
            self._lib.vexdaq_firmware_download(os.fsencode(path)),
            "vexdaq_firmware_download",
            "the firmware download",
        )

    def serial_download(self, serial: str) -> None:
        """Sets the instrument's serial number (16 characters at most)."""
        self._require_open()
        text = serial.encode("ascii")
        if len(text) > 16:
            raise InvalidArgumentError("a serial number has at most 16 characters")
        self._check(
            self._lib.vexdaq_serial_download(text, len(text)),
            "vexdaq_serial_download",
            "setting the serial number",
        )


class Stream(_ClosedOnRelease):
    """Blocks of input samples as they arrive; made by :meth:`Device.stream`.

    An iterator and a context manager: the stream is stopped when it ends, on close(), when the
    context is left, and when the iterator is released.
    """

    def __init__(
        self,
        device: Device,
        channels: List[int],
        rate: int,
        block: int,
        wanted: Optional[int],
        on_loss: str = "raise",
    ) -> None:
        self._device = device
        self.channels: Tuple[int, ...] = tuple(channels)
        self.rate = rate
        self.block_frames = block
        self._wanted = wanted
        self.frames = 0
        self._running = False
        self._finished = False
        self._bits = device.info.in_bits
        self._dtype = sample_dtype(self._bits)
        self._staging = np.empty(block * 3, dtype=np.uint8) if self._bits == 24 else None
        self._before = device._loss_snapshot(self.channels, True)
        self.start_time: Optional[_dt.datetime] = None
        self._on_loss = on_loss
        #: Frames the instrument lost so far, found by the library (newest 64).
        self.gaps: Tuple[timing.Gap, ...] = ()
        #: Seconds from the first frame to the first frame of the latest block (the fit).
        self.block_seconds = 0.0
        self._lost_seen = 0
        self._loss_error: Optional[BaseException] = None

    def __iter__(self) -> "Stream":
        return self

    @property
    def running(self) -> bool:
        return self._running

    def __next__(self) -> np.ndarray:
        if self._loss_error is not None:
            error, self._loss_error = self._loss_error, None
            self.close()
            raise error
        if self._finished:
            raise StopIteration
        device = self._device
        lib = device._lib
        if not self._running:
            device._require_open()
            self.start_time = _dt.datetime.now(_dt.timezone.utc)
            device._check(lib.vexdaq_start(), "vexdaq_start", "starting the stream")
            self._running = True
        n = self.block_frames
        if self._wanted is not None:
            n = min(n, self._wanted - self.frames)
            if n <= 0:
                self.close()
                raise StopIteration
        width = self._bits // 8
        data = np.empty((len(self.channels), n), dtype=self._dtype)
        try:
            for row, channel in enumerate(self.channels):
                target = data[row].ctypes.data if self._staging is None else self._staging.ctypes.data
                got = lib.vexdaq_recv_data(channel, target, n * width, 1)
                if got != n * width:
                    raise device._stream_failure(got, "vexdaq_recv_data", self.frames)
                if self._staging is not None:
                    _unpack24(self._staging, data[row])
        except BaseException:
            self.close()
            raise
        self._judge_block()
        self.block_seconds = timing.read_timing().frame_seconds(self.frames, self.gaps)
        block = self._describe(data.T.view(Block))
        self.frames += n
        return block

    def _describe(self, block: "Block") -> "Block":
        """What a block says about itself beside its samples."""
        block.rate = self.rate
        block.channels = self.channels
        block.sample_bits = self._bits
        block.start_time = self.start_time
        block.first_frame = self.frames
        block.first_frame_seconds = self.block_seconds
        block.gaps = self.gaps
        return block

    def _judge_block(self) -> None:
        """Raises or warns (on_loss) once per new loss: a gap or samples read too late."""
        gaps, _ = timing.read_gaps()
        loss = self.loss()
        lost = sum(c.lost for c in loss.values())
        if len(gaps) == len(self.gaps) and lost == self._lost_seen:
            return
        new_gaps = gaps[len(self.gaps) :]
        self.gaps = gaps
        self._lost_seen = lost
        try:
            timing.report_loss(self._on_loss, new_gaps, loss)
        except DataLossError as error:
            # The block in hand still goes to the caller; the next one raises.
            self._loss_error = error

    def loss(self) -> Dict[int, LossCounters]:
        """Each channel's loss counters since the stream was made."""
        now = self._device._loss_snapshot(self.channels, True)
        return {c: now[c] - self._before[c] for c in self.channels}

    def close(self) -> None:
        """Stops the stream (harmless when stopped)."""
        self._finished = True
        device = self._device
        if self._running:
            self._running = False
            if not device.closed:
                device._lib.vexdaq_stop()
        if device._stream is not None and device._stream() is self:
            device._stream = None
