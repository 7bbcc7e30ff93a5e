"""The panel in a real browser (headless Chromium) against the virtual instrument."""
import base64
import http.server
import json
import os
import re
import socket
import threading
import urllib.request

import h5py
import numpy as np
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select, WebDriverWait

WAIT = 15  # seconds: a bound for a condition to come true, not a measured time


def wait(browser, condition, message):
    return WebDriverWait(browser, WAIT).until(lambda b: condition(b), message)


def open_panel(browser, panel):
    browser.get(panel.url)
    wait(browser, lambda b: b.find_element(By.ID, "connection").text == "live", "no WebSocket")
    browser.get_log("browser")  # from here on, every console line counts


def console_errors(browser):
    return [entry for entry in browser.get_log("browser") if entry["level"] == "SEVERE"]


def frames_drawn(browser):
    return int(browser.find_element(By.ID, "scope").get_attribute("data-frames") or 0)


def scope_image(browser):
    return browser.execute_script("return document.querySelector('#scope canvas').toDataURL()")


def trace(panel):
    with urllib.request.urlopen(panel.url + "api/test/trace") as reply:
        return reply.read().decode()


def set_field(browser, element_id, value):
    field = browser.find_element(By.ID, element_id)
    field.clear()
    field.send_keys(str(value))


def test_page_loads_and_the_scope_moves_without_console_errors(browser, panel_factory, screenshot):
    panel = panel_factory("waveform=sine")
    open_panel(browser, panel)
    wait(browser, lambda b: frames_drawn(b) > 0, "no scope frame drawn")
    first = scope_image(browser)
    wait(browser, lambda b: scope_image(b) != first, "the scope's canvas does not change")
    count = frames_drawn(browser)
    wait(browser, lambda b: frames_drawn(b) >= count + 10, "the scope stopped drawing")
    screenshot("scope")
    assert console_errors(browser) == []


def test_enabling_a_channel_makes_it_appear_in_the_scope(browser, panel_factory):
    panel = panel_factory("waveform=sine", "--channels", "0-1")
    open_panel(browser, panel)
    wait(browser, lambda b: b.find_element(By.ID, "scope").get_attribute("data-channels") == "0,1",
         "channels 0 and 1 are not shown")
    browser.find_element(By.ID, "enable-5").click()
    wait(browser, lambda b: b.find_element(By.ID, "scope").get_attribute("data-channels") == "0,1,5",
         "channel 5 does not appear")
    assert console_errors(browser) == []


def test_pwm_and_digital_port_changes_reach_the_instrument_byte_for_byte(browser, panel_factory,
                                                                         screenshot):
    panel = panel_factory()
    open_panel(browser, panel)
    browser.find_element(By.CSS_SELECTOR, "nav button[data-tab=aux]").click()
    trace(panel)  # what the panel sent so far
    set_field(browser, "pwm-pin", 2)
    set_field(browser, "pwm-frequency", 1000)
    set_field(browser, "pwm-duty", 30)
    browser.find_element(By.ID, "pwm-set").click()
    # PWM: vendor OUT 0xC5, the pin in bits 8-14 of the index, frequency and duty as two u32.
    pwm = "41 C5 0000 0200 0008 : E8 03 00 00 1E 00 00 00"
    seen = []
    wait(browser, lambda b: seen.append(trace(panel)) or pwm in "".join(seen), "no PWM request")
    set_field(browser, "dio-port", 1)
    set_field(browser, "dio-value", 165)
    browser.find_element(By.ID, "dio-write").click()
    seen = []
    wait(browser, lambda b: seen.append(trace(panel)) or ": A5" in "".join(seen),
         "no digital port write")
    lines = [line for line in "".join(seen).splitlines() if line.endswith(": A5")]
    assert lines and lines[0].split()[3] == "0100", lines  # port 1 in the index
    screenshot("aux")
    assert console_errors(browser) == []


def record_from_page(browser, name):
    """Records from the page's buttons until the file holds 20000 frames, and stops."""
    set_field(browser, "record-name", name)
    browser.find_element(By.ID, "record-start").click()
    wait(browser, lambda b: "frames" in b.find_element(By.ID, "record-state").text
         and int(b.find_element(By.ID, "record-state").text.split(": ")[-1].split()[0]) > 20000,
         "the recording does not grow")
    browser.find_element(By.ID, "record-stop").click()
    wait(browser, lambda b: b.find_element(By.ID, "record-state").get_attribute("data-done"),
         "the recording did not finish")


