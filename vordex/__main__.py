"""``python3 -m vordex``: the command line (see :mod:`vordex.cli`)."""

import sys

from vordex.cli import main

if __name__ == "__main__":
    sys.exit(main(prog="python3 -m vordex"))
