"""The catalog of a configured index beside a plain-Python rendering (urllib, html.parser).

* an HTML simple index of 700,000 projects (a few hundred extensions) from a local HTTP server,
  plain and gzip-compressed: the listing (fetch_metadata=False);
* a pypiserver on 127.0.0.1 with 2,000 projects (200 extensions): the catalog with metadata.

Each figure comes from a fresh child interpreter: wall time and the growth of its peak resident
memory (VmHWM) over the call; the bytes the server sent are printed with them.
(Linux: the figures read /proc.)

    TALVEX_SITE=/tmp/b/site python benchmarks/index_catalog_bench.py [--projects N] [--pypiserver N]
"""

import argparse
import gzip
import http.server
import json
import os
import random
import re
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request
from pathlib import Path

HERE = Path(__file__).resolve().parent

CHILD = r"""
import json, os, sys, time
sys.path[:0] = [p for p in os.environ.get("BENCH_PATH", "").split(os.pathsep) if p]
import talvex.core.extensions.wheelwork as ww
import index_catalog_bench as bench
way, url, metadata = sys.argv[1], sys.argv[2], sys.argv[3] == "1"
import concurrent.futures, email.parser, html.parser, packaging.version, zlib  # imports are not measured

def peak():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))

before = peak()
start = time.perf_counter()
if way == "module":
    entries = ww.list_pypi_talvex_extensions(timeout=120, fetch_metadata=metadata, max_packages=0)
elif way == "floor":
    entries = bench.server_floor(ww, url)
else:
    entries = bench.plain_catalog(ww, url, metadata)
seconds = time.perf_counter() - start
growth = peak() - before
print(json.dumps({"seconds": seconds, "growth_kb": growth, "entries": entries}))
"""


def plain_catalog(ww, index_url, metadata):
    """The catalog as plain Python would read it: urllib, html.parser, packaging."""
    import email.parser
    import html.parser
    import urllib.error
    import urllib.parse

    from packaging.version import InvalidVersion, Version

    class Anchors(html.parser.HTMLParser):
        def __init__(self):
            super().__init__()
            self.found, self.open = [], None

        def handle_starttag(self, tag, attrs):
            if tag == "a":
                self.open = [dict(attrs), ""]

        def handle_data(self, data):
            if self.open is not None:
                self.open[1] += data

        def handle_endtag(self, tag):
            if tag == "a" and self.open is not None:
                self.found.append((self.open[0], self.open[1].strip()))
                self.open = None

    def anchors(url):
        with urllib.request.urlopen(urllib.request.Request(url, headers={"Accept-Encoding": "gzip"}), timeout=120) as r:
            body = r.read()
            if r.headers.get("Content-Encoding") == "gzip":
                body = gzip.decompress(body)
        parser = Anchors()
        parser.feed(body.decode())
        return parser.found

    names = sorted((t for _, t in anchors(index_url) if ww.is_user_visible_extension_package(t)), key=str.lower)
    entries = []
    for name in names:
        entry = {"id": name, "name": ww.display_name_from_pypi_package(name), "version": "", "package": name,
                 "description": "", "raw": {"name": name}}
        if metadata:
            key = re.sub(r"[-_.]+", "-", name).lower()
            files = [(t, urllib.parse.urljoin(index_url, a["href"]), "data-yanked" in a)
                     for a, t in anchors(urllib.parse.urljoin(index_url, key + "/"))]
            versions = []
            for filename, _, yanked in files:
                try:
                    versions.append(Version(filename[:-4].split("-")[1]))
                except (InvalidVersion, IndexError):
                    pass
            finals = [v for v in versions if not v.is_prerelease]
            version = str(max(finals or versions)) if versions else ""
            summary = ""
            try:
                root = index_url.rstrip("/").removesuffix("/simple")
                with urllib.request.urlopen(f"{root}/pypi/{name}/json", timeout=20) as r:
                    summary = json.loads(r.read())["info"].get("summary") or ""
            except (urllib.error.HTTPError, KeyError):
                pass
            entry.update(version=version, description=summary,
                         raw={"name": name, "version": version, "summary": summary, "files": [f[0] for f in files]})
        entries.append(entry)
    return entries


def server_floor(ww, index_url):
    """The server's share: the simple index and each extension's project page, asked one
    after another with nothing done with the answers."""
    with urllib.request.urlopen(index_url, timeout=120) as r:
        names = [t for t in re.findall(r">([^<]+)</a>", r.read().decode()) if ww.is_user_visible_extension_package(t)]
    for name in names:
        with urllib.request.urlopen(f"{index_url}{re.sub(r'[-_.]+', '-', name).lower()}/", timeout=120) as r:
            r.read()
    return names


