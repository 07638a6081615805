"""The module's own connections fail as urllib fails on the same local servers, and give way
to urllib whenever the host set something that could change its answer."""

import socket
import ssl
import sys
import threading
import time
import types
import urllib.error
import urllib.request

import pytest

import tls_index
from test_index_connections import certificate, index, no_proxy_env, refuse_index_host, simple_doc  # noqa: F401

LINUX = sys.platform.startswith("linux")


def outcome(call):
    try:
        return "value", call()
    except Exception as exc:
        said = [None if e is None else (type(e), str(e)) for e in (getattr(exc, "reason", None), exc.__cause__,
                                                                    exc.__context__)]
        return type(exc), str(exc), *said


def closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def patch_create_connection(replace):
    real = socket.create_connection
    socket.create_connection = replace(real)
    return types.SimpleNamespace(close=lambda: setattr(socket, "create_connection", real))


def plain_server(closing, **routes):
    server = tls_index.TlsIndex(None, None, tls=False)
    closing.append(server)
    for path, body in routes.items():
        server.route(f"/{path}", body(server) if callable(body) else body)
    return f"http://127.0.0.1:{server.port}"


def full_queue(closing):
    """A listener whose accept queue is full: connecting to it waits (Linux)."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(0)
    closing.append(listener)
    for _ in range(3):
        closing.append(socket.socket())
        closing[-1].setblocking(False)
        closing[-1].connect_ex(listener.getsockname())
    return f"http://127.0.0.1:{listener.getsockname()[1]}/x"


def redirects(index, moves):
    for path, target in moves.items():
        index.route(path, f"moved {path}".encode(), status=302, Location=target)
    return f"{index.origin}{next(iter(moves))}"


def no_such_host(real):
    def create_connection(address, *args, **kwargs):
        if address[0] == "nothere.invalid":
            raise socket.gaierror(socket.EAI_NONAME, "Name or service not known")
        return real(address, *args, **kwargs)
    return create_connection


# case -> (index, monkeypatch, tmp_path, closing) -> URL that fails so
FAILURES = {
    "refused": lambda i, m, t, c: f"https://127.0.0.1:{closed_port()}/x",
    "no such host": lambda i, m, t, c: c.append(patch_create_connection(no_such_host)) or "https://nothere.invalid/x",
    "certificate refused": lambda i, m, t, c: m.setenv(
        "SSL_CERT_FILE", tls_index.make_certificate(str(t), ["elsewhere.invalid"])[0]) or f"{i.origin}/x",
    "not TLS": lambda i, m, t, c: plain_server(c).replace("http:", "https:") + "/x",
    "proxy refused": lambda i, m, t, c: m.setenv("https_proxy", f"http://127.0.0.1:{closed_port()}") or f"{i.origin}/x",
    "proxy says 403": lambda i, m, t, c: c.append(tls_index.ConnectProxy(i.port, refuse="403 Forbidden")) or m.setenv(
        "https_proxy", c[-1].url) or f"{i.origin}/x",
    "tab": lambda i, m, t, c: f"{i.origin}/a\tb",
    "line feed in the host": lambda i, m, t, c: "https://ho\nst/x",
    # Plain HTTP: over TLS urllib words it "The read operation timed out".
    "no answer": lambda i, m, t, c: plain_server(c, slow=lambda s: tls_index.drip(s, b"[1]", every=10)) + "/slow",
    "connect time-out": lambda i, m, t, c: full_queue(c),
    "redirect loop": lambda i, m, t, c: redirects(i, {"/loop": "/loop"}),
    "redirect ring": lambda i, m, t, c: redirects(i, {"/r0": "/r1", "/r1": "/r0"}),
    "redirect chain": lambda i, m, t, c: redirects(i, {f"/c{n}": f"/c{n + 1}" for n in range(20)}),
    "redirect to a file": lambda i, m, t, c: redirects(i, {"/f": "file:///etc/hosts"}),
    "redirect to nowhere": lambda i, m, t, c: i.route("/n", b"gone", status=302) or f"{i.origin}/n",
}


@pytest.mark.parametrize("case", [pytest.param(c, marks=pytest.mark.skipif(
    c == "connect time-out" and not LINUX, reason="a full accept queue refuses elsewhere")) for c in FAILURES])
def test_each_failure_is_urllibs(ww, index, monkeypatch, tmp_path, case):
    closing = []
    try:
        url = FAILURES[case](index, monkeypatch, tmp_path, closing)
        ours = outcome(lambda: ww._http_json(url, timeout=1.0))
        asked = len(index.requests)
        real = urllib.request.urlopen  # the module's urllib road: urlopen replaced by itself
        monkeypatch.setattr(urllib.request, "urlopen", lambda *a, **k: real(*a, **k))
        theirs = outcome(lambda: ww._http_json(url, timeout=1.0))
    finally:
        for thing in reversed(closing):
            thing.close()
    assert ours == theirs and ours[0] != "value"
    assert asked == len(index.requests) - asked  # as many requests each way (5 for a loop)


HOST_SETTINGS = {  # the host's opener: (index, proxy, another CA) -> handlers
    "pinned CA": lambda i, p, ca: [urllib.request.HTTPSHandler(context=ssl.create_default_context(cafile=ca))],
    "proxy": lambda i, p, ca: [urllib.request.ProxyHandler({"https": p.url})],
    "no proxy": lambda i, p, ca: [urllib.request.ProxyHandler({})],  # the environment's would refuse
}


@pytest.mark.parametrize("setting", HOST_SETTINGS)
@pytest.mark.parametrize("call", ["_http_json", "catalog"])
def test_an_installed_opener_decides(ww, index, monkeypatch, tmp_path, index_hosts, setting, call):
    index.route("/simple/", simple_doc("talvex-ext-a"))
    index.route("/pypi/talvex-ext-a/json", {"info": {"name": "talvex-ext-a", "version": "1"}})
    proxy = tls_index.ConnectProxy(index.port)
    other_ca = tls_index.make_certificate(str(tmp_path), ["elsewhere.invalid"])[0]
    direct = patch_create_connection(lambda real: refuse_index_host(index_hosts[0]) if setting == "proxy" else real)
    monkeypatch.setenv("https_proxy", f"http://127.0.0.1:{closed_port()}" if setting == "no proxy" else "")
    urllib.request.install_opener(urllib.request.build_opener(*HOST_SETTINGS[setting](index, proxy, other_ca)))
    try:
        result = outcome(lambda: ww._http_json(f"{index.origin}/pypi/talvex-ext-a/json", timeout=5)["info"]["version"]
                         if call == "_http_json" else [e["version"] for e in ww.list_pypi_talvex_extensions()])
    finally:
        urllib.request.install_opener(None)
        direct.close()
        proxy.close()
    if setting == "pinned CA":
        assert result[0] is urllib.error.URLError and "CERTIFICATE_VERIFY_FAILED" in result[1]
    else:
        assert result == ("value", "1" if call == "_http_json" else ["1"])
    assert bool(proxy.tunnels) == (setting == "proxy")


def test_headers_of_any_mapping_are_sent(ww, index):
    index.route("/x", [1])
    assert ww._http_json(f"{index.origin}/x", timeout=5, headers=types.MappingProxyType({"X-Extra": "1"})) == [1]
    assert index.requests[-1][2]["X-Extra"] == "1"


def test_one_default_context_while_nothing_changes(ww, index, monkeypatch):
    index.route("/x", [1])
    loads, real = [], ssl.SSLContext.load_default_certs
    monkeypatch.setattr(ssl.SSLContext, "load_default_certs", lambda self, *a: loads.append(1) or real(self, *a))
    for _ in range(3):
        ww._http_json(f"{index.origin}/x", timeout=5)
    made = len(loads)
    assert made <= 1  # none when an earlier test made it with the same settings
    monkeypatch.setenv("SSLKEYLOGFILE", index.cert + ".keys")  # a setting it reads: a new one
    for _ in range(2):
        ww._http_json(f"{index.origin}/x", timeout=5)
    assert len(loads) == made + 1


@pytest.mark.parametrize("call", ["_http_json", "catalog"])
def test_deadline_holds_across_a_redirect_to_another_host(ww, index, call):
    closing = []
    there = plain_server(closing, slow=lambda s: tls_index.drip(s, b'{"projects": []}', every=0.5))
    redirects(index, {"/x": f"{there}/slow", "/simple/": f"{there}/slow"})
    start = time.monotonic()
    try:
        with pytest.raises(TimeoutError, match="^timed out$"):
            ww._http_json(f"{index.origin}/x", timeout=1.5) if call == "_http_json" else (
                ww.list_pypi_talvex_extensions(timeout=1.5))
    finally:
        closing[0].close()
    assert time.monotonic() - start < 1.5 + 1.5


def test_interrupt_while_the_timer_is_cancelled_propagates(ww, index, monkeypatch):
    class Interrupted(threading.Timer):
        def cancel(self):
            super().cancel()
            raise KeyboardInterrupt

    monkeypatch.setattr(threading, "Timer", Interrupted)
    for path, status, context in [("/x", 200, type(None)), ("/boom", 500, RuntimeError)]:
        index.route(path, b"[1]", status=status)
        with pytest.raises(KeyboardInterrupt) as info:
            ww._http_json(f"{index.origin}{path}", timeout=5)
        assert type(info.value.__context__) is context  # raised in the other's place


@pytest.mark.skipif(not LINUX, reason="reads VmHWM of /proc/self/status")
@pytest.mark.parametrize("case", ["64 MiB the scan leaves", "the same, gzip-compressed", "largest parsed whole"])
def test_simple_index_the_scan_leaves_stays_bounded(index, index_hosts, certificate, case):
    # A "name" that is not a string: only a parse of the whole document says what it holds.
    item, size = (b"{}, ", 2 * 1024 * 1024 - 40) if case.startswith("largest") else (b'{"name": "abcdefgh"}, ', 1 << 26)
    body = b'{"projects": [{"name": 1}, ' + item * (size // len(item)) + b"{}]}"
    gz = {"Content_Encoding": "gzip"} if case.endswith("compressed") else {"Content_Encoding": "identity"}
    index.route("/simple/", tls_index.gzip.compress(body, 6) if "gzip" in gz.values() else body, **gz)
    result = tls_index.measure_growth("ww.list_pypi_talvex_extensions()", index_hosts[0], index.port, certificate[0])
    too_large = f"ValueError: the answer from https://{index_hosts[0]}/simple/ is larger than 2097152 bytes"
    assert result["outcome"] == ("[]" if case.startswith("largest") else too_large)
    assert result["growth_kb"] < 64 * 1024
