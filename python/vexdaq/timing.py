"""When the input samples were taken, and which never arrived: the library's fit of the stream.

The library compares the frames that arrive with the host's monotonic clock, estimates the
instrument clock's drift and finds the frames the instrument lost before they reached the host
(its FIFO overflowed: it cannot say so itself). See ``vexdaq_ext.h`` for how exact it is.
"""

from __future__ import annotations

import ctypes
import datetime as _dt
import warnings
from dataclasses import dataclass
from typing import Dict, List, Optional, Tuple

from . import _library
from .errors import DataLossError, DataLossWarning, InvalidArgumentError

ON_LOSS = ("raise", "warn", "ignore")


@dataclass(frozen=True)
class Gap:
    """Frames the instrument lost: ``frame_count`` of them after the first ``frame_index``
    delivered frames (the row of the data where they are missing)."""

    frame_index: int
    frame_count: int
    host_monotonic_ns: int


@dataclass(frozen=True)
class StreamTiming:
    """The input stream's start and the fit (``vexdaq_stream_timing``)."""

    start_monotonic_ns: int
    start_time: Optional[_dt.datetime]  #: UTC, when the instrument was told to start
    first_frame_monotonic_ns: int
    first_frame_time: Optional[_dt.datetime]  #: UTC, when frame 0 was taken (the fit)
    frames_received: int
    frames_settled: int
    drift_ppm: float
    rate: int
    bus_frame_number: int
    fitted: bool

    def frame_seconds(self, k: int, gaps: Tuple[Gap, ...] = ()) -> float:
        """Seconds from frame 0 to delivered frame k, stepping over the gaps before it."""
        rate = self.rate * (1 + self.drift_ppm * 1e-6)
        missing = sum(g.frame_count for g in gaps if g.frame_index <= k)
        return (k + missing) / rate if rate > 0 else 0.0


def _utc(ns: int) -> _dt.datetime:
    return _dt.datetime.fromtimestamp(ns // 1_000_000_000, _dt.timezone.utc) + _dt.timedelta(
        microseconds=(ns % 1_000_000_000) // 1000
    )


def read_timing() -> StreamTiming:
    """The current (or last) input stream's timing."""
    raw = _library.StreamTimingC()
    _library.load().vexdaq_get_stream_timing(ctypes.byref(raw))
    started = bool(raw.started)
    first_utc = raw.start_utc_ns + (raw.first_frame_monotonic_ns - raw.start_monotonic_ns)
    return StreamTiming(
        start_monotonic_ns=raw.start_monotonic_ns,
        start_time=_utc(raw.start_utc_ns) if started else None,
        first_frame_monotonic_ns=raw.first_frame_monotonic_ns,
        first_frame_time=_utc(first_utc) if started else None,
        frames_received=raw.frames_received,
        frames_settled=raw.frames_settled,
        drift_ppm=raw.drift_ppm,
        rate=raw.rate,
        bus_frame_number=raw.bus_frame_number,
        fitted=bool(raw.fitted),
    )


def read_gaps() -> Tuple[Tuple[Gap, ...], int]:
    """The newest 64 gaps of the current (or last) input stream, and how many it has in all."""
    buffer = (_library.StreamGapC * 64)()
    totals = _library.GapTotalsC()
    n = _library.load().vexdaq_get_stream_gaps(buffer, 64, ctypes.byref(totals))
    gaps = tuple(Gap(g.frame_index, g.frame_count, g.host_monotonic_ns) for g in buffer[: max(n, 0)])
    return gaps, int(totals.stream_gaps)


def check_on_loss(on_loss: str) -> None:
    if on_loss not in ON_LOSS:
        raise InvalidArgumentError(f"on_loss must be one of {', '.join(ON_LOSS)}, not {on_loss!r}")


def report_loss(on_loss: str, gaps: Tuple[Gap, ...], loss: Dict[int, object], data: object = None) -> None:
    """Raises DataLossError (on_loss="raise") or warns (on_loss="warn") when frames are missing:
    gaps the library found, or samples its FIFOs overwrote or dropped."""
    lost = sum(getattr(c, "lost", 0) for c in loss.values())
    failures = max((getattr(c, "transfer_failures", 0) for c in loss.values()), default=0)
    if on_loss == "ignore" or (not gaps and lost == 0 and failures == 0):
        return
    parts: List[str] = []
    if gaps:
        missing = sum(g.frame_count for g in gaps)
        where = ", ".join(f"{g.frame_count} after frame {g.frame_index}" for g in gaps[:5])
        parts.append(f"the instrument lost {missing} frames in {len(gaps)} gap(s) ({where})")
    if lost:
        parts.append(f"{lost} samples were overwritten or dropped before they were read")
    if failures:
        parts.append(f"{failures} transfers failed")
    message = "; ".join(parts)
    if on_loss == "warn":
        warnings.warn(message, DataLossWarning, stacklevel=3)
        return
    raise DataLossError(message, gaps=list(gaps), loss=dict(loss), data=data)
