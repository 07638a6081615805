"""The client's own connections to the index: HTTPS with the default context, kept
alive and reused across the catalog's project documents, the environment's proxy,
wall-clock deadlines, and answers bounded however they decompress."""

import base64
import http.client
import json
import logging
import re
import ssl
import sys
import time
import urllib.error
import urllib.request
from pathlib import Path

import pytest

import tls_index

HERE = Path(__file__).resolve().parent
PROXY_VARIABLES = ("http_proxy", "https_proxy", "all_proxy", "no_proxy")


def hosts_of(ww):
    alternation = re.match(r"\(\?:(.*?)\)/project/", ww._PYPI_PROJECT_RE.pattern).group(1)
    return [host.replace("\\.", ".") for host in alternation.split("|")]


@pytest.fixture(scope="module")
def certificate(tmp_path_factory):
    import talvex.core.extensions.wheelwork as ww

    made = tls_index.make_certificate(str(tmp_path_factory.mktemp("tls")), hosts_of(ww))
    if made is None:
        pytest.skip("needs the cryptography package or the openssl command to make a certificate")
    return made


@pytest.fixture
def no_proxy_env(monkeypatch):
    for name in PROXY_VARIABLES:
        monkeypatch.delenv(name, raising=False)
        monkeypatch.delenv(name.upper(), raising=False)


@pytest.fixture
def index(certificate, monkeypatch, no_proxy_env, index_hosts):
    """The HTTPS index on 127.0.0.1, trusted through SSL_CERT_FILE; new connections to
    the index host go to it."""
    server = tls_index.TlsIndex(*certificate)
    monkeypatch.setenv("SSL_CERT_FILE", certificate[0])
    # urllib keeps the TLS context and proxies of its first use: a fresh opener reads
    # this test's.
    monkeypatch.setattr(urllib.request, "_opener", None)
    undo = tls_index.route_index_host(index_hosts[0], server.port)
    server.origin = f"https://{index_hosts[0]}"
    server.cert = certificate[0]
    yield server
    undo()
    server.close()


def simple_doc(*names):
    return {"meta": {"api-version": "1.1"}, "projects": [{"name": n} for n in names]}


def serve_catalog(server, count):
    names = [f"talvex-ext-p{i:03d}" for i in range(count)]
    server.route("/simple/", simple_doc("numpy", *reversed(names)))
    for n in names:
        server.route(f"/pypi/{n}/json", {"info": {"name": n.upper(), "version": n[-3:], "summary": f"about {n}"}})
    return names


def through_urllib(ww, monkeypatch):
    """The same listing through urllib: urlopen replaced by a wrapper of itself."""
    real = urllib.request.urlopen
    monkeypatch.setattr(urllib.request, "urlopen", lambda *a, **k: real(*a, **k))
    try:
        return ww.list_pypi_talvex_extensions(max_packages=0)
    finally:
        monkeypatch.setattr(urllib.request, "urlopen", real)


# --- reuse ------------------------------------------------------------------------


def test_catalog_reuses_at_most_eight_connections(ww, index, monkeypatch):
    names = serve_catalog(index, 40)
    entries = ww.list_pypi_talvex_extensions(max_packages=0)
    assert [e["package"] for e in entries] == [n.upper() for n in names]
    assert all(e["version"] == n[-3:] and e["description"] == f"about {n}" for e, n in zip(entries, names))
    documents = [r for r in index.requests if r[1].startswith("/pypi/")]
    assert len(documents) == 40
    # Every connection, the index's own included, was opened once and kept.
    assert index.connections == index.handshakes <= 8
    assert len({number for number, _, _ in documents}) <= 8
    for _, _, headers in index.requests:
        assert headers["Accept-Encoding"] == "gzip" and "close" not in headers.get("Connection", "")
        assert headers["User-Agent"].startswith("Talvex-Desktop/1.0 (+https://")
    # Exactly the entries urllib gives.
    handshakes = index.handshakes
    assert through_urllib(ww, monkeypatch) == entries
    assert index.handshakes - handshakes == 41  # urllib: one connection per request


