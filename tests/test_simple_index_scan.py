"""The catalog's own reading of the simple index against the full parse of the same answer.

While ``_http_json`` is the module's own, the listing reads the simple index itself and
scans it as it arrives; replacing ``_http_json`` by a wrapper around the original forces
the full parse (``json.loads``) of the very same bytes. Both must give the same names, or
the same exception, for every answer.
"""

import gzip
import http.client
import http.server
import json
import threading
import urllib.request

import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

from test_index_client import IndexServer, origin, server  # noqa: F401  (shared fixtures)


class Answer:
    """A response as urlopen hands it out; read(n) returns the pieces given (then the rest)."""

    def __init__(self, body, headers, pieces=()):
        self.body, self.headers, self.pieces, self.pos = body, headers, list(pieces), 0

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return None

    def read(self, amt=None):
        size = len(self.body) if amt is None else min(amt, self.pieces.pop(0) if self.pieces else amt)
        piece = self.body[self.pos:self.pos + size]
        self.pos += len(piece)
        return piece


def outcome(listing):
    try:
        return "listed", listing()
    except (Exception, RecursionError) as exc:
        return "raised", type(exc), str(exc), getattr(exc, "__notes__", None)


def both_ways(ww, monkeypatch, body, headers=None, pieces=(), prefix="talvex-ext-"):
    """(scanned, parsed): the listing's names, or its exception, each way."""
    headers = {"Content-Type": "application/vnd.pypi.simple.v1+json", **(headers or {})}
    monkeypatch.setattr(urllib.request, "urlopen", lambda request, timeout: Answer(body, headers, pieces))

    def listing():
        entries = ww.list_pypi_talvex_extensions(prefix=prefix, fetch_metadata=False, max_packages=0)
        return [e["id"] for e in entries]

    scanned = outcome(listing)
    original = ww._http_json
    with monkeypatch.context() as m:
        m.setattr(ww, "_http_json", lambda url, *, timeout, headers=None: original(url, timeout=timeout, headers=headers))
        parsed = outcome(listing)
    return scanned, parsed


def assert_same(ww, monkeypatch, body, headers=None, pieces=(), prefix="talvex-ext-"):
    scanned, parsed = both_ways(ww, monkeypatch, body, headers, pieces, prefix)
    assert scanned == parsed
    return scanned


# --- documents --------------------------------------------------------------------

NAME_PARTS = ["talvex", "Talvex", "TALVEX", "-ext-", "_ext_", ".ext.", "ext", "sdk", "extension", "x", "7",
              "-", "_", ".", " ", "\t", "\n", "\x0b", "\x1c", "\x00", "\x7f", '"', "\\", "/", "\u00e9",
              "\u2003", "\u2028", "\u0130", "\U0001f600", "\ud800", "\udbff", "\udc00"]
SHORT_ESCAPES = {'"': '\\"', "\\": "\\\\", "\n": "\\n", "\t": "\\t", "\r": "\\r", "\b": "\\b", "\f": "\\f"}


def utf16_units(ch):
    code = ord(ch)
    if code < 0x10000:
        return [code]
    code -= 0x10000
    return [0xD800 + (code >> 10), 0xDC00 + (code & 0x3FF)]


def json_string(draw, text):
    """A JSON string literal for `text`, each character written one of the ways JSON allows."""
    out = ['"']
    for ch in text:
        way = draw(st.integers(0, 5))
        if way == 0 or (0xD800 <= ord(ch) <= 0xDFFF and way < 5) or ord(ch) < 0x20 or ch in '"\\':
            if ch in SHORT_ESCAPES and way % 2:
                out.append(SHORT_ESCAPES[ch])
            else:
                hex_format = "\\u{:04x}" if way % 3 else "\\u{:04X}"
                out.extend(hex_format.format(unit) for unit in utf16_units(ch))
        elif ch == "/" and way == 1:
            out.append("\\/")
        else:
            out.append(ch)  # raw; a raw surrogate makes the bytes invalid UTF-8
    out.append('"')
    return "".join(out)


def ws(draw):
    return draw(st.sampled_from(["", "", "", " ", "\n", "\t", "\r\n  ", "  "]))


