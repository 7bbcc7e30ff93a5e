"""What a new user types first: channel text, durations, rates, slices, blocks and the log."""

import math

import numpy as np
import pytest

import vexdaq


def test_channels_as_text_and_bad_values_give_invalid_argument():
    with vexdaq.sim.plug(waveform="counter"), vexdaq.open() as device:
        samples = device.acquire(channels="0-2,5", rate=10000, frames=10)
        assert samples.channels == (0, 1, 2, 5)
        assert device.acquire(channels="all", rate=10000, frames=1).channels == tuple(range(8))
        for channels in ("0-x", "3-1", "", "9"):
            with pytest.raises(vexdaq.InvalidArgumentError):
                device.acquire(channels=channels, rate=10000, frames=1)
        for seconds in (math.inf, math.nan, -1.0, 0):
            with pytest.raises(vexdaq.InvalidArgumentError):
                device.acquire([0], rate=10000, seconds=seconds)
        with pytest.raises(vexdaq.InvalidArgumentError, match="whole number of hertz"):
            device.acquire([0], rate=1000.5, frames=1)
        assert device.acquire([0], rate=1000.0, frames=1).rate == 1000


def test_a_slice_names_the_channels_it_kept():
    with vexdaq.sim.plug(waveform="counter"), vexdaq.open() as device:
        samples = device.acquire([1, 3, 6], rate=10000, frames=100)
    assert samples[:, 1:].channels == (3, 6)
    assert samples[:, [2, 0]].channels == (6, 1)
    assert samples[:, 1].channels == (3,)
    assert samples[10:20].channels == (1, 3, 6)
    assert set(samples[:, 2:].loss) == {6}
    np.testing.assert_array_equal(samples[:, 1:][:, 0] >> 16, 3)


def test_stream_blocks_carry_rate_channels_and_their_first_frame():
    with vexdaq.sim.plug(waveform="counter"), vexdaq.open() as device:
        blocks = list(device.stream([2, 4], rate=10000, block_frames=250, frames=1000))
    assert [b.first_frame for b in blocks] == [0, 250, 500, 750]
    for block in blocks:
        assert block.rate == 10000 and block.channels == (2, 4) and block.sample_bits == 24
        np.testing.assert_array_equal(block[:, 0] & 0xFFFF, np.arange(250) + block.first_frame)


def test_the_log_goes_where_it_was_told(tmp_path):
    vexdaq.set_log_directory(tmp_path / "logs" / "vexdaq")
    try:
        with vexdaq.sim.plug(), vexdaq.open() as device:
            assert device.log_path is not None
            assert device.log_path.startswith(str(tmp_path / "logs" / "vexdaq"))
        assert not (tmp_path / "log").exists()
        with pytest.raises(vexdaq.InvalidArgumentError):
            vexdaq.set_log_directory("x" * 2000)
    finally:
        vexdaq.set_log_directory(None)


def test_pip_install_leaves_nothing_in_the_checkout(tmp_path):
    import os
    import shutil
    import subprocess
    import sys
    from pathlib import Path

    source = tmp_path / "python"
    shutil.copytree(Path(__file__).resolve().parents[2] / "python", source,
                    ignore=shutil.ignore_patterns("__pycache__"))
    before = sorted(p.relative_to(source) for p in source.rglob("*"))
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(venv)], check=True)
    installed = subprocess.run(
        [str(venv / "bin" / "pip"), "install", "-q", "--no-build-isolation", "--no-index", str(source)],
        capture_output=True, text=True,
    )
    assert installed.returncode == 0, installed.stderr  # Debian's flit provides flit_core
    # The installed copy, not the checkout on PYTHONPATH, is imported.
    clean = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    where = subprocess.run(
        [str(venv / "bin" / "python"), "-c", "import vexdaq.scaling; print(vexdaq.__file__)"],
        cwd=tmp_path, env=clean, capture_output=True, text=True,
    )
    assert where.stdout.startswith(str(venv)), where.stdout + where.stderr
    assert sorted(p.relative_to(source) for p in source.rglob("*")) == before
    assert (venv / "lib").exists()
