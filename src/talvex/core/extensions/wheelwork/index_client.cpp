// The package index's JSON-over-HTTPS client.  Standard library only, and every
// call builds its own request, so background threads may use it freely.
#include "index_client.hpp"
#include "text_scan.hpp"

#include <algorithm>
#include <atomic>
#include <iterator>
#include <memory>
#include <string_view>

namespace wheelwork {

namespace index {

namespace {

// "Talvex-Desktop/1.0 (+https://<index>/project/talvex/)"
nb::str user_agent() {
    return nb::str("Talvex-Desktop/1.0 (+https://{}/project/talvex/)").format(kIndexHost);
}

// body.decode("utf-8", errors="replace")
nb::object decode_body(nb::handle body) {
    return body.attr("decode")("utf-8", "errors"_a = "replace");
}

constexpr Py_ssize_t kInflateStep = 1024 * 1024;

// Decompresses the gzip members of `data` into at most `limit` bytes.  Strict:
// raises for data that does not decompress completely and for more than
// `limit` bytes.  Otherwise: what decompresses, cut at `limit`, never raising
// for the data.
nb::object inflate(nb::handle data, Py_ssize_t limit, bool strict, nb::handle url) {
    nb::object zlib = nb::module_::import_("zlib");
    nb::list pieces;
    Py_ssize_t total = 0;
    // Decompresses into `pieces`; returns at the end of the data, at the limit
    // or at data that ends too soon.
    auto decompress = [&](nb::object rest) {
        for (bool first = true;; first = false) {
            if (!first)
                rest = skip_zeros(rest);
            if (PyBytes_GET_SIZE(rest.ptr()) == 0)
                return;
            nb::object member = zlib.attr("decompressobj")("wbits"_a = 31);
            for (;;) {
                // In steps, so that the pieces and zlib's own buffer add up to
                // little more than the limit.
                Py_ssize_t step = std::min<Py_ssize_t>(limit - total + 1, kInflateStep);
                nb::object out = member.attr("decompress")(rest, step);
                Py_ssize_t produced = static_cast<Py_ssize_t>(nb::len(out));
                total += produced;
                pieces.append(out);
                if (total > limit) {
                    if (strict)
                        raise_too_large(url, limit);
                    return;
                }
                if (tvx::truthy(member.attr("eof"))) {
                    rest = member.attr("unused_data");
                    break;
                }
                rest = member.attr("unconsumed_tail");
                // A full step may leave output behind even when all input is in.
                if (nb::len(rest) == 0 && produced < step) {
                    if (strict)
                        tvx::raise(PyExc_EOFError,
                                   "Compressed file ended before the end-of-stream marker was reached");
                    return;
                }
            }
        }
    };
    nb::object bytes = nb::steal(PyBytes_FromObject(data.ptr()));
    if (!bytes.is_valid())
        throw nb::python_error();
    if (strict)
        decompress(bytes);
    else  // on a fault: what decompressed before it
        tvx::except_exception([&] { decompress(bytes); }, [] {});
    nb::object joined = nb::bytes("").attr("join")(pieces);
    if (total > limit)
        joined = joined[nb::slice(nb::none(), nb::int_(limit), nb::none())];
    return joined;
}

// Adds what answered to a parse error: a note for people reading the
// traceback, `url` and `content_type` for code presenting it.  Best effort:
// the error itself is what matters.
void describe_parse_error(nb::handle error, nb::handle url, nb::handle response) {
    tvx::except_exception(
        [&] {
            nb::object content_type = header(response, "Content-Type");
            nb::object shown = content_type.is_none() ? nb::object(nb::str("none given"))
                                                      : nb::object(nb::repr(content_type));
            error.attr("add_note")(
                nb::str("while reading the answer from {} (Content-Type: {})").format(url, shown));
            nb::setattr(error, "url", url);
            nb::setattr(error, "content_type", content_type);
        },
        [] {});
}

// The first 200 characters of an error body, "" when it cannot be read.  Only
// as much is read and decompressed as those characters can take.
nb::object error_detail(nb::handle source) {
    return tvx::except_exception(
        [&]() -> nb::object {
            nb::object body;
            if (is_gzip(header(source, "Content-Encoding"))) {
                body = source.attr("read")(64 * 1024);
                body = inflate(body, kErrorBodyBytes, false, nb::none());
            } else {
                body = source.attr("read")(kErrorBodyBytes);
            }
            return decode_body(body)[nb::slice(nb::none(), nb::int_(200), nb::none())];
        },
        [] { return nb::str(""); });
}

// RuntimeError("HTTP <code> for <url>: <detail>") from the HTTPError `cause`.
[[noreturn]] void raise_status(nb::handle url, nb::handle http_error, nb::handle detail,
                               const nb::python_error &cause) {
    nb::str message = nb::str("HTTP {} for {}: {}").format(http_error.attr("code"), url, detail);
    tvx::raise_from(PyExc_RuntimeError, message, cause);
}

// Whether `urlopen` is urllib's own function.
bool stock_urlopen(nb::handle urlopen) {
    for (auto [name, value] : {std::pair{"__module__", "urllib.request"}, std::pair{"__qualname__", "urlopen"}}) {
        nb::object text = tvx::optional_attr(urlopen, name);
        if (!text.is_valid() || !PyUnicode_Check(text.ptr()) ||
            PyUnicode_CompareWithASCIIString(text.ptr(), value) != 0)
            return false;
    }
    return true;
}

}  // namespace

nb::object build_request(nb::handle url, nb::handle headers) {
    nb::dict merged;
    merged["User-Agent"] = user_agent();
    merged["Accept-Encoding"] = "gzip";
    // urllib stores header names capitalised ("Accept-encoding"), the later
    // entry winning: a caller's name in any letter case replaces the default.
    if (tvx::truthy(headers) && PyDict_Update(merged.ptr(), headers.ptr()) < 0)
        throw nb::python_error();
    return nb::module_::import_("urllib.request").attr("Request")(url, "headers"_a = merged);
}

nb::object open(nb::handle url, nb::handle request, nb::handle timeout,
                const std::function<nb::object(nb::handle)> &read) {
    nb::object error_module = nb::module_::import_("urllib.error");
    nb::object module = nb::module_::import_("urllib.request");
    nb::object urlopen = module.attr("urlopen");
    try {
        nb::object response;
        if (stock_urlopen(urlopen) && tvx::attr_or(module, "_opener", nb::bool_(true)).is_none())
            response = module.attr("build_opener")().attr("open")(request, nb::none(), timeout);
        else
            response = urlopen(request, "timeout"_a = timeout);
        nb::object value = nb::none();
        tvx::with(response, [&](nb::handle r) { value = read(r); });
        return value;
    } catch (nb::python_error &e) {
        if (!e.matches(error_module.attr("HTTPError")))
            throw;
        nb::handle http_error = e.value();
        raise_status(url, http_error, error_detail(http_error), e);
    }
}

nb::object header(nb::handle response, const char *name) {
    // A response without readable headers says nothing.
    return tvx::except_exception(
        [&]() -> nb::object {
            nb::object headers = tvx::optional_attr(response, "headers");
            if (!headers.is_valid() || headers.is_none())
                return nb::none();
            return headers.attr("get")(name);
        },
        [] { return nb::none(); });
}

bool is_gzip(nb::handle content_encoding) {
    std::string_view value;
    if (!text::ascii_view(content_encoding, value))
        return false;
    value = text::strip(value);
    return text::equals_lower(value, "gzip") || text::equals_lower(value, "x-gzip");
}

nb::object parse_answer(const Call &c, nb::handle url, nb::handle response, nb::handle body,
                        bool gzip, Limit limit) {
    nb::object data = nb::borrow(body);
    if (gzip) {
        data = tvx::except_exception(
            [&] { return gunzip(body, limit.of(static_cast<Py_ssize_t>(nb::len(body))), url); },
            [&](const nb::python_error &e) -> nb::object {
                if (e.matches(PyExc_ValueError))
                    throw;
                nb::str message = nb::str("the answer from {} says it is gzip-compressed but does "
                                          "not decompress: {}")
                                      .format(url, tvx::to_str(e.value()));
                tvx::raise_from(PyExc_ValueError, message, e);
            });
    }
    nb::object text = decode_body(data);
    data = nb::object();
    try {
        return c.g("json").attr("loads")(text);
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_ValueError))
            describe_parse_error(e.value(), url, response);
        throw;
    }
}

