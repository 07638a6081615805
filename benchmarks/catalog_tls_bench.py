"""The default catalog call over HTTPS on a simulated link, and against a hostile index.

``list_pypi_talvex_extensions()`` (metadata for 120 projects) reads a local index over
TLS: a server on 127.0.0.1 with a certificate made here for the index host, trusted
through SSL_CERT_FILE, behind a relay that adds the round-trip time (30 and 100 ms;
a new connection pays one more for its TCP handshake) and paces what the server sends
to 50 Mbit/s, shared by all connections. Each child routes new connections for the
index host to the relay and otherwise runs unchanged code. Three clients, each in a
fresh child process, in the same run:

* native: the built module;
* plain Python: the listing written with urllib (``_http_json`` as the module
  documents it: one request per connection, no compression asked for) and a pool of
  8 threads;
* floor: 8 persistent connections opened while the index downloads, gzip for every
  answer, the index only downloaded and decompressed (the names handed in), so that
  nothing but the link is paid for: the floor of this link.

For each: wall time, time per phase (index: until the first project request reaches
the server; metadata: the rest), TCP connections and TLS handshakes seen by the server
(and the handshakes of connections that carried project documents), bytes on the
link, growth of the child's peak resident memory (VmHWM) and whether the entries are
equal.

Then the hostile index: ``talvex-ext search --timeout 5`` against an index that
sends a valid answer one byte every 2 s, and gzip bombs (about 0.5 MiB, 512 MiB
decompressed) as project documents, as the missing-dependency lookup, as an error
body and as the simple index (full-parse fallback and scan), each in a child that
reports its VmHWM growth.

    TALVEX_SITE=/tmp/b/site python benchmarks/catalog_tls_bench.py [--repeat 3]
"""

import argparse
import gzip
import json
import os
import pathlib
import queue
import random
import re
import socket
import socketserver
import ssl
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import http.server

HERE = pathlib.Path(__file__).resolve().parent
TESTS = HERE.parent / "tests"
RATE = 50e6 / 8  # bytes per second
PIECE = 16 * 1024
ACCEPT = "application/vnd.pypi.simple.v1+json"


def index_host():
    site = os.environ.get("TALVEX_SITE")
    if site and site not in sys.path:
        sys.path.insert(0, site)
    import talvex.core.extensions.wheelwork as ww

    alternation = re.match(r"\(\?:(.*?)\)/project/", ww._PYPI_PROJECT_RE.pattern).group(1)
    return alternation.split("|")[0].replace("\\.", ".")


# --- the index and the link ---------------------------------------------------------

class Index:
    """HTTPS, HTTP/1.1 keep-alive; answers from `routes` (path -> (plain, gzip))."""

    def __init__(self, cert, key):
        self.routes = {}
        self.lock = threading.Lock()
        self.reset()
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        index = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"
            disable_nagle_algorithm = True  # headers and body go out as they are written

            def setup(self):
                self.request.settimeout(60)
                self.request = context.wrap_socket(self.request, server_side=True)
                with index.lock:
                    index.handshakes += 1
                    self.number = index.handshakes
                super().setup()

            def do_GET(self):  # noqa: N802
                now = time.monotonic()
                with index.lock:
                    if self.path.startswith("/pypi/"):
                        index.document_connections.add(self.number)
                        if index.first_document is None:
                            index.first_document = now
                plain, packed = index.routes.get(self.path, (b"{}", None))
                gz = packed is not None and "gzip" in self.headers.get("Accept-Encoding", "")
                body = packed if gz else plain
                self.send_response(200)
                self.send_header("Content-Type", "application/json")
                if gz:
                    self.send_header("Content-Encoding", "gzip")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
            daemon_threads = True
            block_on_close = False

            def handle_error(self, request, client_address):
                pass

        self.httpd = Server(("127.0.0.1", 0), Handler)
        self.port = self.httpd.server_address[1]
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()

    def reset(self):
        self.handshakes = 0
        self.document_connections = set()
        self.first_document = None

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()


