// The catalog of installable extensions, read straight from the package index:
// the simple index gives every project name, the visible extensions among them
// are sorted and capped, and a small thread pool fetches each one's metadata.
#include "common.hpp"
#include "index_client.hpp"
#include "json_name_scan.hpp"
#include "text_scan.hpp"

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#if defined(_MSC_VER)
#include <xmmintrin.h>
#define TALVEX_PREFETCH(p) _mm_prefetch(reinterpret_cast<const char *>(p), _MM_HINT_T0)
#else
#define TALVEX_PREFETCH(p) __builtin_prefetch(p)
#endif

namespace wheelwork {

namespace {

constexpr const char *kSimpleIndexAccept = "application/vnd.pypi.simple.v1+json";
constexpr const char *kExcludedFamily = "talvex-extension-";
constexpr size_t kMaxWorkers = 8;

// UTF-8 bytes of an exact str; false (and no exception set) when it has none
// (lone surrogates) or is not an exact str.
bool utf8_of(nb::handle text, std::string &out) {
    if (!PyUnicode_CheckExact(text.ptr()))
        return false;
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!data) {
        PyErr_Clear();
        return false;
    }
    out.assign(data, static_cast<size_t>(size));
    return true;
}

// The visibility rule of is_user_visible_extension_package, evaluated without
// Python calls for the ASCII names that make up the simple index.  Used only
// while the module's name functions are its own; names outside ASCII still go
// through the module function.
class VisibilityFilter {
public:
    // `ok()` is false when the rule cannot be evaluated natively for this call
    // (replaced functions, a prefix or constant it cannot read); every name then
    // goes through the module function.
    VisibilityFilter(const Call &c, nb::handle prefix) : c_(c), prefix_(prefix) {
        if (!c.still_own("is_user_visible_extension_package") ||
            !c.still_own("normalize_pypi_name") || !c.still_own("_normalize_dist_name"))
            return;
        // A failure here is reported by the module function where it applies.
        bool read = tvx::except_exception(
            [&] {
                nb::object prefix_key = c.call("normalize_pypi_name", prefix);
                if (!utf8_of(prefix_key, prefix_key_))
                    return false;
                hidden_ = c.g("_HIDDEN_EXTENSION_PACKAGES");
                return true;
            },
            [] { return false; });
        if (!read)
            return;
        hidden_native_ = PyAnySet_CheckExact(hidden_.ptr());
        if (hidden_native_) {
            for (nb::handle item : hidden_) {
                std::string member;
                if (!utf8_of(item, member)) {
                    hidden_native_ = false;
                    hidden_names_.clear();
                    break;
                }
                hidden_names_.push_back(std::move(member));
            }
        }
        ok_ = true;
    }

    bool ok() const { return ok_; }
    // Whether an ASCII name is judged without calling back into Python.
    bool decides_natively() const { return ok_ && hidden_native_; }

    // An exact, non-empty ASCII str without leading or trailing whitespace.
    static bool plain_ascii(PyObject *s) {
        if (!PyUnicode_CheckExact(s) || !PyUnicode_IS_ASCII(s))
            return false;
        Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        const Py_UCS1 *data = PyUnicode_1BYTE_DATA(s);
        return n > 0 && !Py_UNICODE_ISSPACE(data[0]) && !Py_UNICODE_ISSPACE(data[n - 1]);
    }

    // The rule for an ASCII name, judged without Python calls; only while
    // decides_natively().
    bool visible_ascii(std::string_view name) {
        if (!normalize_ascii(name.data(), name.size(), prefix_key_) || key_.empty())
            return false;
        for (const std::string &member : hidden_names_)
            if (key_ == member)
                return false;
        return !starts_with(kExcludedFamily);
    }

