"""Entry point of ``talvex-ext`` and ``python -m talvex_ext_cli``."""

import sys

from talvex_ext_cli.cli import main

__all__ = ["main"]

if __name__ == "__main__":
    sys.exit(main())
