"""``python3 -m vordex``: the command line (see :mod:`vordex.cli`)."""

import sys

if __name__ == "__main__":
    try:
        from vordex.cli import main

        sys.exit(main(prog="python3 -m vordex"))
    except KeyboardInterrupt:  # Ctrl-C while the interpreter was still starting
        sys.exit(130)