    bool visible(nb::handle name) {
        PyObject *s = name.ptr();
        if (!PyUnicode_CheckExact(s) || !PyUnicode_IS_ASCII(s))
            return tvx::truthy(
                c_.call("is_user_visible_extension_package", name, "prefix"_a = prefix_));
        std::string_view ascii(reinterpret_cast<const char *>(PyUnicode_1BYTE_DATA(s)),
                               static_cast<size_t>(PyUnicode_GET_LENGTH(s)));
        if (hidden_native_)
            return visible_ascii(ascii);
        if (!normalize_ascii(ascii.data(), ascii.size(), std::string_view()) || key_.empty())
            return false;
        nb::object key = nb::steal(PyUnicode_FromStringAndSize(key_.data(),
                                                               static_cast<Py_ssize_t>(key_.size())));
        if (!key.is_valid())
            throw nb::python_error();
        int hidden = PySequence_Contains(hidden_.ptr(), key.ptr());
        if (hidden < 0)
            throw nb::python_error();
        return !hidden && !starts_with(kExcludedFamily) && starts_with(prefix_key_);
    }

private:
    bool starts_with(std::string_view head) const {
        return std::string_view(key_).substr(0, head.size()) == head;
    }

    // str.strip(), str.lower(), " " -> "-", runs of "-_." -> "-", strip("-"),
    // into key_.  A separator run becomes "-" only once a character follows it,
    // which drops the leading and trailing ones.  Returns false as soon as the
    // key can no longer begin with `head` (most names of the index fail at their
    // first letter); key_ is then incomplete.
    bool normalize_ascii(const char *data, size_t n, std::string_view head) {
        std::string_view name = text::strip(std::string_view(data, n));
        key_.clear();
        bool whole = text::normalized_chars(name.data(), name.size(), text::to_lower, [&](char ch) {
            key_.push_back(ch);
            size_t i = key_.size() - 1;
            return i >= head.size() || head[i] == ch;
        });
        return whole && key_.size() >= head.size();
    }

    const Call &c_;
    nb::handle prefix_;
    bool ok_ = false;
    std::string prefix_key_;
    nb::object hidden_;
    bool hidden_native_ = false;
    std::vector<std::string> hidden_names_;
    std::string key_;
};

// str(value or "").strip()
nb::object stripped_name(nb::handle value) {
    PyObject *v = value.ptr();
    if (PyUnicode_CheckExact(v)) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(v);
        if (n == 0)
            return nb::str("");
        if (!Py_UNICODE_ISSPACE(PyUnicode_READ_CHAR(v, 0)) &&
            !Py_UNICODE_ISSPACE(PyUnicode_READ_CHAR(v, n - 1)))
            return nb::borrow(value);
        return value.attr("strip")();
    }
    nb::object text = tvx::truthy(value) ? nb::object(tvx::to_str(value)) : nb::object(nb::str(""));
    return text.attr("strip")();
}

// The index document holds hundreds of thousands of small dicts spread over
// memory; reading them one after the other waits on a cache miss for the dict
// and for the name string in turn.  Asking for those a few projects ahead lets
// the loads overlap.  Only prefetches and lookups through the public API are
// made here (no Python code runs), and every item is read from the list's
// current contents.
void prefetch_ahead(nb::handle projects, Py_ssize_t i, nb::handle name_key) {
    constexpr Py_ssize_t kObject = 24, kName = 4;
    PyObject *list = projects.ptr();
    Py_ssize_t n = PyList_GET_SIZE(list);
    if (i + kObject < n)
        TALVEX_PREFETCH(PyList_GET_ITEM(list, i + kObject));
    if (i + kName < n) {
        PyObject *item = PyList_GET_ITEM(list, i + kName);
        if (PyDict_CheckExact(item)) {
            PyObject *value = PyDict_GetItemWithError(item, name_key.ptr());
            if (value)
                TALVEX_PREFETCH(value);
            else
                PyErr_Clear();  // seen again, and reported, when the item's turn comes
        }
    }
}

