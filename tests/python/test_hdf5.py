"""HDF5 captures: the tool's files read in Python, and Python's files in the tool's layout."""

import os
import signal
import subprocess
import time

import numpy as np
import pytest

import vexdaq
from vexdaq import hdf5

h5py = pytest.importorskip("h5py")


def counter(channel, frames, bits):
    return (channel << (bits - 8)) | (np.arange(frames) % (1 << (bits - 8)))


def layout(path):
    """What a reader relies on: dataset, type, shape, chunking and the attributes' names/kinds."""
    with h5py.File(path, "r") as f:
        data = f["samples"]
        attrs = {k: (np.asarray(v).dtype.kind, np.asarray(v).shape) for k, v in data.attrs.items()}
        return list(f.keys()), data.dtype.str, data.ndim, data.maxshape[0], data.chunks is not None, attrs


def test_a_capture_of_the_tool_reads_back_in_python(cli, tmp_path):
    if os.environ.get("VEXDAQ_CLI_HDF5") == "0":
        pytest.skip("this build of the tool has no HDF5 (libhdf5 was not found)")
    run = subprocess.run(
        [cli, "--sim-profile", "waveform=counter;in_bits=16", "acquire", "-c", "1,4", "-r", "10000",
         "-n", "4000", "--gear", "3", "--icp", "1", "-o", "cap.h5"],
        capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr
    capture = hdf5.read(tmp_path / "cap.h5")
    assert capture.samples.dtype == np.int16 and capture.samples.shape == (4000, 2)
    np.testing.assert_array_equal(capture.samples[:, 0], counter(1, 4000, 16))
    np.testing.assert_array_equal(capture.samples[:, 1], counter(4, 4000, 16))
    assert capture.rate == 10000 and capture.channels == (1, 4) and capture.sample_bits == 16
    a = capture.attributes
    assert list(a["gear"]) == [3, 3] and list(a["icp"]) == [1, 1]
    assert a["product"] == "VX-8 Virtual Instrument" and a["library_version"].startswith("5.0.")
    assert a["device_version"] and a["driver_version"] and a["interrupted"] == 0
    assert capture.start_time is not None and a["start_time"].endswith("Z")
    assert capture.loss[4].moved >= 4000 and capture.loss[4].lost == 0

    # Python writes the same layout, so what reads the tool's files reads these.
    with vexdaq.sim.plug(waveform="counter", in_bits=16), vexdaq.open() as device:
        device.set_gear([1, 4], 3)
        device.set_icp([1, 4], True)
        hdf5.record(device, tmp_path / "py.h5", [1, 4], rate=10000, frames=4000)
    assert layout(tmp_path / "py.h5") == layout(tmp_path / "cap.h5")
    mine = hdf5.read(tmp_path / "py.h5")
    np.testing.assert_array_equal(mine.samples, capture.samples)
    for key in ("gear", "icp", "channels"):
        np.testing.assert_array_equal(mine.attributes[key], a[key])


def test_the_tool_writes_24_bit_samples_sign_extended(cli, tmp_path):
    if os.environ.get("VEXDAQ_CLI_HDF5") == "0":
        pytest.skip("this build of the tool has no HDF5 (libhdf5 was not found)")
    run = subprocess.run([cli, "--sim-profile", "waveform=square", "acquire", "-c", "0", "-r",
                          "10000", "-n", "2000", "-o", "sq.h5"], capture_output=True, text=True)
    assert run.returncode == 0, run.stdout + run.stderr
    capture = hdf5.read(tmp_path / "sq.h5")
    assert capture.samples.dtype == np.int32 and capture.sample_bits == 24
    assert set(np.unique(capture.samples)) == {-(1 << 22), 1 << 22}


def test_ctrl_c_leaves_a_readable_capture(cli, tmp_path):
    if os.environ.get("VEXDAQ_CLI_HDF5") == "0":
        pytest.skip("this build of the tool has no HDF5 (libhdf5 was not found)")
    tool = subprocess.Popen([cli, "--sim-profile", "waveform=counter", "acquire", "-c", "0-1", "-r",
                             "10000", "-d", "60", "-q", "-o", "long.h5"],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    # The file is created before the stream starts; the handler is in place before that.
    deadline = time.monotonic() + 20
    while not (tmp_path / "long.h5").exists() and time.monotonic() < deadline:
        time.sleep(0.01)
    tool.send_signal(signal.SIGINT)
    output, _ = tool.communicate(timeout=30)
    assert tool.returncode == 0, output
    assert "(interrupted)" in output
    capture = hdf5.read(tmp_path / "long.h5")
    assert capture.attributes["interrupted"] == 1
    frames = capture.samples.shape[0]
    np.testing.assert_array_equal(capture.samples[:, 1], counter(1, frames, 24))


def test_an_acquisition_written_in_python_reads_back(tmp_path):
    with vexdaq.sim.plug(waveform="counter", in_bits=32), vexdaq.open() as device:
        samples = device.acquire([0, 7], rate=10000, frames=2500)
        hdf5.write(tmp_path / "a.h5", samples, device.info)
    back = hdf5.read(tmp_path / "a.h5")
    np.testing.assert_array_equal(back.samples, samples)
    assert back.channels == (0, 7) and back.sample_bits == 32 and back.rate == 10000
    assert back.start_time == samples.start_time
    assert back.loss == samples.loss