SCALARS = ["0", "-0", "12", "-7", "1.5", "-0.25e-3", "1E+2", "6.02e23", "1e999", "NaN", "Infinity", "-Infinity",
           "true", "false", "null", '"s"', '""', "123456789012345678901234567890"]


def value(draw, depth=0):
    kind = draw(st.integers(0, 5 if depth < 3 else 2))
    if kind <= 1:
        return draw(st.sampled_from(SCALARS))
    if kind == 2:
        return json_string(draw, draw(st.text(max_size=5)))
    if kind == 3:
        items = [value(draw, depth + 1) for _ in range(draw(st.integers(0, 3)))]
        return "[" + ws(draw) + ("," + ws(draw)).join(items) + ws(draw) + "]"
    return obj(draw, [(json_string(draw, draw(st.sampled_from(["k", "name", "projects", "a\u00e9"]))),
                       value(draw, depth + 1)) for _ in range(draw(st.integers(0, 3)))])


def obj(draw, members):
    parts = [key + ws(draw) + ":" + ws(draw) + val for key, val in members]
    return "{" + ws(draw) + ("," + ws(draw)).join(parts) + ws(draw) + "}"


NAME_HEADS = ["talvex-ext-", "Talvex_Ext_", "TALVEX.EXT.", " talvex-ext-", "\ttalvex--ext__", "\u2003talvex-ext-",
              "talvex-ext-sdk", "talvex-extension-", "talvex-ext", ""]


def name_text(draw):
    tail = draw(st.one_of(st.lists(st.sampled_from(NAME_PARTS), max_size=5).map("".join), st.text(max_size=6)))
    return draw(st.sampled_from(NAME_HEADS)) + tail


def project(draw):
    kind = draw(st.integers(0, 29))
    if kind == 0:  # not an object: skipped by the listing
        return value(draw)
    name_key = json_string(draw, "name")
    members = [(name_key, json_string(draw, name_text(draw)))]
    if kind == 1:  # the name given twice: the last one counts
        members.append((json_string(draw, "name"), json_string(draw, name_text(draw))))
    elif kind == 2:  # no name at all
        members = []
    elif kind == 3:  # a name that is no string
        members = [(name_key, draw(st.sampled_from(SCALARS + ["[]", "{}"])))]
    if draw(st.booleans()):
        extra = (json_string(draw, draw(st.sampled_from(["_last-serial", "meta", "tags"]))), value(draw, 1))
        members.insert(draw(st.integers(0, len(members))), extra)
    return obj(draw, members)


@st.composite
def documents(draw):
    projects = [project(draw) for _ in range(draw(st.integers(0, 8)))]
    array = "[" + ws(draw) + ("," + ws(draw)).join(projects) + ws(draw) + "]"
    members = [(json_string(draw, "meta"), '{"api-version": "1.1", "_last-serial": 42}'),
               (json_string(draw, "projects"), array)]
    shape = draw(st.integers(0, 15))
    if shape == 0:
        members.append((json_string(draw, "projects"), array))  # twice: the last one counts
    elif shape == 1:
        members = members[:1]  # no projects
    elif shape == 2:
        members[1] = (members[1][0], value(draw))  # projects of another type
    elif shape == 3:
        members.append((json_string(draw, "extra"), value(draw)))
    if draw(st.booleans()):
        members.reverse()
    text = ws(draw) + obj(draw, members) + ws(draw)
    if shape == 4:
        text = draw(st.sampled_from(["[", "\"", "3", "nul"])) + text  # top level of another type
    return text.encode("utf-8", "surrogatepass")


@st.composite
def damaged(draw, body):
    """The body, maybe damaged the way a broken transfer or a wrong server damages it."""
    kind = draw(st.integers(0, 9))
    at = draw(st.integers(0, len(body)))
    if kind == 0:
        return body[:at]
    if kind == 1:
        return body[:at] + draw(st.sampled_from([b"\xff", b"\xc3", b"\xed\xa0\x80", b"\xe2\x82", b"\x0b", b",",
                                                 b"\xc2\xa0", b"}", b"]", b'"', b"\\", b"\x00"])) + body[at:]
    if kind == 2:
        return b"\xef\xbb\xbf" + body  # a byte-order mark
    if kind == 3:
        return body[:at] + body[at + 1:]
    return body


