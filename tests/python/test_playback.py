"""Outputs play to their last sample, in a loop until Ctrl-C, and inputs are recorded meanwhile."""

import _thread
import threading
import time

import numpy as np
import pytest

import vexdaq


def counter(channel, frames):
    return (channel << 16) | (np.arange(frames) % (1 << 16))


def test_generate_returns_once_every_sample_has_been_played():
    # 2 s at 1 kHz fit the instrument's buffer whole: the old generate stopped it after 1 s.
    with vexdaq.sim.plug(loopback=1) as instrument, vexdaq.open() as device:
        played = np.column_stack([counter(0, 2000), counter(1, 2000)]).astype(np.int32)
        began = time.monotonic()
        loss = device.generate(played, rate=1000)
        assert time.monotonic() - began >= 2.0
        assert loss[0].moved == 2000 and loss[1].moved == 2000
        received = np.frombuffer(instrument.output_read(1 << 20), dtype=np.uint8)
    frames = received[: received.size // 6 * 6].reshape(-1, 2, 3)
    values = frames[..., 0].astype(np.int32) | frames[..., 1].astype(np.int32) << 8
    values |= frames[..., 2].astype(np.int32) << 16
    np.testing.assert_array_equal(values[:2000], played)


def test_generate_and_record_gives_the_inputs_of_the_same_frames():
    with vexdaq.sim.plug(loopback=1), vexdaq.open() as device:
        played = np.column_stack([counter(0, 24000), counter(1, 24000)]).astype(np.int32)
        recorded = device.generate_and_record(played, rate=48000, inputs="0-1")
    assert recorded.shape == (24000, 2) and recorded.channels == (0, 1) and recorded.rate == 48000
    np.testing.assert_array_equal(recorded, played)
    assert recorded.lost == 0 and recorded.output_loss[1].moved == 24000


def test_loop_plays_until_interrupted_and_leaves_the_outputs_stopped():
    with vexdaq.sim.plug(), vexdaq.open() as device:
        timer = threading.Timer(0.5, _thread.interrupt_main)
        timer.start()
        try:
            with pytest.raises(KeyboardInterrupt):
                device.generate(counter(0, 100).astype(np.int32), rate=10000, loop=True)
        finally:
            timer.cancel()
        assert device.loss_counters(0, input=False).moved > 100  # it went round more than once
        assert device.acquire([0], rate=10000, frames=100).shape == (100, 1)
