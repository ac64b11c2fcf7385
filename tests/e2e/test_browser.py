"""The page in headless chromium, against the application under gunicorn and
the stand-in services, each a process of its own, as the demo runs them.

These keep the module's real 10-second wait for the one text-to-speech round trip.
"""

import os
import shutil
import socket
import subprocess
import sys
import time

import pytest

from .conftest import ROOT, WEBAPP, free_port, install_site

CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"

pytestmark = [
    pytest.mark.skipif(not (os.access(CHROMIUM, os.X_OK) and os.access(CHROMEDRIVER, os.X_OK)),
                       reason="chromium and chromium-driver are not installed (scripts/setup installs them)"),
    pytest.mark.real_wait,
]


def wait_for_port(port, process, log, seconds=30):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if process.poll() is not None:
            pytest.fail(f"process exited with {process.returncode}:\n{log.read_text()}")
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.1)
    pytest.fail(f"nothing listens on port {port}:\n{log.read_text()}")


def stop(process):
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


class Stack:
    """The stand-in and the application, started as separate processes."""

    def __init__(self, folder):
        self.folder = folder
        self.speech_port, self.transcription_port, self.app_port = free_port(), free_port(), free_port()
        self.base_url = f"http://127.0.0.1:{self.app_port}/"
        self.workdir = folder / "work"
        self.standin_state = folder / "standin"
        self.standin = None
        self.app = None

    def install_module(self):
        return install_site(self.folder / "site")

    def start_standin(self):
        log = self.folder / "standin.log"
        self.standin = subprocess.Popen(
            [sys.executable, "-m", "standin", "--speech-port", str(self.speech_port),
             "--transcription-port", str(self.transcription_port), "--state-dir", str(self.standin_state)],
            cwd=ROOT, stdout=log.open("ab"), stderr=subprocess.STDOUT)
        wait_for_port(self.speech_port, self.standin, log)
        wait_for_port(self.transcription_port, self.standin, log)

    def start_app(self, home):
        log = self.folder / "webapp.log"
        env = dict(
            os.environ,
            WEBAPP_BIND=f"127.0.0.1:{self.app_port}",
            WEBAPP_WORKDIR=str(self.workdir),
            WEBAPP_DORVANE_HOME=str(home),
            WEBAPP_SPEECH_URL=f"https://127.0.0.1:{self.speech_port}",
            WEBAPP_TRANSCRIPTION_URL=f"https://127.0.0.1:{self.transcription_port}",
            # The stand-in writes a new CA to this path whenever it starts.
            REQUESTS_CA_BUNDLE=str(self.standin_state / "ca.pem"),
        )
        self.app = subprocess.Popen(
            [sys.executable, "-m", "gunicorn", "-c", str(WEBAPP / "gunicorn.conf.py")],
            cwd=ROOT, env=env, stdout=log.open("ab"), stderr=subprocess.STDOUT)
        wait_for_port(self.app_port, self.app, log)

    def logs(self):
        return "\n".join(f"--- {p.name}\n{p.read_text()}" for p in sorted(self.folder.glob("*.log")))

    def close(self):
        for process in (self.app, self.standin):
            if process is not None:
                stop(process)


@pytest.fixture(scope="module")
def stack(tmp_path_factory):
    pytest.importorskip("gunicorn", reason="gunicorn is not installed (pip install -r requirements-demo.txt)")
    pytest.importorskip("trustme")
    stack = Stack(tmp_path_factory.mktemp("e2e"))
    home = stack.install_module()
    stack.start_standin()
    stack.start_app(home)
    yield stack
    stack.close()


@pytest.fixture
def standin_running(stack):
    if stack.standin.poll() is not None:
        stack.start_standin()
    return stack


@pytest.fixture(scope="module")
def browser():
    webdriver = pytest.importorskip("selenium.webdriver",
                                    reason="selenium is not installed (pip install -r requirements-demo.txt)")
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                "--mute-audio", "--autoplay-policy=no-user-gesture-required"):
        options.add_argument(arg)
    # Both paths are given, so selenium looks for, and downloads, no browser.
    driver = webdriver.Chrome(options=options, service=Service(executable_path=CHROMEDRIVER))
    driver.set_page_load_timeout(30)
    yield driver
    driver.quit()


def submit_text(browser, stack, text):
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support import expected_conditions as ec
    from selenium.webdriver.support.ui import WebDriverWait

    browser.get(stack.base_url)
    WebDriverWait(browser, 10).until(ec.text_to_be_present_in_element((By.ID, "status"), "complete"))
    box = browser.find_element(By.ID, "tts-text")
    box.clear()
    box.send_keys(text)
    browser.find_element(By.ID, "tts-submit").click()


def test_typed_text_comes_back_as_audio_served_by_the_application(browser, standin_running):
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait

    stack = standin_running
    submit_text(browser, stack, "The browser asked for this sentence.")
    # The module waits ten seconds before it answers.
    audio = WebDriverWait(browser, 45).until(
        lambda b: b.find_elements(By.CSS_SELECTOR, "#tts-result audio") or b.find_element(By.ID, "tts-error").text,
        message=stack.logs())
    assert isinstance(audio, list), f"the page shows an error: {audio}"
    src = audio[0].get_attribute("src")
    assert src.startswith(stack.base_url + "output/tts/")
    name = src.rsplit("/", 1)[1]
    assert (stack.workdir / "output" / "tts" / name).stat().st_size > 44

    # The browser fetched the local copy and read its length from it.
    WebDriverWait(browser, 15).until(lambda b: b.execute_script("return arguments[0].readyState", audio[0]) >= 1,
                                     message="the audio element never loaded its source")
    assert browser.execute_script("return arguments[0].duration", audio[0]) > 0
    assert browser.execute_script("return arguments[0].error", audio[0]) is None
    assert browser.find_element(By.ID, "tts-error").text == ""


def test_a_stopped_speech_service_shows_the_modules_error_on_the_page(browser, standin_running):
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait

    stack = standin_running
    stop(stack.standin)
    submit_text(browser, stack, "Nobody is listening.")
    error = WebDriverWait(browser, 30).until(lambda b: b.find_element(By.ID, "tts-error").text,
                                             message=stack.logs())
    # The module reports the refused connection as a payload; the page shows it.
    assert error.startswith("Request failed: ")
    assert f"port={stack.speech_port}" in error
    assert browser.find_elements(By.CSS_SELECTOR, "#tts-result audio") == []