Limit limit_for(nb::handle url) {
    nb::str simple = nb::str("https://{}/simple/").format(kIndexHost);
    int same = PyObject_RichCompareBool(url.ptr(), simple.ptr(), Py_EQ);
    if (same < 0)
        PyErr_Clear();  // an URL that does not compare is not the simple index's
    return same > 0 ? kSimpleIndex : kDocument;
}

nb::object gunzip(nb::handle data, Py_ssize_t limit, nb::handle url) {
    return inflate(data, limit, true, url);
}

void raise_too_large(nb::handle url, Py_ssize_t limit) {
    nb::str message = nb::str("the answer from {} is larger than {} bytes").format(url, limit);
    tvx::raise(PyExc_ValueError, message);
}

nb::object read_body(nb::handle response, Py_ssize_t limit, nb::handle url) {
    nb::object client = nb::module_::import_("http.client");
    if (limit < 0 || !nb::isinstance(response, client.attr("HTTPResponse")))
        return response.attr("read")();
    nb::object body = response.attr("read")(limit + 1);
    if (static_cast<Py_ssize_t>(nb::len(body)) > limit)
        raise_too_large(url, limit);
    // A read of a given size does not notice a connection closed before the
    // announced length; reading the whole body at once raises this.
    nb::object left = response.attr("length");
    if (PyLong_CheckExact(left.ptr()) && tvx::truthy(left)) {
        nb::object error = client.attr("IncompleteRead")(body, left);
        PyErr_SetRaisedException(error.release().ptr());
        throw nb::python_error();
    }
    return body;
}

