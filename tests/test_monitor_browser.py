"""The monitor page in a real headless browser (Chromium with its driver)."""

from __future__ import annotations

import shutil
import threading

import pytest

from morvlen.core import NodeStatus
from morvlen.engine.trigger.mthread import ThreadEngine
from runtime_helpers import document, tree

webdriver = pytest.importorskip("selenium.webdriver", reason="selenium is not installed (pip install 'morvlen[test]')")
pytest.importorskip("starlette", reason="the monitor's web server is not installed (pip install 'morvlen[monitor]')")
from selenium.webdriver.support.wait import WebDriverWait  # noqa: E402

from morvlen.monitor import serve  # noqa: E402

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
DRIVER = shutil.which("chromedriver")
pytestmark = pytest.mark.skipif(not (CHROMIUM and DRIVER),
                                reason="Chromium and chromedriver are needed (apt-get install chromium chromium-driver)")
# Bounds of the waits for the page: generous for a loaded machine; updates come
# every 0.1 s.
PAGE_WAIT = 10.0
UPDATE_WAIT = 3.0
JOIN_TIMEOUT = 10.0

MISSION = document(tree("Mission", '<Sequence name="mission"><Charge/><Drive/></Sequence>'))


@pytest.fixture
def browser():
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--window-size=1400,900"):
        options.add_argument(argument)
    driver = webdriver.Chrome(options=options, service=webdriver.ChromeService(executable_path=DRIVER))
    driver.set_page_load_timeout(PAGE_WAIT)
    yield driver
    driver.quit()


@pytest.fixture
def engine():
    drive = {"status": NodeStatus.RUNNING}
    engine = ThreadEngine()
    engine.register_action_behavior("Charge", lambda node: NodeStatus.SUCCESS, [])
    engine.register_action_behavior("Drive", lambda node: drive["status"], [])
    for name in ("rover", "drone"):
        engine.create_tree_from_text(MISSION, name)
    engine.drive = drive
    yield engine
    engine.stop_all_trees()


# Read in one script: the page replaces its elements on every update.
def node_statuses(driver) -> list[str]:
    return driver.execute_script(
        "return [...document.querySelectorAll('#diagram g.node')].map(g => g.getAttribute('data-status'))")


def listed_trees(driver) -> list[str]:
    return driver.execute_script("return [...document.querySelectorAll('#trees li')].map(li => li.dataset.tree)")


def text_of(driver, element_id: str) -> str:
    return driver.execute_script("return document.getElementById(arguments[0]).textContent", element_id)


def test_page_shows_trees_and_follows_their_statuses(browser, engine):
    engine.tick_once("rover")
    with serve(engine, port=0) as monitor:
        assert monitor.url.startswith("http://127.0.0.1:")
        browser.get(monitor.url + "?tree=rover")
        wait = WebDriverWait(browser, PAGE_WAIT)
        wait.until(lambda d: node_statuses(d) == ["RUNNING", "SUCCESS", "RUNNING"])
        assert listed_trees(browser) == ["rover", "drone"]

        engine.drive["status"] = NodeStatus.FAILURE
        engine.tick_once("rover")
        WebDriverWait(browser, UPDATE_WAIT).until(lambda d: node_statuses(d) == ["FAILURE", "IDLE", "IDLE"])
        assert text_of(browser, "nodes").count("FAILURE") == 3  # root status, and the last results of root and Drive
        assert "Drive: RUNNING → FAILURE" in text_of(browser, "transitions")

        engine.stop_tree("drone")
        wait.until(lambda d: listed_trees(d) == ["rover"])
        assert node_statuses(browser) == ["FAILURE", "IDLE", "IDLE"]
        engine.stop_tree("rover")
        wait.until(lambda d: "not running" in text_of(d, "title"))
        assert node_statuses(browser) == []


def test_server_is_read_only_and_keeps_to_its_own_content(engine):
    import urllib.error
    import urllib.request

    with serve(engine, port=0) as monitor:
        for path, method in (("state", "POST"), ("events", "PUT"), ("../etc/passwd", "GET")):
            request = urllib.request.Request(monitor.url + path, method=method)
            with pytest.raises(urllib.error.HTTPError) as refused:
                urllib.request.urlopen(request, timeout=JOIN_TIMEOUT)
            assert refused.value.code in (404, 405)
        with urllib.request.urlopen(monitor.url, timeout=JOIN_TIMEOUT) as page:
            assert "default-src 'self'" in page.headers["Content-Security-Policy"]
    threads = [t.name for t in threading.enumerate() if t.name.startswith("morvlen-monitor")]
    assert threads == []
