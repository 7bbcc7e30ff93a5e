"""Fixtures of the panel's browser tests: a `vexdaq panel` on the virtual instrument per test,
in the test's own folder, and one headless Chromium for the module."""
import os
import re
import signal
import subprocess
import tempfile

import pytest
from selenium import webdriver
from selenium.webdriver.chrome.service import Service

CLI = os.environ["VEXDAQ_CLI"]
SCREENSHOTS = os.environ.get("PANEL_SCREENSHOTS", "")


class Panel:
    def __init__(self, folder, profile, *arguments):
        self.folder = folder
        self.process = subprocess.Popen(
            [CLI, "--sim-profile", profile, "panel", "--port", "0", *arguments],
            cwd=folder, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        line = self.process.stdout.readline()  # the first line names the address, or the error
        match = re.search(r"open (http://\S+)", line)
        if not match:
            self.process.kill()
            raise AssertionError(f"the panel did not start: {line}{self.process.stdout.read()}")
        self.url = match.group(1)

    def stop(self):
        if self.process.returncode is not None:
            return
        self.process.send_signal(signal.SIGTERM)
        try:
            out, _ = self.process.communicate(timeout=20)
        except subprocess.TimeoutExpired:
            self.process.kill()
            raise AssertionError("the panel did not end within 20 s of SIGTERM")
        assert self.process.returncode == 0, out


@pytest.fixture
def panel_factory(tmp_path):
    panels = []

    def start(profile="waveform=counter", *arguments):
        panel = Panel(tmp_path, profile, *arguments)
        panels.append(panel)
        return panel

    yield start
    for panel in panels:
        panel.stop()


@pytest.fixture(scope="module")
def browser():
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    profile = tempfile.mkdtemp(prefix="panel-chromium-")
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update",
                 "--disable-sync", "--disable-dev-shm-usage", "--window-size=1500,1000",
                 f"--user-data-dir={profile}"):
        options.add_argument(flag)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    driver.set_page_load_timeout(30)
    yield driver
    driver.quit()


@pytest.fixture
def screenshot(browser):
    def take(name):
        if SCREENSHOTS:
            os.makedirs(SCREENSHOTS, exist_ok=True)
            browser.save_screenshot(os.path.join(SCREENSHOTS, f"{name}.png"))
    return take
