"""The subcommands: each calls the native modules and presents what they return."""

from __future__ import annotations

import http.client
import importlib
import importlib.metadata
import re
import threading
from argparse import Namespace
from typing import Any

from .output import PROG, WHEELWORK, Console, clean, count, inline
from .progress import Elapsed

EXIT_OK = 0
EXIT_FAILURE = 1
EXIT_USAGE = 2
EXIT_DEFERRED = 3
EXIT_INTERRUPTED = 130

_ABOUTMETA = "talvex.utils.aboutmeta"


class Unavailable(Exception):
    """A native module of the application cannot be imported here."""


def _module(name: str):
    hint = f"run {PROG} with the Python environment of Talvex"
    try:
        module = importlib.import_module(name)
    except ImportError as exc:
        raise Unavailable(f"cannot import {name} ({exc}); {hint}") from exc
    if getattr(module, "__file__", None) is None:
        # A bare directory of that name (a source checkout without a build)
        # imports as an empty namespace package.
        raise Unavailable(f"{name} is not built or installed here; {hint}")
    return module


def wheelwork():
    return _module(WHEELWORK)


def aboutmeta():
    return _module(_ABOUTMETA)


# --------------------------------------------------------------------------- list


def cmd_list(args: Namespace, out: Console) -> int:
    ww = wheelwork()
    installed = ww.list_installed_talvex_ext_packages()
    rows = [
        {"package": pkg, "name": ww.display_name_from_pypi_package(pkg), "version": version}
        for pkg, version in sorted(installed.items())
    ]
    if args.json:
        out.json(rows)
        return EXIT_OK
    if not rows:
        out.line("No extensions installed.")
    else:
        out.table(["PACKAGE", "NAME", "VERSION"], [[r["package"], r["name"], r["version"]] for r in rows])
    queued = ww.pending_operations()
    if queued:
        out.line()
        out.line(
            f"{count(len(queued), 'change')} queued for the next start of Talvex"
            f" (see '{PROG} pending')."
        )
    return EXIT_OK


# --------------------------------------------------------------------------- search

_SEARCH_KEYS = ("id", "name", "version", "package", "description")


def _matches(entry: dict, needle: str) -> bool:
    return any(needle in str(entry.get(key) or "").casefold() for key in ("package", "name", "description"))


def cmd_search(args: Namespace, out: Console) -> int:
    ww = wheelwork()
    needle = (args.text or "").strip().casefold()
    # Without a filter the index itself caps the listing; with one, the whole
    # catalog is searched and the cap applies to the matches.
    try:
        entries = ww.list_pypi_talvex_extensions(
            timeout=args.timeout,
            fetch_metadata=not args.no_metadata,
            max_packages=0 if needle else args.limit,
        )
    except (OSError, ValueError, RuntimeError, http.client.HTTPException) as exc:
        # OSError covers URLError and time-outs, ValueError a malformed document,
        # RuntimeError an HTTP error status or an unexpected index answer.
        # An error of a configured index names it; a connection error names the public one here.
        where = ""
        if isinstance(exc, OSError):
            index = ww._installer_index()
            where = f" {index['url']}" if index.get("public") else ""
        out.error(f"could not read the extension catalog from the package index{where}: {_describe(exc)}")
        return EXIT_FAILURE
    if needle:
        entries = [e for e in entries if _matches(e, needle)]
        if args.limit > 0:
            entries = entries[: args.limit]
    installed = ww.list_installed_talvex_ext_packages()
    rows = []
    for entry in entries:
        row = {key: entry.get(key, "") for key in _SEARCH_KEYS}
        row["installed"] = installed.get(ww.normalize_pypi_name(row["package"]))
        rows.append(row)
    if args.json:
        out.json(rows)
        return EXIT_OK
    if not rows:
        out.line(f"No extensions match '{inline(args.text)}'." if needle else "No extensions found.")
        return EXIT_OK
    out.table(
        ["PACKAGE", "NAME", "VERSION", "INSTALLED", "DESCRIPTION"],
        [[r["package"], r["name"], r["version"], r["installed"], r["description"]] for r in rows],
    )
    return EXIT_OK


def _describe(exc: BaseException) -> str:
    if isinstance(exc, ValueError) and getattr(exc, "url", None):
        return _describe_answer(exc)
    reason = getattr(exc, "reason", None)  # URLError wraps the socket error
    text = str(reason if reason is not None else exc).strip()
    return text or type(exc).__name__


def _is_json_type(content_type: str) -> bool:
    media = content_type.split(";", 1)[0].strip().lower()
    return media == "application/json" or media.endswith("+json")


