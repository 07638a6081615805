"""The extension catalog end to end over a paced local link.

A server on 127.0.0.1 serves a simple index of 700,000 projects (the document of
catalog_bench, each project with its "_last-serial" as on the live index), paced to 50 Mbit/s, gzip-compressed when the request asks for it.
Each side lists the catalog (``fetch_metadata=False``) in a fresh child process:

* native: ``list_pypi_talvex_extensions`` of the built module;
* plain Python: the listing written as plain Python with urllib and ``json.loads``
  (no compression asked for), as run.py renders it.

For each side it prints the median of the runs of: wall time of the listing, bytes
received (answer headers and body, counted by the server) and the growth of the
child's peak resident memory during the listing (VmHWM of /proc/self/status before
and after; the child's own figure, which ru_maxrss is not after fork and exec).

    TALVEX_SITE=/tmp/b/site python benchmarks/catalog_link_bench.py [--repeat 3]
"""

import argparse
import gc
import gzip
import http.server
import json
import os
import pathlib
import statistics
import subprocess
import sys
import threading
import time

HERE = pathlib.Path(__file__).resolve().parent
RATE = 50e6 / 8  # bytes per second on the link
PIECE = 16 * 1024
ACCEPT = "application/vnd.pypi.simple.v1+json"


class PacedServer:
    """Serves `body` (or `compressed` when asked for gzip) at RATE; records the bytes
    sent for each request."""

    def __init__(self, body, compressed):
        self.sent = []
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):  # noqa: N802
                gz = "gzip" in self.headers.get("Accept-Encoding", "")
                data = compressed if gz else body
                self.send_response(200)
                self.send_header("Content-Type", ACCEPT)
                if gz:
                    self.send_header("Content-Encoding", "gzip")
                self.send_header("Content-Length", str(len(data)))
                head = sum(len(line) for line in self._headers_buffer) + len(b"\r\n")
                self.end_headers()
                start = time.perf_counter()
                view = memoryview(data)
                for offset in range(0, len(data), PIECE):
                    self.wfile.write(view[offset:offset + PIECE])
                    due = start + (offset + PIECE) / RATE - time.perf_counter()
                    if due > 0:
                        time.sleep(due)
                server.sent.append(head + len(data))

            def log_message(self, *args):
                pass

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.base = f"http://127.0.0.1:{self.httpd.server_address[1]}"
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()


# --- the child --------------------------------------------------------------------

def peak_kb():
    with open("/proc/self/status", encoding="ascii") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    raise RuntimeError("no VmHWM in /proc/self/status")


def child(side, base):
    site = os.environ.get("TALVEX_SITE")
    if site:
        sys.path.insert(0, site)
    sys.path.insert(0, str(HERE))
    import urllib.request

    if side == "native":
        import talvex.core.extensions.wheelwork as ww

        real_urlopen = urllib.request.urlopen

        def routed(request, *args, **kwargs):
            # The module's https URL of the simple index, sent to the local server.
            request.full_url = base + "/" + request.full_url.split("/", 3)[3]
            return real_urlopen(request, *args, **kwargs)

        urllib.request.urlopen = routed

        def listing():
            return ww.list_pypi_talvex_extensions(fetch_metadata=False)
    else:
        import run as suite

        def fetch_simple():
            request = urllib.request.Request(
                base + "/simple/", headers={"User-Agent": "Talvex-Desktop/1.0", "Accept": ACCEPT})
            with urllib.request.urlopen(request, timeout=45.0) as response:
                return json.loads(response.read().decode("utf-8", errors="replace"))

        def listing():
            return suite.py_list_extensions(fetch_simple)

    gc.collect()
    before = peak_kb()
    start = time.perf_counter()
    entries = listing()
    seconds = time.perf_counter() - start
    growth = peak_kb() - before
    json.dump({"seconds": seconds, "growth_kb": growth, "entries": entries}, sys.stdout)


# --- the parent -------------------------------------------------------------------

def run_child(side, server):
    proc = subprocess.run([sys.executable, __file__, "--child", side, server.base], capture_output=True,
                          text=True, timeout=300)
    if proc.returncode:
        sys.exit(f"{side} child failed:\n{proc.stderr}")
    result = json.loads(proc.stdout)
    result["bytes"] = server.sent[-1]
    return result


def measure(repeat=3, projects=700_000, extensions=400):
    """Rows (what, native, plain Python, unit, ratio, target) of the paced listing."""
    sys.path.insert(0, str(HERE))
    import catalog_bench

    doc = catalog_bench.make_document(projects, extensions, serials=True)
    body = json.dumps(doc).encode()
    del doc
    compressed = gzip.compress(body, compresslevel=6)
    server = PacedServer(body, compressed)
    runs = {"native": [], "python": []}
    try:
        for _ in range(repeat):
            for side in runs:
                runs[side].append(run_child(side, server))
    finally:
        server.close()
    entries = {side: [r["entries"] for r in results] for side, results in runs.items()}
    if any(e != entries["python"][0] for side in entries for e in entries[side]):
        sys.exit("the native and the plain-Python listing differ")

    def median(side, key):
        return statistics.median(r[key] for r in runs[side])

    label = f"catalog over a 50 Mbit/s link ({projects:,} projects)"
    n, p = median("native", "seconds"), median("python", "seconds")
    rows = [(f"{label}: time end to end", n, p, "s", p / n, ">= 3x")]
    n, p = median("native", "bytes"), median("python", "bytes")
    rows.append((f"{label}: bytes received", n / 1e6, p / 1e6, "MB", p / n, ">= 3x"))
    n, p = median("native", "growth_kb"), median("python", "growth_kb")
    rows.append((f"{label}: peak memory growth", n / 1e3, p / 1e3, "MB", p / max(n, 1), ">= 4x"))
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--projects", type=int, default=700_000)
    parser.add_argument("--child", nargs=2, metavar=("SIDE", "BASE"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(*args.child)
        return
    rows = measure(args.repeat, args.projects)
    width = max(len(r[0]) for r in rows)
    print(f"{'benchmark':<{width}}  {'native':>10}  {'plain Python':>12}  {'unit':<5} {'ratio':>7}  target")
    for what, native, python, unit, ratio, target in rows:
        print(f"{what:<{width}}  {native:>10.2f}  {python:>12.2f}  {unit:<5} {ratio:>6.1f}x  {target}")


if __name__ == "__main__":
    main()