// --- deadlines --------------------------------------------------------------------

namespace {

constexpr double kLongest = 1e9;  // seconds; anything longer is forever enough

Deadline::Clock::duration seconds_of(double seconds) {
    if (!(seconds > 0.0))
        seconds = 0.0;
    return std::chrono::duration_cast<Deadline::Clock::duration>(
        std::chrono::duration<double>(std::min(seconds, kLongest)));
}

}  // namespace

Deadline::Deadline(double seconds) : at_(Clock::now() + seconds_of(seconds)) {}

Deadline Deadline::at(double epoch_seconds) {
    Deadline d;
    d.at_ = Clock::time_point(seconds_of(epoch_seconds));
    return d;
}

double Deadline::left() const {
    double left = std::chrono::duration<double>(at_ - Clock::now()).count();
    return left > 0.0 ? left : 0.0;
}

double Deadline::epoch_seconds() const {
    return std::chrono::duration<double>(at_.time_since_epoch()).count();
}

// --- the module's own connections -------------------------------------------------

namespace {

// Whether the interpreter's default HTTPS context is its own: ssl's
// create_default_context, not replaced, also as _create_default_https_context.
bool stock_default_context(nb::handle ssl) {
    nb::object make = tvx::optional_attr(ssl, "_create_default_https_context");
    nb::object create = tvx::optional_attr(ssl, "create_default_context");
    if (!make.is_valid() || !create.is_valid() || !make.is(create))
        return false;
    for (auto [name, value] : {std::pair{"__module__", "ssl"}, std::pair{"__qualname__", "create_default_context"}}) {
        nb::object text = tvx::optional_attr(create, name);
        if (!text.is_valid() || !PyUnicode_Check(text.ptr()) ||
            PyUnicode_CompareWithASCIIString(text.ptr(), value) != 0)
            return false;
    }
    return true;
}

}  // namespace

bool own_connections_allowed(nb::handle headers) {
    if (!headers.is_none() && !PyDict_CheckExact(headers.ptr()))
        return false;  // what urllib makes of another mapping is urllib's
    nb::object request = nb::module_::import_("urllib.request");
    if (!stock_urlopen(request.attr("urlopen")))
        return false;
    // Any opener at all: urlopen's own first call installs the default one, and
    // what a host's handlers change is theirs to know.
    nb::object opener = tvx::optional_attr(request, "_opener");
    if (!opener.is_valid() || !opener.is_none())
        return false;
    return stock_default_context(nb::module_::import_("ssl"));
}

