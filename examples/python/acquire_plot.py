#!/usr/bin/env python3
"""Records two seconds of four channels into a numpy array and plots them (matplotlib, optional).

    python3 examples/python/acquire_plot.py [--sim] [--output capture.png]
"""

import argparse
import contextlib

import numpy as np

import vexdaq


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sim", action="store_true", help="use the virtual instrument")
    parser.add_argument("--output", default="capture.png", help="the plot's file")
    args = parser.parse_args()

    with contextlib.ExitStack() as stack:
        if args.sim:
            stack.enter_context(vexdaq.sim.plug(waveform="sine"))
        device = stack.enter_context(vexdaq.open(0))
        print(f"{device.info.product}: {device.info.in_channels} inputs of {device.info.in_bits} bits")
        samples = device.acquire(channels=[0, 1, 2, 3], rate=51200, seconds=2.0)

    print(f"{samples.shape[0]} frames of channels {samples.channels} at {samples.rate} Hz, "
          f"{samples.lost} samples lost")
    for channel, column in zip(samples.channels, samples.T):
        print(f"  channel {channel}: min {column.min()}, max {column.max()}, "
              f"rms {np.sqrt(np.mean(column.astype(np.float64) ** 2)):.1f}")
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed (Debian: python3-matplotlib): no plot")
        return
    seconds = np.arange(samples.shape[0]) / samples.rate
    figure, axes = plt.subplots(len(samples.channels), 1, sharex=True, figsize=(10, 8))
    for axis, channel, column in zip(axes, samples.channels, samples.T):
        axis.plot(seconds, column, linewidth=0.6)
        axis.set_ylabel(f"ch{channel}")
    axes[-1].set_xlabel("time (s)")
    figure.savefig(args.output, dpi=100)
    print(f"plot: {args.output}")


if __name__ == "__main__":
    main()