def _describe_answer(exc: ValueError) -> str:
    """What the index sent when its answer did not parse: a proxy's or captive
    portal's page says so by its content type, which tells more than the
    parser's line and column.  (URL and type come from outside; the console
    cleans every diagnostic it prints.)"""
    url = str(exc.url)
    content_type = str(getattr(exc, "content_type", None) or "").strip()
    if not content_type:
        return f"the package index at {url} answered with something that is not JSON (no content type given)"
    if _is_json_type(content_type):
        return f"the package index at {url} answered with malformed JSON ({exc})"
    return f"the package index at {url} answered with {content_type}, not JSON (a proxy or captive portal?)"


# --------------------------------------------------------------------------- install / upgrade / uninstall

# verb shown while running, past tense on success, driver, display command
_CHANGES = {
    "install": ("Installing", "Installed", "run_install", "install_command"),
    "upgrade": ("Upgrading", "Upgraded", "run_upgrade", "upgrade_command"),
    "uninstall": ("Uninstalling", "Uninstalled", "run_uninstall", "uninstall_command"),
}


def cmd_change(args: Namespace, out: Console) -> int:
    ww = wheelwork()
    doing, done, driver, display = _CHANGES[args.command]
    statuses = []
    for index, name in enumerate(args.names):
        if index:
            out.line()
        status = _change_one(ww, out, name, doing, done, driver, display)
        if status == EXIT_INTERRUPTED:
            return status
        statuses.append(status)
    if len(args.names) > 1:
        _summarise(out, args.names, statuses)
    if EXIT_FAILURE in statuses:
        return EXIT_FAILURE
    if EXIT_DEFERRED in statuses:
        return EXIT_DEFERRED
    return EXIT_OK


# pip: "WARNING: Skipping X as it is not installed."; uv: "warning: Skipping X as it is not installed"
_SKIPPED_NOT_INSTALLED = re.compile(r"^\s*warning:\s*skipping\s.*\sas it is not installed", re.IGNORECASE | re.MULTILINE)


def _is_installed(ww, name: str) -> bool:
    bare = ww._package_name_only(name)
    try:
        importlib.metadata.distribution(bare)
    except (importlib.metadata.PackageNotFoundError, ValueError):
        return False
    return True


def _distribution(ww, name: str) -> str:
    """The distribution a wheel file named by *name* holds; *name* itself otherwise
    (or when the file cannot tell: the driver then says what is wrong with it)."""
    request = getattr(ww, "_wheel_file_request", None)
    path = request(name) if callable(request) else None
    if path is None:
        return name
    try:
        return ww._check_wheel_file(path)[0]
    except (ValueError, OSError):
        return ""


def _change_one(ww, out: Console, name: str, doing: str, done: str, driver: str, display: str) -> int:
    dist = _distribution(ww, name) if done != "Uninstalled" else name
    if dist.strip() and not ww.is_user_visible_extension_package(dist.strip()):
        out.warning(f"'{dist}' is not a Talvex extension package (talvex-ext-*)")
    out.line(f"{doing} {inline(name)} with {ww.installer_label()}:")
    out.line(f"  $ {inline(getattr(ww, display)(name))}")
    was_installed = done != "Uninstalled" or _is_installed(ww, name)
    with Elapsed(out.stdout, doing.lower(), enabled=out.interactive) as elapsed:
        result, cancel = _run_cancellable(getattr(ww, driver), name, elapsed, out)
    if cancel.is_set() and result.returncode == EXIT_INTERRUPTED and not result.ok:
        out.line(clean(result.stderr))
        return EXIT_INTERRUPTED
    if result.deferred:
        out.line("Deferred: " + _first_paragraph(clean(result.stderr)))
        out.line(
            "The change is queued and finishes at the next start of Talvex; with Talvex"
            f" closed, '{PROG} apply-pending' finishes it now."
        )
        return EXIT_DEFERRED
    if not result.ok and not result.command:
        # Refused before any installer ran (a bad name or wheel file).
        out.line(f"Failed: {inline(_first_paragraph(clean(result.stderr)))}")
        return EXIT_FAILURE
    if not result.ok:
        out.line(f"Failed: the installer exited with status {result.returncode}.")
        output = result.output
        out.block(output if output else "(the installer printed nothing)")
        return EXIT_FAILURE
    if done == "Uninstalled":
        # The installers skip an unknown name and still exit 0 (a typo, or an
        # import name such as PySide6 where PySide6-Essentials is installed).
        if not was_installed or _SKIPPED_NOT_INSTALLED.search(result.output or ""):
            out.line(f"Failed: {inline(name)} was not installed, so nothing was uninstalled.")
            return EXIT_FAILURE
        out.line(f"{done} {inline(name)}.")
    else:
        version = inline(_installed_version(ww, dist or name))
        shown = name if dist == name else f"{dist} from {name}"
        out.line(f"{done} {inline(shown)}{' ' + version if version else ''}.")
    return EXIT_OK


