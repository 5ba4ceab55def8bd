"""CPU cost of the monitor's serving side.

A ThreadEngine runs 100 trees (12 nodes each, ticked in turn by one thread as fast
as it goes); the monitor serves them at 10 updates per second to one page, open in
headless Chromium when selenium and Chromium are installed, else to a plain
server-sent-events reader. Measured: CPU time of the monitor's two threads (snapshot
collector and web server) over the run, as a share of one core, read from
/proc/self/task/<tid>/stat; and the ticking thread's rate for scale.
Run:  .venv/bin/python bench/bench_monitor.py [--seconds S] [--trees N]
"""

from __future__ import annotations

import argparse
import os
import shutil
import threading
import time
import urllib.request

from loguru import logger

from morvlen.core import NodeStatus
from morvlen.engine.trigger.mthread import ThreadEngine
from morvlen.monitor import serve

TREE = """<root BTCPP_format="4"><BehaviorTree ID="Patrol"><Sequence>
  <Fallback><Inverter><Check/></Inverter><AlwaysSuccess/></Fallback>
  <RetryUntilSuccessful num_attempts="2"><Move/></RetryUntilSuccessful>
  <Sequence><AlwaysSuccess/><Inverter><AlwaysFailure/></Inverter><Move/></Sequence>
</Sequence></BehaviorTree></root>"""


def cpu_seconds(thread: threading.Thread) -> float:
    with open(f"/proc/self/task/{thread.native_id}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def open_page(url: str):
    """A page in headless Chromium, or else a thread reading the event stream."""
    chromium, driver = shutil.which("chromium"), shutil.which("chromedriver")
    try:
        from selenium import webdriver
    except ImportError:
        webdriver = None
    if webdriver and chromium and driver:
        options = webdriver.ChromeOptions()
        options.binary_location = chromium
        for argument in ("--headless=new", "--no-sandbox", "--disable-gpu"):
            options.add_argument(argument)
        browser = webdriver.Chrome(options=options, service=webdriver.ChromeService(executable_path=driver))
        browser.get(url + "?tree=t0")
        return "headless Chromium", browser.quit
    stream = urllib.request.urlopen(url + "events?tree=t0")
    reader = threading.Thread(target=lambda: [None for _ in stream], daemon=True)
    reader.start()
    return "an event-stream reader", stream.close


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=float, default=10.0, help="measured time")
    parser.add_argument("--trees", type=int, default=100)
    args = parser.parse_args()
    logger.disable("morvlen")
    engine = ThreadEngine()
    engine.register_action_behavior("Check", lambda node: NodeStatus.FAILURE, [])
    engine.register_action_behavior("Move", lambda node: NodeStatus.SUCCESS, [])
    ids = [engine.create_tree_from_text(TREE, f"t{i}") for i in range(args.trees)]
    stop, ticks = threading.Event(), [0]

    def tick_all():
        while not stop.is_set():
            for tree_id in ids:
                engine.tick_once(tree_id)
            ticks[0] += len(ids)

    ticker = threading.Thread(target=tick_all)
    ticker.start()
    with serve(engine, port=0, rate=10.0) as monitor:
        page, close = open_page(monitor.url)
        time.sleep(2.0)  # the page is loaded and streaming
        threads = [monitor.collector._thread, monitor._thread]
        before, ticks_before, start = sum(map(cpu_seconds, threads)), ticks[0], time.perf_counter()
        time.sleep(args.seconds)
        used, elapsed = sum(map(cpu_seconds, threads)) - before, time.perf_counter() - start
        rate = (ticks[0] - ticks_before) / elapsed
        close()
    stop.set()
    ticker.join(30)
    engine.stop_all_trees()
    print(f"{args.trees} trees of 12 nodes ticked in turn by one thread ({rate:,.0f} tree ticks/s), monitor at "
          f"10 updates/s to {page}, {elapsed:.1f}s measured on {os.cpu_count()} cores:")
    print(f"  serving side (collector + web server threads): {100 * used / elapsed:5.1f} % of one core")


if __name__ == "__main__":
    main()