class Link:
    """A relay on 127.0.0.1 in front of `port`: each direction delivers what it gets
    half a round trip later, the first bytes of a connection a round trip later still
    (the TCP handshake), and the server's side is paced to RATE across connections."""

    def __init__(self, port, rtt):
        self.port, self.rtt = port, rtt
        self.lock = threading.Lock()
        self.free_at = 0.0
        self.reset()
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.address = self.listener.getsockname()
        threading.Thread(target=self._accept, daemon=True).start()

    def reset(self):
        self.connections = 0
        self.down = self.up = 0

    def _accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            with self.lock:
                self.connections += 1
            threading.Thread(target=self._relay, args=(client,), daemon=True).start()

    def _relay(self, client):
        opened = time.monotonic()
        server = socket.create_connection(("127.0.0.1", self.port))
        for s in (client, server):
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        up, down = queue.SimpleQueue(), queue.SimpleQueue()
        threads = [threading.Thread(target=self._read, args=(client, up, False, opened), daemon=True),
                   threading.Thread(target=self._read, args=(server, down, True, opened), daemon=True),
                   threading.Thread(target=self._write, args=(up, server), daemon=True),
                   threading.Thread(target=self._write, args=(down, client), daemon=True)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        client.close()
        server.close()

    def _read(self, source, out, paced, opened):
        # The client's first bytes leave once the TCP handshake is done, a round trip
        # after it connected, and arrive half a round trip later.
        last = 0.0 if paced else opened + 1.5 * self.rtt
        while True:
            try:
                data = source.recv(PIECE)
            except OSError:
                data = b""
            now = time.monotonic()
            if paced and data:
                with self.lock:
                    start = max(now, self.free_at)
                    self.free_at = start + len(data) / RATE
                    self.down += len(data)
                    sent = self.free_at
            else:
                sent = now
                if data:
                    with self.lock:
                        self.up += len(data)
            last = max(last, sent + self.rtt / 2)
            out.put((last, data))
            if not data:
                return

    def _write(self, source, sink):
        while True:
            due, data = source.get()
            wait = due - time.monotonic()
            if wait > 0:
                time.sleep(wait)
            try:
                if not data:
                    sink.shutdown(socket.SHUT_WR)
                    return
                sink.sendall(data)
            except OSError:
                return

    def close(self):
        self.listener.close()


def project_document(name, rng):
    """A project's JSON document of the size of a small project's on the live index."""
    words = "image viewer series volume render segment measure export plugin tool".split()
    description = " ".join(rng.choice(words) for _ in range(900))
    releases = {f"0.{i}": [{"filename": f"{name}-0.{i}-py3-none-any.whl", "size": rng.randint(10**4, 10**6),
                            "digests": {"sha256": "%064x" % rng.getrandbits(256)}}] for i in range(6)}
    info = {"name": name, "version": "0.5", "summary": f"The {name[11:]} extension",
            "description": description, "requires_dist": ["numpy>=1.26"], "author": "Talvex Team"}
    return json.dumps({"info": info, "releases": releases, "urls": releases["0.5"]}).encode()


# --- the children ---------------------------------------------------------------------

def py_listing(host):
    """The listing as plain Python with urllib."""
    import urllib.error
    import urllib.request
    from concurrent.futures import ThreadPoolExecutor, as_completed

    sys.path.insert(0, str(HERE))
    import run as suite

    agent = f"Talvex-Desktop/1.0 (+https://{host}/project/talvex/)"

    def http_json(url, *, timeout, headers=None):
        request = urllib.request.Request(url, headers={"User-Agent": agent, **(headers or {})})
        try:
            with urllib.request.urlopen(request, timeout=timeout) as response:
                return json.loads(response.read().decode("utf-8", errors="replace"))
        except urllib.error.HTTPError as exc:
            detail = exc.read().decode("utf-8", errors="replace")[:200]
            raise RuntimeError(f"HTTP {exc.code} for {url}: {detail}") from exc

    simple = http_json(f"https://{host}/simple/", timeout=45.0, headers={"Accept": ACCEPT})
    names = sorted((str(p.get("name") or "").strip() for p in simple["projects"] if isinstance(p, dict)
                    and suite.py_is_user_visible(str(p.get("name") or "").strip())), key=str.lower)[:120]
    del simple

    def meta_entry(pkg):
        entry = {"id": pkg, "name": suite.py_display_name(pkg), "version": "", "package": pkg,
                 "description": "", "raw": {"name": pkg}}
        try:
            info = http_json(f"https://{host}/pypi/{pkg}/json", timeout=15.0).get("info")
            if isinstance(info, dict):
                canonical = str(info.get("name") or pkg).strip() or pkg
                entry.update(version=str(info.get("version") or ""), description=str(info.get("summary") or ""),
                             package=canonical, id=canonical, name=suite.py_display_name(canonical), raw=info)
        except Exception:
            pass
        return entry

    by_name = {}
    with ThreadPoolExecutor(max_workers=min(8, len(names))) as pool:
        futures = {pool.submit(meta_entry, n): n for n in names}
        for future in as_completed(futures):
            by_name[futures[future]] = future.result()
    return [by_name[n] for n in names]


def floor_listing(host, names):
    """8 kept connections, opened while the index downloads; gzip throughout."""
    import http.client
    import zlib
    from concurrent.futures import ThreadPoolExecutor

    sys.path.insert(0, str(HERE))
    import run as suite

    context = ssl.create_default_context()
    connections = [http.client.HTTPSConnection(host, 443, timeout=45, context=context) for _ in range(8)]
    ahead = ThreadPoolExecutor(7)
    opened = [ahead.submit(c.connect) for c in connections[1:]]
    headers = {"Accept-Encoding": "gzip", "Accept": ACCEPT}
    connections[0].request("GET", "/simple/", headers=headers)
    response = connections[0].getresponse()
    inflater = zlib.decompressobj(wbits=31)
    while piece := response.read(256 * 1024):
        inflater.decompress(piece)  # downloaded and decompressed; the names are handed in
    for f in opened:
        f.result()
    ahead.shutdown()
    work = queue.SimpleQueue()
    for n in names:
        work.put(n)
    by_name = {}

    def worker(connection):
        while True:
            try:
                pkg = work.get_nowait()
            except queue.Empty:
                return
            connection.request("GET", f"/pypi/{pkg}/json", headers={"Accept-Encoding": "gzip"})
            answer = connection.getresponse()
            info = json.loads(gzip.decompress(answer.read()))["info"]
            canonical = str(info.get("name") or pkg).strip() or pkg
            by_name[pkg] = {"id": canonical, "name": suite.py_display_name(canonical),
                            "version": str(info.get("version") or ""), "package": canonical,
                            "description": str(info.get("summary") or ""), "raw": info}

    with ThreadPoolExecutor(8) as pool:
        list(pool.map(worker, connections))
    for c in connections:
        c.close()
    return [by_name[n] for n in names]


def child(side, port, names_file):
    sys.path.insert(0, str(TESTS))
    import tls_index
    from catalog_link_bench import peak_kb

    host = index_host()
    tls_index.route_index_host(host, int(port))
    if side == "native":
        import talvex.core.extensions.wheelwork as ww

        listing = ww.list_pypi_talvex_extensions
    elif side == "python":
        def listing():
            return py_listing(host)
    else:
        names = json.loads(pathlib.Path(names_file).read_text())

        def listing():
            return floor_listing(host, names)
    before = peak_kb()
    start = time.monotonic()
    entries = listing()
    end = time.monotonic()
    json.dump({"start": start, "end": end, "growth_kb": peak_kb() - before, "entries": entries}, sys.stdout)


# --- the parent ---------------------------------------------------------------------

def run_child(side, link, index, names_file, cert):
    link.reset()
    index.reset()
    env = dict(os.environ, SSL_CERT_FILE=cert)
    proc = subprocess.run([sys.executable, __file__, "--child", side, str(link.address[1]), names_file],
                          env=env, capture_output=True, text=True, timeout=600)
    if proc.returncode:
        sys.exit(f"{side} child failed:\n{proc.stderr}")
    result = json.loads(proc.stdout)
    first = (index.first_document or result["end"]) - link.rtt / 2
    result.update(seconds=result["end"] - result["start"], index_s=first - result["start"],
                  metadata_s=result["end"] - first, connections=link.connections, handshakes=index.handshakes,
                  document_handshakes=len(index.document_connections), bytes=link.down + link.up)
    return result


SIDES = ("native", "python", "floor")


def measure_link(repeat=3, rtts=(0.030, 0.100), projects=700_000):
    sys.path.insert(0, str(HERE))
    sys.path.insert(0, str(TESTS))
    import catalog_bench
    import run as suite
    import tls_index

    host = index_host()
    work = tempfile.mkdtemp(prefix="talvex-tls-bench-")
    cert, key = tls_index.make_certificate(work, [host]) or sys.exit("needs openssl or cryptography")
    doc = catalog_bench.make_document(projects, 400, serials=True)
    names = sorted((p["name"] for p in doc["projects"] if suite.py_is_user_visible(p["name"])), key=str.lower)[:120]
    body = json.dumps(doc).encode()
    del doc
    index = Index(cert, key)
    index.routes["/simple/"] = (body, gzip.compress(body, compresslevel=6))
    rng = random.Random(11)
    for n in names:
        plain = project_document(n, rng)
        index.routes[f"/pypi/{n}/json"] = (plain, gzip.compress(plain))
    names_file = os.path.join(work, "names.json")
    pathlib.Path(names_file).write_text(json.dumps(names))
    results = {}
    try:
        for rtt in rtts:
            link = Link(index.port, rtt)
            runs = {side: [] for side in SIDES}
            for _ in range(repeat):
                for side in SIDES:
                    runs[side].append(run_child(side, link, index, names_file, cert))
            link.close()
            results[rtt] = runs
    finally:
        index.close()
    return results


def summarize(results):
    rows, lines = [], []
    for rtt, runs in results.items():
        reference = runs["python"][0]["entries"]
        equal = all(r["entries"] == reference for side in SIDES for r in runs[side])
        med = {side: {k: statistics.median(r[k] for r in runs[side])
                      for k in ("seconds", "index_s", "metadata_s", "connections", "handshakes",
                                "document_handshakes", "bytes", "growth_kb")} for side in SIDES}
        ms = int(rtt * 1000)
        for side in SIDES:
            m = med[side]
            lines.append(f"{ms:>4} ms  {side:<7} {m['seconds']:6.2f} s  (index {m['index_s']:.2f}, metadata "
                         f"{m['metadata_s']:.2f})  TCP {m['connections']:>3.0f}  TLS {m['handshakes']:>3.0f} "
                         f"(documents {m['document_handshakes']:.0f})  {m['bytes'] / 1e6:6.1f} MB  "
                         f"VmHWM +{m['growth_kb'] / 1e3:6.1f} MB")
        n, p, f = med["native"]["seconds"], med["python"]["seconds"], med["floor"]["seconds"]
        lines.append(f"{ms:>4} ms  native/floor {n / f:.2f}x (target <= 1.15x), plain Python/native {p / n:.1f}x "
                     f"(>= 3x), TLS handshakes for documents {med['native']['document_handshakes']:.0f} (<= 8), "
                     f"entries equal: {equal}")
        label = f"catalog over HTTPS, {ms} ms RTT (120 projects)"
        rows.append((f"{label}: time end to end", n, p, "s", p / n, ">= 3x"))
        rows.append((f"{label}: native vs the link's floor ({f:.2f} s)", n, p, "s",
                     f"{n / f:.2f}x", "<= 1.15x of the floor"))
        rows.append((f"{label}: TLS handshakes, project documents", med["native"]["document_handshakes"],
                     med["python"]["document_handshakes"], "", med["python"]["document_handshakes"]
                     / max(med["native"]["document_handshakes"], 1), "<= 8"))
        if not equal:
            sys.exit("the clients' entries differ")
    return rows, lines


# --- hostile index ------------------------------------------------------------------

def measure_hostile(timeout=5):
    sys.path.insert(0, str(TESTS))
    import tls_index

    host = index_host()
    work = tempfile.mkdtemp(prefix="talvex-tls-hostile-")
    cert, key = tls_index.make_certificate(work, [host])
    server = tls_index.TlsIndex(cert, key)
    rows = []
    try:
        server.route("/simple/", tls_index.drip(server, json.dumps({"projects": [{"name": "talvex-ext-a"}]}).encode(),
                                                every=2.0, limit=120))
        env = dict(os.environ, SSL_CERT_FILE=cert, PYTHONPATH=os.pathsep.join(
            p for p in (os.environ.get("TALVEX_SITE"), str(TESTS), str(HERE.parent / "src")) if p))
        prelude = (f"import tls_index\ntls_index.route_index_host({host!r}, {server.port})\n"
                   "import runpy, sys\nsys.argv[0] = 'talvex-ext'\n"
                   "runpy.run_module('talvex_ext_cli', run_name='__main__', alter_sys=True)\n")
        start = time.monotonic()
        proc = subprocess.run([sys.executable, "-c", prelude, "search", "--timeout", str(timeout)], env=env,
                              capture_output=True, text=True, timeout=300)
        elapsed = time.monotonic() - start
        rows.append((f"talvex-ext search --timeout {timeout}, index dripping a byte every 2 s (exit {proc.returncode})",
                     elapsed, 2 * timeout, "s", f"{elapsed / timeout:.2f}x", "<= 2x its --timeout"))

        bombs = {"zeros": tls_index.gzip_bomb(), "letters": tls_index.gzip_bomb(fill=b"x"),
                 "blank": tls_index.gzip_bomb(head=b'{"projects": [', fill=b" ")}
        gz = {"Content_Encoding": "gzip"}
        cases = [
            ("project documents (8 bombs)", "/simple/", json.dumps({"projects": [{"name": f"talvex-ext-b{i}"}
                                                                                 for i in range(8)]}).encode(), {},
             "[e['version'] for e in ww.list_pypi_talvex_extensions()]"),
            ("missing-dependency lookup", None, None, None, "ww._requires_dist_strings('talvex-ext-b0')"),
            ("error body", "/pypi/talvex-ext-e/json", bombs["letters"], dict(status=500, **gz),
             f"ww._http_json('https://{host}/pypi/talvex-ext-e/json', timeout=20)"),
            ("simple index, full-parse fallback", "/simple/", bombs["zeros"], gz, "ww.list_pypi_talvex_extensions()"),
            ("simple index, scan", "/simple/", bombs["blank"], gz, "ww.list_pypi_talvex_extensions()"),
            # 64 MiB of JSON the scan gives up on at once (a "name" that is not a string): 4.4 MiB
            # compressed, and only a parse of the whole document could say what it holds.
            ("simple index of 64 MiB the scan leaves", "/simple/", tls_index.gzip.compress(
                b'{"projects": [{"name": 1}, ' + b'{"name": "talvex-ext-abcdefgh"}, ' * (2**26 // 33) + b"{}]}", 6),
             gz, "ww.list_pypi_talvex_extensions()"),
        ]
        for i in range(8):
            server.route(f"/pypi/talvex-ext-b{i}/json", bombs["zeros"], **gz)
        for what, path, body, headers, call in cases:
            if path:
                server.route(path, body, **headers)
            try:
                result = tls_index.measure_growth(call, host, server.port, cert, timeout=300)
            except RuntimeError as exc:
                sys.exit(f"bomb {exc}")
            label = f"gzip bomb ({len(bombs['zeros']) / 2**20:.2f} MiB) as {what}" if "64 MiB" not in what else (
                f"{what} ({len(body) / 2**20:.1f} MiB gzip)")
            rows.append((f"{label}: VmHWM growth",
                         result["growth_kb"] / 1024, 64.0, "MiB", result["outcome"][:48], "<= 64 MiB"))
    finally:
        server.close()
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--projects", type=int, default=700_000)
    parser.add_argument("--no-hostile", action="store_true", help="leave out the hostile index")
    parser.add_argument("--no-link", action="store_true", help="only the hostile index")
    parser.add_argument("--child", nargs=3, metavar=("SIDE", "PORT", "NAMES"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(*args.child)
        return
    if not args.no_link:
        rows, lines = summarize(measure_link(args.repeat, projects=args.projects))
        print("\n".join(lines))
    if not args.no_hostile:
        for what, value, bound, unit, outcome, target in measure_hostile():
            print(f"{what}: {value:.2f} {unit} (bound {bound:g} {unit}) {outcome}  target {target}")


if __name__ == "__main__":
    main()