namespace {

// Origin tuple: (connection class, host[:port] to connect to, host[:port] to
// tunnel to or None, TLS context or None, "scheme://host:port").
constexpr size_t kClass = 0, kConnectTo = 1, kTunnelTo = 2, kContext = 3, kKey = 4;

// "scheme://host:port" of an http(s) URL without credentials; None otherwise.
// `netloc` receives the URL's host[:port].
nb::object origin_key(nb::handle url, nb::object &netloc) {
    return tvx::except_exception(
        [&]() -> nb::object {
            // urllib keeps control characters and blanks (http.client then
            // refuses them) where urlsplit drops some: such a URL is urllib's.
            if (!PyUnicode_Check(url.ptr()))
                return nb::none();
            Py_ssize_t n = PyUnicode_GET_LENGTH(url.ptr());
            for (Py_ssize_t i = 0; i < n; ++i) {
                Py_UCS4 ch = PyUnicode_READ_CHAR(url.ptr(), i);
                if (ch <= 0x20 || ch == 0x7f)
                    return nb::none();
            }
            nb::object parts = nb::module_::import_("urllib.parse").attr("urlsplit")(url);
            nb::object scheme = parts.attr("scheme").attr("lower")();
            bool https = scheme.equal(nb::str("https"));
            if (!https && !scheme.equal(nb::str("http")))
                return nb::none();
            if (!parts.attr("username").is_none() || !parts.attr("password").is_none())
                return nb::none();
            nb::object host = parts.attr("hostname");
            if (!tvx::truthy(host))
                return nb::none();
            nb::object port = parts.attr("port");
            if (port.is_none())
                port = nb::int_(https ? 443 : 80);
            netloc = parts.attr("netloc");
            return nb::str("{}://{}:{}").format(scheme, host, port);
        },
        [] { return nb::none(); });  // urllib reports what is wrong with it
}

// The TLS context urllib's HTTPS handler makes (the interpreter's default
// HTTPS context, speaking HTTP/1.1), made once and reused while nothing it was
// made from changes: the context functions and the environment that
// create_default_context reads (the CA file and directory, the key log).
// Loading the CA store costs tens of milliseconds; urllib pays it per request.
nb::object default_https_context() {
    // The one cache of the module, as the interpreter's HTTPS handler may keep
    // one context: (key, context), touched only with the GIL held.  Never freed:
    // it may outlive the interpreter's objects at exit.
    static nb::object *cache = new nb::object[2];
    nb::object ssl = nb::module_::import_("ssl");
    nb::object env = nb::module_::import_("os").attr("environ");
    nb::object paths = ssl.attr("get_default_verify_paths")();
    nb::object key = nb::make_tuple(ssl.attr("create_default_context"),
                                    ssl.attr("_create_default_https_context"),
                                    paths.attr("openssl_cafile_env"),
                                    env.attr("get")(paths.attr("openssl_cafile_env")),
                                    paths.attr("openssl_capath_env"),
                                    env.attr("get")(paths.attr("openssl_capath_env")),
                                    env.attr("get")("SSLKEYLOGFILE"));
    if (cache[0].is_valid() && cache[0].equal(key))
        return cache[1];
    nb::object context = ssl.attr("_create_default_https_context")();
    nb::list alpn;
    alpn.append("http/1.1");
    context.attr("set_alpn_protocols")(alpn);
    if (!context.attr("post_handshake_auth").is_none())
        nb::setattr(context, "post_handshake_auth", nb::bool_(true));
    cache[0] = key;
    cache[1] = context;
    return context;
}

// host[:port] of the environment's proxy for `scheme`, None when there is
// none or `netloc` bypasses it, and a null object for a proxy the module's own
// client does not speak (credentials, another scheme): urllib's case.
nb::object proxy_for(nb::handle scheme, nb::handle netloc) {
    nb::object request = nb::module_::import_("urllib.request");
    nb::object proxy = request.attr("getproxies")().attr("get")(scheme);
    if (!tvx::truthy(proxy) || tvx::truthy(request.attr("proxy_bypass")(netloc)))
        return nb::none();
    nb::object parse = nb::module_::import_("urllib.parse");
    nb::str text = tvx::to_str(proxy);
    nb::object hostport;
    if (tvx::truthy(text.attr("__contains__")("://"))) {
        nb::object parts = parse.attr("urlsplit")(text);
        nb::object type = parts.attr("scheme").attr("lower")();
        if (!type.equal(nb::str("http")) && !type.equal(nb::str("https")))
            return nb::object();
        if (!parts.attr("username").is_none() || tvx::truthy(parts.attr("path").attr("strip")("/")))
            return nb::object();
        hostport = parts.attr("netloc");
    } else {
        if (tvx::truthy(text.attr("__contains__")("@")) || tvx::truthy(text.attr("__contains__")("/")))
            return nb::object();
        hostport = text;
    }
    if (!tvx::truthy(hostport))
        return nb::object();
    return parse.attr("unquote")(hostport);
}

}  // namespace