@st.composite
def answers(draw):
    body = draw(damaged(draw(documents())))
    headers = {}
    if draw(st.booleans()):
        headers["Content-Encoding"] = "gzip"
        members = draw(st.integers(0, 3))
        if members:  # one or more gzip members, maybe zero padding or damage after them
            cuts = sorted(draw(st.lists(st.integers(0, len(body)), min_size=members - 1, max_size=members - 1)))
            bounds = [0, *cuts, len(body)]
            body = b"".join(gzip.compress(body[a:b], compresslevel=draw(st.integers(1, 9)))
                            for a, b in zip(bounds, bounds[1:]))
            body += draw(st.sampled_from([b"", b"", b"", b"\0\0\0", b"junk", b"\x1f"]))
            body = draw(damaged(body)) if draw(st.integers(0, 4)) == 0 else body
    pieces = draw(st.lists(st.integers(1, 40), max_size=60))
    return body, headers, pieces


@settings(max_examples=600, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture,
                                                                  HealthCheck.too_slow])
@given(answer=answers(), prefix=st.sampled_from(["talvex-ext-", "", "Talvex_Ext", "talvex\u00e9"]))
@example(answer=(b'{"projects": [{"name": "talvex-ext-a"}]}', {}, []), prefix="talvex-ext-")
def test_scan_matches_full_parse(ww, monkeypatch, answer, prefix):
    body, headers, pieces = answer
    assert_same(ww, monkeypatch, body, headers, pieces, prefix)


# --- chosen cases -----------------------------------------------------------------

ESCAPED = ('{"meta": {"api-version": "1.1"}, "projects": [{"name": "talvex-ext-\\u00e9t\\u00C9"}, '
           '{"name": "\\ud83d\\ude00talvex-ext-smile"}, {"name": " talvex-ext-lone\\ud800 "}, '
           '{"name": "talvex-ext-\\ud800\\ud83d\\ude00"}, {"name": "\\t talvex_ext_tab \\u2003"}, '
           '{"name": "talvex-ext-\\/slash\\"q\\\\"}, {"name": "talvex-ext-caf\u00e9 \U0001f600"}, '
           '{"name": "talvex-ext-first", "name": "talvex-ext-last"}, {"nam\\u0065": "talvex-ext-escaped-key"}, '
           '{"name": "numpy"}, 7, "talvex-ext-str", [{"name": "talvex-ext-nested"}], {}]}')
ESCAPED_NAMES = sorted(["talvex-ext-caf\u00e9 \U0001f600", "talvex-ext-escaped-key", "talvex-ext-last",
                        "talvex-ext-lone\ud800", "talvex-ext-/slash\"q\\", "talvex-ext-\ud800\U0001f600",
                        "talvex-ext-\u00e9t\u00c9", "talvex_ext_tab"], key=str.lower)


@pytest.mark.parametrize("compress", [False, True])
def test_every_piece_boundary(ww, monkeypatch, compress):
    body = ESCAPED.encode()
    headers = {"Content-Encoding": "gzip"} if compress else {}
    data = gzip.compress(body) if compress else body
    for size in (1, 2, 3, 5, 7):
        assert assert_same(ww, monkeypatch, data, headers, [size] * len(data)) == ("listed", ESCAPED_NAMES)


def test_the_scan_builds_no_document(ww, monkeypatch):
    """A plain index is read without json.loads; anything odd goes to it."""
    calls = []
    real_loads = json.loads
    monkeypatch.setattr(json, "loads", lambda *a, **kw: calls.append(1) or real_loads(*a, **kw))
    body = json.dumps({"projects": [{"name": f"talvex-ext-{i}"} for i in range(3000)]}).encode()
    scanned, parsed = both_ways(ww, monkeypatch, gzip.compress(body), {"Content-Encoding": "gzip"})
    assert scanned == parsed and len(scanned[1]) == 3000 and calls == [1]  # the forced full parse only
    calls.clear()
    odd = body.replace(b'"talvex-ext-7"', b"7")  # a name that is not a string
    scanned, parsed = both_ways(ww, monkeypatch, odd)
    assert scanned == parsed and len(scanned[1]) == 2999 and calls == [1, 1]


