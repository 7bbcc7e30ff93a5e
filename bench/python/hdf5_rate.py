#!/usr/bin/env python3
"""Whether `vexdaq acquire -o x.h5` keeps up with 20 MB/s: 8 x 32 bit at 625 kHz, paced.

Runs the tool against the virtual instrument (counter pattern), then checks the file: frames
written, samples the library counted as overwritten, and frames missing from the pattern (lost
before the library saw them: the instrument's own buffer overflowed). Peak RSS of the tool from
getrusage. The same run to a raw file (--raw) separates the writer from the stream.

    bench/python/hdf5_rate.py BUILD_DIR [SECONDS] [--raw]
"""

import os
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np


def gaps(column: np.ndarray, bits: int = 32) -> int:
    """Frames missing from a channel-0 counter column (it counts frames modulo 2^(bits-8))."""
    step = np.diff(column.astype(np.int64)) % (1 << (bits - 8))
    return int(np.sum(step - 1)) + int(column[0])


def main() -> int:
    build = Path(sys.argv[1]).resolve()
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 and not sys.argv[2].startswith("-") else 60.0
    raw = "--raw" in sys.argv
    work = Path(tempfile.mkdtemp(prefix="vexdaq-h5-", dir=os.environ.get("TMPDIR", "/tmp")))
    out = work / ("rate.raw" if raw else "rate.h5")
    command = [str(build / "tools" / "vexdaq"), "--sim-profile",
               "in_bits=32;in_channels=8;in_rates=625000;waveform=counter", "acquire", "-c", "all",
               "-r", "625000", "-d", str(seconds), "-q", "-o", str(out)]
    started = time.monotonic()
    run = subprocess.run(command, cwd=work, capture_output=True, text=True)
    wall = time.monotonic() - started
    peak_kib = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    summary = run.stdout.splitlines()
    overwritten = sum(int(line.split()[-1]) for line in summary[2:] if line.split()[0].isdigit())
    if raw:
        data = np.memmap(out, dtype="<i4", mode="r").reshape(-1, 8)
        frames, missing = data.shape[0], gaps(np.asarray(data[:, 0]))
    else:
        import h5py

        with h5py.File(out, "r") as f:
            data = f["samples"]
            frames = data.shape[0]
            column = np.concatenate([data[i : i + (1 << 20), 0] for i in range(0, frames, 1 << 20)])
        missing = gaps(column)
    size = out.stat().st_size
    out.unlink()
    load = os.getloadavg()
    print(f"{'raw' if raw else 'HDF5'}: {seconds:g} s of 8 x 32 bit at 625 kHz "
          f"({8 * 4 * 625000 / 1e6:.1f} MB/s), exit {run.returncode}, wall {wall:.1f} s, "
          f"{frames} frames written ({size / 1e6:.0f} MB), {overwritten} samples overwritten in "
          f"the library's buffers, {missing} frames missing from the pattern, peak RSS "
          f"{peak_kib / 1024:.1f} MiB; load average {load[0]:.1f} on {os.cpu_count()} cores")
    return 0 if run.returncode in (0, 4) else 1


if __name__ == "__main__":
    sys.exit(main())
