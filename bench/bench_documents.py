"""Building large documents: time for many same-named or uniquely named siblings,
and the longest stall of another Python thread while a big tree builds.

Run:  .venv/bin/python bench/bench_documents.py [--siblings 20000 650000] [--stall-nodes 100000]
Prints one line per figure; compare the figures of one run with each other.
"""

import argparse
import threading
import time

from morvlen.core import BehaviorTreeFactory, DocumentLimits


def siblings(count: int, same_name: bool) -> str:
    leaves = "".join('<AlwaysSuccess name="a"/>' if same_name else f'<AlwaysSuccess name="a{i}"/>' for i in range(count))
    return f'<root BTCPP_format="4"><BehaviorTree ID="T"><Sequence>{leaves}</Sequence></BehaviorTree></root>'


def factory_for(nodes: int) -> BehaviorTreeFactory:
    factory = BehaviorTreeFactory()
    factory.document_limits = DocumentLimits(max_nodes=max(nodes + 10, DocumentLimits().max_nodes))
    return factory


def build_time(count: int, same_name: bool) -> float:
    text = siblings(count, same_name)
    factory = factory_for(count)
    start = time.perf_counter()
    tree = factory.create_tree_from_text(text)
    elapsed = time.perf_counter() - start
    del tree
    return elapsed


def longest_stall(nodes: int) -> tuple[float, float]:
    """(build seconds, longest gap in ms between beats of a thread beating every 1 ms)."""
    text = siblings(nodes, same_name=True)
    factory = factory_for(nodes)
    gaps: list[float] = []
    done = threading.Event()

    def beat() -> None:
        last = time.perf_counter()
        while not done.is_set():
            time.sleep(0.001)
            now = time.perf_counter()
            gaps.append(now - last)
            last = now

    beater = threading.Thread(target=beat)
    beater.start()
    time.sleep(0.05)
    start = time.perf_counter()
    tree = factory.create_tree_from_text(text)
    elapsed = time.perf_counter() - start
    done.set()
    beater.join(timeout=10)
    del tree
    return elapsed, max(gaps) * 1000


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--siblings", type=int, nargs="*", default=[20_000, 650_000])
    parser.add_argument("--stall-nodes", type=int, default=100_000)
    args = parser.parse_args()
    for count in args.siblings:
        same, unique = build_time(count, True), build_time(count, False)
        print(f"{count:>9,} siblings: same name {same:7.3f} s, unique names {unique:7.3f} s, ratio {same / unique:5.2f}")
    elapsed, stall = longest_stall(args.stall_nodes)
    print(f"{args.stall_nodes:>9,} nodes built in {elapsed:.3f} s; another thread's longest stall {stall:.1f} ms")


if __name__ == "__main__":
    main()