def test_a_recording_from_the_page_holds_every_sample_of_the_counter_pattern(browser, panel_factory):
    panel = panel_factory("waveform=counter;in_channels=4", "--rate", "51200")
    open_panel(browser, panel)
    record_from_page(browser, "run.h5")
    assert " 0 lost" in browser.find_element(By.ID, "record-state").text
    with h5py.File(panel.folder / "run.h5", "r") as f:
        dataset = f["samples"]
        samples = dataset[:]
        assert list(dataset.attrs["channels"]) == [0, 1, 2, 3]
        assert int(dataset.attrs["rate"]) == 51200
        for counter in ("overwritten", "dropped", "transfer_failures"):
            assert int(np.sum(dataset.attrs[counter])) == 0, counter
        assert int(dataset.attrs["interrupted"]) == 0
    assert samples.shape[0] > 20000 and samples.shape[1] == 4
    for c in range(4):
        column = samples[:, c].astype(np.int64)
        assert np.all(column >> 16 == c), f"channel {c}: foreign samples"
        steps = np.diff(column & 0xFFFF) % 0x10000
        assert np.all(steps == 1), f"channel {c}: {int(np.sum(steps != 1))} breaks in the pattern"


def test_generated_outputs_loop_back_unbroken_and_trigger_a_sweep(browser, panel_factory,
                                                                  screenshot):
    # Through the virtual instrument's loopback, input k carries output k sample for sample: a
    # generator that let its output run dry would leave zeros in the recorded counter pattern.
    panel = panel_factory("loopback=1;in_channels=2;out_channels=2", "--rate", "51200")
    open_panel(browser, panel)
    browser.find_element(By.CSS_SELECTOR, "nav button[data-tab=aux]").click()
    Select(browser.find_element(By.ID, "generator-0-waveform")).select_by_value("counter")
    browser.find_element(By.ID, "generator-0-apply").click()
    Select(browser.find_element(By.ID, "generator-1-waveform")).select_by_value("square")
    browser.find_element(By.ID, "generator-1-apply").click()
    browser.find_element(By.CSS_SELECTOR, "nav button[data-tab=scope]").click()
    Select(browser.find_element(By.ID, "scope-trigger-channel")).select_by_value("1")
    Select(browser.find_element(By.ID, "scope-mode")).select_by_value("triggered")
    wait(browser, lambda b: b.find_element(By.ID, "scope-info").text == "triggered",
         "no triggered sweep")
    record_from_page(browser, "loop.h5")
    screenshot("scope-triggered")
    with h5py.File(panel.folder / "loop.h5", "r") as f:
        column = f["samples"][:, 0].astype(np.int64)
    assert column.size > 20000
    assert np.all(column >> 16 == 0)
    steps = np.diff(column & 0xFFFF) % 0x10000
    assert np.all(steps == 1), f"{int(np.sum(steps != 1))} breaks in the generated counter"
    assert console_errors(browser) == []


def recorded_frames(panel):
    """Frames the panel's recording holds so far (its file is compressed: the size says little)."""
    with urllib.request.urlopen(panel.url + "api/state", timeout=30) as reply:
        return json.loads(reply.read())["settings"]["recorded_frames"]


def test_a_recording_left_running_is_completed_when_the_panel_is_stopped(panel_factory):
    panel = panel_factory("waveform=counter;in_channels=2", "--rate", "51200")
    request = urllib.request.Request(panel.url + "api/control", method="POST",
                                     data=b'{"action":"record_start","name":"left.h5"}')
    with urllib.request.urlopen(request) as reply:
        assert json.loads(reply.read())["ok"]
    # No page, and nobody stops the recording: the panel's end must complete the file.
    WebDriverWait(None, WAIT).until(
        lambda _: recorded_frames(panel) > 100_000, "the recording does not grow")
    panel.stop()
    with h5py.File(panel.folder / "left.h5", "r") as f:
        dataset = f["samples"]
        assert int(dataset.attrs["interrupted"]) == 1
        column = dataset[:, 1].astype(np.int64)
    assert column.size > 60000
    assert np.all(column >> 16 == 1)
    assert np.all(np.diff(column & 0xFFFF) % 0x10000 == 1)