# How long a cancelled installer may take to end before the user hears that it is
# already changing the environment and is left to finish.
_CANCEL_GRACE_SECONDS = 0.5


def _run_cancellable(change, name: str, elapsed: Elapsed, out: Console):
    """``change(name)`` in a worker thread, its lines shown on the live line; the
    first Ctrl-C asks it to cancel.  Returns the result and the cancel event."""
    cancel, outcome = threading.Event(), {}

    def work() -> None:
        try:
            outcome["result"] = change(name, on_output=elapsed.show if out.interactive else None, cancel=cancel)
        except BaseException as exc:  # handed to the main thread
            outcome["error"] = exc

    worker = threading.Thread(target=work, name="talvex-ext-change", daemon=True)
    worker.start()
    told = False
    while worker.is_alive():
        try:
            worker.join(_CANCEL_GRACE_SECONDS if cancel.is_set() else 0.2)
            if cancel.is_set() and worker.is_alive() and not told:
                told = True
                _say(elapsed, out, "finishing (already changing the environment, too late to cancel)")
        except KeyboardInterrupt:
            if not cancel.is_set():
                cancel.set()
                _say(elapsed, out, "cancelling")
    if "error" in outcome:
        raise outcome["error"]
    return outcome["result"], cancel


def _say(elapsed: Elapsed, out: Console, state: str) -> None:
    if out.interactive:
        elapsed.relabel(state)
    else:
        out.note(f"{PROG}: {state} ...")


def _installed_version(ww, name: str) -> str:
    key = ww.normalize_pypi_name(ww._package_name_only(name))
    return ww.list_installed_talvex_ext_packages(prefix="").get(key, "")


def _first_paragraph(text: str) -> str:
    return text.strip().split("\n\n")[0].strip()


def _summarise(out: Console, names: list[str], statuses: list[int]) -> None:
    labels = {EXIT_OK: "done", EXIT_FAILURE: "failed", EXIT_DEFERRED: "deferred to the next start"}
    out.line()
    out.line("Summary:")
    for name, status in zip(names, statuses):
        out.line(f"  {inline(name)}: {labels[status]}")


# --------------------------------------------------------------------------- pending / apply-pending


def _pending_file(ww) -> str:
    locate = getattr(ww, "_pending_ops_path", None)
    return str(locate()) if callable(locate) else ""


def _failed_starts(ww) -> dict:
    count_of = getattr(ww, "_failed_starts", None)
    return count_of() if callable(count_of) else {}


def _wheel_files(ww) -> dict:
    files_of = getattr(ww, "_pending_wheel_files", None)
    return files_of() if callable(files_of) else {}


def cmd_pending(args: Namespace, out: Console) -> int:
    ww = wheelwork()
    queued = ww.pending_operations()
    failed = _failed_starts(ww) if queued else {}
    files = _wheel_files(ww) if queued else {}
    ops = []
    for op, pkg in queued:
        entry = {"operation": op, "package": pkg, "failed_starts": failed.get(op, {}).get(pkg, 0)}
        kept = files.get(pkg) if op == "install" else None
        if kept:  # an install from a wheel file: the user's path and the copy the replay installs
            entry.update(file=kept["source"], copy=kept["file"])
        ops.append(entry)
    if args.json:
        out.json(ops)
        return EXIT_OK
    if not ops:
        out.line("No changes are queued.")
        return EXIT_OK
    out.line(f"{count(len(ops), 'change')} queued for the next start of Talvex, in the order they run:")
    headers = ["OPERATION", "PACKAGE", "FAILED STARTS"]
    rows = [[o["operation"], o["package"], str(o["failed_starts"])] for o in ops]
    if any("file" in o for o in ops):
        # The file the user named; the replay installs the copy kept beside the queue.
        headers.append("FROM FILE")
        for row, o in zip(rows, ops):
            row.append(o.get("file", "-"))
    out.table(headers, rows)
    limit = getattr(ww, "_MAX_FAILED_STARTS", None)
    if limit and any(o["failed_starts"] for o in ops):
        out.line()
        out.line(f"A change that has failed at {count(limit, 'start')} leaves the queue.")
    where = _pending_file(ww)
    if where:
        out.line()
        out.line(f"Queue file: {inline(where)}")
    return EXIT_OK