// The project names of a simple-index document that are visible extensions,
// in document order (duplicates kept).
nb::list visible_names(const Call &c, nb::handle projects, nb::handle prefix,
                       VisibilityFilter &filter) {
    nb::str name_key("name");
    nb::list names;
    // The list's live length, as a Python loop over it would see it.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(projects.ptr()); ++i) {
        if (filter.decides_natively())
            prefetch_ahead(projects, i, name_key);
        nb::object project = nb::borrow(PyList_GET_ITEM(projects.ptr(), i));
        if (!PyDict_Check(project.ptr()))
            continue;
        if (filter.decides_natively() && PyDict_CheckExact(project.ptr())) {
            // The common case -- a plain ASCII name without surrounding blanks --
            // is decided without running any Python code, so the borrowed value
            // stays valid throughout.
            PyObject *value = PyDict_GetItemWithError(project.ptr(), name_key.ptr());
            if (!value && PyErr_Occurred())
                throw nb::python_error();
            if (value && filter.plain_ascii(value)) {
                if (filter.visible(value))
                    names.append(nb::handle(value));
                continue;
            }
        }
        nb::object name;
        if (PyDict_CheckExact(project.ptr())) {
            PyObject *found = nullptr;
            if (PyDict_GetItemRef(project.ptr(), name_key.ptr(), &found) < 0)
                throw nb::python_error();
            nb::object value = found ? nb::steal(found) : nb::none();
            name = stripped_name(value);
        } else {
            name = stripped_name(project.attr("get")(name_key));
        }
        bool keep = filter.ok() ? filter.visible(name)
                                : tvx::truthy(c.call("is_user_visible_extension_package", name,
                                                     "prefix"_a = prefix));
        if (keep)
            names.append(name);
    }
    return names;
}

// Keeps the visible names the scan reports.  ASCII names -- nearly all of
// the index -- are judged on their bytes and become str objects only when they
// are kept; others are decoded to the str json.loads gives and judged by it.
class VisibleNameCollector : public ProjectNameSink {
public:
    VisibleNameCollector(VisibilityFilter &filter, nb::list &names) : filter_(filter), names_(names) {}

    bool project_name(std::string_view utf8, bool ascii, bool lone_surrogates) override {
        if (ascii) {
            std::string_view name = text::strip(utf8);
            if (filter_.visible_ascii(name))
                names_.append(text::ascii_str(name));
            return true;
        }
        PyObject *decoded = PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()),
                                                 lone_surrogates ? "surrogatepass" : nullptr);
        if (!decoded) {
            if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError))
                throw nb::python_error();
            PyErr_Clear();  // not expected after the scan's checks; the full parse decides
            return false;
        }
        nb::object name = stripped_name(nb::steal(decoded));
        if (filter_.visible(name))
            names_.append(name);
        return true;
    }

private:
    VisibilityFilter &filter_;
    nb::list &names_;
};

// Pieces of decompressed text handed to the scanner at a time.
constexpr Py_ssize_t kInflateBlock = 256 * 1024;
// Bytes asked of the response at a time.
constexpr Py_ssize_t kReadBlock = 256 * 1024;

std::string_view bytes_view(nb::handle data) {
    return std::string_view(PyBytes_AS_STRING(data.ptr()),
                            static_cast<size_t>(PyBytes_GET_SIZE(data.ptr())));
}

// Decompresses a gzip body as it arrives (zlib of the interpreter) into the
// scanner.  Members follow each other, with zero bytes allowed between them, as
// gzip.decompress reads them.  Any trouble just ends the scan: the full parse
// of the body then reports it.
class GzipInflater {
public:
    explicit GzipInflater(ProjectNameScanner &scanner)
        : scanner_(scanner), zlib_(nb::module_::import_("zlib")) {}

