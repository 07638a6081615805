"""Command line of ``talvex-ext``: arguments, logging, exit status."""

from __future__ import annotations

import argparse
import logging
import os
import sys
import textwrap
import traceback

from . import commands
from .commands import EXIT_DEFERRED, EXIT_FAILURE, EXIT_INTERRUPTED, EXIT_OK, EXIT_USAGE
from .output import PROG, Console, clean

DESCRIPTION = """\
Manage the optional extension packages (talvex-ext-*) of the Talvex application
from a terminal: list, find, install, upgrade and remove them, and inspect or
finish changes that were queued for the next start of Talvex.  Run it with the
Python environment that Talvex runs in."""

EPILOG = f"""\
exit status:
  {EXIT_OK}    success
  {EXIT_FAILURE}    failure (an installer failed, the package index could not be read, ...)
  {EXIT_USAGE}    bad usage
  {EXIT_DEFERRED}    a change could not be made while Talvex runs and was queued for
       its next start (see '{PROG} pending' and '{PROG} apply-pending')
  {EXIT_INTERRUPTED}  interrupted

With several packages, the status is {EXIT_FAILURE} if any failed, otherwise {EXIT_DEFERRED} if any
was deferred.  -v shows the log records of the extension manager (-vv adds
debug records); --json prints machine-readable results of list, search,
pending and about."""

# The native modules log under this package's loggers.
_LOGGER = "talvex"


def _package_name(text: str) -> str:
    if not text.strip():
        raise argparse.ArgumentTypeError("package name must not be blank")
    return text


def _count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError("must be 0 or more")
    return value


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if not value >= 0 or value == float("inf"):
        raise argparse.ArgumentTypeError("must be a finite number of seconds, 0 or more")
    return value


def _positive_seconds(text: str) -> float:
    value = _seconds(text)
    if value == 0:
        raise argparse.ArgumentTypeError("must be more than 0")
    return value


def build_parser() -> argparse.ArgumentParser:
    common = argparse.ArgumentParser(add_help=False)
    # Counted apart from the main parser's -v (a subcommand's parser starts from a
    # fresh namespace) and added to it in main().
    common.add_argument(
        "-v", "--verbose", action="count", dest="sub_verbose", default=argparse.SUPPRESS,
        help="show the extension manager's log records (-vv: also debug records)",
    )
    as_json = argparse.ArgumentParser(add_help=False)
    as_json.add_argument("--json", action="store_true", help="print the result as JSON")

    parser = argparse.ArgumentParser(
        prog=PROG,
        description=DESCRIPTION,
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "-v", "--verbose", action="count", default=0,
        help="show the extension manager's log records (-vv: also debug records)",
    )
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", title="commands")

    def add(name, help_text, handler, parents=(), description=None):
        p = sub.add_parser(
            name, help=help_text, description=textwrap.fill(description or help_text, 79), epilog=EPILOG,
            parents=[common, *parents], formatter_class=argparse.RawDescriptionHelpFormatter,
        )
        p.set_defaults(handler=handler)
        return p

    add("list", "list the installed extensions and their versions", commands.cmd_list, [as_json])

    p = add(
        "search", "list the extensions published on the package index", commands.cmd_search, [as_json],
        description="List the extensions published on the package index (name, version, "
        "description).  TEXT keeps the entries whose package, name or description contains "
        "it, ignoring case.",
    )
    p.add_argument("text", nargs="?", metavar="TEXT", help="show only entries containing TEXT")
    p.add_argument(
        "--no-metadata", action="store_true",
        help="list names only, without fetching each project's version and description (faster)",
    )
    p.add_argument(
        "--limit", type=_count, default=120, metavar="N",
        help="show at most N entries (default: 120; 0: no limit)",
    )
    p.add_argument(
        "--timeout", type=_positive_seconds, default=45.0, metavar="SECONDS",
        help="how long the index request may take, from connecting to its last byte (default: 45)",
    )

    for name, what in (
        ("install", "install extension packages from the package index"),
        ("upgrade", "upgrade extension packages to their newest release"),
        ("uninstall", "remove extension packages"),
    ):
        p = add(
            name, what, commands.cmd_change,
            description=f"{what[0].upper()}{what[1:]}.  The installer command is shown before it "
            "runs; a change that meets files locked by a running Talvex is queued for its next "
            f"start (exit status {EXIT_DEFERRED}).",
        )
        p.add_argument("names", nargs="+", type=_package_name, metavar="NAME",
                       help="package name" + ("" if name == "uninstall" else
                                              ", or the path of a wheel file (.whl) to install"))

    add("pending", "show the changes queued for the next start", commands.cmd_pending, [as_json],
        description="Show the changes queued for the next start of Talvex, in the order they run, "
        "with the number of starts at which each has failed (a change leaves the queue after "
        "its third).")

    p = add(
        "apply-pending", "apply the queued changes now", commands.cmd_apply_pending,
        description="Apply the changes queued for the next start now (close Talvex first).  "
        "A change that still fails stays queued; a run of this command does not count as a "
        "failed start.",
    )
    p.add_argument(
        "--retry-seconds", type=_seconds, default=None, metavar="SECONDS",
        help="how long to keep retrying a change whose files are still locked (default: 15)",
    )

    add("about", "show the About information of Talvex", commands.cmd_about, [as_json])
    return parser


