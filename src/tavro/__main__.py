"""``python -m tavro``: the command line, which lives in tavro.cli."""

import sys

from .cli import main

__all__ = ["main"]

if __name__ == "__main__":
    sys.exit(main())