@pytest.mark.parametrize("limit, count, connections", [(1, 20, 1), (3, 20, 3), (120, 20, 8), (120, 3, 3)])
def test_connections_opened_ahead_follow_what_is_listed(ww, index, limit, count, connections):
    serve_catalog(index, count)
    entries = ww.list_pypi_talvex_extensions(max_packages=limit)
    assert len(entries) == min(limit, count) and all(e["version"] for e in entries)
    assert index.connections == connections
    index.connections = 0
    ww.list_pypi_talvex_extensions(fetch_metadata=False)
    assert index.connections == 1  # names only: the index's own connection


def test_http_json_over_its_own_connection(ww, index):
    index.route("/pypi/demo/json", {"info": {"name": "demo"}})
    url = f"{index.origin}/pypi/demo/json"
    assert ww._http_json(url, timeout=5) == {"info": {"name": "demo"}}
    assert ww._http_json(url, timeout=5, headers={"accept-encoding": "identity", "X-Extra": "1"}) == {
        "info": {"name": "demo"}}
    _, _, headers = index.requests[-1]
    assert headers["Accept-Encoding"] == "identity" and headers["X-Extra"] == "1"
    body = "".join(chr(ord("a") + i % 26) for i in range(1000))
    index.route("/boom", body.encode(), status=500)
    with pytest.raises(RuntimeError) as info:
        ww._http_json(f"{index.origin}/boom", timeout=5)
    assert str(info.value) == f"HTTP 500 for {index.origin}/boom: {body[:200]}"
    assert isinstance(info.value.__cause__, urllib.error.HTTPError) and info.value.__cause__.code == 500


def test_certificate_is_verified(ww, index, monkeypatch, tmp_path):
    index.route("/x", [1])
    other = tls_index.make_certificate(str(tmp_path), ["elsewhere.invalid"])
    monkeypatch.setenv("SSL_CERT_FILE", other[0])  # trusts another certificate only
    for call in (lambda: ww._http_json(f"{index.origin}/x", timeout=5), ww.list_pypi_talvex_extensions):
        with pytest.raises(OSError, match="CERTIFICATE_VERIFY_FAILED"):
            call()
    # The interpreter's default HTTPS context, as urllib takes it, replacement included.
    made = []

    def trusting_the_test():
        made.append(ssl.create_default_context(cafile=index.cert))
        return made[-1]

    monkeypatch.setattr(ssl, "_create_default_https_context", trusting_the_test)
    assert ww._http_json(f"{index.origin}/x", timeout=5) == [1]
    assert len(made) == 1


def test_an_installed_opener_is_used(ww, index):
    """A host that installs its own urllib opener keeps it for every request."""
    seen = []

    class Recording(urllib.request.BaseHandler):
        def https_request(self, request):
            seen.append(request.full_url)
            return request

    index.route("/pypi/demo/json", {"info": {"name": "demo"}})
    index.route("/simple/", simple_doc("talvex-ext-demo"))
    index.route("/pypi/talvex-ext-demo/json", {"info": {"name": "talvex-ext-demo", "version": "1"}})
    context = ssl.create_default_context(cafile=index.cert)
    urllib.request.install_opener(urllib.request.build_opener(Recording, urllib.request.HTTPSHandler(context=context)))
    try:
        assert ww._http_json(f"{index.origin}/pypi/demo/json", timeout=5) == {"info": {"name": "demo"}}
        assert [e["version"] for e in ww.list_pypi_talvex_extensions()] == ["1"]
    finally:
        urllib.request.install_opener(None)
    assert seen == [f"{index.origin}/pypi/demo/json", f"{index.origin}/simple/",
                    f"{index.origin}/pypi/talvex-ext-demo/json"]


# --- connections the server ends --------------------------------------------------


def closing_after_answer(document, *, tell):
    """An answer after which the server closes the connection, saying so or not."""
    def answer(handler):
        body = json.dumps(document).encode()
        handler.send_response(200)
        handler.send_header("Content-Type", "application/json")
        handler.send_header("Content-Length", str(len(body)))
        if tell:
            handler.send_header("Connection", "close")
        handler.end_headers()
        handler.wfile.write(body)
        handler.close_connection = True
    return answer


