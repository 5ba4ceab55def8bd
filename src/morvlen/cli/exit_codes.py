"""The exit statuses of the `morvlen` command, documented in its help and the README."""

import enum


class ExitCode(enum.IntEnum):
    """What each status means: EPILOG."""

    OK = 0
    FAILED = 1
    USAGE = 2
    TICKS_EXHAUSTED = 3
    ACTION_ERROR = 4
    INTERRUPTED = 130


EPILOG = """exit status:
  0    check: every document builds; nodes, render: printed; run: the tree reached the wanted status
  1    check, render: a document was refused; run: the tree ended in the other status
  2    bad arguments, an unreadable file, an actions module that does not load,
       a tree document that run cannot build, a monitor that cannot be served
  3    run: --ticks ticks went by without the wanted status
  4    run: a tick raised an error (an action's exception, a port error)
  130  interrupted (Ctrl-C)"""