    // Decompresses `data` into the scanner, or only counts what it gives when
    // `scan` is false.  False once the scan gave up (or the data is bad).
    bool feed(nb::object data, nb::handle url, bool scan = true) {
        received_ += PyBytes_GET_SIZE(data.ptr());
        for (;;) {
            if (!inflater_.is_valid()) {
                if (after_member_)
                    data = index::skip_zeros(data);
                if (PyBytes_GET_SIZE(data.ptr()) == 0)
                    return true;
                inflater_ = zlib_.attr("decompressobj")("wbits"_a = 31);
            }
            nb::object out = tvx::except_exception(
                [&] { return nb::object(inflater_.attr("decompress")(data, kInflateBlock)); },
                [] { return nb::object(); });
            if (!out.is_valid() || !PyBytes_CheckExact(out.ptr()))
                return false;
            produced_ += PyBytes_GET_SIZE(out.ptr());
            if (produced_ > index::kSimpleIndex.of(received_))
                index::raise_too_large(url, index::kSimpleIndex.of(received_));
            if (scan && !scanner_.feed(bytes_view(out)))
                return false;
            if (tvx::truthy(inflater_.attr("eof"))) {
                data = inflater_.attr("unused_data");
                inflater_ = nb::object();
                after_member_ = true;
                continue;
            }
            data = inflater_.attr("unconsumed_tail");
            if (!PyBytes_CheckExact(data.ptr()))
                return false;
            // A full block may leave output behind even when all input is in.
            if (PyBytes_GET_SIZE(out.ptr()) < kInflateBlock && PyBytes_GET_SIZE(data.ptr()) == 0)
                return true;
        }
    }

    // The body ended where a member did.
    bool finish() const { return !inflater_.is_valid() && after_member_; }
    // Bytes decompressed so far.
    Py_ssize_t produced() const { return produced_; }

private:
    ProjectNameScanner &scanner_;
    nb::object zlib_;
    nb::object inflater_;
    bool after_member_ = false;
    Py_ssize_t received_ = 0, produced_ = 0;
};

// The most of the simple index kept for a parse of the whole document: a
// document the scan leaves alone (malformed or unusually shaped) is parsed with
// json.loads only up to this size -- any JSON of it grows the process by a few
// tens of MiB at most -- and a larger one is refused as too large.
constexpr Py_ssize_t kWholeParseLimit = 2 * 1024 * 1024;