@pytest.mark.parametrize("tell", [True, False])
def test_server_closing_a_kept_connection(ww, index, tell, caplog):
    names = serve_catalog(index, 24)
    for n in names[::2]:
        index.route(f"/pypi/{n}/json", closing_after_answer({"info": {"name": n, "version": "9"}}, tell=tell))
    with caplog.at_level(logging.DEBUG, logger=ww.logger.name):
        entries = ww.list_pypi_talvex_extensions()
    assert [e["version"] for e in entries] == [("9" if i % 2 == 0 else n[-3:]) for i, n in enumerate(names)]
    assert not [r for r in caplog.records if "failed" in r.msg]
    assert index.connections > 8  # the closed ones were opened again


def test_connection_that_keeps_failing_is_reopened_once(ww, index, caplog):
    def hang_up(handler):
        handler.close_connection = True  # no answer at all

    index.route("/pypi/talvex-ext-a/json", hang_up)
    index.route("/simple/", simple_doc("talvex-ext-a"))
    with caplog.at_level(logging.DEBUG, logger=ww.logger.name):
        (entry,) = ww.list_pypi_talvex_extensions()
    assert entry["version"] == ""
    failure, = [r for r in caplog.records if r.msg == "PyPI metadata for %s failed: %s"]
    assert isinstance(failure.args[1], ConnectionError)
    assert [path for _, path, _ in index.requests].count("/pypi/talvex-ext-a/json") == 2


def test_answer_cut_short(ww, index):
    def short(handler):
        handler.send_response(200)
        handler.send_header("Content-Length", "100")
        handler.end_headers()
        handler.wfile.write(b'{"a": 1}   ')
        handler.close_connection = True

    index.route("/short", short)
    with pytest.raises(http.client.IncompleteRead):
        ww._http_json(f"{index.origin}/short", timeout=5)


# --- redirects --------------------------------------------------------------------


def test_redirects(ww, index, certificate):
    index.route("/pypi/old/json", b"", status=301, Location="/pypi/new/json")
    index.route("/pypi/new/json", {"info": {"name": "new"}})
    assert ww._http_json(f"{index.origin}/pypi/old/json", timeout=5) == {"info": {"name": "new"}}
    assert len({number for number, _, _ in index.requests}) == 1  # followed on the same connection
    # Elsewhere: urllib follows it.
    other = tls_index.TlsIndex(*certificate, tls=False)
    try:
        other.route("/there", {"moved": True})
        index.route("/pypi/away/json", b"", status=302, Location=f"http://127.0.0.1:{other.port}/there")
        assert ww._http_json(f"{index.origin}/pypi/away/json", timeout=5) == {"moved": True}
        assert [path for _, path, _ in other.requests] == ["/there"]
    finally:
        other.close()


# --- proxies from the environment -------------------------------------------------


