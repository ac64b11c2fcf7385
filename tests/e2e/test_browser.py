"""The page in headless chromium, against the application under gunicorn and
the stand-in services, each a process of its own, as the demo runs them:
one host on its own, and a fleet behind the front speaking HTTPS with the
demo's certificate, whose authority the browser trusts.

These keep the module's real 10-second wait for the one text-to-speech round trip.
"""

import os
import shutil
import subprocess

import pytest

from support.installation import install
from support.processes import free_port

CHROMIUM = shutil.which("chromium") or "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
# NSS's tool (libnss3-tools): the browser's store of trusted authorities.
CERTUTIL = shutil.which("certutil")

pytestmark = [
    pytest.mark.skipif(
        not (os.access(CHROMIUM, os.X_OK) and os.access(CHROMEDRIVER, os.X_OK)),
        reason="chromium and chromium-driver are not installed (scripts/setup installs them)",
    ),
    pytest.mark.real_wait,
]


@pytest.fixture(scope="module", params=["host", "https-front"])
def stack(launch, tmp_path_factory, request):
    """The stand-in and one application host, or two behind the front on
    HTTPS, as the demo starts them, on free ports."""
    pytest.importorskip("gunicorn", reason="gunicorn is not installed (pip install -r requirements-demo.txt)")
    pytest.importorskip("trustme")
    hosts, tls_port = 1, None
    if request.param == "https-front":
        if not CERTUTIL:
            pytest.skip("certutil is not installed (scripts/setup installs libnss3-tools)")
        request.getfixturevalue("front_programs")
        hosts, tls_port = 2, free_port()
    folder = tmp_path_factory.mktemp("e2e")
    home = install(folder / "site")
    env = dict(os.environ, WEBAPP_DORVANE_HOME=str(home))
    with launch.Stack(folder, hosts, env=env, tls_port=tls_port) as stack:
        yield stack


def output(stack):
    """Where the page's audio is stored."""
    return stack.fleet.store if stack.fleet else stack.workdir / "output"


@pytest.fixture
def standin_running(stack):
    if not stack.standin.running():
        stack.standin.start()
    return stack


@pytest.fixture(scope="module")
def browser(stack, tmp_path_factory):
    webdriver = pytest.importorskip(
        "selenium.webdriver", reason="selenium is not installed (pip install -r requirements-demo.txt)"
    )
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for arg in (
        "--headless=new",
        "--no-sandbox",
        "--disable-dev-shm-usage",
        "--disable-gpu",
        "--mute-audio",
        "--autoplay-policy=no-user-gesture-required",
    ):
        options.add_argument(arg)
    # The demo's authority, trusted in a home of the browser's own.
    env = dict(os.environ)
    if stack.ca_path:
        env["HOME"] = str(tmp_path_factory.mktemp("browser-home"))
        nssdb = f"sql:{env['HOME']}/.pki/nssdb"
        os.makedirs(nssdb[4:])
        for args in (["-N", "--empty-password"], ["-A", "-t", "C,,", "-n", "demo", "-i", str(stack.ca_path)]):
            subprocess.run([CERTUTIL, "-d", nssdb, *args], check=True, capture_output=True, timeout=30)
    # Both paths are given, so selenium looks for, and downloads, no browser.
    driver = webdriver.Chrome(options=options, service=Service(executable_path=CHROMEDRIVER, env=env))
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
        lambda b: (
            b.find_elements(By.CSS_SELECTOR, "#tts-result audio") or b.find_element(By.ID, "tts-error").text
        ),
        message=stack.logs(),
    )
    assert isinstance(audio, list), f"the page shows an error: {audio}"
    src = audio[0].get_attribute("src")
    assert src.startswith(stack.base_url + "output/tts/")
    name = src.rsplit("/", 1)[1]
    assert (output(stack) / "tts" / name).stat().st_size > 44

    # The browser fetched the local copy and read its length from it.
    WebDriverWait(browser, 15).until(
        lambda b: b.execute_script("return arguments[0].readyState", audio[0]) >= 1,
        message="the audio element never loaded its source",
    )
    assert browser.execute_script("return arguments[0].duration", audio[0]) > 0
    assert browser.execute_script("return arguments[0].error", audio[0]) is None
    assert browser.find_element(By.ID, "tts-error").text == ""


def test_a_stopped_speech_service_shows_the_modules_error_on_the_page(browser, standin_running):
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait

    stack = standin_running
    stack.standin.stop()
    submit_text(browser, stack, "Nobody is listening.")
    error = WebDriverWait(browser, 30).until(
        lambda b: b.find_element(By.ID, "tts-error").text, message=stack.logs()
    )
    # The module reports the refused connection as a payload; the page shows it.
    assert error.startswith("Request failed: ")
    assert f"port={stack.standin.speech_port}" in error
    assert browser.find_elements(By.CSS_SELECTOR, "#tts-result audio") == []
