"""``python -m sarn``: the ``sarn`` command."""

import sys

from sarn.cli import main

if __name__ == "__main__":
    sys.exit(main())
