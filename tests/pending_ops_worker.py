"""Child processes that change the pending-operations queue for the process tests.

``kill ROUNDS SEED``: forks a worker that applies ``step(n)`` for n = start, start+1, ...
and acknowledges each change on a pipe once it returned; kills it at a random moment,
reports the first unacknowledged step and the file's bytes (one JSON line per round),
and starts the next worker at that step (every step is idempotent).

``writer TAG START SECONDS``: from the wall-clock time START, queues its own packages for
SECONDS, then clears every second one of them; prints one line per acknowledged change.

``reader START STOPFILE``: reads the file raw and through the module until STOPFILE exists;
prints a JSON summary.

``start``: one start-up replay, as the application runs it; prints what it completed and
dropped, its warnings, and the queue and failed starts it leaves.

The queue file is the one named by TALVEX_PENDING_OPS_FILE.
"""

from __future__ import annotations

import json
import logging
import os
import random
import signal
import sys
import time


def step(n: int) -> tuple[str, str, bool]:
    """The n-th change of the kill test: (kind, package, queue rather than clear)."""
    rng = random.Random(n)
    return rng.choice(("uninstall", "install")), f"talvex-ext-k{rng.randrange(6)}", rng.random() < 0.6


def writer_entry(tag: str, i: int) -> tuple[str, str]:
    return ("install", "uninstall")[(i // 2) % 2], f"talvex-ext-{tag}{i}"


def _module():
    site = os.environ.get("TALVEX_SITE")
    if site:
        sys.path.insert(0, site)
    import talvex.core.extensions.wheelwork as ww

    return ww


def _file_text(path: str) -> str | None:
    try:
        with open(path, "rb") as fh:
            return fh.read().decode("utf-8")
    except FileNotFoundError:
        return None


def _worker(ww, start: int, ack: int) -> None:
    n = start
    while True:
        op, pkg, add = step(n)
        if add:
            if not ww.queue_pending_op(op, pkg):
                os.write(ack, b"not stored\n")
                return
        else:
            ww.clear_pending_op(op, pkg)
        os.write(ack, b"%d\n" % n)
        n += 1


def kill(rounds: int, seed: int) -> None:
    ww, rng, path, start = _module(), random.Random(seed), os.environ["TALVEX_PENDING_OPS_FILE"], 0
    for _ in range(rounds):
        read_end, write_end = os.pipe()
        pid = os.fork()
        if pid == 0:
            os.close(read_end)
            try:
                _worker(ww, start, write_end)
            finally:
                os._exit(0)
        os.close(write_end)
        time.sleep(rng.uniform(0.0, 0.03))
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        chunks = [b"x"]
        while chunks[-1]:
            chunks.append(os.read(read_end, 65536))
        os.close(read_end)
        acks = b"".join(chunks[1:]).split()
        if b"stored" in acks:
            print(json.dumps({"error": "a change was not stored"}), flush=True)
            return
        done = int(acks[-1]) + 1 if acks else start
        print(json.dumps({"start": start, "done": done, "text": _file_text(path)}), flush=True)
        start = done


def writer(tag: str, start: float, seconds: float) -> None:
    ww = _module()
    time.sleep(max(0.0, start - time.time()))
    i = 0
    while time.time() < start + seconds:
        kind, pkg = writer_entry(tag, i)
        print("queued" if ww.queue_pending_op(kind, pkg) else "NOT STORED", kind, pkg, flush=True)
        i += 1
    for j in range(0, i, 2):
        kind, pkg = writer_entry(tag, j)
        ww.clear_pending_op(kind, pkg)
        print("cleared", kind, pkg, flush=True)


def reader(start: float, stop_file: str) -> None:
    ww = _module()
    warned = []
    handler = logging.Handler()
    handler.emit = lambda record: warned.append(record.getMessage())
    ww.logger.addHandler(handler)
    ww.logger.setLevel(logging.WARNING)
    path = os.environ["TALVEX_PENDING_OPS_FILE"]
    time.sleep(max(0.0, start - time.time()))
    reads, unreadable, seen = 0, 0, 0
    while not os.path.exists(stop_file):
        text = _file_text(path)
        try:
            if text is not None:
                json.loads(text)
                seen += 1
        except ValueError:
            unreadable += 1
        ww.pending_operations()
        reads += 1
    print(json.dumps({"reads": reads, "nonempty": seen, "unreadable": unreadable, "warnings": warned}))


def start() -> None:
    ww, records, dropped = _module(), [], []
    handler = logging.Handler()
    handler.emit = lambda record: records.append((record.levelno, record.getMessage()))
    ww.logger.addHandler(handler)
    ww.logger.setLevel(logging.INFO)
    done = ww.process_pending_operations(on_dropped=lambda *change: dropped.append(list(change)))
    print(json.dumps({"completed": done, "dropped": dropped, "failed_starts": ww._failed_starts(),
                      "queued": ww.pending_operations(),
                      "warnings": [text for level, text in records if level >= logging.WARNING]}))


if __name__ == "__main__":
    mode, args = sys.argv[1], sys.argv[2:]
    if mode == "kill":
        kill(int(args[0]), int(args[1]))
    elif mode == "writer":
        writer(args[0], float(args[1]), float(args[2]))
    elif mode == "start":
        start()
    else:
        reader(float(args[0]), args[1])