nb::object Origin::make(nb::handle url, nb::handle request) {
    nb::object netloc;
    nb::object key = origin_key(url, netloc);
    if (key.is_none())
        return nb::none();
    // urllib connects to the host its Request reads from the URL.
    if (request.is_valid() && !tvx::attr_or(request, "host", nb::none()).equal(netloc))
        return nb::none();
    nb::object client = nb::module_::import_("http.client");
    bool https = tvx::truthy(key.attr("startswith")("https:"));
    nb::object scheme = nb::str(https ? "https" : "http");
    nb::object proxy = proxy_for(scheme, netloc);
    if (!proxy.is_valid() || (!https && !proxy.is_none()))
        return nb::none();  // through urllib: a proxy it alone speaks, or an absolute-form request
    nb::object connect_to = proxy.is_none() ? netloc : proxy;
    nb::object tunnel_to = proxy.is_none() ? nb::object(nb::none()) : netloc;
    nb::object ctx = https ? default_https_context() : nb::object(nb::none());
    nb::object cls = client.attr(https ? "HTTPSConnection" : "HTTPConnection");
    return nb::make_tuple(cls, connect_to, tunnel_to, ctx, key);
}

nb::object Origin::connection(nb::handle origin) {
    nb::tuple o = nb::borrow<nb::tuple>(origin);
    nb::object conn = o[kContext].is_none() ? o[kClass](o[kConnectTo])
                                            : o[kClass](o[kConnectTo], "context"_a = o[kContext]);
    if (!o[kTunnelTo].is_none())
        conn.attr("set_tunnel")(o[kTunnelTo]);
    return conn;
}

bool Origin::serves(nb::handle origin, nb::handle url) {
    nb::object netloc;
    nb::object key = origin_key(url, netloc);
    return !key.is_none() && key.equal(nb::borrow<nb::tuple>(origin)[kKey]);
}

namespace {

// The headers urllib sends for `request` (its own and the unredirected ones,
// named as urllib names them), title-cased; the connection is kept open.
nb::dict request_headers(nb::handle request) {
    nb::dict sent;
    for (nb::handle item : request.attr("header_items")()) {
        auto [name, value] = tvx::unpack_pair(item);
        sent[name.attr("title")()] = value;
    }
    return sent;
}

// A timer that, at the deadline, shuts the connection's socket down, so that
// whatever waits on it (connecting, the status line, a body trickling in)
// returns at once.  Cancelled by run(), which runs one request under it.
class Watchdog {
public:
    Watchdog(nb::handle connection, const Deadline &deadline)
        : fired_(std::make_shared<std::atomic<bool>>(false)) {
        nb::object socket = nb::module_::import_("socket");
        nb::object shutdown = socket.attr("socket").attr("shutdown");
        nb::object how = socket.attr("SHUT_RDWR");
        nb::object conn = nb::borrow(connection);
        nb::list sent = sent_;
        auto fired = fired_;
        nb::object expire = nb::cpp_function([conn, sent, shutdown, how, fired]() {
            fired->store(true);
            nb::list sockets = sent;
            sockets.append(conn.attr("sock"));
            for (nb::handle sock : sockets) {
                // a socket already closed has nothing left to wake
                tvx::except_exception(
                    [&] {
                        if (!sock.is_none())
                            shutdown(sock, how);
                    },
                    [] {});
            }
        });
        // Not a daemon: the interpreter ends a daemon thread that runs Python code
        // during its shutdown by unwinding it, which native frames cannot survive
        // (the process died after a timed-out request).  run() always cancels the
        // timer, so an exit waits at most for a firing one to finish.
        timer_ = nb::module_::import_("threading").attr("Timer")(deadline.left(), expire);
        timer_.attr("start")();
    }
    Watchdog(const Watchdog &) = delete;
    Watchdog &operator=(const Watchdog &) = delete;

