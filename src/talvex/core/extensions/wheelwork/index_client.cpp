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
    nb::object urlopen = nb::module_::import_("urllib.request").attr("urlopen");
    try {
        nb::object value = nb::none();
        tvx::with(urlopen(request, "timeout"_a = timeout),
                  [&](nb::handle response) { value = read(response); });
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

// The handlers of the opener urlopen builds for itself on its first call (a
// handler with nothing to do, such as ProxyHandler without proxies, is left out).
constexpr const char *kDefaultHandlers[] = {
    "ProxyHandler", "UnknownHandler", "HTTPHandler",        "HTTPDefaultErrorHandler",
    "HTTPRedirectHandler", "FTPHandler", "FileHandler",     "HTTPErrorProcessor",
    "DataHandler",  "HTTPSHandler",
};

// Whether urlopen's opener is the one it makes itself (none yet, or one of
// the default handlers only), not one installed with install_opener.
bool default_opener(nb::handle request) {
    nb::object opener = tvx::optional_attr(request, "_opener");
    if (!opener.is_valid())
        return false;
    if (opener.is_none())
        return true;
    nb::handle opener_type(reinterpret_cast<PyObject *>(Py_TYPE(opener.ptr())));
    if (!opener_type.is(request.attr("OpenerDirector")))
        return false;
    nb::object handlers = opener.attr("handlers");
    if (!PyList_Check(handlers.ptr()) || nb::len(handlers) > std::size(kDefaultHandlers))
        return false;
    for (nb::handle handler : handlers) {
        nb::handle type(reinterpret_cast<PyObject *>(Py_TYPE(handler.ptr())));
        bool known = false;
        for (const char *name : kDefaultHandlers)
            known = known || type.is(request.attr(name));
        if (!known)
            return false;
    }
    return true;
}

}  // namespace

bool urllib_is_stock() {
    nb::object request = nb::module_::import_("urllib.request");
    nb::object urlopen = request.attr("urlopen");
    nb::object module = tvx::optional_attr(urlopen, "__module__");
    if (!module.is_valid() || !PyUnicode_Check(module.ptr()) ||
        PyUnicode_CompareWithASCIIString(module.ptr(), "urllib.request") != 0)
        return false;
    return default_opener(request);
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

// The TLS context urllib's HTTPS handler makes: the interpreter's default
// HTTPS context (a replacement of it honoured), speaking HTTP/1.1.
nb::object default_https_context() {
    nb::object ssl = nb::module_::import_("ssl");
    nb::object make = tvx::optional_attr(ssl, "_create_default_https_context");
    if (!make.is_valid())
        make = ssl.attr("create_default_context");
    nb::object context = make();
    nb::list alpn;
    alpn.append("http/1.1");
    context.attr("set_alpn_protocols")(alpn);
    if (!context.attr("post_handshake_auth").is_none())
        nb::setattr(context, "post_handshake_auth", nb::bool_(true));
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

nb::object Origin::make(nb::handle url, nb::handle context) {
    nb::object netloc;
    nb::object key = origin_key(url, netloc);
    if (key.is_none())
        return nb::none();
    nb::object client = nb::module_::import_("http.client");
    bool https = tvx::truthy(key.attr("startswith")("https:"));
    nb::object scheme = nb::str(https ? "https" : "http");
    nb::object proxy = proxy_for(scheme, netloc);
    if (!proxy.is_valid() || (!https && !proxy.is_none()))
        return nb::none();  // through urllib: a proxy it alone speaks, or an absolute-form request
    nb::object connect_to = proxy.is_none() ? netloc : proxy;
    nb::object tunnel_to = proxy.is_none() ? nb::object(nb::none()) : netloc;
    nb::object ctx = !https ? nb::object(nb::none())
                            : context.is_valid() && !context.is_none() ? nb::borrow(context)
                                                                       : default_https_context();
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

// The request headers urllib sends: the module's defaults, the caller's on top
// (names compared as urllib stores them, capitalised), sent title-cased.
nb::dict request_headers(nb::handle headers) {
    nb::dict merged;
    auto put = [&](nb::handle name, nb::handle value) {
        merged[tvx::to_str(name).attr("capitalize")()] = value;
    };
    put(nb::str("User-Agent"), user_agent());
    put(nb::str("Accept-Encoding"), nb::str("gzip"));
    if (tvx::truthy(headers))
        for (auto [name, value] : nb::borrow<nb::dict>(headers))
            put(name, value);
    nb::dict sent;
    for (auto [name, value] : merged)
        sent[name.attr("title")()] = value;
    return sent;
}

// A timer that, at the deadline, shuts the connection's socket down, so that
// whatever waits on it (connecting, the status line, a body trickling in)
// returns at once.  Cancelled when the request is over.
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
                try {
                    if (!sock.is_none())
                        shutdown(sock, how);
                } catch (nb::python_error &) {
                    // a socket already closed has nothing left to wake
                }
            }
        });
        timer_ = nb::module_::import_("threading").attr("Timer")(deadline.left(), expire);
        nb::setattr(timer_, "daemon", nb::bool_(true));
        timer_.attr("start")();
    }
    ~Watchdog() {
        try {
            timer_.attr("cancel")();
        } catch (nb::python_error &) {
            // nothing to do: the timer only shuts down a socket that is done with
        }
    }
    Watchdog(const Watchdog &) = delete;
    Watchdog &operator=(const Watchdog &) = delete;

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

