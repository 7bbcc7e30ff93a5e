"""Frames the instrument lost (a drop injected into it) reach the Python caller: raised by
default, warned or ignored on request, with the gaps and the stream's timing in the result."""

import warnings

import numpy as np
import pytest

import vexdaq
from vexdaq import hdf5

DROP = "waveform=counter;in_channels=2;out_channels=0;in_bits=32;in_rates=20000;" \
       "drop_frames=2000;drop_at_ms=500"


def test_acquire_raises_on_a_gap_with_the_data_and_the_gap():
    with vexdaq.sim.plug(DROP), vexdaq.open(0) as device:
        with pytest.raises(vexdaq.DataLossError) as caught:
            device.acquire(channels=[0], rate=20000, seconds=1.5)
    error = caught.value
    assert len(error.gaps) == 1
    gap = error.gaps[0]
    assert abs(gap.frame_count - 2000) <= 64  # within a packet of 64 frames
    assert 10000 <= gap.frame_index <= 10064  # the drop falls on the first packet after 500 ms
    samples = error.data
    assert samples.shape == (30000, 1)
    # The counter steps over the missing frames exactly where the gap was placed.
    steps = np.flatnonzero(np.diff(samples[:, 0].astype(np.int64)) != 1)
    assert list(steps + 1) == [gap.frame_index]


def test_warn_and_ignore_keep_the_result_and_its_timing():
    with vexdaq.sim.plug(DROP), vexdaq.open(0) as device:
        with pytest.warns(vexdaq.DataLossWarning):
            warned = device.acquire(channels=[0], rate=20000, seconds=1.5, on_loss="warn")
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            ignored = device.acquire(channels=[0], rate=20000, seconds=1.5, on_loss="ignore")
        with pytest.raises(vexdaq.InvalidArgumentError):
            device.acquire(channels=[0], rate=20000, seconds=0.1, on_loss="shrug")
    for samples in (warned, ignored):
        assert len(samples.gaps) == 1
        assert samples.timing.rate == 20000 and samples.timing.fitted
        assert samples.first_frame_time is not None
        assert samples.first_frame_time >= samples.timing.start_time


def test_stream_raises_at_the_block_after_the_gap_and_stops():
    with vexdaq.sim.plug(DROP), vexdaq.open(0) as device:
        stream = device.stream(channels=[0], rate=20000, seconds=3)
        frames = 0
        with pytest.raises(vexdaq.DataLossError):
            for block in stream:
                frames += block.shape[0]
        assert not stream.running
        assert len(stream.gaps) == 1
        assert 10000 < frames < 60000  # noticed within a few windows of the drop


def test_hdf5_record_keeps_the_gaps_beside_the_samples(tmp_path):
    pytest.importorskip("h5py")
    path = tmp_path / "gap.h5"
    with vexdaq.sim.plug(DROP), vexdaq.open(0) as device:
        with pytest.raises(vexdaq.DataLossError):
            hdf5.record(device, path, channels=[0, 1], rate=20000, seconds=1.5)
    import h5py

    with h5py.File(path, "r") as f:
        gaps = f["gaps"][:]
        attrs = f["samples"].attrs
        assert gaps.shape == (1, 2) and abs(gaps[0, 1] - 2000) <= 64
        assert attrs["gap_frames"] == gaps[0, 1]
        assert attrs["first_frame_time"].endswith("Z")
        assert f["samples"].shape == (30000, 2)
