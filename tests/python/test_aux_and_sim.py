"""The auxiliary functions, downloads and the virtual instrument's controls."""

import subprocess
import sys

import pytest

import vexdaq


def test_auxiliary_functions_reach_the_instrument():
    with vexdaq.sim.plug() as instrument, vexdaq.open() as device:
        instrument.trace()  # what the open sent
        device.set_pwm(2, 1000, 25)
        trace = instrument.trace()
        assert any(" C5 " in f" {line} " and "0200" in line for line in trace), trace
        device.set_uart(115200)
        assert device.uart_write(b"hello") == 5
        received = b""
        for _ in range(100):  # each read waits up to 50 ms for what has come back
            received += device.uart_read(5 - len(received))
            if len(received) == 5:
                break
        assert received == b"hello"
        assert len(device.dio_read(1, 2)) == 2
        device.set_counter(0, 1, 0)
        assert isinstance(device.read_counter(0), vexdaq.CounterReading)
        device.i2c_write(16, b"\x01\x02")
        assert len(device.i2c_read(16, 2)) == 2


def test_firmware_download_writes_the_file(tmp_path):
    image = bytes((i * 7) & 0xFF for i in range(5000))
    (tmp_path / "fw.bin").write_bytes(image)
    with vexdaq.sim.plug() as instrument, vexdaq.open() as device:
        device.firmware_download(tmp_path / "fw.bin")
        with pytest.raises(vexdaq.InvalidArgumentError, match="no firmware file"):
            device.firmware_download(tmp_path / "missing.bin")
        assert image in instrument.eeprom_read(0, 8192)


def test_a_bad_profile_or_fault_is_refused():
    with pytest.raises(vexdaq.InvalidArgumentError, match="nonsense=1"):
        vexdaq.sim.plug(nonsense=1)
    with vexdaq.sim.plug() as instrument:
        with pytest.raises(vexdaq.InvalidArgumentError):
            instrument.fault("explode")
    assert not instrument.plugged


def test_a_missing_library_names_what_was_tried(tmp_path):
    code = (
        "import vexdaq\n"
        "try:\n"
        "    vexdaq.list_devices()\n"
        "except vexdaq.LibraryNotFoundError as e:\n"
        "    print('ERROR', e)\n"
        "else:\n"
        "    print('LOADED', vexdaq.library_path())\n"
    )
    env = {"VEXDAQ_LIBRARY": str(tmp_path / "nowhere.so"), "PYTHONPATH": ":".join(sys.path)}
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                         check=True).stdout
    if out.startswith("ERROR"):
        assert "$VEXDAQ_LIBRARY: " + str(tmp_path / "nowhere.so") in out
        assert "VEXDAQ_LIBRARY" in out.splitlines()[-1]
    else:  # an installed library was found after the missing one
        assert str(tmp_path / "nowhere.so") not in out


def test_the_transfer_depth_reaches_the_stream_and_a_bad_one_is_refused():
    with pytest.raises(vexdaq.InvalidArgumentError, match="outside 4 to 4096"):
        vexdaq.set_transfer_depth(3)
    try:
        vexdaq.set_transfer_depth(12)
        with vexdaq.sim.plug(waveform="counter", in_bits=16), vexdaq.open() as device:
            data = device.acquire([0], rate=10000, frames=1000)
            assert vexdaq.transfer_depth() == 12
            assert data.shape == (1000, 1) and data.lost == 0
    finally:
        vexdaq.set_transfer_depth(0)
    assert vexdaq.dropped_commands() >= 0