class _CleanFormatter(logging.Formatter):
    """Log records quote package names, installer output and error texts from outside."""

    def format(self, record: logging.LogRecord) -> str:
        return clean(super().format(record))


def configure_logging(verbosity: int, stream=None) -> None:
    """Route the ``talvex`` loggers to stderr: warnings always, -v info, -vv debug."""
    if verbosity >= 2:
        level, fmt = logging.DEBUG, "%(levelname)s %(name)s: %(message)s"
    elif verbosity == 1:
        level, fmt = logging.INFO, "%(levelname)s %(name)s: %(message)s"
    else:
        level, fmt = logging.WARNING, f"{PROG}: %(levelname)s: %(message)s"
    handler = logging.StreamHandler(stream if stream is not None else sys.stderr)
    handler.setFormatter(_CleanFormatter(fmt))
    logger = logging.getLogger(_LOGGER)
    for old in [h for h in logger.handlers if getattr(h, "_talvex_ext", False)]:
        logger.removeHandler(old)
    handler._talvex_ext = True
    logger.addHandler(handler)
    logger.setLevel(level)
    logger.propagate = False


def _tolerant_streams() -> None:
    # A console that cannot encode a package description must not end the command.
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.reconfigure(errors="replace")
        except (AttributeError, ValueError, OSError):
            pass


def main(argv: list[str] | None = None) -> int:
    """Run ``talvex-ext`` with *argv* (default: the process arguments); return the exit status."""
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exc:  # --help, or bad usage (argparse exits with 2)
        return exc.code if isinstance(exc.code, int) else EXIT_USAGE
    args.verbose += getattr(args, "sub_verbose", 0)
    if not args.command:
        parser.print_usage(sys.stderr)
        print(f"{PROG}: error: a command is required (see '{PROG} --help')", file=sys.stderr)
        return EXIT_USAGE
    _tolerant_streams()
    configure_logging(args.verbose)
    out = Console()
    try:
        return args.handler(args, out)
    except KeyboardInterrupt:
        out.note("")
        out.error("interrupted")
        return EXIT_INTERRUPTED
    except commands.Unavailable as exc:
        out.error(str(exc))
        return EXIT_FAILURE
    except BrokenPipeError:
        # The reader went away (``talvex-ext list | head``): stop quietly.
        try:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
        except (OSError, ValueError, AttributeError):
            pass
        return EXIT_FAILURE
    except Exception as exc:
        if args.verbose:
            out.note(traceback.format_exc())
        out.error(f"{type(exc).__name__}: {exc}" + ("" if args.verbose else " (add -v for details)"))
        return EXIT_FAILURE
