"""python -m morvlen: the `morvlen` command."""

import sys

from morvlen.cli import main

sys.exit(main())
