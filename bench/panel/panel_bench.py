#!/usr/bin/python3
"""Benchmarks of `vexdaq panel` (figures, not pass/fail tests):

  panel_bench.py CLI [--seconds S] [--stall S] [--as-user nobody]

For each stream (8 x 32 bit at 625 kHz, 64 x 24 bit at 102.4 kHz) on the virtual instrument:
  - the CPU of `vexdaq acquire` of the same stream to a raw file (the reference), of the panel
    with no page open, and of the panel with headless Chromium showing the scope (display
    updates per second counted in the page);
  - the step-to-pixel latency: the instrument's inputs switch from a constant to the counter
    pattern; time from the request to the first animation frame after the scope frame that
    shows the step;
  - a client that opens the WebSocket and then reads nothing for --stall seconds while the
    panel records: samples lost (from the recording's loss counters) and the panel's peak memory.
--as-user runs the tool (the streaming process) as that user, in a folder it may write;
Chromium, the client, stays this user.
"""
import argparse
import base64
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service

STREAMS = [
    ("8 x 32 bit @ 625 kHz", "in_channels=8;in_bits=32;in_rates=625000;waveform=sine", 625000, 8, 4),
    ("64 x 24 bit @ 102.4 kHz", "in_channels=64;in_bits=24;waveform=sine", 102400, 64, 3),
]
TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def peak_memory_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        return int(re.search(r"VmHWM:\s+(\d+)", f.read()).group(1))


def as_user(command, user):
    if not user:
        return command
    return ["setpriv", f"--reuid={user}", "--regid=nogroup", "--clear-groups", *command]


def measure_cpu(pid, seconds):
    start_cpu, start = cpu_seconds(pid), time.monotonic()
    time.sleep(seconds)  # a measurement window, not a wait for an event
    return (cpu_seconds(pid) - start_cpu) / (time.monotonic() - start)


def reference_cpu(cli, profile, rate, folder, seconds, user):
    command = as_user([cli, "--sim-profile", profile, "acquire", "-c", "all", "-r", str(rate),
                       "-d", str(seconds + 2), "-q", "-f", "raw", "-o", "/dev/null"], user)
    process = subprocess.Popen(command, cwd=folder, stdout=subprocess.DEVNULL)
    time.sleep(1.5)  # past the start-up
    share = measure_cpu(process.pid, seconds)
    process.wait()
    return share


class Panel:
    def __init__(self, cli, profile, rate, folder, user):
        command = as_user([cli, "--sim-profile", profile, "panel", "--port", "0", "-r", str(rate),
                           "--record-dir", folder], user)
        self.process = subprocess.Popen(command, cwd=folder, stdout=subprocess.PIPE, text=True)
        line = self.process.stdout.readline()
        self.url = re.search(r"open (http://\S+)", line).group(1)

    def post(self, path, body):
        request = urllib.request.Request(self.url + path, data=body.encode(), method="POST")
        with urllib.request.urlopen(request, timeout=30) as reply:
            return json.loads(reply.read())

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        self.process.wait(timeout=30)


def chromium():
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--disable-dev-shm-usage", "--window-size=1500,1000",
                 f"--user-data-dir={tempfile.mkdtemp(prefix='panel-bench-')}"):
        options.add_argument(flag)
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def display_rate(browser, seconds):
    frames = lambda: int(browser.execute_script(
        "return Number(document.getElementById('scope').dataset.frames || 0)"))
    first, start = frames(), time.monotonic()
    time.sleep(seconds)
    return (frames() - first) / (time.monotonic() - start)


LATENCY_SCRIPT = """
const done = arguments[arguments.length - 1];
const { decodeFrame } = await import('/js/frames.js');
const socket = new WebSocket(new URL('ws', location.href).href.replace('http', 'ws'));
socket.binaryType = 'arraybuffer';
socket.onopen = () => socket.send('credit');
let baseline = null, t0 = null;
socket.onmessage = async (event) => {
  if (typeof event.data === 'string') return;
  socket.send('ready');
  const f = decodeFrame(event.data);
  if (!f || f.kind !== 'scope' || f.channels.length === 0) return;
  const newest = f.maxima[0][f.columns - 1];
  if (baseline === null) {
    baseline = newest;
    t0 = performance.now();
    fetch('api/test/sim_set', { method: 'POST', body: 'waveform=counter' });
    return;
  }
  if (t0 !== null && newest !== baseline) {
    const t1 = t0; t0 = null;
    requestAnimationFrame(() => { socket.close(); done(performance.now() - t1); });
  }
};
"""


def latency_ms(browser, panel):
    panel.post("api/test/sim_set", "waveform=dc")
    time.sleep(0.5)  # the constant reaches the newest column
    browser.set_script_timeout(30)
    return browser.execute_async_script(
        "(async () => {" + LATENCY_SCRIPT.replace("arguments[arguments.length - 1]", "window.__done") + "})()"
        if False else LATENCY_SCRIPT.replace("const done = arguments[arguments.length - 1];",
                                             "const done = arguments[arguments.length - 1]; (async () => {") + "})();")


def quiet_recording(panel, seconds):
    panel.post("api/control", json.dumps({"action": "record_start", "name": "stall.h5"}))
    time.sleep(seconds)  # the recording's length
    result = panel.post("api/control", json.dumps({"action": "record_stop"}))
    result["device_dropped"] = device_dropped(panel)
    return result, peak_memory_kib(panel.process.pid)