[[noreturn]] void raise_timeout(nb::handle url) {
    tvx::raise(PyExc_TimeoutError, nb::str("no complete answer from {} in time").format(url));
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

constexpr int kMaxRedirects = 10;  // as urllib

}  // namespace

std::optional<nb::object> fetch(nb::handle origin, nb::object &connection, nb::handle url,
                                nb::handle headers, const Deadline &deadline,
                                const std::function<nb::object(nb::handle)> &read,
                                bool &reusable) {
    reusable = false;
    nb::object parse = nb::module_::import_("urllib.parse");
    nb::dict sent = request_headers(headers);
    nb::object current = nb::borrow(url);
    auto close = [&] { connection.attr("close")(); };
    for (int redirects = 0;; ++redirects) {
        if (deadline.passed())
            raise_timeout(url);
        nb::object parts = parse.attr("urlsplit")(current);
        nb::object selector = parts.attr("path");
        if (!tvx::truthy(selector))
            selector = nb::str("/");
        if (tvx::truthy(parts.attr("query")))
            selector = nb::str("{}?{}").format(selector, parts.attr("query"));
        Watchdog watchdog(connection, deadline);
        nb::object response;
        for (int attempt = 0;; ++attempt) {
            nb::object sock = connection.attr("sock");
            bool kept = !sock.is_none();
            nb::setattr(connection, "timeout", nb::float_(deadline.left()));
            try {
                if (kept)
                    sock.attr("settimeout")(deadline.left());
                connection.attr("request")("GET", selector, "headers"_a = sent);
                watchdog.watch(connection);
                response = connection.attr("getresponse")();
                break;
            } catch (nb::python_error &e) {
                close();
                if (watchdog.fired() && tvx::is_exception(e))
                    raise_timeout(url);
                if (!kept || attempt > 0 || !closed_by_server(e))
                    throw;
            }
        }
        long status = nb::cast<long>(response.attr("status"));
        nb::object location = response.attr("getheader")("Location");
        try {
            if (status >= 200 && status < 300) {
                nb::object value = read(response);
                if (watchdog.fired())  // what was read may be cut short
                    raise_timeout(url);
                reusable = tvx::truthy(response.attr("isclosed")()) &&
                           !connection.attr("sock").is_none();
                if (!reusable)
                    close();
                return value;
            }
            if (is_redirect(status) && !location.is_none()) {
                response.attr("read")(64 * 1024);
                if (!tvx::truthy(response.attr("isclosed")()))
                    close();
                current = parse.attr("urljoin")(current, location);
                if (redirects + 1 >= kMaxRedirects || !Origin::serves(origin, current)) {
                    close();
                    return std::nullopt;  // urllib follows it, or says why not
                }
                continue;
            }
            nb::object detail = error_detail(response);
            close();
            nb::object http_error = nb::module_::import_("urllib.error").attr("HTTPError")(
                current, status, response.attr("reason"), response.attr("headers"), nb::none());
            PyErr_SetRaisedException(http_error.release().ptr());
            nb::python_error cause;
            raise_status(url, cause.value(), detail, cause);
        } catch (nb::python_error &e) {
            close();
            if (watchdog.fired() && tvx::is_exception(e) && !e.matches(PyExc_TimeoutError))
                raise_timeout(url);
            throw;
        }
    }
}

nb::object get_json(const Call &c, nb::handle url, nb::handle timeout, nb::handle headers) {
    Limit limit = limit_for(url);
    auto read = [&](nb::handle response) {
        bool gzip = is_gzip(header(response, "Content-Encoding"));
        nb::object body = read_body(response, limit.per_byte ? -1 : limit.fixed, url);
        return parse_answer(c, url, response, body, gzip, limit);
    };
    nb::object urllib_timeout = nb::borrow(timeout);
    double seconds = PyFloat_Check(timeout.ptr()) || PyLong_Check(timeout.ptr())
                         ? PyFloat_AsDouble(timeout.ptr())
                         : -1.0;
    if (seconds == -1.0 && PyErr_Occurred())
        PyErr_Clear();  // a time-out urllib must judge
    if (seconds > 0.0 && seconds < kLongest && urllib_is_stock()) {
        nb::object origin = Origin::make(url);
        if (!origin.is_none()) {
            Deadline deadline(seconds);
            nb::object connection = Origin::connection(origin);
            bool reusable = false;
            std::optional<nb::object> value;
            try {
                value = fetch(origin, connection, url, headers, deadline, read, reusable);
            } catch (...) {
                connection.attr("close")();
                throw;
            }
            connection.attr("close")();
            if (value)
                return *value;
            urllib_timeout = nb::float_(std::max(deadline.left(), 0.001));
        }
    }
    nb::object request = build_request(url, headers);
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
