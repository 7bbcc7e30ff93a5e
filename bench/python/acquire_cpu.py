#!/usr/bin/env python3
"""CPU of the Python package's acquisition against a C program doing the same, in one run.

Both record every input channel of the virtual instrument (8 x 24 bit) at RATE for SECONDS into
a channel-major int32 array; each reports the CPU time of its own application thread (the
library's transfer threads and the instrument are not counted on either side). The rounds
alternate so that both see the same machine load.

    bench/python/acquire_cpu.py BUILD_DIR [RATE] [SECONDS] [ROUNDS]
    (BUILD_DIR holds libvexdaq.so and bench/acquire_cpu)
"""

import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path


def main() -> int:
    build = Path(sys.argv[1]).resolve()
    rate = int(sys.argv[2]) if len(sys.argv) > 2 else 102400
    seconds = float(sys.argv[3]) if len(sys.argv) > 3 else 10.0
    rounds = int(sys.argv[4]) if len(sys.argv) > 4 else 2
    os.environ.setdefault("VEXDAQ_LIBRARY", str(build / "libvexdaq.so"))
    sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "python"))
    import vexdaq

    os.chdir(tempfile.mkdtemp(prefix="vexdaq-bench-"))  # the session logs go here
    c_cpu, py_cpu = [], []
    for r in range(rounds):
        out = subprocess.run([str(build / "bench" / "acquire_cpu"), str(rate), str(seconds)],
                             capture_output=True, text=True, check=True).stdout
        fields = dict(item.split("=") for item in out.split())
        c_cpu.append(float(fields["cpu_s"]))
        with vexdaq.sim.plug(in_bits=24, in_channels=8), vexdaq.open() as device:
            start = time.thread_time()
            samples = device.acquire(None, rate=rate, seconds=seconds)
            py_cpu.append(time.thread_time() - start)
        print(f"round {r + 1}: C {c_cpu[-1]:.3f} s CPU (lost {fields['lost']}), Python "
              f"{py_cpu[-1]:.3f} s CPU (lost {samples.lost}), {samples.shape} {samples.dtype}",
              flush=True)
    load = os.getloadavg()
    c, p = min(c_cpu), min(py_cpu)
    print(f"{seconds:g} s of 8 x 24 bit at {rate} Hz: application thread CPU C {c:.3f} s, "
          f"Python {p:.3f} s (best of {rounds}); ratio Python / C = {p / c:.2f} "
          f"(target <= 2); load average {load[0]:.1f} {load[1]:.1f} on {os.cpu_count()} cores")
    return 0


if __name__ == "__main__":
    sys.exit(main())