// Reads the simple index the way _http_json would (same request, same opening
// and error mapping: over `connection` of `origin` when that is not None, else
// through urllib) and scans the body for the visible names as it arrives,
// keeping the first bytes received; `progress` hears how many visible names
// were found so far after each piece.  Returns true with `names` filled when
// the scan succeeded; otherwise `document` is what the full parse of the same
// bytes gives (or None when the response's context manager swallowed an
// exception).
bool read_simple_index(const Call &c, nb::handle url, nb::handle timeout, nb::handle headers,
                       VisibilityFilter &filter, nb::list &names, nb::object &document,
                       nb::handle origin, nb::object &connection, const index::Deadline &deadline,
                       bool &reusable, const std::function<void(size_t)> &progress) {
    bool scanned = false;
    auto read = [&](nb::handle response) -> nb::object {
        bool gzip = index::is_gzip(index::header(response, "Content-Encoding"));
        VisibleNameCollector collector(filter, names);
        ProjectNameScanner scanner(collector);
        GzipInflater inflater(scanner);
        nb::object read = response.attr("read");
        nb::list received;
        Py_ssize_t kept = 0;
        bool keeping = true, scanning = true, counting = gzip;
        for (;;) {
            nb::object piece = read(kReadBlock);
            if (!tvx::truthy(piece))
                break;
            if (keeping) {
                received.append(piece);
                kept += static_cast<Py_ssize_t>(nb::len(piece));
            }
            if (scanning && !PyBytes_CheckExact(piece.ptr()))
                scanning = counting = false;
            if (scanning) {
                scanning = gzip ? inflater.feed(piece, url) : scanner.feed(bytes_view(piece));
                if (scanning)
                    progress(nb::len(names));
            } else if (counting) {
                counting = inflater.feed(piece, url, false);
            }
            if (keeping && (kept > kWholeParseLimit || inflater.produced() > kWholeParseLimit)) {
                keeping = false;  // too large to parse whole: the scan must succeed
                received = nb::list();
            }
            if (!scanning && !keeping)
                index::raise_too_large(url, kWholeParseLimit);
        }
        // Reading by pieces does not notice a connection closed before the
        // announced length; reading the whole body at once raises this.
        nb::object remaining = tvx::optional_attr(response, "length");
        if (remaining.is_valid() && PyLong_CheckExact(remaining.ptr()) && tvx::truthy(remaining)) {
            nb::object error = nb::module_::import_("http.client")
                                   .attr("IncompleteRead")(nb::bytes("").attr("join")(received), remaining);
            PyErr_SetRaisedException(error.release().ptr());
            throw nb::python_error();
        }
        if (scanning && (!gzip || inflater.finish()) && scanner.finish()) {
            scanned = true;
            return nb::none();
        }
        if (!keeping)
            index::raise_too_large(url, kWholeParseLimit);
        names.attr("clear")();
        nb::object body = nb::bytes("").attr("join")(received);
        received = nb::list();
        return index::parse_answer(c, url, response, body, gzip, index::Limit{kWholeParseLimit, 0});
    };
    reusable = false;
    nb::object request = index::build_request(url, headers);
    nb::object urllib_timeout = nb::borrow(timeout);
    if (!origin.is_none()) {
        nb::object handover;
        std::optional<nb::object> value =
            index::fetch(origin, connection, request, url, deadline, read, reusable, handover);
        if (value) {
            document = *value;
            return scanned;
        }
        request = handover;
        urllib_timeout = nb::float_(std::max(deadline.left(), 0.001));
    }
    document = index::open(url, request, urllib_timeout, read);
    return scanned;
}


// min(max(timeout / 3, 5.0), 20.0)
nb::object project_timeout(nb::handle timeout) {
    nb::object third = nb::steal(PyNumber_TrueDivide(timeout.ptr(), nb::int_(3).ptr()));
    if (!third.is_valid())
        throw nb::python_error();
    auto greater = [](nb::handle a, nb::handle b) {
        int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_GT);
        if (r < 0)
            throw nb::python_error();
        return r != 0;
    };
    nb::object low = nb::float_(5.0), high = nb::float_(20.0);
    nb::object value = greater(low, third) ? low : third;
    return greater(value, high) ? high : value;
}

// str(info.get(key) or "")
nb::object info_text(nb::handle info, const char *key) {
    nb::object value = info.attr("get")(key);
    return tvx::truthy(value) ? nb::object(tvx::to_str(value)) : nb::object(nb::str(""));
}

// A project document over one of the listing's connections, bounded by the
// per-project time-out and the listing's deadline.
nb::object pooled_document(const Call &c, nb::handle pool, nb::handle url, nb::handle per_project) {
    auto read = [&](nb::handle response) {
        bool gzip = index::is_gzip(index::header(response, "Content-Encoding"));
        nb::object body = index::read_body(response, index::kDocumentLimit, url);
        return index::parse_answer(c, url, response, body, gzip, index::kDocument);
    };
    return index::pooled_get(pool, index::build_request(url, nb::none()), url, nb::cast<double>(per_project), read);
}

