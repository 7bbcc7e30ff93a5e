#!/usr/bin/env python3
"""Streams input channels into an HDF5 capture with bounded memory until the time is up or Ctrl-C.

The file has the layout of `vexdaq acquire -o capture.h5`; read it with vexdaq.hdf5.read or h5py.

    python3 examples/python/stream_to_hdf5.py [--sim] [--seconds 10] [--output capture.h5]
"""

import argparse
import contextlib

import vexdaq
from vexdaq import hdf5


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sim", action="store_true", help="use the virtual instrument")
    parser.add_argument("--seconds", type=float, default=10.0)
    parser.add_argument("--rate", type=int, default=51200)
    parser.add_argument("--output", default="capture.h5")
    args = parser.parse_args()

    with contextlib.ExitStack() as stack:
        if args.sim:
            stack.enter_context(vexdaq.sim.plug(waveform="counter"))
        device = stack.enter_context(vexdaq.open(0))
        try:
            loss = hdf5.record(device, args.output, channels=None, rate=args.rate,
                               seconds=args.seconds)
        except KeyboardInterrupt:
            print("interrupted: the file is complete up to here")
            loss = {}
    capture = hdf5.read(args.output)
    print(f"{args.output}: {capture.samples.shape} {capture.samples.dtype} at {capture.rate} Hz, "
          f"started {capture.start_time}, lost {sum(c.lost for c in loss.values())}")


if __name__ == "__main__":
    main()