def test_proxy_from_the_environment(ww, certificate, monkeypatch, no_proxy_env, index_hosts):
    server = tls_index.TlsIndex(*certificate)
    monkeypatch.setattr(urllib.request, "_opener", None)
    # Only the proxy is on the loopback interface: the index host must not be reached
    # directly.
    real_create_connection = tls_index.socket.create_connection
    tls_index.socket.create_connection = refuse_index_host(index_hosts[0])
    proxy = tls_index.ConnectProxy(server.port)
    monkeypatch.setenv("SSL_CERT_FILE", certificate[0])
    try:
        names = serve_catalog(server, 12)
        monkeypatch.setenv("https_proxy", proxy.url)
        entries = ww.list_pypi_talvex_extensions()
        assert [e["version"] for e in entries] == [n[-3:] for n in names]
        assert proxy.tunnels and all(t == (f"{index_hosts[0]}:443", None) for t in proxy.tunnels)
        assert len(proxy.tunnels) == server.connections <= 8
        # Credentials in the proxy: urllib's way, with its Proxy-Authorization (its
        # opener, made again, reads the environment).
        monkeypatch.setattr(urllib.request, "_opener", None)
        proxy.tunnels.clear()
        monkeypatch.setenv("https_proxy", proxy.url.replace("://", "://user:s%40cret@"))
        assert ww._http_json(f"https://{index_hosts[0]}/pypi/{names[0]}/json", timeout=5)["info"]["version"] == "000"
        assert proxy.tunnels == [(f"{index_hosts[0]}:443", "Basic " + base64.b64encode(b"user:s@cret").decode())]
        # no_proxy names the host: straight to it.
        proxy.tunnels.clear()
        monkeypatch.setenv("https_proxy", proxy.url)
        monkeypatch.setenv("no_proxy", index_hosts[0])
        tls_index.socket.create_connection = real_create_connection
        undo = tls_index.route_index_host(index_hosts[0], server.port)
        try:
            assert len(ww.list_pypi_talvex_extensions()) == 12
        finally:
            undo()
        assert proxy.tunnels == []
    finally:
        tls_index.socket.create_connection = real_create_connection
        proxy.close()
        server.close()


def refuse_index_host(host):
    real = tls_index.socket.create_connection

    def create_connection(address, *args, **kwargs):
        if address[0] == host:
            raise ConnectionRefusedError(f"the test allows no direct connection to {host}")
        return real(address, *args, **kwargs)
    return create_connection


# --- deadlines --------------------------------------------------------------------


@pytest.mark.parametrize("how", [{}, {"head_at_once": True}, {"head_at_once": True, "close": True}])
def test_drip_answer_ends_at_the_deadline(ww, index, how):
    index.route("/slow", tls_index.drip(index, b'{"a": 1}' + b" " * 100, every=0.5, **how))
    start = time.monotonic()
    with pytest.raises(TimeoutError):
        ww._http_json(f"{index.origin}/slow", timeout=1.5)
    assert time.monotonic() - start < 1.5 + 2.0  # per read it would take about 40 s


def test_drip_project_document_gives_a_stub_by_the_listing_deadline(ww, index, caplog):
    names = serve_catalog(index, 3)
    index.route(f"/pypi/{names[1]}/json", tls_index.drip(index, b'{"info": {"version": "x"}}', every=0.5))
    start = time.monotonic()
    with caplog.at_level(logging.DEBUG, logger=ww.logger.name):
        entries = ww.list_pypi_talvex_extensions(timeout=1.0)  # 5 s per project at least
    assert time.monotonic() - start < 1.0 + 5.0 + 2.0
    assert [e["version"] for e in entries] == ["000", "", "002"]
    failure, = [r for r in caplog.records if r.msg == "PyPI metadata for %s failed: %s"]
    assert failure.args[0] == names[1] and isinstance(failure.args[1], TimeoutError)


def test_search_returns_at_its_timeout_against_a_drip_index(tmp_path, index, index_hosts, certificate):
    import cli_support as cs

    index.route("/simple/", tls_index.drip(index, json.dumps(simple_doc("talvex-ext-a")).encode(), every=2.0))
    env = cs.cli_environ(tmp_path, extra_paths=[HERE], SSL_CERT_FILE=certificate[0])
    # The child times itself from after its interpreter started: a loaded machine (or Wine)
    # can take seconds just to start one.
    prelude = (f"import atexit, sys, time, tls_index\ntls_index.route_index_host({index_hosts[0]!r}, {index.port})\n"
               "t0 = time.monotonic()\n"
               "atexit.register(lambda: sys.stderr.write(f'\\nelapsed {time.monotonic() - t0:.3f}\\n'))\n")
    proc = cs.run_cli(["search", "--timeout", "3"], env, prelude=prelude, timeout=60)
    assert proc.returncode == 1 and "could not read the extension catalog" in proc.stderr
    elapsed = float(proc.stderr.rsplit("elapsed ", 1)[1])
    assert elapsed < 2 * 3 + 2


