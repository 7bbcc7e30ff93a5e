"""Counts become engineering units on request, from the same scale file the tool reads."""

import json
import subprocess

import numpy as np
import pytest

import vexdaq

BENCH = {
    "description": "two ranges, an accelerometer on channel 0",
    "gear_full_scale_volts": {"0": 10.0, "1": 1.0},
    "default_gear": 0,
    "channels": {"0": {"sensitivity": 0.1, "unit": "g"}, "2": {"gear": 1, "offset": -0.5}},
}


def test_in_units_applies_range_sensor_and_offset(tmp_path):
    path = tmp_path / "bench.json"
    path.write_text(json.dumps(BENCH))
    with vexdaq.sim.plug(waveform="dc"), vexdaq.open() as device:
        counts = device.acquire([0, 1, 2], rate=10000, frames=100)
    assert counts.dtype.kind == "i"  # raw counts stay the default
    values = counts.in_units(path)
    assert values.dtype == np.float64 and values.units == ("g", "V", "V")
    step = 10.0 / (1 << 23)
    np.testing.assert_allclose(values[:, 0], counts[:, 0] * step / 0.1)
    np.testing.assert_allclose(values[:, 1], counts[:, 1] * step)
    np.testing.assert_allclose(values[:, 2], counts[:, 2] * 1.0 / (1 << 23) - 0.5)
    assert values[:, 1:].units == ("V", "V") and values[:, 1:].channels == (1, 2)


def test_the_virtual_instrument_describes_its_own_volts():
    with vexdaq.sim.plug(waveform="sine", full_scale_mv=2000) as instrument, vexdaq.open() as device:
        volts = device.acquire([0], rate=10000, frames=10000).in_units(instrument.scale_description)
    # Its sine has half full scale as amplitude: 1 V of 2 V.
    assert volts.max() == pytest.approx(1.0, rel=1e-3) and volts.min() == pytest.approx(-1.0, rel=1e-3)


@pytest.mark.parametrize(
    "document,message",
    [
        ({}, "gear_full_scale_volts is missing"),
        ({"gear_full_scale_volts": {"9": 1.0}}, "not a number from 0 to 8"),
        ({"gear_full_scale_volts": {"0": -1}}, "positive"),
        ({"gear_full_scale_volts": {"0": 1}, "chanels": {}}, "unknown key 'chanels'"),
        ({"gear_full_scale_volts": {"0": 1}, "channels": {"0": {"sensitivity": 0.1}}}, "needs the unit"),
    ],
)
def test_a_bad_description_names_the_key_at_fault(document, message):
    with pytest.raises(vexdaq.InvalidArgumentError, match=message):
        vexdaq.scaling.parse(document)


def test_the_tool_and_the_package_agree_on_a_capture_in_units(tmp_path, cli):
    if not __import__("os").environ.get("VEXDAQ_CLI_HDF5") == "1":
        pytest.skip("the tool was built without HDF5")
    scale = tmp_path / "bench.json"
    scale.write_text(json.dumps(BENCH))
    capture = tmp_path / "cap.h5"
    subprocess.run(
        [cli, "--log-dir", str(tmp_path / "log"), "--sim", "acquire", "-c", "0-2", "-r", "10000",
         "-n", "1000", "--scale", str(scale), "-o", str(capture)],
        check=True, capture_output=True,
    )
    import h5py

    with h5py.File(capture) as f:
        assert f["samples"].compression == "gzip" and f["samples"].shuffle
    read = vexdaq.hdf5.read(capture)
    attrs = read.attributes
    assert list(attrs["unit"]) == ["g", "V", "V"] and int(attrs["valid_bits"]) == 24
    expected = vexdaq.scaling.load(scale).channel_scales((0, 1, 2), 24)
    np.testing.assert_allclose(attrs["scale"], [s.scale for s in expected])
    np.testing.assert_allclose(attrs["offset"], [s.offset for s in expected])
