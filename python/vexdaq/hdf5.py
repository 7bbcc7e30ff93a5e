"""Capture files in HDF5: the layout ``vexdaq acquire -o capture.h5`` writes, read and written here.

One dataset, ``/samples``, of shape (frames, channels) in the samples' integer type (int16 for
16-bit samples, int32 for 24 and 32-bit ones), chunked along the frames so that it can grow while
recording. Its attributes:

==================  ==========================================================================
rate                input sample rate in Hz (int64)
channels            the channel numbers of the columns (int32 array)
sample_bits         16, 24 or 32
gear, icp           per channel, the range code and ICP setting asked for; -1 when not set
start_time          the stream's start, UTC, ISO 8601 ("2026-12-08T11:52:14.123456Z")
product, device_version, driver_version, serial
                    the instrument as it reported itself (serial: empty, not readable yet)
library_version     the vexdaq library's version text
moved, overwritten, dropped, transfer_failures
                    the loss counters of the run at its end, per channel (int64 arrays)
interrupted         1 when the recording was ended early (Ctrl-C), else 0
first_frame_time    when frame 0 was taken, UTC, ISO 8601, from the library's fit of the stream
drift_ppm           the instrument clock against the host's, from the fit (float64)
bus_frame_number    the USB frame number at the start (-1: unknown)
gap_frames          frames the instrument lost, in all the gaps the library found (int64)
==================  ==========================================================================

Beside the samples, a dataset ``/gaps`` of shape (gaps, 2), int64: for each gap the library
found, the row of ``samples`` before which frames are missing and how many.

Needs h5py (Debian: python3-h5py).
"""

from __future__ import annotations

import datetime as _dt
import os
from dataclasses import dataclass, field
from typing import Any, Dict, Optional, Sequence, Tuple, Union

import numpy as np

from . import timing
from .device import DeviceInfo, LossCounters, Stream, sample_dtype
from .scaling import ChannelScale

DATASET = "samples"
#: Rows per chunk aim at about 256 KiB of samples: large enough for fast writes, small enough to
#: keep the memory of a growing file bounded.
CHUNK_BYTES = 256 * 1024

PathLike = Union[str, "os.PathLike[str]"]


def _h5py() -> Any:
    try:
        import h5py
    except ImportError as error:  # pragma: no cover - depends on the machine
        raise ImportError("HDF5 captures need h5py (Debian: python3-h5py)") from error
    return h5py


def _iso(time: Optional[_dt.datetime]) -> str:
    if time is None:
        return ""
    return time.astimezone(_dt.timezone.utc).strftime("%Y-%m-%dT%H:%M:%S.%fZ")


def _describe_units(attrs: Any, sample_bits: int, scales: Sequence[ChannelScale]) -> None:
    """valid_bits (how many bits of each integer the instrument filled) and per channel scale,
    offset and unit: value = counts * scale + offset, as the tool writes them."""
    attrs["valid_bits"] = np.int32(sample_bits)
    attrs["scale"] = np.asarray([s.scale for s in scales], dtype=np.float64)
    attrs["offset"] = np.asarray([s.offset for s in scales], dtype=np.float64)
    attrs["unit"] = [s.unit for s in scales]


def _text(value: Any) -> str:
    return value.decode("utf-8", "replace") if isinstance(value, bytes) else str(value)


@dataclass
class Capture:
    """A capture file read back: the samples and their description."""

    samples: np.ndarray
    rate: int
    channels: Tuple[int, ...]
    sample_bits: int
    start_time: Optional[_dt.datetime]
    loss: Dict[int, LossCounters]
    attributes: Dict[str, Any] = field(default_factory=dict)


