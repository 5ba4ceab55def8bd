"""`morvlen check FILE...`: builds every tree of each document and reports each error."""

from __future__ import annotations

import re
import sys
import xml.etree.ElementTree as ElementTree

from morvlen.cli.exit_codes import ExitCode
from morvlen.core import BehaviorTreeError, BehaviorTreeFactory

LINE = re.compile(r"\bline (\d+)")


def tree_ids(path: str) -> list[str | None]:
    """The IDs of the document's trees; [None] (its main tree) when it cannot be read here,
    so that the runtime's own build reports what is wrong with it."""
    try:
        root = ElementTree.parse(path).getroot()
    except (ElementTree.ParseError, OSError):
        return [None]
    ids = [tree.get("ID") for tree in root.findall("BehaviorTree")]
    return ids if ids and None not in ids else [None]


def document_errors(factory: BehaviorTreeFactory, path: str) -> list[str]:
    """Each distinct error building the document's trees, as "FILE:LINE: Kind: message"."""
    errors: list[str] = []
    for tree_id in tree_ids(path):
        try:
            factory.create_tree_from_file(path, tree_id)
        except (BehaviorTreeError, OSError) as error:
            found = LINE.search(str(error))
            where = f"{path}:{found.group(1)}" if found else path
            report = f"{where}: {type(error).__name__}: {error}"
            if report not in errors:  # a subtree's error shows once, not once per including tree
                errors.append(report)
    return errors


def run_check(factory: BehaviorTreeFactory, paths: list[str], quiet: bool) -> ExitCode:
    refused = 0
    for path in paths:
        errors = document_errors(factory, path)
        for report in errors:
            print(report, file=sys.stderr)
        if errors:
            refused += 1
        elif not quiet:
            print(f"{path}: ok")
    if refused:
        print(f"{refused} of {len(paths)} documents refused", file=sys.stderr)
        return ExitCode.FAILED
    return ExitCode.OK
