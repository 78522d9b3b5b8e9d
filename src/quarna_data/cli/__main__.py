"""``python -m quarna_data.cli``: the same as ``python -m quarna_data``."""

import sys

from quarna_data.cli import main

if __name__ == "__main__":
    sys.exit(main())
