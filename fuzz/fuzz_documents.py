"""A bounded fuzz run over the XML reader and the tree builder.

Documents are generated at random or mutated from the seed corpus (fuzz/corpus) and
built with BehaviorTreeFactory.create_tree_from_text, as bytes and as str, under
random limits. Every refusal must be a BehaviorTreeError; a crash, a hang (one case
over --case-seconds) or any other exception fails the run and prints the input.

Run:  .venv/bin/python fuzz/fuzz_documents.py [--seconds 60] [--seed N]
The run happens in a child process so that a crash is reported, not suffered.
"""

from __future__ import annotations

import argparse
import faulthandler
import pathlib
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time

CORPUS = pathlib.Path(__file__).resolve().parent / "corpus"

CONTROLS = ["Sequence", "Fallback", "ReactiveSequence", "ReactiveFallback", "SequenceWithMemory", "ParallelAll"]
DECORATORS = ["Inverter", "ForceSuccess", "ForceFailure", "RunOnce", "KeepRunningUntilFailure"]
LEAVES = ["AlwaysSuccess", "AlwaysFailure", 'SubTree ID="T1"', 'SubTree ID="T2"', 'Action ID="AlwaysSuccess"']
JUNK = ["Repeat", "Timeout", "LoopInt", "SetBlackboard", "Sleep", "Switch2", "IfThenElse", "Control", "Decorator",
        "Script", "Unknown", "include", "BehaviorTree", "root", "SubTree"]
ATTRIBUTES = ["ID", "num_cycles", "num_attempts", "msec", "value", "output_key", "path", "_autoremap",
              "_skipIf", "success_count", "variable", "case_1", "queue", "main_tree_to_execute", "BTCPP_format"]
VALUES = ["", "1", "-1", "T", "T0", "{key}", "{=}", "@x", "true", "maybe", "part.xml", "../part.xml", "/dev/zero",
          "\u00e9", "&amp;", "&#0;", "&#xD800;", "a;b;c", "99999999999999999999", "x := 1", "x &gt; 2 &amp;&amp; y",
          "'a' + 1", "((((x))))", "x := x / 0", "-", "1e999"]
TOKENS = [b"<", b">", b"/>", b"</", b"<SubTree ID=\"T0\"/>", b"<include path=\"part.xml\"/>", b"<Inverter>",
          b"</Inverter>", b"<![CDATA[", b"]]>", b"<!--", b"-->", b"&", b";", b"\"", b"'", b"=", b"\x00", b"\xff",
          b"\xc3", b"\xed\xa0\x80", b"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>",
          b"<?xml version=\"1.0\" encoding=\"UTF-16\"?>", b"<!DOCTYPE root [<!ENTITY e \"&e;\">]>", b"&e;"]


def random_element(rng: random.Random, depth: int) -> str:
    """Mostly well-shaped nodes (a bias toward trees that build), now and then anything."""
    name = f' name="{rng.choice(["n", "n", "n#2", "a/b", VALUES[rng.randrange(len(VALUES))]])}"' * rng.randint(0, 1)
    if rng.random() < 0.1:
        tag = rng.choice(JUNK)
        attributes = name + "".join(f' {rng.choice(ATTRIBUTES)}="{rng.choice(VALUES)}"' for _ in range(rng.randint(0, 2)))
        children = "".join(random_element(rng, depth - 1) for _ in range(rng.randint(0, 2) if depth > 0 else 0))
        return f"<{tag}{attributes}>{children}</{tag.split()[0]}>"
    if depth <= 0 or rng.random() < 0.3:
        return f"<{rng.choice(LEAVES)}{name}/>"
    if rng.random() < 0.3:
        tag = rng.choice(DECORATORS)
        return f"<{tag}{name}>{random_element(rng, depth - 1)}</{tag}>"
    tag = rng.choice(CONTROLS)
    children = "".join(random_element(rng, depth - 1) for _ in range(rng.randint(1, 4)))
    return f"<{tag}{name}>{children}</{tag}>"


def random_document(rng: random.Random) -> bytes:
    trees = "".join(f'<BehaviorTree ID="T{i}">{random_element(rng, rng.randint(0, 6))}</BehaviorTree>'
                    for i in range(rng.randint(1, 4)))
    main = ' main_tree_to_execute="T0"' if rng.random() < 0.8 else ""
    return f'<root BTCPP_format="4"{main}>{trees}</root>'.encode("utf-8", "surrogatepass")


ELEMENT = re.compile(rb"<[A-Za-z][^<>]*/>")
VALUE = re.compile(rb'="[^"]*"')


