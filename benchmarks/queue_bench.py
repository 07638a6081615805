"""The pending-operations queue at size: a generated 80,000-entry file read, added to and
cleared, and a start-up replay of 2,000 queued installs whose installer is done at once.

Each figure stands next to a plain-Python rendering of the algorithm the module used
before: the same file format, lock and atomic replace, with the de-duplication of every
read done by a list membership test, and a replay without a budget or failure counts.
That rendering is quadratic in the queue's length, so it is timed once (the native side
is the median of the runs asked for).

    python benchmarks/queue_bench.py [--entries N] [--replay N] [--repeat N]
"""

from __future__ import annotations

import argparse
import contextlib
import fcntl
import json
import os
import pathlib
import re
import statistics
import sys
import tempfile
import time

site = os.environ.get("TALVEX_SITE")
if site and site not in sys.path:
    sys.path.insert(0, site)

import talvex.core.extensions.wheelwork as ww  # noqa: E402

KINDS = ("uninstall", "install")


# --- plain-Python rendering of the earlier algorithm --------------------------------------

def py_key(package):
    text = str(package or "").strip()
    text = re.split(r";", text, maxsplit=1)[0].strip()
    text = text.split("[", 1)[0].strip()
    text = re.split(r"<|>|[=!~]=", text, maxsplit=1)[0].strip()
    return re.sub(r"[-_.]+", "-", text.lower().replace(" ", "-")).strip("-")


def py_read_ops():
    path = ww._pending_ops_path()
    try:
        text = path.read_text(encoding="utf-8")
    except OSError:
        return {kind: [] for kind in KINDS}
    try:
        data = json.loads(text)
    except ValueError:
        return {kind: [] for kind in KINDS}
    ops = {}
    for kind in KINDS:
        stored = data.get(kind) if isinstance(data, dict) else None
        keys = []
        for item in stored if isinstance(stored, list) else ():
            if isinstance(item, str):
                key = py_key(item)
                if key and key not in keys:  # a scan of the list for every entry
                    keys.append(key)
        ops[kind] = keys
    return ops


def py_write_ops(ops):
    path = ww._pending_ops_path()
    if not any(ops.get(kind) for kind in KINDS):
        path.unlink(missing_ok=True)
        return
    text = json.dumps({kind: ops.get(kind) or [] for kind in KINDS}, indent=1)
    fd, tmp = tempfile.mkstemp(dir=path.parent, prefix=path.name + ".", suffix=".tmp")
    with os.fdopen(fd, "w", encoding="utf-8", newline="") as fh:
        fh.write(text)
        fh.flush()
        os.fsync(fh.fileno())
    os.replace(tmp, path)


@contextlib.contextmanager
def py_lock():
    path = ww._pending_ops_path()
    fd = os.open(str(path) + ".lock", os.O_RDWR | os.O_CREAT, 0o666)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX)
        yield
    finally:
        os.close(fd)


def py_queue(op, package):
    kind, key = str(op or "").strip().lower(), py_key(package)
    if kind not in KINDS or not key:
        return False
    with py_lock():
        ops = py_read_ops()
        if key in ops[kind]:
            return True
        ops[kind].append(key)
        py_write_ops(ops)
        return key in py_read_ops()[kind]  # read back


def py_clear(op, package):
    kind, key = str(op or "").strip().lower(), py_key(package)
    if kind not in KINDS or not key or key not in py_read_ops()[kind]:
        return None
    with py_lock():
        ops = py_read_ops()
        kept = [entry for entry in ops[kind] if entry != key]
        if kept != ops[kind]:
            ops[kind] = kept
            py_write_ops(ops)
    return None


def py_pending_operations():
    ops = py_read_ops()
    return [(kind, key) for kind in KINDS for key in ops[kind]]


def py_replay():
    done = []
    for op, pkg in py_pending_operations():
        if op == "uninstall":
            ok = ww.run_uninstall(pkg, defer_on_lock=False).ok
        else:
            ok = ww.run_install(pkg, upgrade=True, defer_on_lock=False).ok
        if ok:
            py_clear(op, pkg)
            done.append(f"{op} {pkg}")
    return done


