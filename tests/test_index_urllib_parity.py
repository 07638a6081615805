"""The module's own connections fail as urllib fails, on the same local servers, and give
way to urllib whenever the host set something that could change its answer."""

import json
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


def describe(exc):
    return None if exc is None else (type(exc), str(exc))


def outcome(call):
    """What a call gives, or its exception as type, message, reason, cause and context."""
    try:
        return "value", call()
    except Exception as exc:
        return (type(exc), str(exc), describe(getattr(exc, "reason", None)), describe(exc.__cause__),
                describe(exc.__context__))


def through_urllib(monkeypatch, call):
    """`call` with urlopen replaced by a wrapper of itself: the module's urllib road."""
    real = urllib.request.urlopen
    monkeypatch.setattr(urllib.request, "urlopen", lambda *a, **k: real(*a, **k))
    try:
        return outcome(call)
    finally:
        monkeypatch.setattr(urllib.request, "urlopen", real)
        monkeypatch.setattr(urllib.request, "_opener", None)


def closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def patch_create_connection(replacement):
    """socket.create_connection replaced until the result's close()."""
    real = socket.create_connection
    socket.create_connection = replacement
    return types.SimpleNamespace(close=lambda: setattr(socket, "create_connection", real))


def redirect(index, path, target):
    index.route(path, b"moved " + path.encode(), status=302, Location=target)


def setup_failure(case, index, monkeypatch, tmp_path, closing):
    """The URL that fails as `case` says, with what it needs."""
    if case == "refused":
        return f"https://127.0.0.1:{closed_port()}/x"
    if case == "no such host":
        real = socket.create_connection

        def resolve(address, *args, **kwargs):
            if address[0] == "nothere.invalid":
                raise socket.gaierror(socket.EAI_NONAME, "Name or service not known")
            return real(address, *args, **kwargs)
        closing.append(patch_create_connection(resolve))
        return "https://nothere.invalid/x"
    if case == "certificate refused":
        monkeypatch.setenv("SSL_CERT_FILE", tls_index.make_certificate(str(tmp_path), ["elsewhere.invalid"])[0])
        return f"{index.origin}/x"
    if case == "not TLS":
        plain = tls_index.TlsIndex(None, None, tls=False)
        closing.append(plain)
        return f"https://127.0.0.1:{plain.port}/x"
    if case in ("proxy refused", "proxy says 403"):
        target = f"http://127.0.0.1:{closed_port()}"
        if case == "proxy says 403":
            proxy = tls_index.ConnectProxy(index.port, refuse="403 Forbidden")
            closing.append(proxy)
            target = proxy.url
        monkeypatch.setenv("https_proxy", target)
        return f"{index.origin}/x"
    if case.startswith("control character"):
        return f"{index.origin}/a{case[-1]}b"
    if case == "no answer":  # plain HTTP: over TLS urllib words it "The read operation timed out"
        plain = tls_index.TlsIndex(None, None, tls=False)
        closing.append(plain)
        plain.route("/slow", tls_index.drip(plain, b"[1]", every=10))
        return f"http://127.0.0.1:{plain.port}/slow"
    if case == "connect time-out":  # a full accept queue: connecting waits
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(0)
        closing.append(listener)
        for _ in range(3):
            waiting = socket.socket()
            waiting.setblocking(False)
            waiting.connect_ex(listener.getsockname())
            closing.append(waiting)
        return f"http://127.0.0.1:{listener.getsockname()[1]}/x"
    if case == "redirect loop":
        redirect(index, "/loop", "/loop")
        return f"{index.origin}/loop"
    if case == "redirect ring":
        redirect(index, "/r0", "/r1")
        redirect(index, "/r1", "/r0")
        return f"{index.origin}/r0"
    if case == "redirect chain":
        for i in range(20):
            redirect(index, f"/c{i}", f"/c{i + 1}")
        return f"{index.origin}/c0"
    if case == "redirect to a file":
        redirect(index, "/f", "file:///etc/hosts")
        return f"{index.origin}/f"
    raise AssertionError(case)


FAILURES = ["refused", "no such host", "certificate refused", "not TLS", "proxy refused", "proxy says 403",
            "control character \t", "control character \n", "no answer",
            pytest.param("connect time-out", marks=pytest.mark.skipif(
                not sys.platform.startswith("linux"), reason="a full accept queue drops connections on Linux")),
            "redirect loop", "redirect ring", "redirect chain", "redirect to a file"]


@pytest.mark.parametrize("case", FAILURES)
def test_each_failure_is_urllibs(ww, index, monkeypatch, tmp_path, case):
    closing = []
    try:
        url = setup_failure(case, index, monkeypatch, tmp_path, closing)
        calls = lambda: ww._http_json(url, timeout=1.0)  # noqa: E731
        ours = outcome(calls)
        asked = len(index.requests)
        theirs = through_urllib(monkeypatch, calls)
    finally:
        for thing in reversed(closing):
            thing.close()
    assert ours == theirs and ours[0] is not str
    assert asked == len(index.requests) - asked  # as many requests each way (5 for a loop)


# --- what the host set ------------------------------------------------------------


@pytest.fixture
def proxy(index):
    proxy = tls_index.ConnectProxy(index.port)
    yield proxy
    proxy.close()


