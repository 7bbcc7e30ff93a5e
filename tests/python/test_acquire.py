"""Samples arrive in numpy intact; streams stop cleanly; failures raise the right exceptions."""

import signal
from pathlib import Path

import numpy as np
import pytest

import vexdaq

# At 10 kHz the instrument's 64 KiB buffer covers well over a loaded scheduler's pauses.
RATE = 10000


def counter(channel, frames, bits):
    return (channel << (bits - 8)) | (np.arange(frames) % (1 << (bits - 8)))


@pytest.mark.parametrize("bits,dtype", [(16, np.int16), (24, np.int32), (32, np.int32)])
def test_counter_pattern_and_signed_samples_arrive_intact(bits, dtype):
    # Channel 1 plays a square wave of +-2^(bits-2): half its samples are negative, which a
    # wrong sign extension of 24-bit samples would turn into large positive values.
    with vexdaq.sim.plug(f"waveform=counter;waveform.1=square;in_bits={bits}"):
        with vexdaq.open() as device:
            samples = device.acquire([0, 1, 5], rate=RATE, frames=3000)
    assert samples.shape == (3000, 3)
    assert samples.dtype == dtype
    assert samples.channels == (0, 1, 5) and samples.rate == RATE and samples.sample_bits == bits
    np.testing.assert_array_equal(samples[:, 0], counter(0, 3000, bits))
    np.testing.assert_array_equal(samples[:, 2], counter(5, 3000, bits))
    amplitude = 1 << (bits - 2)
    assert set(np.unique(samples[:, 1])) == {-amplitude, amplitude}
    assert samples.lost == 0
    assert samples.loss[5].moved >= 3000


def test_acquire_refuses_what_the_instrument_cannot_do():
    with vexdaq.sim.plug(), vexdaq.open() as device:
        with pytest.raises(ValueError, match="unsupported input rate 12345"):
            device.acquire([0], rate=12345, frames=10)
        with pytest.raises(vexdaq.InvalidArgumentError, match="unknown input channel 8"):
            device.acquire([8], rate=RATE, frames=10)
        with pytest.raises(vexdaq.InvalidArgumentError, match="duration must be positive"):
            device.acquire([0], rate=RATE, seconds=-1)


def stream_state(instrument):
    return instrument.counter("stream_starts"), instrument.counter("stream_stops")


@pytest.mark.parametrize("leave", ["break", "exception", "ctrl-c"])
def test_a_stream_left_part_way_stops_the_device_and_the_session_stays_usable(leave):
    with vexdaq.sim.plug(waveform="counter", in_bits=16) as instrument, vexdaq.open() as device:
        blocks = []

        def consume():
            for block in device.stream([0, 2], rate=RATE, block_frames=400):
                blocks.append(block.copy())
                if len(blocks) == 3:
                    if leave == "break":
                        break
                    if leave == "exception":
                        raise RuntimeError("the user's code failed")
                    signal.raise_signal(signal.SIGINT)  # what Ctrl-C does

        if leave == "break":
            consume()
        else:
            with pytest.raises((RuntimeError, KeyboardInterrupt)):
                consume()
        starts, stops = stream_state(instrument)
        assert starts == 1 and stops >= 1, "the stream was left running"
        joined = np.concatenate(blocks)
        np.testing.assert_array_equal(joined[:, 1], counter(2, 1200, 16))

        again = device.acquire([1], rate=RATE, frames=500)
        np.testing.assert_array_equal(again[:, 0], counter(1, 500, 16))


def test_a_stream_of_fixed_length_ends_by_itself():
    with vexdaq.sim.plug(waveform="counter", in_bits=32), vexdaq.open() as device:
        with device.stream([3], rate=RATE, block_frames=300, frames=1000) as stream:
            shapes = [block.shape for block in stream]
        assert shapes == [(300, 1), (300, 1), (300, 1), (100, 1)]
        assert not stream.running
        assert stream.loss()[3].lost == 0


def test_an_unplug_mid_stream_raises_device_disconnected_with_the_log():
    with vexdaq.sim.plug(waveform="counter") as instrument, vexdaq.open() as device:
        stream = device.stream([0], rate=RATE, block_frames=200)
        next(stream)
        instrument.unplug()
        with pytest.raises(vexdaq.DeviceDisconnectedError) as caught:
            for _ in stream:
                pass
        error = caught.value
        assert isinstance(error, vexdaq.StreamError)
        assert error.result == -1 and error.call == "vexdaq_recv_data"
        assert error.log_path and Path(error.log_path).is_file()
        assert "0xE000100A" in Path(error.log_path).read_text(errors="replace")
        assert error.log_path in str(error)
        assert not stream.running


def test_a_refused_open_carries_the_result_and_the_log():
    with vexdaq.sim.plug() as instrument:
        # Access denied, as without the udev rule; the listing before the open opens it once.
        instrument.fault("fail_open=2:5")
        with pytest.raises(vexdaq.PermissionDeniedError) as caught:
            vexdaq.open()
        assert isinstance(caught.value, vexdaq.DeviceNotFoundError)
        assert caught.value.result == -1
        assert caught.value.log_path and Path(caught.value.log_path).is_file()
        assert "0x00000005" in str(caught.value)
        with vexdaq.open() as device:  # the next open works
            assert device.info.in_channels == 8
    with pytest.raises(vexdaq.DeviceNotFoundError, match="no instrument at index 0"):
        vexdaq.open()


def test_a_closed_device_says_so():
    with vexdaq.sim.plug():
        device = vexdaq.open()
        with pytest.raises(vexdaq.VexdaqError, match="already open"):
            vexdaq.open()
        device.close()
        with pytest.raises(vexdaq.SessionClosedError):
            device.acquire([0], rate=RATE, frames=10)


def test_generate_plays_the_samples_as_given():
    with vexdaq.sim.plug(out_bits=24, out_channels=2) as instrument, vexdaq.open() as device:
        frames = 3000
        ramp = np.arange(1, frames + 1, dtype=np.int32)
        played = np.column_stack([ramp, -ramp * 1000])
        loss = device.generate(played, rate=RATE)
        assert loss[0].moved >= frames and loss[1].moved >= frames
        received = instrument.output_read(1 << 20)
    raw = np.frombuffer(received, dtype=np.uint8)
    raw = raw[: raw.size // 6 * 6].reshape(-1, 2, 3)
    wide = np.zeros(raw.shape[:2] + (4,), dtype=np.uint8)
    wide[..., 1:] = raw
    values = wide.view("<i4")[..., 0] >> 8
    # The first samples are in the FIFOs before the stream starts: nothing but them comes first.
    np.testing.assert_array_equal(values[:frames], played)


def test_generate_refuses_samples_outside_the_width():
    with vexdaq.sim.plug(out_bits=16), vexdaq.open() as device:
        with pytest.raises(vexdaq.InvalidArgumentError, match="within -32768..32767"):
            device.generate(np.array([0, 40000]), rate=RATE)