@pytest.mark.parametrize("body", [
    b'{"projects": [' + b"[" * 300 + b"]" * 300 + b"]}",  # deeper than the scan follows: parsed
    b'{"projects": [' + b"[" * 100_000 + b"]" * 100_000 + b"]}",  # RecursionError both ways
    b'{"projects": [], "n": ' + b"9" * 5000 + b"}",  # int() refuses that many digits
    b'{"projects": [], "n": ' + b"9" * 5000 + b".5}",  # a float does not
    b'{"projects": [], "n": -' + b"9" * 640 + b"}",
    b'{"projects": [], "projects": [{"name": "talvex-ext-late"}]}',
    b'{"projects": [{"name": "talvex-ext-a"}], "projects": {}}',
    b'<!DOCTYPE html><html><body>Log in</body></html>',
    b'', b' ', b'{"projects": []} x', b'{"projects": [],}', b'{"projects": [01]}', b'{"projects": [1.]}',
    b'{"projects": [-]}', b'{"projects": [.5]}', b'{"projects": [tru]}', b'{"projects": [-NaN]}',
    b'{"projects": ["\\x"]}', b'{"projects": ["\\u12G4"]}', b'{"projects": ["a\tb"]}',
    b'{"projects": [{"name": "talvex-ext-\xc0\xaf"}]}', b'{"projects": [{"name": "talvex-ext-\xf4\x90\x80\x80"}]}',
    b'{"projects": [{"name": "talvex-ext-\xed\xb0\x80"}]}', b'{"projects": [{"name": "talvex-ext-\xc3A"}]}',
    b'{"projects": [{"name": "talvex-ext-\xe2\x82A\xc3\xa9"}]}', b'\x0c{"projects": []}',
])
def test_chosen_documents(ww, monkeypatch, body):
    assert_same(ww, monkeypatch, body)
    assert_same(ww, monkeypatch, gzip.compress(body), {"Content-Encoding": "gzip"}, [3] * len(body))


# --- over HTTP ----------------------------------------------------------------------


def test_compressed_listing_over_http(ww, server, origin):
    names = [f"talvex-ext-tool{i:03d}" for i in range(200)] + [f"other-{i}" for i in range(2000)]
    doc = {"meta": {"api-version": "1.1"}, "projects": [{"name": n} for n in names]}
    server.route("/simple/", doc)
    server.compress = True
    entries = ww.list_pypi_talvex_extensions(fetch_metadata=False)
    assert [e["id"] for e in entries] == names[:120]
    headers = server.requests[-1][1]
    assert headers["Accept-Encoding"] == "gzip" and headers["Accept"] == "application/vnd.pypi.simple.v1+json"
    assert headers["User-Agent"].startswith("Talvex-Desktop/1.0")
    assert len(server.sent[-1]) < len(json.dumps(doc)) / 4
    assert server.opened == [(f"{origin}/simple/", 45.0)]


@pytest.mark.parametrize("compress", [False, True])
def test_connection_closed_early(ww, monkeypatch, compress):
    """The server announces more than it sends: reading by pieces notices it as reading
    at once does."""
    body = json.dumps({"projects": [{"name": f"talvex-ext-{i}"} for i in range(500)]}).encode()
    body = gzip.compress(body) if compress else body

    class Short(http.server.BaseHTTPRequestHandler):
        def do_GET(self):  # noqa: N802
            self.send_response(200)
            self.send_header("Content-Length", str(len(body) + 100))
            if compress:
                self.send_header("Content-Encoding", "gzip")
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Short)
    threading.Thread(target=httpd.serve_forever, daemon=True).start()
    real_urlopen = urllib.request.urlopen

    def routed(request, *args, **kwargs):
        request.full_url = f"http://127.0.0.1:{httpd.server_address[1]}/simple/"
        return real_urlopen(request, *args, **kwargs)

    monkeypatch.setattr(urllib.request, "urlopen", routed)
    original = ww._http_json
    try:
        results = []
        for wrap in (False, True):
            if wrap:
                monkeypatch.setattr(ww, "_http_json", lambda url, *, timeout, headers=None:
                                    original(url, timeout=timeout, headers=headers))
            with pytest.raises(http.client.IncompleteRead) as info:
                ww.list_pypi_talvex_extensions(fetch_metadata=False)
            results.append((str(info.value), info.value.partial == body))
    finally:
        httpd.shutdown()
        httpd.server_close()
    assert results[0] == results[1] == (f"IncompleteRead({len(body)} bytes read, 100 more expected)", True)