# --- bounded answers --------------------------------------------------------------


@pytest.fixture(scope="module")
def bombs():
    """About 0.5 MiB each, 512 MiB decompressed."""
    return {
        "zeros": tls_index.gzip_bomb(),
        "letters": tls_index.gzip_bomb(fill=b"x"),
        "blank index": tls_index.gzip_bomb(head=b'{"projects": [', fill=b" "),
    }


def run_child(call, index, index_hosts, certificate):
    return tls_index.measure_growth(call, index_hosts[0], index.port, certificate[0])


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads VmHWM of /proc/self/status")
@pytest.mark.parametrize("case", ["project documents", "missing dependencies", "error body",
                                  "simple index, full parse", "simple index, scan"])
def test_no_bomb_grows_the_process_much(index, index_hosts, certificate, bombs, case):
    gz = {"Content_Encoding": "gzip"}
    index.route("/simple/", simple_doc(*[f"talvex-ext-b{i}" for i in range(8)]))
    for i in range(8):
        index.route(f"/pypi/talvex-ext-b{i}/json", bombs["zeros"], **gz)
    if case == "project documents":
        call = "[e['version'] for e in ww.list_pypi_talvex_extensions()]"
        expected = repr([""] * 8)
    elif case == "missing dependencies":
        call = "ww._requires_dist_strings('talvex-ext-b0')"
        expected = "[]"
    elif case == "error body":
        index.route("/pypi/talvex-ext-b0/json", bombs["letters"], status=500, **gz)
        call = f"ww._http_json('https://{index_hosts[0]}/pypi/talvex-ext-b0/json', timeout=20)"
        expected = f"RuntimeError: HTTP 500 for https://{index_hosts[0]}/pypi/talvex-ext-b0/json: {'x' * 200}"
    else:
        index.route("/simple/", bombs["zeros" if case.endswith("parse") else "blank index"], **gz)
        call = "ww.list_pypi_talvex_extensions()"
        expected = f"ValueError: the answer from https://{index_hosts[0]}/simple/ is larger than"
    result = run_child(call, index, index_hosts, certificate)
    assert result["outcome"].startswith(expected)
    assert result["growth_kb"] < 64 * 1024


def test_bounded_answers_in_process(ww, index, bombs):
    """The caps themselves: a document just under the limit passes, one over it does not."""
    limit = 4 * 1024 * 1024
    fits = json.dumps({"info": {"name": "a", "summary": "s" * (limit - 100)}}).encode()
    index.route("/fits", fits)
    assert len(ww._http_json(f"{index.origin}/fits", timeout=20)["info"]["summary"]) == limit - 100
    index.compress = False
    index.route("/plain-too-large", fits + b" " * 200)
    with pytest.raises(ValueError, match="is larger than 4194304 bytes"):
        ww._http_json(f"{index.origin}/plain-too-large", timeout=20)
    index.route("/boom", bombs["zeros"], Content_Encoding="gzip")
    with pytest.raises(ValueError, match="is larger than 4194304 bytes"):
        ww._http_json(f"{index.origin}/boom", timeout=20)


@pytest.mark.parametrize("body, expected", [
    (tls_index.gzip.compress(b'{"a": ') + tls_index.gzip.compress(b"[1, 2]}") + b"\0\0", {"a": [1, 2]}),
    (tls_index.gzip.compress(b" " * (3 * 1024 * 1024) + b"[7]"), [7]),  # several steps of output
    (tls_index.gzip.compress(b'{"a": 1}')[:-3], EOFError),
    (tls_index.gzip.compress(b'{"a": 1}') + b"trailing", Exception),
])
def test_gzip_members_over_its_own_connection(ww, index, body, expected):
    index.route("/z", body, Content_Encoding="gzip")
    url = f"{index.origin}/z"
    if isinstance(expected, type):
        with pytest.raises(ValueError, match="does not decompress") as info:
            ww._http_json(url, timeout=5)
        assert isinstance(info.value.__cause__, expected)
    else:
        assert ww._http_json(url, timeout=5) == expected