    // try: return body() finally: timer.cancel()
    template <typename Body>
    nb::object run(Body &&body) {
        return tvx::finally(std::forward<Body>(body), [this] { timer_.attr("cancel")(); });
    }

    bool fired() const { return fired_->load(); }

    // The socket a request went out on: an answer that ends the connection
    // takes it from the connection, and it must still be woken.
    void watch(nb::handle connection) {
        nb::object sock = connection.attr("sock");
        if (!sock.is_none())
            sent_.append(sock);
    }

private:
    nb::list sent_;
    std::shared_ptr<std::atomic<bool>> fired_;
    nb::object timer_;
};

// The deadline while an answer is awaited or read: what a socket's time-out
// raises there.
[[noreturn]] void raise_timeout() { tvx::raise(PyExc_TimeoutError, "timed out"); }

// A failure while a request is sent (connecting, TLS, the proxy's tunnel, the
// request itself), as urllib raises it: an OSError becomes URLError(error), the
// deadline URLError(TimeoutError("timed out")); others propagate.
[[noreturn]] void raise_url_error(nb::object reason) {
    nb::object error = nb::module_::import_("urllib.error").attr("URLError")(reason);
    // `except OSError as err: raise URLError(err)`: the reason is its context.
    PyException_SetContext(error.ptr(), reason.release().ptr());
    PyErr_SetRaisedException(error.release().ptr());
    throw nb::python_error();
}

[[noreturn]] void raise_send_failure(const nb::python_error &e, bool timed_out) {
    if (!timed_out && !e.matches(PyExc_OSError))
        throw e;
    raise_url_error(timed_out ? nb::handle(PyExc_TimeoutError)("timed out") : nb::borrow(e.value()));
}

// A kept connection that the server closed meanwhile: the request may be
// made again on a new one.
bool closed_by_server(const nb::python_error &e) {
    return e.matches(PyExc_ConnectionError) ||
           e.matches(nb::module_::import_("http.client").attr("RemoteDisconnected")) ||
           e.matches(nb::module_::import_("ssl").attr("SSLEOFError"));
}

bool is_redirect(long status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// Bytes of a redirect's body read before its connection is given up instead.
constexpr Py_ssize_t kRedirectBody = 64 * 1024;

// urllib's redirect step: a fresh HTTPRedirectHandler's http_error_<status>
// for `request` and its answer, with a parent that keeps the next request
// instead of opening it.  The next Request (carrying the chain's
// redirect_dict), a null object when the answer names no place (an error
// status then), or what the handler raises (HTTPError for a loop or a
// scheme it refuses).  `drained` tells whether the answer's body was read.
nb::object next_request(nb::handle request, nb::handle response, long status, bool &drained) {
    nb::object headers = response.attr("headers");
    nb::object has = headers.attr("__contains__");
    if (!tvx::truthy(has("location")) && !tvx::truthy(has("uri")))
        return nb::object();  // the handler has nothing to follow
    nb::object module = nb::module_::import_("urllib.request");
    nb::object types = nb::module_::import_("types");
    nb::list opened;
    nb::object parent = types.attr("SimpleNamespace")(
        "open"_a = nb::cpp_function([opened](nb::handle next, nb::kwargs) { nb::list(opened).append(next); }));
    nb::object handler = module.attr("HTTPRedirectHandler")();
    handler.attr("add_parent")(parent);
    // The answer's body as the handler's `fp` (and an HTTPError's): at most
    // kRedirectBody bytes of it, read now.
    nb::object body = response.attr("read")(kRedirectBody);
    drained = tvx::truthy(response.attr("isclosed")());
    nb::object fp = nb::module_::import_("io").attr("BytesIO")(body);
    nb::setattr(request, "timeout", nb::none());
    nb::object step = handler.attr(nb::str("http_error_{}").format(status).c_str());
    step(request, fp, status, response.attr("reason"), headers);
    if (nb::len(opened) == 0)
        return nb::object();
    return opened[0];
}

}  // namespace

std::optional<nb::object> fetch(nb::handle origin, nb::object &connection, nb::handle request,
                                nb::handle url, const Deadline &deadline,
                                const std::function<nb::object(nb::handle)> &read,
                                bool &reusable, nb::object &handover) {
    reusable = false;
    nb::object error_module = nb::module_::import_("urllib.error");
    nb::object here = nb::borrow(origin);  // the origin of the request now made
    nb::object elsewhere;                   // its connection when not the caller's
    nb::object req = nb::borrow(request);
    auto current = [&]() -> nb::object & { return elsewhere.is_valid() ? elsewhere : connection; };
    auto close = [&] { current().attr("close")(); };
    for (;;) {
        nb::object conn = current();
        if (deadline.passed())
            raise_url_error(nb::handle(PyExc_TimeoutError)("timed out"));
        nb::object selector = req.attr("selector");
        nb::dict sent = request_headers(req);
        Watchdog watchdog(conn, deadline);
        // One request under the watchdog: its value, or a null object with
        // `next` set for a redirect to follow.
        nb::object next;
        bool drained = false;
        nb::object value = watchdog.run([&]() -> nb::object {
            nb::object response;
            for (int attempt = 0;; ++attempt) {
                conn = current();
                nb::object sock = conn.attr("sock");
                bool kept = !sock.is_none();
                nb::setattr(conn, "timeout", nb::float_(deadline.left()));
                try {
                    if (kept)
                        sock.attr("settimeout")(deadline.left());
                    conn.attr("request")("GET", selector, "headers"_a = sent);
                } catch (nb::python_error &e) {
                    close();
                    if (!tvx::is_exception(e))
                        throw;
                    if (kept && attempt == 0 && !watchdog.fired() && closed_by_server(e))
                        continue;
                    raise_send_failure(e, watchdog.fired() || e.matches(PyExc_TimeoutError));
                }
                watchdog.watch(conn);
                try {
                    response = conn.attr("getresponse")();
                    break;
                } catch (nb::python_error &e) {
                    close();
                    if (!tvx::is_exception(e))
                        throw;
                    if (watchdog.fired() || e.matches(PyExc_TimeoutError))
                        raise_timeout();
                    if (kept && attempt == 0 && closed_by_server(e))
                        continue;
                    throw;
                }
            }
            long status = nb::cast<long>(response.attr("status"));
            // As urllib sets it: geturl() of the answer names the request it answers.
            nb::setattr(response, "url", req.attr("full_url"));
            try {
                if (status >= 200 && status < 300) {
                    nb::object got = read(response);
                    if (watchdog.fired())  // what was read may be cut short
                        raise_timeout();
                    reusable = tvx::truthy(response.attr("isclosed")()) && !conn.attr("sock").is_none();
                    if (!reusable)
                        close();
                    return got;
                }
                if (is_redirect(status)) {
                    try {
                        next = next_request(req, response, status, drained);
                    } catch (nb::python_error &e) {
                        if (!e.matches(error_module.attr("HTTPError")))
                            throw;
                        nb::object detail = error_detail(e.value());
                        close();
                        raise_status(url, e.value(), detail, e);
                    }
                    if (next.is_valid()) {
                        if (!drained)
                            close();
                        return nb::object();
                    }
                }
                nb::object detail = error_detail(response);
                close();
                nb::object http_error = error_module.attr("HTTPError")(
                    req.attr("full_url"), status, response.attr("reason"), response.attr("headers"), nb::none());
                PyErr_SetRaisedException(http_error.release().ptr());
                nb::python_error cause;
                raise_status(url, cause.value(), detail, cause);
            } catch (nb::python_error &e) {
                close();
                if (watchdog.fired() && tvx::is_exception(e))
                    raise_timeout();
                throw;
            }
        });
        if (value.is_valid()) {
            if (elsewhere.is_valid()) {
                elsewhere.attr("close")();
                reusable = false;
            }
            return value;
        }
        // A redirect: on a connection of its origin, or on to urllib.
        nb::object target = next.attr("full_url");
        if (!Origin::serves(here, target)) {
            nb::object there = Origin::make(target, next);
            if (there.is_none()) {
                close();
                handover = next;
                return std::nullopt;
            }
            if (elsewhere.is_valid())
                elsewhere.attr("close")();
            else if (!connection.attr("sock").is_none())
                connection.attr("close")();  // the caller's connection is done with
            here = there;
            elsewhere = Origin::connection(here);
        }
        req = next;
    }
}

nb::object Pool::make(nb::handle origin, nb::handle idle, const Deadline &listing) {
    return nb::make_tuple(origin, idle, listing.epoch_seconds());
}

nb::object Pool::origin(nb::handle pool) { return nb::borrow<nb::tuple>(pool)[0]; }

nb::object Pool::idle(nb::handle pool) { return nb::borrow<nb::tuple>(pool)[1]; }

nb::object pooled_get(nb::handle pool, nb::handle request, nb::handle url, double seconds,
                      const std::function<nb::object(nb::handle)> &read) {
    nb::object origin = Pool::origin(pool), idle = Pool::idle(pool);
    Deadline deadline =
        Deadline(seconds).earlier(Deadline::at(nb::cast<double>(nb::borrow<nb::tuple>(pool)[2])));
    nb::object connection = PyList_GET_SIZE(idle.ptr()) > 0 ? nb::object(idle.attr("pop")())
                                                            : Origin::connection(origin);
    bool reusable = false;
    nb::object handover;
    std::optional<nb::object> value;
    try {
        value = fetch(origin, connection, request, url, deadline, read, reusable, handover);
    } catch (nb::python_error &) {
        connection.attr("close")();
        throw;
    }
    if (reusable)
        idle.attr("append")(connection);
    else
        connection.attr("close")();
    if (value)
        return *value;
    return open(url, handover, nb::float_(std::max(deadline.left(), 0.001)), read);
}

nb::object get_json(const Call &c, nb::handle url, nb::handle timeout, nb::handle headers) {
    Limit limit = limit_for(url);
    auto read = [&](nb::handle response) {
        bool gzip = is_gzip(header(response, "Content-Encoding"));
        nb::object body = read_body(response, limit.per_byte ? -1 : limit.fixed, url);
        return parse_answer(c, url, response, body, gzip, limit);
    };
    nb::object request = build_request(url, headers);
    nb::object urllib_timeout = nb::borrow(timeout);
    double seconds = PyFloat_Check(timeout.ptr()) || PyLong_Check(timeout.ptr())
                         ? PyFloat_AsDouble(timeout.ptr())
                         : -1.0;
    if (seconds == -1.0 && PyErr_Occurred())
        PyErr_Clear();  // a time-out urllib must judge
    if (seconds > 0.0 && seconds < kLongest && own_connections_allowed(headers)) {
        nb::object origin = Origin::make(url, request);
        if (!origin.is_none()) {
            Deadline deadline(seconds);
            nb::object connection = Origin::connection(origin);
            bool reusable = false;
            nb::object handover;
            std::optional<nb::object> value;
            try {
                value = fetch(origin, connection, request, url, deadline, read, reusable, handover);
            } catch (...) {
                connection.attr("close")();
                throw;
            }
            connection.attr("close")();
            if (value)
                return *value;
            request = handover;
            urllib_timeout = nb::float_(std::max(deadline.left(), 0.001));
        }
    }
    return open(url, request, urllib_timeout, read);
}

nb::object skip_zeros(nb::handle data) {
    std::string_view bytes(PyBytes_AS_STRING(data.ptr()),
                           static_cast<size_t>(PyBytes_GET_SIZE(data.ptr())));
    size_t first = bytes.find_first_not_of('\0');
    if (first == 0)
        return nb::borrow(data);
    if (first == std::string_view::npos)
        first = bytes.size();
    PyObject *rest = PyBytes_FromStringAndSize(bytes.data() + first,
                                               static_cast<Py_ssize_t>(bytes.size() - first));
    if (!rest)
        throw nb::python_error();
    return nb::steal(rest);
}

}  // namespace index

namespace {

nb::object http_json(Call &c, nb::handle url, nb::handle timeout, nb::handle headers) {
    return index::get_json(c, url, timeout, headers);
}

const FuncSpec kHttpJson = {
    .name = "_http_json",
    .doc = "GET *url* and decode JSON (stdlib only \u2014 safe for background threads).",
    .params = {arg("url", "str"), kwarg("timeout", "float"),
               kwarg("headers", "dict[str, str] | None", dflt(nullptr))},
    .returns = "Any",
    .impl = tvx::body<http_json>,
};

}  // namespace

void init_index_client(tvx::ModuleFrame &frame) { frame.def(kHttpJson); }

}  // namespace wheelwork
