"""The `morvlen` command line: check tree documents, list node models, run a tree."""

from morvlen.cli.main import main

__all__ = ["main"]