class CaptureWriter:
    """Writes a capture file block by block, as the CLI does; a context manager.

    Blocks of shape (frames, channels) are appended to the dataset; finish() (or leaving the
    context, also by an exception) writes the end-of-run attributes and closes the file.
    """

    def __init__(
        self,
        path: PathLike,
        channels: Sequence[int],
        rate: int,
        sample_bits: int,
        info: Optional[DeviceInfo] = None,
        gear: Optional[Sequence[int]] = None,
        icp: Optional[Sequence[int]] = None,
        start_time: Optional[_dt.datetime] = None,
        scales: Optional[Sequence[ChannelScale]] = None,
    ) -> None:
        h5py = _h5py()
        self.channels = tuple(int(c) for c in channels)
        self.dtype = sample_dtype(sample_bits)
        width = len(self.channels)
        rows = max(1, CHUNK_BYTES // (width * self.dtype.itemsize))
        self._file = h5py.File(os.fspath(path), "w")
        self._data = self._file.create_dataset(
            DATASET, shape=(0, width), maxshape=(None, width), dtype=self.dtype.newbyteorder("<"),
            chunks=(rows, width), compression="gzip", compression_opts=1, shuffle=True,
        )
        self.frames = 0
        a = self._data.attrs
        a["rate"] = np.int64(rate)
        a["channels"] = np.asarray(self.channels, dtype=np.int32)
        a["sample_bits"] = np.int32(sample_bits)
        _describe_units(a, sample_bits, scales if scales is not None else [ChannelScale()] * width)
        a["gear"] = np.asarray(gear if gear is not None else [-1] * width, dtype=np.int32)
        a["icp"] = np.asarray(icp if icp is not None else [-1] * width, dtype=np.int32)
        a["start_time"] = _iso(start_time)
        a["product"] = info.product if info else ""
        a["device_version"] = info.device_version if info else ""
        a["driver_version"] = info.driver_version if info else ""
        a["serial"] = info.serial if info else ""
        a["library_version"] = info.library_version if info else ""
        a["interrupted"] = np.int32(0)
        self.set_loss({})
        self.set_timing(None, ())

    def set_timing(self, fit: Optional["timing.StreamTiming"], gaps: Sequence["timing.Gap"]) -> None:
        """The stream's fit and its gaps (the dataset ``gaps`` and the attributes above)."""
        a = self._data.attrs
        a["first_frame_time"] = _iso(fit.first_frame_time if fit is not None else None)
        a["drift_ppm"] = np.float64(fit.drift_ppm if fit is not None else 0.0)
        a["bus_frame_number"] = np.int32(fit.bus_frame_number if fit is not None else -1)
        a["gap_frames"] = np.int64(sum(g.frame_count for g in gaps))
        if "gaps" in self._file:
            del self._file["gaps"]
        rows = np.asarray([(g.frame_index, g.frame_count) for g in gaps], dtype=np.int64).reshape(-1, 2)
        self._file.create_dataset("gaps", data=rows, dtype="<i8")

    def set_start_time(self, start_time: _dt.datetime) -> None:
        self._data.attrs["start_time"] = _iso(start_time)

    def write(self, block: np.ndarray) -> None:
        """Appends frames of shape (frames, channels)."""
        block = np.asarray(block)
        if block.ndim != 2 or block.shape[1] != len(self.channels):
            raise ValueError(f"a block of shape {block.shape} for {len(self.channels)} channels")
        n = block.shape[0]
        self._data.resize(self.frames + n, axis=0)
        self._data[self.frames : self.frames + n] = block
        self.frames += n

    def set_loss(self, loss: Dict[int, LossCounters]) -> None:
        for name in ("moved", "overwritten", "dropped", "transfer_failures"):
            self._data.attrs[name] = np.asarray(
                [getattr(loss.get(c, LossCounters()), name) for c in self.channels], dtype=np.int64
            )

    def finish(self, loss: Optional[Dict[int, LossCounters]] = None, interrupted: bool = False) -> None:
        if self._file.id.valid:
            if loss is not None:
                self.set_loss(loss)
            self._data.attrs["interrupted"] = np.int32(1 if interrupted else 0)
            self._file.close()

    def __enter__(self) -> "CaptureWriter":
        return self

    def __exit__(self, exc_type: Optional[type], *rest: object) -> None:
        self.finish(interrupted=exc_type is not None)


def write(path: PathLike, samples: np.ndarray, info: Optional[DeviceInfo] = None,
          rate: Optional[int] = None, channels: Optional[Sequence[int]] = None,
          sample_bits: Optional[int] = None, gear: Optional[Sequence[int]] = None,
          icp: Optional[Sequence[int]] = None) -> None:
    """Writes an array of shape (frames, channels) as a capture file.

    An :class:`Acquisition` (what Device.acquire returns) brings its rate, channels, width, start
    time and loss counters; for a plain array give rate, channels and sample_bits.
    """
    rate = rate if rate is not None else getattr(samples, "rate", None)
    channels = channels if channels is not None else getattr(samples, "channels", None)
    sample_bits = sample_bits if sample_bits is not None else getattr(samples, "sample_bits", None)
    if not rate or channels is None or not sample_bits:
        raise ValueError("give rate, channels and sample_bits for a plain array")
    with CaptureWriter(path, channels, rate, sample_bits, info, gear, icp,
                       getattr(samples, "start_time", None)) as writer:
        writer.write(np.asarray(samples))
        writer.set_timing(getattr(samples, "timing", None), getattr(samples, "gaps", ()))
        writer.finish(getattr(samples, "loss", None))


def record(device: Any, path: PathLike, channels: Any = None, rate: Optional[int] = None,
           seconds: Optional[float] = None, frames: Optional[int] = None,
           on_loss: str = "raise") -> Dict[int, LossCounters]:
    """Streams input channels of an open device into a capture file with bounded memory.

    Ctrl-C ends the recording with a complete file (marked interrupted) and is then raised again.
    Returns the loss counters of the run. A run that missed samples completes its file (the gaps
    in it) and then raises DataLossError, warns or says nothing, as on_loss asks.
    """
    timing.check_on_loss(on_loss)
    stream: Stream = device.stream(channels, rate, seconds=seconds, frames=frames, on_loss="ignore")
    gear = [device.gear(c) for c in stream.channels]
    icp = [device.icp(c) for c in stream.channels]
    writer = CaptureWriter(path, stream.channels, stream.rate, device.info.in_bits, device.info, gear, icp)
    interrupted = False
    try:
        with stream:
            for block in stream:
                if writer.frames == 0 and stream.start_time is not None:
                    writer.set_start_time(stream.start_time)
                writer.write(block)
    except KeyboardInterrupt:
        interrupted = True
        raise
    finally:
        loss = stream.loss() if not device.closed else None
        gaps, _ = timing.read_gaps()
        writer.set_timing(timing.read_timing(), gaps)
        writer.finish(loss, interrupted)
    timing.report_loss(on_loss, gaps, loss or {})
    return loss or {}


def read(path: PathLike) -> Capture:
    """Reads a capture file written by the CLI or by this module."""
    h5py = _h5py()
    with h5py.File(os.fspath(path), "r") as f:
        data = f[DATASET]
        attrs = {k: data.attrs[k] for k in data.attrs}
        samples = data[()]
    channels = tuple(int(c) for c in np.atleast_1d(attrs["channels"]))
    loss = {}
    for i, c in enumerate(channels):
        values = {name: int(np.atleast_1d(attrs.get(name, [0] * len(channels)))[i])
                  for name in ("moved", "overwritten", "dropped", "transfer_failures")}
        loss[c] = LossCounters(**values)
    start = _text(attrs.get("start_time", ""))
    start_time = _dt.datetime.fromisoformat(start.replace("Z", "+00:00")) if start else None
    clean = {k: (_text(v) if isinstance(v, (bytes, str)) else v) for k, v in attrs.items()}
    return Capture(samples, int(attrs["rate"]), channels, int(attrs["sample_bits"]), start_time, loss, clean)