def mutated(rng: random.Random, data: bytes, seeds: list[bytes]) -> bytes:
    """A few edits: mostly structure-aware (elements, attribute values), some blind."""
    data = bytearray(data)
    for _ in range(rng.choice([1, 1, 1, 2, 3, 6])):
        at = rng.randint(0, len(data))
        span = rng.randint(1, 32)
        elements = list(ELEMENT.finditer(data))
        values = list(VALUE.finditer(data))
        choice = rng.randrange(8)
        if choice == 0 and data:
            data[min(at, len(data) - 1)] = rng.randrange(256)
        elif choice == 1:
            del data[at:at + span]
        elif choice == 2:
            data[at:at] = rng.choice(TOKENS)
        elif choice == 3:
            piece = bytes(data[at:at + span])
            data[at:at] = piece * rng.choice([2, 10, 1000])  # repeats nest or multiply
        elif choice == 4:
            other = rng.choice(seeds)
            cut = rng.randint(0, len(other))
            data[at:] = other[cut:]
        elif choice == 5 and elements:
            element = rng.choice(elements)
            data[element.end():element.end()] = element.group() * rng.choice([1, 3, 2000])
        elif choice == 6 and values:
            value = rng.choice(values)
            data[value.start():value.end()] = b'="' + rng.choice(VALUES).encode("utf-8", "surrogatepass") + b'"'
        elif elements:
            element = rng.choice(elements)
            data[element.start():element.end()] = random_element(rng, 3).encode()
    return bytes(data)


def check_case(factory, limits_type, rng: random.Random, data: bytes, include_dir: str) -> str | None:
    """None when the case ended as it should, else what went wrong."""
    from morvlen.core import BehaviorTreeError

    factory.document_limits = limits_type(max_depth=rng.choice([1, 5, 50, 1000]),
                                          max_nodes=rng.choice([1, 10, 1000, 1_000_000]),
                                          max_file_bytes=rng.choice([10, 100_000]), include_dir=include_dir)
    text = data.decode("utf-8", "surrogateescape") if rng.random() < 0.5 else data
    try:
        tree = factory.create_tree_from_text(text)
        tree.status_report()
    except BehaviorTreeError:
        return None
    except Exception as error:  # noqa: BLE001 - anything else is what the run looks for
        return f"{type(error).__name__}: {error}"
    return None


def worker(seconds: float, seed: int, case_seconds: float, last_input: pathlib.Path) -> int:
    from morvlen.core import BehaviorTreeFactory, DocumentLimits

    rng = random.Random(seed)
    seeds = [path.read_bytes() for path in sorted(CORPUS.glob("*.xml"))]
    include_dir = tempfile.mkdtemp(prefix="morvlen-fuzz-")
    for path in CORPUS.glob("*.xml"):
        shutil.copy(path, include_dir)
    factory = BehaviorTreeFactory()
    cases = 0
    deadline = time.monotonic() + seconds
    try:
        while time.monotonic() < deadline:
            data = random_document(rng) if rng.random() < 0.3 else mutated(rng, rng.choice(seeds), seeds)
            last_input.write_bytes(data)
            faulthandler.dump_traceback_later(case_seconds, exit=True)
            problem = check_case(factory, DocumentLimits, rng, data, include_dir)
            faulthandler.cancel_dump_traceback_later()
            if problem:
                print(f"case {cases}: {problem}\ninput: {data[:2000]!r}", flush=True)
                return 1
            cases += 1
    finally:
        shutil.rmtree(include_dir, ignore_errors=True)
    print(f"{cases} cases in {seconds:.0f} s, seed {seed}: every refusal a BehaviorTreeError", flush=True)
    return 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--case-seconds", type=float, default=20, help="a case taking longer is a hang")
    parser.add_argument("--worker", metavar="LAST_INPUT", help=argparse.SUPPRESS)
    args = parser.parse_args()
    seed = args.seed if args.seed is not None else random.randrange(2**32)
    if args.worker:
        return worker(args.seconds, seed, args.case_seconds, pathlib.Path(args.worker))
    with tempfile.TemporaryDirectory() as scratch:
        last_input = pathlib.Path(scratch) / "last-input.xml"
        command = [sys.executable, __file__, "--worker", str(last_input), "--seconds", str(args.seconds),
                   "--seed", str(seed), "--case-seconds", str(args.case_seconds)]
        try:
            code = subprocess.run(command, timeout=args.seconds + 2 * args.case_seconds + 30).returncode
        except subprocess.TimeoutExpired:
            code = "a hang"
        if code != 0:
            data = last_input.read_bytes() if last_input.exists() else b""
            print(f"fuzz run failed ({code}), seed {seed}; last input: {data[:2000]!r}", file=sys.stderr)
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