HOST_SETTINGS = {
    # A CA of the host's own: the index's certificate is not trusted.
    "pinned CA": lambda index, proxy, other_ca: [urllib.request.HTTPSHandler(
        context=ssl.create_default_context(cafile=other_ca))],
    # Through the host's proxy, while the index cannot be reached directly.
    "proxy": lambda index, proxy, other_ca: [urllib.request.ProxyHandler({"https": proxy.url})],
    # The environment's proxy switched off (it would refuse everything).
    "no proxy": lambda index, proxy, other_ca: [urllib.request.ProxyHandler({})],
}


@pytest.mark.parametrize("setting", HOST_SETTINGS)
@pytest.mark.parametrize("call", ["_http_json", "catalog"])
def test_an_installed_opener_decides(ww, index, proxy, monkeypatch, tmp_path, index_hosts, setting, call):
    index.route("/simple/", simple_doc("talvex-ext-a"))
    index.route("/pypi/talvex-ext-a/json", {"info": {"name": "talvex-ext-a", "version": "1"}})
    other_ca = tls_index.make_certificate(str(tmp_path), ["elsewhere.invalid"])[0]
    direct = patch_create_connection(refuse_index_host(index_hosts[0]) if setting == "proxy"
                                     else socket.create_connection)
    if setting == "no proxy":
        monkeypatch.setenv("https_proxy", f"http://127.0.0.1:{closed_port()}")
    urllib.request.install_opener(urllib.request.build_opener(*HOST_SETTINGS[setting](index, proxy, other_ca)))
    try:
        result = outcome(lambda: ww._http_json(f"{index.origin}/pypi/talvex-ext-a/json", timeout=5)["info"]["version"]
                         if call == "_http_json" else [e["version"] for e in ww.list_pypi_talvex_extensions()])
    finally:
        urllib.request.install_opener(None)
        direct.close()
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
    loads = []
    real = ssl.SSLContext.load_default_certs
    monkeypatch.setattr(ssl.SSLContext, "load_default_certs", lambda self, *a: loads.append(1) or real(self, *a))
    for _ in range(3):
        assert ww._http_json(f"{index.origin}/x", timeout=5) == [1]
    made = len(loads)
    assert made <= 1  # none when an earlier test made it with the same settings
    monkeypatch.setenv("SSLKEYLOGFILE", str(index.cert) + ".keys")  # a setting it reads: a new one
    for _ in range(2):
        ww._http_json(f"{index.origin}/x", timeout=5)
    assert len(loads) == made + 1


# --- deadlines and interrupts -----------------------------------------------------


@pytest.mark.parametrize("call", ["_http_json", "catalog"])
def test_deadline_holds_across_a_redirect_to_another_host(ww, index, certificate, call):
    other = tls_index.TlsIndex(*certificate, tls=False)
    try:
        other.route("/slow", tls_index.drip(other, json.dumps(simple_doc("talvex-ext-a")).encode(), every=0.5))
        for path in ("/x", "/simple/"):
            redirect(index, path, f"http://127.0.0.1:{other.port}/slow")
        start = time.monotonic()
        with pytest.raises(TimeoutError, match="^timed out$"):
            if call == "_http_json":
                ww._http_json(f"{index.origin}/x", timeout=1.5)
            else:
                ww.list_pypi_talvex_extensions(timeout=1.5)
        assert time.monotonic() - start < 1.5 + 1.5
    finally:
        other.close()


def test_interrupt_while_the_timer_is_cancelled_propagates(ww, index, monkeypatch):
    index.route("/x", [1])

    class Interrupted(threading.Timer):
        def cancel(self):
            super().cancel()
            raise KeyboardInterrupt

    monkeypatch.setattr(threading, "Timer", Interrupted)
    with pytest.raises(KeyboardInterrupt):
        ww._http_json(f"{index.origin}/x", timeout=5)
    index.route("/boom", b"x", status=500)  # and while another exception is on its way
    with pytest.raises(KeyboardInterrupt) as info:
        ww._http_json(f"{index.origin}/boom", timeout=5)
    assert isinstance(info.value.__context__, RuntimeError)


# --- memory -----------------------------------------------------------------------


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads VmHWM of /proc/self/status")
@pytest.mark.parametrize("case", ["64 MiB the scan leaves", "the same gzip-compressed", "largest parsed whole"])
def test_simple_index_the_scan_leaves_stays_bounded(index, index_hosts, certificate, case):
    # A "name" that is not a string makes the scan give up: only a parse of the whole
    # document can say what it holds.
    item = b'{"name": "talvex-ext-abcdefgh"}, '
    if case == "largest parsed whole":
        body = b'{"projects": [{"name": 1}, ' + b"{}, " * ((2 * 1024 * 1024 - 40) // 4) + b"{}]}"
        expected = "[]"
    else:
        body = b'{"projects": [{"name": 1}, ' + item * (64 * 1024 * 1024 // len(item)) + b"{}]}"
        expected = f"ValueError: the answer from https://{index_hosts[0]}/simple/ is larger than 2097152 bytes"
    if case.endswith("compressed"):
        index.route("/simple/", tls_index.gzip.compress(body, 6), Content_Encoding="gzip")
    else:
        index.route("/simple/", body, Content_Encoding="identity")
    result = tls_index.measure_growth("ww.list_pypi_talvex_extensions()", index_hosts[0], index.port, certificate[0])
    assert result["outcome"] == expected
    assert result["growth_kb"] < 64 * 1024