class _Progress:
    """``[i/n] package`` lines for the replay, with the indicator in between."""

    def __init__(self, out: Console):
        self._out = out
        self._ticker: Elapsed | None = None

    def __call__(self, index: int, total: int, package: str) -> None:
        self.finish()
        self._out.line(f"[{index}/{total}] {inline(package)}")
        self._ticker = Elapsed(self._out.stdout, "working", enabled=self._out.interactive)
        self._ticker.__enter__()

    def finish(self) -> None:
        if self._ticker is not None:
            self._ticker.stop()
            self._ticker = None


def cmd_apply_pending(args: Namespace, out: Console) -> int:
    ww = wheelwork()
    if not ww.pending_operations():
        out.line("No changes are queued.")
        return EXIT_OK
    progress = _Progress(out)
    try:
        # Asked for by hand: every change is tried, and none counts as a failed start.
        completed = ww.process_pending_operations(args.retry_seconds, progress, startup=False)
    finally:
        progress.finish()
    remaining = ww.pending_operations()
    for item in completed:
        out.line(f"Completed: {inline(item)}")
    if remaining:
        for op, pkg in remaining:
            out.line(f"Still queued: {inline(op)} {inline(pkg)}")
        out.error(
            f"{count(len(remaining), 'change')} could not be applied; close Talvex and run"
            f" '{PROG} apply-pending' again (add -v for the installer's reasons)"
        )
        return EXIT_FAILURE
    return EXIT_OK


# --------------------------------------------------------------------------- about

_ABOUT_LABELS = (
    ("summary", "Summary"),
    ("license", "License"),
    ("author", "Author"),
    ("maintainer", "Maintainer"),
    ("homepage", "Homepage"),
    ("documentation", "Documentation"),
    ("python_version", "Python"),
)


def _network(ww) -> dict[str, Any]:
    """The site's network settings as shown: every URL with its credentials redacted."""
    settings = ww._site_network_settings()

    def shown(item):
        return None if item is None else {**item, "url": ww._redact_url(item["url"])}

    installer = "uv" if ww.prefer_uv() else "pip"
    return {
        "index": shown(settings["index"]),
        "installer_index": {
            name: {"index": shown(settings[name]["index"]),
                   "extra_indexes": [shown(e) for e in settings[name]["extra_indexes"]]}
            for name in ("pip", "uv")
        },
        "running_installer": installer,
        "proxies": [shown(p) for p in settings["proxies"]],
        "no_proxy": settings["no_proxy"],
        "trust": settings["trust"],
    }


def _network_rows(network: dict[str, Any]) -> list[tuple[str, str]]:
    index = network["index"]
    # The catalog reads the index the installers use.
    rows = [("Index", f"{index['url']} ({index['source']})")]
    for name in ("pip", "uv"):
        own = network["installer_index"][name]
        text = f"{own['index']['url']} ({own['index']['source']})" if own["index"] else "not configured"
        if own["index"] is None and not index.get("public"):
            text += " (given the index above for every run)"
        rows.append((f"{name} index", text))
    proxies = [f"{p['scheme']} {p['url']} ({p['source']})" for p in network["proxies"]]
    rows.append(("Proxy", "; ".join(proxies) if proxies else "none (direct connections)"))
    if network["no_proxy"]:
        rows.append(("No proxy for", f"{network['no_proxy']['url']} ({network['no_proxy']['source']})"))
    for name in ("catalog", "pip", "uv"):
        trust = network["trust"][name]
        rows.append((f"Trust ({name})", f"{trust['value']} ({trust['source']})"))
    return [(label, inline(value)) for label, value in rows]


def cmd_about(args: Namespace, out: Console) -> int:
    meta = aboutmeta().get_aboutmeta()
    record: dict[str, Any] = dict(zip(meta._fields, meta))
    ww = wheelwork()
    installer = ww.installer_label()
    network = _network(ww)
    if args.json:
        out.json({**record, "installer": installer, "network": network})
        return EXIT_OK
    out.line(f"{inline(record.get('name', 'Talvex'))} {inline(record.get('version', ''))}".rstrip())
    rows = [(label, inline(record.get(key))) for key, label in _ABOUT_LABELS]
    rows = [(label, value) for label, value in rows if value] + [("Installer", inline(installer))]
    rows += _network_rows(network)
    width = max(len(label) for label, _ in rows) + 1
    for label, value in rows:
        out.line(f"  {(label + ':').ljust(width)} {value}")
    return EXIT_OK
