"""Time the extension catalog over a simple-index document of realistic size.

Generates a document listing 700,000 projects, a few hundred of them extensions
(plus SDK and look-alike names), and prints:

* the listing with ``fetch_metadata=False`` when ``_http_json`` hands back the
  already parsed document (the name filter, sort and cap alone);
* the same listing end to end, the document served over HTTP from 127.0.0.1
  (request, JSON parse, filter, sort);
* a plain-Python rendering of the filter and sort, for comparison.

The built modules are found through TALVEX_SITE (a developer build's site
directory) or the installed package.

    TALVEX_SITE=/tmp/b/site python benchmarks/catalog_bench.py [--projects N] [--repeat R]
"""

import argparse
import gc
import http.server
import json
import os
import random
import re
import statistics
import sys
import threading
import time
import urllib.request

site = os.environ.get("TALVEX_SITE")
if site:
    sys.path.insert(0, site)

import talvex.core.extensions.wheelwork as ww  # noqa: E402


def make_document(total, extensions, seed=7, serials=False):
    """The simple index: `total` projects, `extensions` of them extensions. With
    `serials`, each project carries its "_last-serial" as the live index's do."""
    rng = random.Random(seed)
    letters = "abcdefghijklmnopqrstuvwxyz"
    names = []
    for i in range(total - extensions - 4):
        word = "".join(rng.choice(letters) for _ in range(rng.randint(3, 12)))
        style = rng.random()
        if style < 0.2:
            word = word.capitalize()
        elif style < 0.3:
            word = f"{word}_{rng.choice(letters)}{i % 97}"
        elif style < 0.35:
            word = f"talvex{word}"  # shares the first letters with the prefix
        names.append(f"{word}-{i}")
    for i in range(extensions):
        sep = rng.choice(["-", "_", "."])
        head = rng.choice(["talvex", "Talvex", "TALVEX"])
        names.append(f"{head}{sep}ext{sep}tool{i:04d}")
    names += ["talvex-ext-sdk", "talvex-extension-sdk", "talvex-extension-tools", "talvex"]
    rng.shuffle(names)
    if serials:
        projects = [{"_last-serial": rng.randint(1, 30_000_000), "name": n} for n in names]
        return {"meta": {"_last-serial": 30_000_000, "api-version": "1.1"}, "projects": projects}
    return {"meta": {"api-version": "1.1"}, "projects": [{"name": n} for n in names]}


def python_filter(doc, prefix="talvex-ext-", max_packages=120):
    """The filter, sort and cap written as plain Python."""
    hidden = frozenset({"talvex-extension-sdk", "talvex-ext-sdk"})

    def normalize(name):
        s = str(name or "").strip().lower().replace(" ", "-")
        return re.sub(r"[-_.]+", "-", s).strip("-")

    def visible(name, *, prefix="talvex-ext-"):
        key = normalize(name)
        if not key or key in hidden or key.startswith("talvex-extension-"):
            return False
        return key.startswith(normalize(prefix))

    names = []
    for project in doc["projects"]:
        if not isinstance(project, dict):
            continue
        name = str(project.get("name") or "").strip()
        if visible(name, prefix=prefix):
            names.append(name)
    names.sort(key=str.lower)
    if max_packages > 0:
        names = names[: int(max_packages)]
    return names


def timed(fn, repeat):
    times = []
    result = None
    for _ in range(repeat):
        gc.collect()
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
    return min(times), statistics.median(times), result


class Server:
    def __init__(self, body):
        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                self.send_response(200)
                self.send_header("Content-Type", "application/vnd.pypi.simple.v1+json")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.base = f"http://127.0.0.1:{self.httpd.server_address[1]}"
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--projects", type=int, default=700_000)
    parser.add_argument("--extensions", type=int, default=400)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()

    doc = make_document(args.projects, args.extensions)
    body = json.dumps(doc).encode()
    print(f"document: {len(doc['projects']):,} projects, {args.extensions} extensions, "
          f"{len(body) / 1e6:.1f} MB of JSON")

    original_http_json = ww._http_json
    ww._http_json = lambda url, *, timeout, headers=None: doc
    try:
        best, median, entries = timed(lambda: ww.list_pypi_talvex_extensions(fetch_metadata=False), args.repeat)
        print(f"listing, document already parsed:    best {best * 1e3:8.1f} ms   median {median * 1e3:8.1f} ms"
              f"   ({len(entries)} entries)")
        best, median, everything = timed(
            lambda: ww.list_pypi_talvex_extensions(fetch_metadata=False, max_packages=0), args.repeat)
        print(f"same, no cap:                        best {best * 1e3:8.1f} ms   median {median * 1e3:8.1f} ms"
              f"   ({len(everything)} entries)")
    finally:
        ww._http_json = original_http_json

    best, median, names = timed(lambda: python_filter(doc), args.repeat)
    print(f"plain-Python filter and sort:        best {best * 1e3:8.1f} ms   median {median * 1e3:8.1f} ms")
    if names != [e["id"] for e in entries]:
        sys.exit("mismatch between the module's listing and the plain-Python filter")

    best, median, _ = timed(lambda: json.loads(body.decode("utf-8", errors="replace")), args.repeat)
    print(f"json.loads of the document alone:    best {best * 1e3:8.1f} ms   median {median * 1e3:8.1f} ms")

    server = Server(body)
    real_urlopen = urllib.request.urlopen

    def routed(request, *a, **kw):
        # Every https request of the listing goes to the local server.
        url = request.full_url
        request.full_url = server.base + "/" + url.split("/", 3)[3]
        return real_urlopen(request, *a, **kw)

    urllib.request.urlopen = routed
    try:
        best, median, over_http = timed(lambda: ww.list_pypi_talvex_extensions(fetch_metadata=False), args.repeat)
        print(f"listing end to end over local HTTP:  best {best * 1e3:8.1f} ms   median {median * 1e3:8.1f} ms")
    finally:
        urllib.request.urlopen = real_urlopen
        server.close()
    if over_http != entries:
        sys.exit("mismatch between the listing over HTTP and the in-memory one")


if __name__ == "__main__":
    main()