// Runs in a worker thread: the entry of one project, filled from its JSON
// document when metadata is wanted.  Closure: (fetch_metadata, timeout, pool
// or None).
nb::object meta_entry(Call &c, nb::handle pkg) {
    nb::dict entry = stub_entry(c, pkg);
    if (!tvx::truthy(c.closure(0)))
        return entry;
    tvx::except_exception(
        [&] {
            nb::object url = nb::str("https://{}/pypi/{}/json").format(kIndexHost, pkg);
            nb::object per_project = project_timeout(c.closure(1));
            nb::handle pool = c.closure(2);
            bool pooled = !pool.is_none() &&
                          index::Origin::serves(index::Pool::origin(pool), url);
            nb::object meta = pooled ? pooled_document(c, pool, url, per_project)
                                     : c.call("_http_json", url, "timeout"_a = per_project);
            nb::object info = PyDict_Check(meta.ptr()) ? nb::object(meta.attr("get")("info"))
                                                       : nb::object(nb::none());
            if (PyDict_Check(info.ptr())) {
                entry["version"] = info_text(info, "version");
                entry["description"] = info_text(info, "summary");
                nb::object listed = info.attr("get")("name");
                nb::object canonical = (tvx::truthy(listed) ? nb::object(tvx::to_str(listed))
                                                            : nb::object(tvx::to_str(pkg)))
                                           .attr("strip")();
                if (!tvx::truthy(canonical))
                    canonical = nb::borrow(pkg);
                entry["package"] = canonical;
                entry["id"] = canonical;
                entry["name"] = c.call("display_name_from_pypi_package", canonical);
                entry["raw"] = info;
            }
        },
        [&](const nb::python_error &e) {
            tvx::log(c, "debug", "PyPI metadata for %s failed: %s", pkg, e.value());
        });
    return entry;
}

const FuncSpec kMetaEntry = {
    .name = "_meta_entry",
    .qualname = "list_pypi_talvex_extensions.<locals>._meta_entry",
    .params = {arg("pkg", "str")},
    .returns = "dict[str, Any]",
    .impl = tvx::body<meta_entry>,
};

// The connections of one listing: opened ahead while the index downloads,
// idle between requests, every one closed when the listing is over.
struct Connections {
    nb::object origin = nb::none();
    nb::list idle;
    nb::list held;     // every connection made here, closed at the end
    nb::list opening;  // (future of connect(), connection)
    nb::object opener;

    // One connection for each visible name found so far, up to one less than
    // the workers the listing will have (the index's own joins them),
    // connecting in the background while the index still arrives.
    void open_ahead(size_t found, long max_packages, nb::handle futures_module,
                    nb::handle per_project) {
        size_t wanted = std::min(found, kMaxWorkers);
        if (max_packages > 0)
            wanted = std::min(wanted, static_cast<size_t>(max_packages));
        if (wanted <= 1 || nb::len(opening) >= wanted - 1)
            return;
        if (!opener.is_valid())
            opener = futures_module.attr("ThreadPoolExecutor")("max_workers"_a = kMaxWorkers - 1);
        while (nb::len(opening) < wanted - 1) {
            nb::object connection = index::Origin::connection(origin);
            nb::setattr(connection, "timeout", per_project);
            held.append(connection);
            nb::object connecting = opener.attr("submit")(connection.attr("connect"));
            opening.append(nb::make_tuple(connecting, connection));
        }
    }

    // The connections opened ahead that are ready by now join the idle ones; a
    // failed one is closed (its request opens it again and reports why).
    void take_opened(nb::handle futures_module, const index::Deadline &deadline) {
        if (!opener.is_valid())
            return;
        nb::list futures;
        for (nb::handle item : opening)
            futures.append(item[0]);
        futures_module.attr("wait")(futures, "timeout"_a = deadline.left());
        for (nb::handle item : opening) {
            nb::object future = item[0], connection = item[1];
            if (!tvx::truthy(future.attr("done")()))
                continue;  // still connecting: left out
            if (future.attr("exception")().is_none())
                idle.append(connection);
            else
                connection.attr("close")();
        }
        opening = nb::list();
        opener.attr("shutdown")("wait"_a = false);
    }

    // try: return body() finally: close every connection.
    template <typename Body>
    nb::object closing(Body &&body) {
        return tvx::finally(std::forward<Body>(body), [this] { close(); });
    }

private:
    void close() {
        if (opener.is_valid())
            opener.attr("shutdown")("wait"_a = false);
        for (nb::handle connection : held)
            connection.attr("close")();
        for (nb::handle connection : idle)
            connection.attr("close")();
    }
};

