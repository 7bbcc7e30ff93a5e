"""Playing samples on the outputs until the last one has left the instrument, optionally
recording inputs meanwhile (used by :meth:`vexdaq.Device.generate`)."""

from __future__ import annotations

import datetime as _dt
import time
from typing import TYPE_CHECKING, Dict, List, Optional, Tuple

import numpy as np

from .errors import StreamError

if TYPE_CHECKING:
    from .device import Acquisition, Device, LossCounters

# The instrument takes up to 64 KiB of samples at once when the stream starts; the FIFOs hold
# twice that, filled before the start, so it never runs ahead of them into zeros.
_INSTRUMENT_BUFFER_BYTES = 65536
# Time the first samples need to reach the instrument after the start: a few 1 ms USB frames.
_DELIVERY_ALLOWANCE = 0.010
# A stream whose counters have not moved for this long has stopped (transfers time out at 1.5 s).
_STALL_SECONDS = 2.0


class _Recorder:
    """Reads the recorded inputs block by block into a preallocated (channels, frames) array."""

    def __init__(self, device: "Device", channels: List[int], frames: int, block: int) -> None:
        from .device import sample_dtype

        self.device = device
        self.channels = channels
        self.bits = device.info.in_bits
        self.width = self.bits // 8
        self.data = np.empty((len(channels), frames), dtype=sample_dtype(self.bits))
        self.block = block
        self.staging = np.empty(block * 3, dtype=np.uint8) if self.width == 3 else None
        self.done = 0

    def read(self, blocking: bool) -> bool:
        """Reads one block (or the rest); False when, not blocking, it is not there yet."""
        from .device import _unpack24

        n = min(self.block, self.data.shape[1] - self.done)
        if n <= 0:
            return False
        lib = self.device._lib
        for row, channel in enumerate(self.channels):
            target = (
                self.data[row, self.done :].ctypes.data
                if self.staging is None
                else self.staging.ctypes.data
            )
            got = lib.vexdaq_recv_data(channel, target, n * self.width, 1 if blocking else 0)
            if got == 0 and not blocking and row == 0:
                return False  # all or nothing per channel, and every channel fills at once
            if got != n * self.width:
                raise self.device._stream_failure(got, "vexdaq_recv_data", self.done)
            if self.staging is not None:
                _unpack24(self.staging, self.data[row, self.done : self.done + n])
        self.done += n
        return True

    def drain(self) -> None:
        while self.read(blocking=False):
            pass


def play(
    device: "Device",
    packed: List[np.ndarray],
    chosen: List[int],
    rate: int,
    loop: bool,
    record: Optional[List[int]],
) -> Tuple[Dict[int, "LossCounters"], Optional["Acquisition"]]:
    """Plays the packed sample bytes of each chosen output channel (once, or over and over until
    KeyboardInterrupt with loop) and returns once the instrument has played the last sample:
    (output loss counters per channel, the recorded inputs or None)."""
    from .device import Acquisition, _BLOCK_SECONDS

    lib = device._lib
    info = device.info
    width = info.out_bits // 8
    frames = packed[0].shape[0] // width
    block = max(1, int(rate * _BLOCK_SECONDS))
    out_capacity = max(block * 8, rate, 2 * _INSTRUMENT_BUFFER_BYTES // width)
    in_capacity = 0
    if record is not None:
        in_capacity = min(
            max(rate * 2, 2 * _INSTRUMENT_BUFFER_BYTES // (info.in_bits // 8), block * 8), 1 << 22
        )
    device._check(
        lib.vexdaq_create_buffers(out_capacity, in_capacity), "vexdaq_create_buffers", "creating the buffers"
    )
    device._check(
        lib.vexdaq_set_input_channel(device._mask(record or [])),
        "vexdaq_set_input_channel",
        "selecting inputs",
    )
    device._check(
        lib.vexdaq_set_output_channel(device._mask(chosen)),
        "vexdaq_set_output_channel",
        "selecting outputs",
    )
    recorder = _Recorder(device, record, frames, block) if record is not None else None
    last = chosen[-1]
    before = device._loss_snapshot(chosen, False)
    before_in = device._loss_snapshot(record, True) if record is not None else {}

    def send(first: int, n: int, blocking: int) -> int:
        """Sends frames first .. first + n (wrapping round the samples) of every chosen channel."""
        chunk = np.zeros((info.out_channels, n * width), dtype=np.uint8)
        rows = (np.arange(first, first + n) % frames)[:, None] * width + np.arange(width)
        for i, channel in enumerate(chosen):
            chunk[channel] = packed[i][rows.reshape(-1)]
        sent = lib.vexdaq_send_channel_blocks(chunk.ctypes.data, n * width, blocking)
        if sent not in (0, n * width) or (sent == 0 and blocking):
            raise device._stream_failure(sent, "vexdaq_send_channel_blocks", first)
        return sent

    wanted = frames
    done = 0
    zeros = 0  # zeros the library sent, in gaps, before the block last queued
    started_at: Optional[float] = None
    start_time = None
    try:
        while loop or done < wanted:
            n = block if loop else min(block, wanted - done)
            if started_at is None:
                if send(done, n, 0) == 0:
                    start_time = _dt.datetime.now(_dt.timezone.utc)
                    device._check(lib.vexdaq_start(), "vexdaq_start", "starting the stream")
                    started_at = time.monotonic()
                    send(done, n, 1)
            else:
                send(done, n, 1)
                zeros = device.loss_counters(last, False).zero_filled - before[last].zero_filled
                if recorder is not None:
                    recorder.drain()
            done += n
        if started_at is None:
            start_time = _dt.datetime.now(_dt.timezone.utc)
            device._check(lib.vexdaq_start(), "vexdaq_start", "starting the stream")
            started_at = time.monotonic()
        # The library hands the last block to the instrument, which plays everything it was
        # sent at the rate from the start: the samples and the zeros ahead of the last.
        moved, progress = -1, time.monotonic()
        while True:
            now_moved = device.loss_counters(last, False).moved - before[last].moved
            if now_moved >= done:
                break
            if now_moved != moved:
                moved, progress = now_moved, time.monotonic()
            elif time.monotonic() - progress > _STALL_SECONDS:
                raise device._error(
                    StreamError, "the instrument stopped taking samples", 0, "vexdaq_send_channel_blocks"
                )
            if recorder is None or not recorder.read(blocking=False):
                time.sleep(0.005)
        played = started_at + _DELIVERY_ALLOWANCE + (done + zeros) / rate
        while time.monotonic() < played:
            if recorder is not None and recorder.done < frames:
                recorder.read(blocking=True)  # a block's time
            else:
                time.sleep(min(0.05, max(0.0, played - time.monotonic())))
        if recorder is not None:
            while recorder.done < frames:
                recorder.read(blocking=True)
    finally:
        lib.vexdaq_stop()
    after = device._loss_snapshot(chosen, False)
    loss = {c: after[c] - before[c] for c in chosen}
    if recorder is None:
        return loss, None
    after_in = device._loss_snapshot(record, True)
    result = recorder.data.T.view(Acquisition)
    result.rate = rate
    result.channels = tuple(record)
    result.sample_bits = recorder.bits
    result.loss = {c: after_in[c] - before_in[c] for c in record}
    result.start_time = start_time
    return loss, result


