"""Takes the README's screenshot of the monitor: a few trees of a ThreadEngine
ticking, the page in headless Chromium, saved as PNG.
Run:  .venv/bin/python scripts/monitor_screenshot.py docs/monitor.png
"""

import shutil
import sys
import threading
import time

from selenium import webdriver

from morvlen.core import NodeStatus
from morvlen.engine.trigger.mthread import ThreadEngine
from morvlen.monitor import serve

MISSION = """<root BTCPP_format="4"><BehaviorTree ID="Delivery"><Sequence name="deliver">
  <Fallback name="power"><Inverter><BatteryLow/></Inverter><Charge/></Fallback>
  <RetryUntilSuccessful num_attempts="3"><PlanPath goal="{goal}" path="{path}"/></RetryUntilSuccessful>
  <Drive path="{path}"/><AlwaysSuccess name="report"/>
</Sequence></BehaviorTree></root>"""


def port(name, direction):
    return {"name": name, "type": "string", "direction": direction, "description": ""}


def main(output: str) -> None:
    engine = ThreadEngine()
    steps = {"n": 0}

    def plan(node):
        node.setOutput("path", f"{node.getInputString('goal')} via A7, B2")
        return NodeStatus.SUCCESS

    def drive(node):
        steps["n"] += 1
        return NodeStatus.RUNNING if steps["n"] % 4 else NodeStatus.SUCCESS

    engine.register_action_behavior("BatteryLow", lambda node: NodeStatus.FAILURE, [])
    engine.register_action_behavior("Charge", lambda node: NodeStatus.SUCCESS, [])
    engine.register_action_behavior("PlanPath", plan, [port("goal", "input"), port("path", "output")])
    engine.register_action_behavior("Drive", drive, [port("path", "input")])
    for name, goal in (("rover-1", "dock 4"), ("rover-2", "gate 9"), ("drone-7", "roof")):
        engine.create_tree_from_text(MISSION, name)
        engine.set_blackboard_data(name, "goal", goal)
    stop = threading.Event()

    def tick_all():
        while not stop.is_set():
            for name in engine.get_tree_ids():
                engine.tick_once(name)
            time.sleep(0.15)

    ticker = threading.Thread(target=tick_all)
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which("chromium")
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1300,1150"):
        options.add_argument(argument)
    with serve(engine, port=0) as monitor:
        ticker.start()
        driver = webdriver.Chrome(options=options,
                                  service=webdriver.ChromeService(executable_path=shutil.which("chromedriver")))
        try:
            driver.get(monitor.url + "?tree=rover-1")
            time.sleep(2.2)
            driver.save_screenshot(output)
        finally:
            driver.quit()
            stop.set()
            ticker.join(10)
    engine.stop_all_trees()


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "monitor.png")