// The listing, with its connections in `pool`.
nb::object list_extensions(Call &c, nb::handle prefix, nb::handle timeout, nb::handle fetch_metadata,
                           nb::handle max_packages, Connections &pool) {
    nb::object futures_module = nb::module_::import_("concurrent.futures");
    nb::object executor_type = futures_module.attr("ThreadPoolExecutor");
    nb::object as_completed = futures_module.attr("as_completed");

    nb::dict accept;
    accept["Accept"] = kSimpleIndexAccept;
    nb::object url = nb::str("https://{}/simple/").format(kIndexHost);
    VisibilityFilter filter(c, prefix);
    nb::list names;
    nb::object simple;
    // While the module's own client and name rule are in place, the index is
    // read and scanned here, without building the document; otherwise (and for
    // any document the scan leaves alone) it is parsed and filtered as a whole.
    bool scanned = false;
    bool own_client = c.still_own("_http_json");
    // While the client is the module's own and urllib is as shipped, the
    // documents are read over the module's own connections, bounded as a
    // whole: the index by `timeout`, the listing by `timeout` and the
    // per-project time-out.  The project documents' connections are opened
    // while the index downloads, the index's own one joins them after.
    double seconds = PyFloat_Check(timeout.ptr()) || PyLong_Check(timeout.ptr())
                         ? PyFloat_AsDouble(timeout.ptr())
                         : -1.0;
    if (seconds == -1.0 && PyErr_Occurred())
        PyErr_Clear();
    if (own_client && seconds > 0.0 && seconds < 1e9 && index::own_connections_allowed(accept))
        pool.origin = index::Origin::make(url);
    index::Deadline index_deadline(seconds);
    index::Deadline listing_deadline(
        pool.origin.is_none() ? 0.0 : seconds + nb::cast<double>(project_timeout(timeout)));
    nb::object index_connection;
    std::function<void(size_t)> progress = [](size_t) {};
    if (!pool.origin.is_none()) {
        index_connection = index::Origin::connection(pool.origin);
        pool.held.append(index_connection);
        if (tvx::truthy(fetch_metadata)) {
            long cap = PyLong_Check(max_packages.ptr()) ? PyLong_AsLong(max_packages.ptr()) : 0;
            if (cap == -1 && PyErr_Occurred())
                PyErr_Clear();  // beyond a long: no bound
            nb::object per_project = project_timeout(timeout);
            progress = [&pool, cap, futures_module, per_project](size_t found) {
                pool.open_ahead(found, cap, futures_module, per_project);
            };
        }
    }
    if (own_client && c.still_own("json") && filter.decides_natively()) {
        bool reusable = false;
        scanned = read_simple_index(c, url, timeout, accept, filter, names, simple, pool.origin,
                                    index_connection, index_deadline, reusable, progress);
        if (reusable)
            pool.idle.append(index_connection);
    } else {
        simple = c.call("_http_json", url, "timeout"_a = timeout, "headers"_a = accept);
    }
    if (!scanned) {
        nb::object projects = PyDict_Check(simple.ptr()) ? nb::object(simple.attr("get")("projects"))
                                                         : nb::object(nb::none());
        if (!PyList_Check(projects.ptr()))
            tvx::raise(PyExc_RuntimeError, "Unexpected PyPI simple index response");
        simple = nb::object();
        names = visible_names(c, projects, prefix, filter);
    }
    names.attr("sort")("key"_a = nb::handle(reinterpret_cast<PyObject *>(&PyUnicode_Type)).attr("lower"));
    nb::object zero = nb::int_(0);
    int positive = PyObject_RichCompareBool(max_packages.ptr(), zero.ptr(), Py_GT);
    if (positive < 0)
        throw nb::python_error();
    if (positive) {
        nb::object limit = nb::steal(PyNumber_Long(max_packages.ptr()));
        if (!limit.is_valid())
            throw nb::python_error();
        names = nb::borrow<nb::list>(nb::object(names)[nb::slice(nb::none(), limit, nb::none())]);
    }
    size_t count = nb::len(names);
    if (count == 0)
        return nb::list();

    size_t workers = count == 1 ? 1 : std::min(count, kMaxWorkers);
    nb::object shared = nb::none();
    if (!pool.origin.is_none()) {
        pool.take_opened(futures_module, listing_deadline);
        shared = index::Pool::make(pool.origin, pool.idle, listing_deadline);
    }
    nb::object entry_fn =
        tvx::make_nested(c, kMetaEntry, nb::make_tuple(fetch_metadata, timeout, shared));
    nb::dict by_name;
    tvx::with(executor_type("max_workers"_a = workers), [&](nb::handle pool) {
        nb::dict futures;
        nb::object submit = pool.attr("submit");
        for (nb::handle n : names)
            futures[submit(entry_fn, n)] = n;
        for (nb::handle fut : as_completed(futures)) {
            nb::object pkg = futures[fut];
            by_name[pkg] = tvx::except_exception(
                [&] { return nb::object(fut.attr("result")()); },
                [&](const nb::python_error &e) -> nb::object {
                    tvx::log(c, "debug", "PyPI catalog entry failed for %s: %s", pkg, e.value());
                    return stub_entry(c, pkg);
                });
        }
    });

    nb::list entries;
    for (nb::handle n : names) {
        if (by_name.contains(n))
            entries.append(by_name[n]);
    }
    return entries;
}

