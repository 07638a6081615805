"""The package index JSON client, against a real HTTP server on the loopback interface."""

import gzip
import http.server
import json
import threading
import urllib.error
import urllib.request

import pytest


class IndexServer:
    """Serves canned answers by path and records every request it sees. With
    `compress` set, an answer is gzip-compressed when the request asks for it."""

    def __init__(self):
        self.routes = {}  # path -> (status, body bytes, headers)
        self.requests = []  # (path, headers dict)
        self.sent = []  # body bytes as sent
        self.compress = False
        self.lock = threading.Lock()
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                with server.lock:
                    server.requests.append((self.path, dict(self.headers)))
                status, body, headers = server.routes.get(self.path, (404, b"not found", {}))
                headers = {"Content-Type": "application/json", **headers}
                if server.compress and "gzip" in self.headers.get("Accept-Encoding", ""):
                    body = gzip.compress(body)
                    headers["Content-Encoding"] = "gzip"
                server.sent.append(body)
                self.send_response(status)
                for name, value in headers.items():
                    self.send_header(name, value)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.httpd.daemon_threads = True
        self.base = f"http://127.0.0.1:{self.httpd.server_address[1]}"
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def route(self, path, body, status=200, **headers):
        if not isinstance(body, bytes):
            body = json.dumps(body).encode()
        self.routes[path] = (status, body, {k.replace("_", "-"): v for k, v in headers.items()})

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()


@pytest.fixture
def server(monkeypatch, index_hosts):
    """A local index; the module's https URLs for the index host are sent to it."""
    srv = IndexServer()
    real_urlopen = urllib.request.urlopen
    srv.opened = []  # (original url, timeout)
    origin = f"https://{index_hosts[0]}"

    def routed_urlopen(request, *args, **kwargs):
        url = request.full_url
        srv.opened.append((url, kwargs.get("timeout")))
        if url.startswith(origin + "/"):
            request.full_url = srv.base + url[len(origin):]
        return real_urlopen(request, *args, **kwargs)

    monkeypatch.setattr(urllib.request, "urlopen", routed_urlopen)
    yield srv
    srv.close()


@pytest.fixture
def origin(index_hosts):
    return f"https://{index_hosts[0]}"


def test_get_json_and_headers(ww, server, origin, index_hosts):
    server.route("/pypi/demo/json", {"info": {"name": "demo"}})
    assert ww._http_json(f"{origin}/pypi/demo/json", timeout=7.5) == {"info": {"name": "demo"}}
    path, headers = server.requests[-1]
    assert path == "/pypi/demo/json"
    assert headers["User-Agent"] == f"Talvex-Desktop/1.0 (+https://{index_hosts[0]}/project/talvex/)"
    assert server.opened == [(f"{origin}/pypi/demo/json", 7.5)]
    # caller headers are merged over the defaults
    server.route("/x", b'[1, "two", null, "caf\xe9"]')  # not UTF-8: decoded with replacement
    merged = {"User-Agent": "x", "Accept": "a/b"}
    assert ww._http_json(f"{origin}/x", timeout=5, headers=merged) == [1, "two", None, "caf\ufffd"]
    assert {k: server.requests[-1][1][k] for k in merged} == merged
    ww._http_json(f"{origin}/x", timeout=5, headers={})
    assert server.requests[-1][1]["User-Agent"].startswith("Talvex-Desktop/1.0 (+https://")


def test_http_error_status_raises_runtime_error_chained(ww, server, origin):
    body = "".join(chr(ord("a") + i % 26) for i in range(1000))
    server.route("/boom", body.encode(), status=500)
    url = f"{origin}/boom"
    with pytest.raises(RuntimeError) as info:
        ww._http_json(url, timeout=5)
    assert str(info.value) == f"HTTP 500 for {url}: {body[:200]}"
    assert isinstance(info.value.__cause__, urllib.error.HTTPError)
    assert info.value.__cause__.code == 500


def test_http_error_with_unreadable_body(ww, monkeypatch):
    class Unreadable(urllib.error.HTTPError):
        def read(self, *args):
            raise OSError("connection reset")

    def failing(request, timeout):
        raise Unreadable(request.full_url, 403, "Forbidden", {}, None)

    monkeypatch.setattr(urllib.request, "urlopen", failing)
    with pytest.raises(RuntimeError) as info:
        ww._http_json("https://h/p", timeout=1)
    assert str(info.value) == "HTTP 403 for https://h/p: "