def stalled_client(panel, seconds, folder):
    host, port = re.match(r"http://([^:/]+):(\d+)", panel.url).groups()
    sock = socket.socket()
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    sock.connect((host, int(port)))
    key = base64.b64encode(os.urandom(16)).decode()
    sock.sendall((f"GET /ws HTTP/1.1\r\nHost: {host}:{port}\r\nUpgrade: websocket\r\n"
                  f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\n"
                  "Sec-WebSocket-Version: 13\r\n\r\n").encode())
    assert b"101" in sock.recv(128)
    panel.post("api/control", json.dumps({"action": "record_start", "name": "stall.h5"}))
    time.sleep(seconds)  # the client reads nothing all this time
    result = panel.post("api/control", json.dumps({"action": "record_stop"}))
    result["device_dropped"] = device_dropped(panel)
    memory = peak_memory_kib(panel.process.pid)
    sock.close()
    return result, memory


def device_dropped(panel):
    """Frames the virtual instrument's own FIFO dropped (read from a status message)."""
    host, port = re.match(r"http://([^:/]+):(\d+)", panel.url).groups()
    sock = socket.create_connection((host, int(port)))
    key = base64.b64encode(os.urandom(16)).decode()
    sock.sendall((f"GET /ws HTTP/1.1\r\nHost: {host}:{port}\r\nUpgrade: websocket\r\n"
                  f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\n"
                  "Sec-WebSocket-Version: 13\r\n\r\n").encode())
    data = b""
    while b'"device_dropped_frames":' not in data:
        data += sock.recv(65536)
    sock.close()
    return int(re.search(rb'"device_dropped_frames":(\d+)', data).group(1))


def check_recording(path, channels, bits):
    import h5py
    import numpy as np
    with h5py.File(path, "r") as f:
        s = f["samples"][:].astype(np.int64)
    shift = bits - 8
    breaks = 0
    for c in range(channels):
        steps = np.diff(s[:, c] & ((1 << shift) - 1)) % (1 << shift)
        breaks += int(np.sum(steps != 1)) + int(np.sum((s[:, c] >> shift) & 0xFF != c))
    return s.shape[0], breaks


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("cli")
    parser.add_argument("--seconds", type=float, default=10)
    parser.add_argument("--stall", type=float, default=30)
    parser.add_argument("--as-user", default="")
    args = parser.parse_args()
    folder = tempfile.mkdtemp(prefix="panel-bench-")
    os.chmod(folder, 0o777)
    cli = os.path.abspath(args.cli)
    who = args.as_user or "root" if os.getuid() == 0 else os.environ.get("USER", "this user")
    print(f"panel benchmarks, tool run as {args.as_user or who}, {os.cpu_count()} CPUs")
    browser = chromium()
    try:
        for name, profile, rate, channels, width in STREAMS:
            mb_s = rate * channels * width / 1e6
            ref = reference_cpu(cli, profile, rate, folder, args.seconds, args.as_user)
            panel = Panel(cli, profile, rate, folder, args.as_user)
            try:
                time.sleep(1.5)
                idle = measure_cpu(panel.process.pid, args.seconds)
                browser.get(panel.url)
                time.sleep(2)
                start_cpu, start = cpu_seconds(panel.process.pid), time.monotonic()
                updates = display_rate(browser, args.seconds)
                draw_ms = browser.execute_script("return document.getElementById('scope').dataset.drawMs")
                viewed = (cpu_seconds(panel.process.pid) - start_cpu) / (time.monotonic() - start)
                latencies = sorted(latency_ms(browser, panel) for _ in range(5))
                browser.get("about:blank")
            finally:
                panel.stop()
            print(f"{name} ({mb_s:.1f} MB/s): acquire {100 * ref:.1f} % of a core; panel without a page "
                  f"{100 * idle:.1f} % ({idle / ref:.2f}x); with the scope in Chromium {100 * viewed:.1f} % "
                  f"({viewed / ref:.2f}x, {100 * (viewed - ref):+.1f} points); display {updates:.1f} updates/s "
                  f"(drawing one takes {draw_ms} ms in the page); "
                  f"step to pixel median {latencies[2]:.0f} ms (min {latencies[0]:.0f}, max {latencies[-1]:.0f})")
        name, profile, rate, channels, width = STREAMS[0]
        counter = profile.replace("waveform=sine", "waveform=counter")
        for label, run in (("no client", lambda p: quiet_recording(p, args.stall)),
                           ("a client that stops reading",
                            lambda p: stalled_client(p, args.stall, folder))):
            panel = Panel(cli, counter, rate, folder, args.as_user)
            try:
                result, memory = run(panel)
            finally:
                panel.stop()
            path = os.path.join(folder, "stall.h5")
            frames, breaks = check_recording(path, channels, 8 * width)
            os.remove(path)
            print(f"recording {args.stall:.0f} s of {name} with {label}: {result['lost']} samples lost "
                  f"(library counters), {frames} frames recorded, {breaks} breaks in the counter "
                  f"pattern, {result['device_dropped']} frames dropped by the virtual device's FIFO, "
                  f"panel peak memory {memory / 1024:.0f} MiB")
    finally:
        browser.quit()
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