@contextlib.contextmanager
def plain_queue():
    """The module's queue functions replaced by the plain renderings, so that the drivers'
    own clears go through them too."""
    saved = {name: getattr(ww, name) for name in ("_read_ops", "clear_pending_op", "queue_pending_op",
                                                    "pending_operations")}
    ww._read_ops, ww.clear_pending_op = py_read_ops, py_clear
    ww.queue_pending_op, ww.pending_operations = py_queue, py_pending_operations
    try:
        yield
    finally:
        for name, value in saved.items():
            setattr(ww, name, value)


@contextlib.contextmanager
def instant_drivers():
    """Drivers whose installer succeeds at once, so that the replay's own work is measured
    (the drivers' repair and dependency steps cost the same on both sides)."""
    saved = ww.run_install, ww.run_uninstall
    done = ww.PipResult(ok=True, command=("installer",), returncode=0)
    ww.run_install = lambda package, *, upgrade=False, defer_on_lock=True: done
    ww.run_uninstall = lambda package, *, defer_on_lock=True: done
    try:
        yield
    finally:
        ww.run_install, ww.run_uninstall = saved


# --- measuring ------------------------------------------------------------------------------

def generated_queue(path, entries):
    """*entries* installs (a tenth of them a second spelling of an earlier one) and a few
    uninstalls: about 22 bytes an entry, as a script that grows the file writes it."""
    names = [f"talvex-ext-generated-{i:06d}" for i in range(entries - entries // 10)]
    install = names + [n.replace("-", "_").upper() for n in names[: entries // 10]]
    path.write_text(json.dumps({"uninstall": names[:5], "install": install}, indent=1), encoding="utf-8")
    return path.stat().st_size


def timed(fn, reset, runs):
    times = []
    for _ in range(runs):
        reset()
        began = time.perf_counter()
        fn()
        times.append(time.perf_counter() - began)
    return statistics.median(times)


def measure(repeat=3, entries=80_000, replay=2_000):
    rows = []
    with tempfile.TemporaryDirectory(prefix="queue-bench-") as tmp:
        path = pathlib.Path(tmp) / "pending-extension-ops.json"
        saved_env = os.environ.get("TALVEX_PENDING_OPS_FILE")
        os.environ["TALVEX_PENDING_OPS_FILE"] = str(path)
        try:
            size = generated_queue(path, entries)
            assert [tuple(o) for o in ww.pending_operations()] == py_pending_operations()
            label = f"{entries:,} entries ({size / 1e6:.1f} MB)"
            reset = lambda: generated_queue(path, entries)  # noqa: E731
            cases = [
                ("pending_operations()", ww.pending_operations, py_pending_operations),
                ("queue_pending_op (a new entry)", lambda: ww.queue_pending_op("install", "talvex-ext-new"),
                 lambda: py_queue("install", "talvex-ext-new")),
                ("clear_pending_op (the first entry)",
                 lambda: ww.clear_pending_op("install", "talvex-ext-generated-000000"),
                 lambda: py_clear("install", "talvex-ext-generated-000000")),
            ]
            for what, native, plain in cases:
                n = timed(native, reset, repeat)
                p = timed(plain, reset, 1)
                rows.append((f"queue of {label}: {what}", n * 1e3, p * 1e3, "ms", p / n, "< 1000 ms"))

            # The replay: every queued install succeeds at once.
            def queue_for_replay():
                path.unlink(missing_ok=True)
                path.write_text(json.dumps({"uninstall": [], "install": [
                    f"talvex-ext-replayed-{i:05d}" for i in range(replay)]}, indent=1), encoding="utf-8")

            with instant_drivers():
                n = timed(ww.process_pending_operations, queue_for_replay, repeat)
                assert not path.exists(), "the replay left changes queued"
                with plain_queue():
                    p = timed(py_replay, queue_for_replay, 1)
            rows.append((f"start-up replay of {replay:,} queued installs, installer done at once", n, p, "s",
                         p / n, f"< {ww._REPLAY_SECONDS:.0f} s"))
        finally:
            if saved_env is None:
                os.environ.pop("TALVEX_PENDING_OPS_FILE", None)
            else:
                os.environ["TALVEX_PENDING_OPS_FILE"] = saved_env
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--entries", type=int, default=80_000)
    parser.add_argument("--replay", type=int, default=2_000)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    rows = measure(args.repeat, args.entries, args.replay)
    width = max(len(r[0]) for r in rows)
    for what, native, python, unit, ratio, target in rows:
        print(f"{what:<{width}}  {native:>10.1f}  {python:>12.1f}  {unit:<5} {ratio:>6.1f}x  {target}")


if __name__ == "__main__":
    main()