def test_other_failures_propagate_unchanged(ww, server, origin):
    server.route("/bad", b"{not json")
    with pytest.raises(json.JSONDecodeError):
        ww._http_json(f"{origin}/bad", timeout=5)
    server.close()
    with pytest.raises(urllib.error.URLError):
        ww._http_json(f"{origin}/gone", timeout=5)


def test_urlopen_looked_up_at_each_call(ww, monkeypatch):
    seen = []

    class Response:
        __enter__ = lambda self: self  # noqa: E731
        __exit__ = lambda self, *exc: seen.append("closed")  # noqa: E731
        read = lambda self: b'{"ok": true}'  # noqa: E731

    def fake(request, timeout):
        seen.append((request.full_url, request.get_method(), request.data, timeout))
        return Response()

    monkeypatch.setattr(urllib.request, "urlopen", fake)
    assert ww._http_json("https://h/p", timeout=3.0) == {"ok": True}
    assert seen == [("https://h/p", "GET", None, 3.0), "closed"]


# --- compressed answers ------------------------------------------------------------


def test_gzip_asked_for_and_decompressed(ww, server, origin):
    doc = {"info": {"name": "demo", "summary": "caf\u00e9 " * 200}}
    server.route("/pypi/demo/json", doc)
    server.compress = True
    assert ww._http_json(f"{origin}/pypi/demo/json", timeout=5) == doc
    assert server.requests[-1][1]["Accept-Encoding"] == "gzip"
    assert len(server.sent[-1]) < len(json.dumps(doc)) / 5  # it did come compressed
    # A caller's header replaces the default whatever its letter case (urllib
    # capitalises names); the plain answer is read as before.
    for name in ("Accept-Encoding", "accept-encoding", "ACCEPT-ENCODING"):
        assert ww._http_json(f"{origin}/pypi/demo/json", timeout=5, headers={name: "identity"}) == doc
        sent = [v for k, v in server.requests[-1][1].items() if k.lower() == "accept-encoding"]
        assert sent == ["identity"] and server.sent[-1] == json.dumps(doc).encode()


@pytest.mark.parametrize("encoding", ["gzip", " GZIP ", "x-gzip"])
def test_encoding_names_of_gzip(ww, server, origin, encoding):
    server.route("/x", gzip.compress(b'{"a": ') + gzip.compress(b'[1, 2]}') + b"\0\0", Content_Encoding=encoding)
    assert ww._http_json(f"{origin}/x", timeout=5) == {"a": [1, 2]}  # two members, padding


@pytest.mark.parametrize("body", [b'{"a": 1}', gzip.compress(b'{"a": 1}')[:-3], b"\x1f\x8b\x08garbage",
                                  gzip.compress(b'{"a": 1}') + b"trailing"])
def test_body_claiming_gzip_that_does_not_decompress(ww, server, origin, body):
    server.route("/x", body, Content_Encoding="gzip")
    url = f"{origin}/x"
    with pytest.raises(ValueError) as info:
        ww._http_json(url, timeout=5)
    assert url in str(info.value) and "gzip" in str(info.value)
    assert info.value.__cause__ is not None


def test_http_error_with_compressed_body(ww, server, origin):
    server.compress = True
    server.route("/boom", b"x" * 300, status=503)
    with pytest.raises(RuntimeError, match=rf"^HTTP 503 for {origin}/boom: x{{200}}$"):
        ww._http_json(f"{origin}/boom", timeout=5)
    server.compress = False
    server.route("/boom", b"not gzip at all", status=502, Content_Encoding="gzip")
    with pytest.raises(RuntimeError, match=rf"^HTTP 502 for {origin}/boom: $"):  # best effort
        ww._http_json(f"{origin}/boom", timeout=5)


@pytest.mark.parametrize("content_type", ["text/html; charset=utf-8", None])
def test_answer_that_is_not_json_says_what_answered(ww, server, origin, content_type):
    headers = {"Content_Type": content_type} if content_type else {}
    server.route("/simple/", b"<html><body>Log in first</body></html>", **headers)
    if content_type is None:  # the server's default type replaced by none at all
        server.routes["/simple/"][2]["Content-Type"] = ""
    url = f"{origin}/simple/"
    with pytest.raises(json.JSONDecodeError) as info:
        ww._http_json(url, timeout=5)
    error = info.value
    assert str(error) == "Expecting value: line 1 column 1 (char 0)"  # type and message unchanged
    assert (error.url, error.content_type) == (url, content_type or "")
    assert error.__notes__ == [f"while reading the answer from {url} (Content-Type: {content_type or ''!r})"]