def post(panel, body):
    request = urllib.request.Request(panel.url + "api/control", method="POST", data=body.encode())
    with urllib.request.urlopen(request, timeout=30) as reply:
        return json.loads(reply.read())


def test_a_client_that_stops_reading_costs_display_frames_never_samples(panel_factory):
    panel = panel_factory("waveform=counter;in_channels=4", "--rate", "51200")
    host, port = re.match(r"http://([^:/]+):(\d+)", panel.url).groups()
    stalled = socket.socket()
    stalled.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    stalled.connect((host, int(port)))
    key = base64.b64encode(os.urandom(16)).decode()
    stalled.sendall((f"GET /ws HTTP/1.1\r\nHost: {host}:{port}\r\nUpgrade: websocket\r\n"
                     f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\n"
                     "Sec-WebSocket-Version: 13\r\n\r\n").encode())
    assert b" 101 " in stalled.recv(256)
    try:
        assert post(panel, '{"action":"record_start","name":"stalled.h5"}')["ok"]
        # That client reads nothing while the panel records and answers other requests.
        path = panel.folder / "stalled.h5"
        WebDriverWait(None, WAIT).until(
            lambda _: recorded_frames(panel) > 150_000, "the recording stalls")
        result = post(panel, '{"action":"record_stop"}')
    finally:
        stalled.close()
    assert result["lost"] == 0
    with h5py.File(path, "r") as f:
        samples = f["samples"][:].astype(np.int64)
    assert samples.shape[0] == result["frames"] > 100000
    for c in range(4):
        assert np.all(samples[:, c] >> 16 == c)
        assert np.all(np.diff(samples[:, c] & 0xFFFF) % 0x10000 == 1), f"channel {c}"


def test_spectrum_of_a_chosen_channel_is_drawn(browser, panel_factory, screenshot):
    panel = panel_factory("waveform=sine")
    open_panel(browser, panel)
    browser.find_element(By.CSS_SELECTOR, "nav button[data-tab=spectrum]").click()
    Select(browser.find_element(By.ID, "spectrum-channel")).select_by_value("2")
    wait(browser, lambda b: b.execute_script(
        "return document.querySelector('#spectrum canvas') !== null"), "no spectrum drawn")
    screenshot("spectrum")
    assert console_errors(browser) == []


class OtherSite(http.server.BaseHTTPRequestHandler):
    panel_ws = ""

    def do_GET(self):
        page = f"""<!doctype html><title>waiting</title><script>
          const s = new WebSocket({json.dumps(self.panel_ws)});
          s.onopen = () => {{ document.title = 'opened'; }};
          s.onerror = () => {{ document.title = 'refused'; }};
        </script>""".encode()
        self.send_response(200)
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", str(len(page)))
        self.end_headers()
        self.wfile.write(page)

    def log_message(self, *args):
        pass


def test_a_page_from_another_origin_cannot_open_the_websocket(browser, panel_factory):
    panel = panel_factory()
    OtherSite.panel_ws = panel.url.replace("http://", "ws://") + "ws"
    site = http.server.ThreadingHTTPServer(("127.0.0.1", 0), OtherSite)
    threading.Thread(target=site.serve_forever, daemon=True).start()
    try:
        browser.get(f"http://127.0.0.1:{site.server_address[1]}/")
        wait(browser, lambda b: b.title in ("opened", "refused"), "the socket never settled")
        assert browser.title == "refused"
    finally:
        site.shutdown()
    # The same page's control request is refused too.
    request = urllib.request.Request(panel.url + "api/control", method="POST",
                                     data=b'{"action":"dio_write","port":0,"value":1}',
                                     headers={"Origin": "http://127.0.0.1:1"})
    try:
        urllib.request.urlopen(request)
        raise AssertionError("a control request from another origin was carried out")
    except urllib.error.HTTPError as refused:
        assert refused.code == 403
    assert ": 01" not in trace(panel)