def project_names(total, extensions, seed=7):
    rng = random.Random(seed)
    letters = "abcdefghijklmnopqrstuvwxyz"
    names = [f"{''.join(rng.choice(letters) for _ in range(rng.randint(3, 12)))}-{i}"
             for i in range(total - extensions)]
    names += [f"{rng.choice(['talvex', 'Talvex'])}{rng.choice('-_.')}ext{rng.choice('-_.')}tool{i:04d}"
              for i in range(extensions)]
    rng.shuffle(names)
    return names


class HtmlIndex:
    """A local HTTP server answering every path with one HTML page (gzip-compressed when asked)."""

    def __init__(self, page):
        self.sent = 0
        packed = gzip.compress(page, 6)
        index = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):  # noqa: N802
                zipped = "gzip" in self.headers.get("Accept-Encoding", "") and index.gzip
                body = packed if zipped else page
                self.send_response(200)
                self.send_header("Content-Type", "text/html")
                if zipped:
                    self.send_header("Content-Encoding", "gzip")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)
                index.sent += len(body)

            def log_message(self, *args):
                pass

        self.gzip = False
        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.httpd.server_address[1]}/simple/"
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()


def run_child(way, url, metadata):
    env = {k: v for k, v in os.environ.items() if not k.upper().startswith(("PIP_", "UV_")) and "proxy" not in k.lower()}
    env.update(PIP_INDEX_URL=url, PIP_CONFIG_FILE=os.devnull, UV_NO_CONFIG="1", NO_PROXY="127.0.0.1",
               BENCH_PATH=os.pathsep.join(filter(None, [os.environ.get("TALVEX_SITE"), str(HERE)])),
               PATH=os.pathsep.join(p for p in os.environ.get("PATH", "").split(os.pathsep)
                                    if not os.path.exists(os.path.join(p, "uv"))))
    proc = subprocess.run([sys.executable, "-c", CHILD, way, url, "1" if metadata else "0"],
                          env=env, capture_output=True, text=True, timeout=3600)
    if proc.returncode:
        sys.exit(proc.stderr)
    return json.loads(proc.stdout.splitlines()[-1])


def compare(label, url, metadata, sent=lambda: 0, floor=False):
    results = {}
    for way in ("module", "plain") + (("floor",) if floor else ()):
        before = sent()
        results[way] = run_child(way, url, metadata)
        results[way]["bytes"] = sent() - before
        r = results[way]
        print(f"{label:44} {way:6}  {r['seconds'] * 1e3:9.1f} ms  peak +{r['growth_kb'] / 1024:7.1f} MB"
              f"  {r['bytes'] / 1e6:7.1f} MB sent  ({len(r['entries'])} entries)")
    m, p = results["module"], results["plain"]
    if m["entries"] != p["entries"]:
        sys.exit(f"{label}: the module's catalog differs from the plain rendering")
    print(f"{'':44} time x{p['seconds'] / m['seconds']:.1f}, memory x{max(p['growth_kb'], 1) / max(m['growth_kb'], 1):.1f}"
          + (f"; the module at x{results['floor']['seconds'] / m['seconds']:.2f} of the server's floor" if floor else ""))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--projects", type=int, default=700_000)
    parser.add_argument("--pypiserver", type=int, default=2_000)
    args = parser.parse_args()

    names = project_names(args.projects, 400)
    page = ("<!DOCTYPE html><html><head><title>Simple index</title></head><body>\n" + "".join(
        f'<a href="/simple/{re.sub(r"[-_.]+", "-", n).lower()}/">{n}</a>\n' for n in names) + "</body></html>\n").encode()
    print(f"HTML simple index: {len(names):,} projects, {len(page) / 1e6:.1f} MB")
    server = HtmlIndex(page)
    try:
        compare("listing, HTML", server.url, False, lambda: server.sent)
        server.gzip = True
        compare("listing, HTML gzip", server.url, False, lambda: server.sent)
    finally:
        server.close()

    sys.path.insert(0, str(HERE.parent / "tests"))
    from e2e_support import build_wheel

    with tempfile.TemporaryDirectory() as tmp:
        packages = Path(tmp)
        for i, name in enumerate(project_names(args.pypiserver, args.pypiserver // 10, seed=11)):
            build_wheel(packages, name, f"1.{i % 7}")
        port = free_port()
        proc = subprocess.Popen([sys.executable, "-m", "pypiserver", "run", "-i", "127.0.0.1", "-p", str(port),
                                 "--disable-fallback", "-P", ".", "-a", ".", str(packages)],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            url = f"http://127.0.0.1:{port}/simple/"
            for _ in range(400):
                try:
                    urllib.request.urlopen(url.replace("/simple/", "/health"), timeout=2).close()
                    break
                except OSError:
                    time.sleep(0.05)
            print(f"pypiserver: {args.pypiserver:,} projects")
            compare("catalog with metadata, pypiserver", url, True, floor=True)
        finally:
            proc.terminate()
            proc.wait(30)


if __name__ == "__main__":
    main()
