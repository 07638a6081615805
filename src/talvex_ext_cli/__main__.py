"""Entry point of ``talvex-ext`` / ``python -m talvex_ext_cli``."""

import sys


def main(argv=None) -> int:
    print("talvex-ext: not available yet", file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main())