nb::object list_pypi_talvex_extensions(Call &c, nb::handle prefix, nb::handle timeout,
                                       nb::handle fetch_metadata, nb::handle max_packages) {
    // A configured index (the installers' own) is read instead of the public one.
    nb::object configured = c.call("_installer_index");
    if (!tvx::truthy(configured["public"]))
        return c.call("_index_catalog", configured, "prefix"_a = prefix, "timeout"_a = timeout,
                      "fetch_metadata"_a = fetch_metadata, "max_packages"_a = max_packages);
    Connections pool;
    return pool.closing(
        [&] { return list_extensions(c, prefix, timeout, fetch_metadata, max_packages, pool); });
}

const FuncSpec kListPypiTalvexExtensions = {
    .name = "list_pypi_talvex_extensions",
    .doc = "Discover Talvex extension packages on PyPI.\n"
           "\n"
           "Uses the PEP 691 JSON simple index to find projects whose names start with\n"
           "*prefix*, then (optionally) fetches each project's JSON metadata for the\n"
           "version and summary.  Blocks on the network: run it off the UI thread.\n",
    .params = {kwarg("prefix", "str", dflt("talvex-ext-")), kwarg("timeout", "float", dflt(45.0)),
               kwarg("fetch_metadata", "bool", dflt(true)),
               kwarg("max_packages", "int", dflt(120))},
    .returns = "list[dict[str, Any]]",
    .impl = tvx::body<list_pypi_talvex_extensions>,
    .keeps = {"_http_json", "json", "is_user_visible_extension_package", "normalize_pypi_name",
              "_normalize_dist_name"},
};

}  // namespace

nb::dict stub_entry(const Call &c, nb::handle pkg) {
    nb::dict entry;
    entry["id"] = pkg;
    entry["name"] = c.call("display_name_from_pypi_package", pkg);
    entry["version"] = "";
    entry["package"] = pkg;
    entry["description"] = "";
    nb::dict raw;
    raw["name"] = pkg;
    entry["raw"] = raw;
    return entry;
}

void init_extension_catalog(tvx::ModuleFrame &frame) { frame.def(kListPypiTalvexExtensions); }

}  // namespace wheelwork
