"""The `morvlen` command: argument parsing and the exit status; the work is in one module per command."""

from __future__ import annotations

import argparse
import contextlib
import sys
import textwrap
import traceback

from morvlen import __version__
from morvlen.cli.actions import ActionsError, factory_with_actions
from morvlen.cli.check import run_check
from morvlen.cli.exit_codes import EPILOG, ExitCode
from morvlen.cli.nodes import run_nodes
from morvlen.cli.render import RENDERERS, run_render
from morvlen.cli.run import run_tree
from morvlen.core import BehaviorTreeError, NodeStatus

ACTIONS_HELP = ("a module providing actions: a dotted name (found from the current directory first) or a "
                ".py file; its SimpleActionNode subclasses are registered under their class names, and its "
                "register_actions(factory) function, if any, is called with the BehaviorTreeFactory. Repeatable.")


def positive_int(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be 1 or more, not {value}")
    return value


def non_negative_float(text: str) -> float:
    value = float(text)
    if not value >= 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more, not {text}")
    return value


def paragraph(text: str) -> str:
    return textwrap.fill(text, width=80)


FORMATTER = argparse.RawDescriptionHelpFormatter


def add_command(commands: argparse._SubParsersAction, name: str, summary: str,
                description: str) -> argparse.ArgumentParser:
    """A subcommand with its one-line help, its wrapped description and the exit statuses."""
    return commands.add_parser(name, help=summary, description=paragraph(description), epilog=EPILOG,
                               formatter_class=FORMATTER)


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="morvlen", description="Behavior trees from the command line.",
                                     epilog=EPILOG, formatter_class=FORMATTER)
    parser.add_argument("--version", action="version", version=f"morvlen {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    check = add_command(commands, "check", "build each tree document and report every error",
        "Builds every tree of each document; prints each error as "
        "FILE:LINE: kind: message (with tree and element) on stderr.")
    check.add_argument("files", nargs="+", metavar="FILE", help="a tree document (version 4 XML)")
    check.add_argument("--actions", action="append", default=[], metavar="MODULE", help=ACTIONS_HELP)
    check.add_argument("-q", "--quiet", action="store_true", help="print nothing for documents that build")

    nodes = add_command(commands, "nodes", "list the node models: built-in and from --actions modules",
        "Lists every node a tree can use, with its ports, as text "
        "or as a <TreeNodesModel> document.")
    nodes.add_argument("--actions", action="append", default=[], metavar="MODULE", help=ACTIONS_HELP)
    nodes.add_argument("--xml", action="store_true", help="print the <TreeNodesModel> XML document")

    run = add_command(commands, "run", "tick a tree, printing its status after each tick",
        "Builds the document's main tree (or --tree) with the actions of "
        "--actions and ticks it until it finishes, or until --until's "
        "status; prints the tree's status after each tick.")
    run.add_argument("file", metavar="FILE", help="a tree document (version 4 XML)")
    run.add_argument("--actions", action="append", default=[], metavar="MODULE", help=ACTIONS_HELP)
    run.add_argument("--tree", metavar="ID", help="the tree to run (default: the document's main tree)")
    run.add_argument("--until", choices=["success", "failure"],
                     help="tick until the tree returns this status, starting it over after the other one "
                          "(default: until it returns either)")
    run.add_argument("--ticks", type=positive_int, metavar="N", help="tick at most N times (default: no limit)")
    run.add_argument("--interval", type=non_negative_float, default=0.1, metavar="SECONDS",
                     help="pause between ticks while the tree is not done (default: 0.1)")
    run.add_argument("--nodes", action="store_true", help="also print each node whose status changed")
    run.add_argument("--monitor", type=port_number, metavar="PORT",
                     help="serve the live monitor page on http://127.0.0.1:PORT while the tree runs "
                          "(needs the monitor extra)")

    render = add_command(commands, "render", "print a tree document as text, Graphviz DOT or SVG",
        "Prints the document's main tree (or --tree), one line "
        "per node, or as a DOT or SVG diagram. Node types the document "
        "does not register are drawn from their attributes.")
    render.add_argument("file", metavar="FILE", help="a tree document (version 4 XML)")
    render.add_argument("--tree", metavar="ID", help="the tree to print (default: the document's main tree)")
    render.add_argument("--format", choices=sorted(RENDERERS), default="text", help="default: text")
    return parser


def port_number(text: str) -> int:
    value = int(text)
    if not 0 < value < 65536:
        raise argparse.ArgumentTypeError(f"must be a port from 1 to 65535, not {value}")
    return value


def serve_monitor(tree: object, port: int | None) -> contextlib.AbstractContextManager[object]:
    """The monitor page for the run's tree while the run lasts; nothing without --monitor."""
    if port is None:
        return contextlib.nullcontext()
    from morvlen.core import observe
    from morvlen.monitor import serve

    observe.name_tree(tree, tree, "run")
    monitor = serve(None, port=port)
    print(f"morvlen run: monitor at {monitor.url}", file=sys.stderr, flush=True)
    return monitor


def dispatch(args: argparse.Namespace) -> ExitCode:
    if args.command == "render":
        try:
            run_render(args.file, args.tree, args.format)
        except (BehaviorTreeError, OSError) as error:
            print(f"morvlen render: {args.file}: {type(error).__name__}: {error}", file=sys.stderr)
            return ExitCode.FAILED if isinstance(error, BehaviorTreeError) else ExitCode.USAGE
        return ExitCode.OK
    factory = factory_with_actions(args.actions)
    if args.command == "check":
        return run_check(factory, args.files, args.quiet)
    if args.command == "nodes":
        run_nodes(factory, args.xml)
        return ExitCode.OK
    try:
        tree = factory.create_tree_from_file(args.file, args.tree)
    except (BehaviorTreeError, OSError) as error:
        print(f"morvlen run: {args.file}: {type(error).__name__}: {error}", file=sys.stderr)
        return ExitCode.USAGE
    until = NodeStatus[args.until.upper()] if args.until else None
    try:
        monitor = serve_monitor(tree, args.monitor)
    except (ImportError, OSError) as error:
        print(f"morvlen run: cannot serve the monitor: {type(error).__name__}: {error}", file=sys.stderr)
        return ExitCode.USAGE
    with monitor:
        return run_tree(tree, until, args.ticks, args.interval, args.nodes)


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)  # exits 2 with a usage message on bad arguments
    try:
        return int(dispatch(args))
    except ActionsError as error:
        print(f"morvlen {args.command}: {error}", file=sys.stderr)
    except KeyboardInterrupt:
        print(f"morvlen {args.command}: interrupted", file=sys.stderr)
        return int(ExitCode.INTERRUPTED)
    except Exception as error:  # an actions module that raised while loading or registering
        traceback.print_exc()
        print(f"morvlen {args.command}: {type(error).__name__}: {error}", file=sys.stderr)
    return int(ExitCode.USAGE)
