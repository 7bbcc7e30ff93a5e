"""Testing your own code against the virtual instrument, without hardware: run with

    VEXDAQ_LIBRARY=build/libvexdaq.so python3 -m pytest examples/python/test_my_analysis.py

`peak_to_peak` stands for the user's own analysis code.
"""

import numpy as np
import pytest

import vexdaq


def peak_to_peak(samples: np.ndarray) -> np.ndarray:
    """The user's code under test: peak-to-peak amplitude per channel."""
    return samples.max(axis=0).astype(np.int64) - samples.min(axis=0)


@pytest.fixture
def device(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # the session log lands here
    # A square wave of +-2^22 on every channel of a 24-bit instrument, and channel 3 held at DC.
    with vexdaq.sim.plug("waveform=square;waveform.3=dc;in_bits=24"), vexdaq.open() as opened:
        yield opened


def test_peak_to_peak_of_a_square_wave(device):
    samples = device.acquire(channels=[0, 3], rate=10000, seconds=0.2)
    assert samples.lost == 0
    assert list(peak_to_peak(samples)) == [2 << 22, 0]


def test_my_code_survives_an_unplugged_instrument(device):
    vexdaq.sim.reset()  # pulls every virtual instrument out
    with pytest.raises(vexdaq.VexdaqError):
        device.acquire(channels=[0], rate=10000, seconds=0.2)
