// The pieces of the package index's JSON client that the catalog's own reading
// of the simple index shares with _http_json: the request, the opening with its
// error mapping, and the reading of an answer's body.
#pragma once

#include "common.hpp"

#include <chrono>
#include <functional>
#include <optional>

namespace wheelwork::index {

// urllib.request.Request(url, headers=...): a GET with the module's default
// headers ("User-Agent", "Accept-Encoding: gzip") and the caller's on top.
nb::object build_request(nb::handle url, nb::handle headers);

// `with urllib.request.urlopen(request, timeout=timeout) as response:
// return read(response)`, urlopen looked up now.  While urlopen is urllib's own
// and no opener is installed, the opener it would build is built for this
// request alone, so that urlopen's first call does not install it for good.
// An HTTP error status becomes RuntimeError("HTTP <code> for <url>: <start of
// the error body>") raised from it; None when the response's context manager
// swallows an exception.
nb::object open(nb::handle url, nb::handle request, nb::handle timeout,
                const std::function<nb::object(nb::handle)> &read);

// The most a project document (or any answer but the simple index) may
// decompress to; a larger answer is an error for its request.
inline constexpr Py_ssize_t kDocumentLimit = 4 * 1024 * 1024;
// Bytes of an error body read (and decompressed) for the 200 characters kept.
inline constexpr Py_ssize_t kErrorBodyBytes = 800;

// What a body may decompress to: a fixed limit, or for the simple index a floor
// plus a multiple of its compressed size (real indexes compress about 4 times).
struct Limit {
    Py_ssize_t fixed = kDocumentLimit;
    Py_ssize_t per_byte = 0;
    Py_ssize_t of(Py_ssize_t compressed) const {
        return per_byte ? fixed + per_byte * compressed : fixed;
    }
};
inline constexpr Limit kDocument{};
inline constexpr Limit kSimpleIndex{8 * 1024 * 1024, 16};

// The limit of an answer of `url`: the simple index's for its URL, the
// document limit for every other.
Limit limit_for(nb::handle url);

// The gzip members of `data` (zero bytes allowed between them, as
// gzip.decompress reads them), decompressed.  More than `limit` bytes raise
// ValueError naming `url`; data that does not decompress raises what zlib
// raises (EOFError for a truncated member).
nb::object gunzip(nb::handle data, Py_ssize_t limit, nb::handle url);

// `data` (bytes) without its leading zero bytes: the padding gzip allows between members.
nb::object skip_zeros(nb::handle data);

// The ValueError of an answer larger than its limit.
[[noreturn]] void raise_too_large(nb::handle url, Py_ssize_t limit);

// A point in time by which a request must be done.
class Deadline {
public:
    using Clock = std::chrono::steady_clock;
    explicit Deadline(double seconds);
    static Deadline at(double epoch_seconds);
    // Seconds left (never below 0); as a float for Python.
    double left() const;
    bool passed() const { return left() <= 0.0; }
    double epoch_seconds() const;
    Deadline earlier(const Deadline &other) const { return other.at_ < at_ ? other : *this; }

private:
    Deadline() = default;
    Clock::time_point at_;
};

// Whether nothing the host set could make urllib answer a request with these
// `headers` differently from the module's own connections: urlopen not replaced,
// no opener installed (whatever its handlers), the interpreter's default TLS
// context not replaced, and `headers` None or a dict.
bool own_connections_allowed(nb::handle headers);

// Persistent HTTP(S) connections to one origin, made the way urllib would make
// them: the default TLS context, the environment's proxy (unless bypassed) as
// a CONNECT tunnel.  Held as a Python tuple so that worker threads share it.
class Origin {
public:
    // None when the module's own client cannot take this URL as urllib would
    // (a scheme other than http/https, credentials in it or in the proxy, an
    // unusual proxy, characters urllib keeps but a URL parser drops, a host
    // that `request`, a urllib Request for it, reads otherwise).
    static nb::object make(nb::handle url, nb::handle request = nb::handle());
    // A new connection, not yet connected.
    static nb::object connection(nb::handle origin);
    // Whether `url` is on this origin.
    static bool serves(nb::handle origin, nb::handle url);
};

// GET `request` (a urllib Request for `url`) over `connection` of `origin`
// (replaced by a new one when the server closed it) with its headers, following
// redirects as urllib's redirect handler does -- on the module's own connections
// to any http(s) origin -- all bounded by `deadline`.  A 2xx answer is handed to
// `read`.  Failures are urllib's: an OSError while a request is sent (connecting,
// TLS, the proxy's tunnel) as URLError with it as the reason, the deadline as
// TimeoutError("timed out") (wrapped the same way while sending), an error status
// (a redirect loop included) as the RuntimeError of _http_json.  nullopt when
// the chain must go on in urllib: `handover` is then the Request to open (it
// carries the chain's redirect count).  `reusable` tells whether `connection`
// may serve another request.
std::optional<nb::object> fetch(nb::handle origin, nb::object &connection, nb::handle request,
                                nb::handle url, const Deadline &deadline,
                                const std::function<nb::object(nb::handle)> &read,
                                bool &reusable, nb::object &handover);

// The connections of one listing, shared by its worker threads: a tuple
// (origin, list of idle connections, the listing's deadline as
// Deadline::epoch_seconds()).  Connections are taken and given back with the
// GIL held, so each worker has its own.
struct Pool {
    static nb::object make(nb::handle origin, nb::handle idle, const Deadline &listing);
    static nb::object origin(nb::handle pool);
    static nb::object idle(nb::handle pool);
};

// GET `request` (a urllib Request for `url`, on the pool's origin) over an idle
// connection of `pool` or a new one, bounded by `seconds` and the listing's
// deadline, as fetch() does; the connection goes back to the pool when it may
// serve another request.  The rest of a redirect chain that only urllib can
// follow goes on in urllib within what is left.
nb::object pooled_get(nb::handle pool, nb::handle request, nb::handle url, double seconds,
                      const std::function<nb::object(nb::handle)> &read);

// The body of an answer, read whole when `limit` is negative, else at most
// `limit` bytes (more raise ValueError naming `url`).
nb::object read_body(nb::handle response, Py_ssize_t limit, nb::handle url);

// A header of a response (or HTTP error) as its `headers` give it, or None.
nb::object header(nb::handle response, const char *name);

// Whether a Content-Encoding value says gzip.
bool is_gzip(nb::handle content_encoding);

// The JSON document in an answer's body: decompressed within `limit` when
// `gzip` (a body that does not decompress raises ValueError naming the URL), decoded as UTF-8
// with replacement, parsed with the module's `json.loads`.  A parse error keeps
// its type and message and gains a note, and the attributes `url` and
// `content_type`, saying what answered.
nb::object parse_answer(const Call &c, nb::handle url, nb::handle response, nb::handle body,
                        bool gzip, Limit limit);

// The JSON document at `url` through the module's own connection (or urllib
// when it is not as shipped, or the request is unusual): what _http_json does.
nb::object get_json(const Call &c, nb::handle url, nb::handle timeout, nb::handle headers);

}  // namespace wheelwork::index
