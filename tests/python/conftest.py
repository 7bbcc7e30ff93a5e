"""The Python package against the virtual instrument, in a fresh working directory per test.

Run by ctest (tests/CMakeLists.txt), which points VEXDAQ_LIBRARY at the built library and
VEXDAQ_CLI at the built tool.
"""

import os
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "python"))

import vexdaq  # noqa: E402


@pytest.fixture(autouse=True)
def scratch(tmp_path, monkeypatch):
    """Each test in its own directory (the session log goes to ./log/), nothing plugged after."""
    monkeypatch.chdir(tmp_path)
    yield tmp_path
    device = vexdaq.device._current()
    if device is not None:
        device.close()
    vexdaq.sim.reset()


@pytest.fixture
def cli():
    path = os.environ.get("VEXDAQ_CLI")
    if not path:
        pytest.skip("VEXDAQ_CLI (the built vexdaq tool) is not set")
    return path
