"""``talvex-ext``: manage Talvex extension packages from a terminal.

A thin front end over ``talvex.core.extensions.wheelwork`` and
``talvex.utils.aboutmeta``: the native modules do the work (installer runs,
the queue of deferred changes, the catalog), this package parses the command
line and presents the results.  It uses the standard library only, so it adds
nothing to the host application's environment.
"""

__all__ = ["main"]


def main(argv=None) -> int:
    from .cli import main as _main

    return _main(argv)
