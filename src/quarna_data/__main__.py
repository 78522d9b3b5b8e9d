"""``python -m quarna_data``: the command-line tool (see quarna_data.cli)."""

import sys

from quarna_data.cli import main

if __name__ == "__main__":
    sys.exit(main())
