// The catalog of a configured index (a mirror or private index: devpi,
// pypiserver, Artifactory, Nexus): its simple index as PEP 691 JSON when offered,
// else PEP 503 HTML; each project's newest version from its file names (PEP 440
// order, yanked files and pre-releases left out as pip leaves them out); its
// summary from the PEP 658 core metadata when offered, else from
// `<index root>/pypi/<name>/json`, else none.  Credentials of the index URL are
// sent as basic authentication and never shown.
#include "common.hpp"
#include "index_client.hpp"
#include "simple_html_scan.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>

namespace wheelwork {

namespace {

constexpr const char *kAccept =
    "application/vnd.pypi.simple.v1+json, application/vnd.pypi.simple.v1+html;q=0.2, text/html;q=0.01";
constexpr Py_ssize_t kListingLimit = 512 * 1024 * 1024;
constexpr Py_ssize_t kPageLimit = 16 * 1024 * 1024;
constexpr size_t kWorkers = 8;
// Requests in flight at once on a server that closes every connection after
// its answer (an HTTP/1.0 server, such as pypiserver's default one): each is a
// new connection, and a simple server queues at most 5 (socketserver's listen
// backlog) -- one more is dropped and tried again a second later.
constexpr size_t kWorkersWithoutKeepAlive = 4;
constexpr Py_ssize_t kReadBlock = 256 * 1024;

std::string_view bytes_view(nb::handle data) {
    return {PyBytes_AS_STRING(data.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(data.ptr()))};
}

nb::object str_of(std::string_view text) {
    nb::object s = nb::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    if (!s.is_valid())
        throw nb::python_error();
    return s;
}

// The UTF-8 text of str(value).
std::string utf8(nb::handle value) {
    nb::str text = tvx::to_str(value);
    Py_ssize_t size = 0;
    const char *data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!data)
        throw nb::python_error();
    return std::string(data, static_cast<size_t>(size));
}

// The media type of a Content-Type header, lower case.
std::string media_type(nb::handle content_type) {
    std::string value = content_type.is_none() ? std::string() : utf8(content_type);
    value = value.substr(0, value.find(';'));
    std::string out;
    for (char ch : value)
        if (ch != ' ' && ch != '\t')
            out.push_back(ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch + 32) : ch);
    return out;
}

bool is_json(const std::string &media) {
    return media == "application/vnd.pypi.simple.v1+json" || media == "application/json";
}

bool is_html(const std::string &media) {
    return media == "text/html" || media == "application/vnd.pypi.simple.v1+html";
}

// GET `url` with `headers` (and Accept): (body, media type, final URL).  Over
// the listing's own connections when `pool` (None when urllib reads the
// listing) serves its origin, else through urllib.
nb::object get(nb::handle url, nb::handle headers, double seconds, Py_ssize_t limit, nb::handle pool) {
    nb::dict merged;
    merged["Accept"] = kAccept;
    if (PyDict_Update(merged.ptr(), headers.ptr()) < 0)
        throw nb::python_error();
    nb::object request = index::build_request(url, merged);
    auto read = [&](nb::handle response) -> nb::object {
        bool gzip = index::is_gzip(index::header(response, "Content-Encoding"));
        nb::object body = index::read_body(response, limit, url);
        if (gzip)
            body = index::gunzip(body, limit, url);
        nb::object media = nb::str(media_type(index::header(response, "Content-Type")).c_str());
        return nb::make_tuple(body, media, response.attr("geturl")());
    };
    if (!pool.is_none() && index::Origin::serves(index::Pool::origin(pool), url))
        return index::pooled_get(pool, request, url, seconds, read);
    return index::open(url, request, nb::float_(seconds), read);
}

// The index: (URL without credentials ending in "/", headers with its basic
// authentication, URL as shown, source).
nb::tuple target_of(const Call &c, nb::handle index) {
    nb::object url = tvx::to_str(index["url"]).attr("strip")();
    nb::object source = index["source"];
    nb::object shown = c.call("_redact_url", url);
    nb::object parse = nb::module_::import_("urllib.parse");
    nb::object parts = parse.attr("urlsplit")(url);
    nb::object scheme = parts.attr("scheme").attr("lower")();
    if (!scheme.equal(nb::str("http")) && !scheme.equal(nb::str("https")))
        tvx::raise(PyExc_RuntimeError,
                   nb::str("the package index {} ({}) is not an http or https URL").format(shown, source));
    auto [plain_url, headers] = without_credentials(url);
    nb::object netloc = parse.attr("urlsplit")(plain_url).attr("netloc");
    nb::object path = parts.attr("path");
    if (!tvx::truthy(path.attr("endswith")("/")))
        path = path + nb::str("/");
    nb::object clean = parse.attr("urlunsplit")(nb::make_tuple(scheme, netloc, path, parts.attr("query"), ""));
    return nb::make_tuple(clean, headers, shown, source);
}

// A failure of the index itself, as a RuntimeError naming it and where it was configured.
[[noreturn]] void raise_index_error(const Call &c, nb::handle target, nb::handle what,
                                    const nb::python_error *cause) {
    nb::str message = nb::str("the package index {} ({}) {}").format(target[2], target[3], what);
    nb::object redacted = c.call("_redact_text", message);
    if (cause)
        tvx::raise_from(PyExc_RuntimeError, nb::str(redacted), *cause);
    tvx::raise(PyExc_RuntimeError, nb::str(redacted));
}

// Whether a RuntimeError is one raise_index_error made (its text names the index).
bool is_index_error(const nb::python_error &e) {
    nb::object text = tvx::to_str(e.value());
    return tvx::truthy(text.attr("startswith")("the package index "));
}

// What an exception says: a URLError's reason, else its text.
nb::object reason_of(nb::handle error) {
    nb::object reason = tvx::optional_attr(error, "reason");
    nb::object text = tvx::to_str(reason.is_valid() && !reason.is_none() ? reason : nb::borrow(error));
    return tvx::truthy(text) ? text : nb::object(nb::str(Py_TYPE(error.ptr())->tp_name));
}

// Letters and digits of `text` in lower case: two names normalise alike only
// when these agree, so a name whose key does not start with the prefix's can
// be left out without asking the module's rule.
std::string squeezed(std::string_view text) {
    std::string out;
    for (char ch : text) {
        if (ch == '-' || ch == '_' || ch == '.' || ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r')
            continue;
        out.push_back(ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch + 32) : ch);
    }
    return out;
}

class NameFilter {
public:
    NameFilter(const Call &c, nb::handle prefix) : c_(c), prefix_(prefix) {
        std::string text;
        if (c.still_own("is_user_visible_extension_package") && PyUnicode_Check(prefix.ptr())) {
            Py_ssize_t size = 0;
            const char *data = PyUnicode_AsUTF8AndSize(prefix.ptr(), &size);
            if (!data)
                throw nb::python_error();
            key_ = squeezed(std::string_view(data, static_cast<size_t>(size)));
            native_ = true;
        }
    }
    bool may_pass(std::string_view name) const {
        if (!native_)
            return true;
        size_t matched = 0;
        for (char ch : name) {
            if (matched == key_.size())
                return true;
            if (ch == '-' || ch == '_' || ch == '.' || ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r')
                continue;
            if ((ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch + 32) : ch) != key_[matched++])
                return false;
        }
        return matched == key_.size();
    }
    bool visible(nb::handle name) const {
        return tvx::truthy(c_.call("is_user_visible_extension_package", name, "prefix"_a = prefix_));
    }

private:
    const Call &c_;
    nb::handle prefix_;
    std::string key_;
    bool native_ = false;
};

nb::object unescaped(std::string_view text) {
    nb::object value = str_of(text);
    if (html::has_reference(text))
        value = nb::module_::import_("html").attr("unescape")(value);
    return value;
}

// The visible project names of a PEP 691 listing.
nb::list json_names(const Call &c, nb::handle target, nb::handle body, const NameFilter &filter) {
    nb::list names;
    nb::object doc;
    try {
        doc = c.g("json").attr("loads")(body);
    } catch (nb::python_error &e) {
        if (!tvx::is_exception(e))
            throw;
        raise_index_error(c, target, nb::str("answered with malformed JSON ({})").format(e.value()), &e);
    }
    nb::object projects = PyDict_Check(doc.ptr()) ? nb::object(doc.attr("get")("projects")) : nb::object(nb::none());
    if (!PyList_Check(projects.ptr()))
        raise_index_error(c, target, nb::str("answered with JSON that is not a simple index"), nullptr);
    for (nb::handle project : projects) {
        nb::object name = PyDict_Check(project.ptr()) ? nb::object(project.attr("get")("name")) : nb::object(nb::none());
        if (!PyUnicode_Check(name.ptr()))
            continue;
        nb::object stripped = name.attr("strip")();
        if (filter.may_pass(utf8(stripped)) && filter.visible(stripped))
            names.append(stripped);
    }
    return names;
}

// Where the complete anchors of `buffer` end: at the start of its last "<a"
// (which may still be arriving), or 0 when it has none.
size_t complete_part(std::string_view buffer) {
    for (size_t at = buffer.rfind('<'); at != std::string_view::npos; at = at ? buffer.rfind('<', at - 1) : std::string_view::npos) {
        if (at + 1 < buffer.size() && (buffer[at + 1] == 'a' || buffer[at + 1] == 'A'))
            return at;
        if (at == 0)
            break;
    }
    return 0;
}

// The listing's request headers: Accept and the index's basic authentication.
nb::dict headers_of(nb::handle target) {
    nb::dict headers;
    headers["Accept"] = kAccept;
    if (PyDict_Update(headers.ptr(), nb::handle(target[1]).ptr()) < 0)
        throw nb::python_error();
    return headers;
}

// Reads the simple index and returns its visible project names.  An HTML
// listing is scanned piece by piece as it arrives (decompressed on the way),
// so its memory stays that of a piece; a JSON one is parsed whole.
nb::list read_listing(const Call &c, nb::handle target, nb::handle timeout, const NameFilter &filter,
                      nb::handle pool, double seconds) {
    nb::object url = target[0];
    nb::object request = index::build_request(url, headers_of(target));
    nb::list names;
    size_t anchors = 0;
    nb::object final_url = nb::borrow(url);
    auto read = [&](nb::handle response) -> nb::object {
        bool gzip = index::is_gzip(index::header(response, "Content-Encoding"));
        std::string media = media_type(index::header(response, "Content-Type"));
        final_url = response.attr("geturl")();
        if (!is_html(media)) {
            if (!is_json(media))
                raise_index_error(c, target,
                                  nb::str("answered with {}, not a simple index (a proxy or login page?)")
                                      .format(nb::str(media.empty() ? "no content type" : media.c_str())),
                                  nullptr);
            nb::object body = index::read_body(response, kListingLimit, url);
            if (gzip)
                body = index::gunzip(body, kListingLimit, url);
            names = json_names(c, target, body, filter);
            return nb::none();
        }
        nb::object inflater = gzip ? nb::object(nb::module_::import_("zlib").attr("decompressobj")(47)) : nb::object();
        nb::object read_piece = response.attr("read");
        std::string buffer;
        Py_ssize_t total = 0;
        auto scan = [&](std::string_view part) {
            html::scan_anchors(part, [&](const html::Anchor &anchor) {
                ++anchors;
                if (anchor.text.empty() || !filter.may_pass(anchor.text))
                    return;
                nb::object name = unescaped(anchor.text);
                if (filter.visible(name))
                    names.append(name);
            });
        };
        auto take = [&](nb::handle data) {
            total += static_cast<Py_ssize_t>(PyBytes_GET_SIZE(data.ptr()));
            if (total > kListingLimit)
                index::raise_too_large(url, kListingLimit);
            buffer.append(bytes_view(data));
            size_t cut = complete_part(buffer);
            if (cut > 0) {
                scan(std::string_view(buffer).substr(0, cut));
                buffer.erase(0, cut);
            }
        };
        for (;;) {
            nb::object piece = read_piece(kReadBlock);
            if (!tvx::truthy(piece))
                break;
            if (!PyBytes_Check(piece.ptr()))
                piece = nb::bytes(piece);  // a bytes-like answer of a replaced opener
            take(inflater.is_valid() ? nb::object(inflater.attr("decompress")(piece)) : piece);
        }
        // Reading by pieces does not notice a connection closed before the
        // announced length; reading the whole body at once raises this.
        nb::object remaining = tvx::optional_attr(response, "length");
        if (remaining.is_valid() && PyLong_CheckExact(remaining.ptr()) && tvx::truthy(remaining)) {
            nb::object error = nb::module_::import_("http.client").attr("IncompleteRead")(nb::bytes(""), remaining);
            PyErr_SetRaisedException(error.release().ptr());
            throw nb::python_error();
        }
        if (inflater.is_valid())
            take(inflater.attr("flush")());
        scan(buffer);
        return nb::none();
    };
    try {
        if (pool.is_none())
            index::open(url, request, timeout, read);
        else
            index::pooled_get(pool, request, url, seconds, read);
    } catch (nb::python_error &e) {
        if (!tvx::is_exception(e) || (e.matches(PyExc_RuntimeError) && is_index_error(e)))
            throw;
        nb::object what = nb::str("could not be read: {}").format(reason_of(e.value()));
        raise_index_error(c, target, what, &e);
    }
    if (anchors == 0 && names.size() == 0 && !final_url.equal(url))
        raise_index_error(c, target,
                          nb::str("redirected to {}, which lists no projects (a login page?)").format(final_url),
                          nullptr);
    return names;
}

// One file of a project page: (filename, url, yanked, has core metadata).
nb::list project_files(const Call &c, nb::handle answer) {
    nb::object body = answer[0], final_url = answer[2];
    std::string media = utf8(answer[1]);
    nb::object urljoin = nb::module_::import_("urllib.parse").attr("urljoin");
    nb::list files;
    if (is_json(media)) {
        nb::object doc = c.g("json").attr("loads")(body);
        nb::object listed = PyDict_Check(doc.ptr()) ? nb::object(doc.attr("get")("files")) : nb::object(nb::none());
        if (!PyList_Check(listed.ptr()))
            return files;
        for (nb::handle f : listed) {
            if (!PyDict_Check(f.ptr()))
                continue;
            nb::object filename = f.attr("get")("filename"), url = f.attr("get")("url");
            if (!PyUnicode_Check(filename.ptr()) || !PyUnicode_Check(url.ptr()))
                continue;
            nb::object meta = f.attr("get")("core-metadata");
            if (meta.is_none())
                meta = f.attr("get")("dist-info-metadata");
            files.append(nb::make_tuple(filename, urljoin(final_url, url), tvx::truthy(f.attr("get")("yanked")),
                                        tvx::truthy(meta)));
        }
        return files;
    }
    if (!is_html(media))
        tvx::raise(PyExc_ValueError, nb::str("the project page answered with {}").format(nb::str(media.c_str())));
    html::scan_anchors(bytes_view(body), [&](const html::Anchor &anchor) {
        if (anchor.href.empty())
            return;
        nb::object url = urljoin(final_url, unescaped(anchor.href));
        nb::object filename = unescaped(anchor.text);
        if (!tvx::truthy(filename)) {
            nb::object path = nb::module_::import_("urllib.parse").attr("urlsplit")(url).attr("path");
            filename = path.attr("rsplit")("/", 1)[-1];
        }
        files.append(nb::make_tuple(filename, url, anchor.yanked, anchor.core_metadata));
    });
    return files;
}

// The version in a distribution's file name, or None for a file that is not a
// wheel or an sdist.
nb::object file_version(nb::handle filename, nb::handle project_key) {
    nb::object name = tvx::to_str(filename);
    nb::object lower = name.attr("lower")();
    if (tvx::truthy(lower.attr("endswith")(".whl"))) {
        nb::object parts = name[nb::slice(nb::none(), nb::int_(-4), nb::none())].attr("split")("-");
        return nb::len(parts) >= 5 ? nb::object(parts[1]) : nb::object(nb::none());
    }
    for (const char *ext : {".tar.gz", ".zip", ".tar.bz2", ".tgz", ".tar.xz"}) {
        if (!tvx::truthy(lower.attr("endswith")(ext)))
            continue;
        nb::object stem = name[nb::slice(nb::none(), nb::int_(-static_cast<long>(std::string_view(ext).size())), nb::none())];
        nb::object key = nb::module_::import_("re").attr("sub")("[-_.]+", "-", stem).attr("lower")();
        Py_ssize_t length = static_cast<Py_ssize_t>(nb::len(project_key));
        if (tvx::truthy(key.attr("startswith")(project_key + nb::str("-")))) {
            // The project's name may itself hold separators: cut it at the same length.
            return stem[nb::slice(nb::int_(length + 1), nb::none(), nb::none())];
        }
        nb::object parts = stem.attr("rsplit")("-", 1);
        return nb::len(parts) == 2 ? nb::object(parts[1]) : nb::object(nb::none());
    }
    return nb::none();
}

// (version text, file) of the newest release pip would pick: yanked files
// and invalid versions left out, pre-releases only when nothing else is there.
std::pair<nb::object, nb::object> newest(const Call &c, nb::handle files, nb::handle project_key) {
    nb::object version_type = tvx::import_from(c, "packaging.version", "Version");
    nb::object invalid = tvx::import_from(c, "packaging.version", "InvalidVersion");
    nb::object best_final, best_pre, final_file, pre_file;
    for (nb::handle f : files) {
        if (tvx::truthy(f[2]))
            continue;
        nb::object text = file_version(f[0], project_key);
        if (text.is_none())
            continue;
        nb::object version;
        try {
            version = version_type(text);
        } catch (nb::python_error &e) {
            if (!e.matches(invalid))
                throw;
            continue;
        }
        bool pre = tvx::truthy(version.attr("is_prerelease"));
        nb::object &best = pre ? best_pre : best_final;
        nb::object &file = pre ? pre_file : final_file;
        if (!best.is_valid() || PyObject_RichCompareBool(version.ptr(), best.ptr(), Py_GT) == 1 ||
            (version.equal(best) && !tvx::truthy(file[3]) && tvx::truthy(f[3]))) {
            best = version;
            file = nb::borrow(f);
        }
    }
    if (best_final.is_valid())
        return {tvx::to_str(best_final), final_file};
    if (best_pre.is_valid())
        return {tvx::to_str(best_pre), pre_file};
    return {nb::str(""), nb::none()};
}

// The summary of the newest file: its core metadata when the index offers it,
// else the index's JSON document of the project (devpi's of the release), else "".
nb::object summary_of(const Call &c, nb::handle target, nb::handle file, nb::handle pkg, nb::handle key,
                      double seconds, nb::handle no_documents, nb::handle pool) {
    nb::object headers = target[1];
    if (!file.is_none() && tvx::truthy(file[3])) {
        nb::object url = tvx::to_str(file[1]).attr("split")("#", 1)[0] + nb::str(".metadata");
        nb::object answer = get(url, headers, seconds, index::kDocumentLimit, pool);
        nb::object text = answer[0].attr("decode")("utf-8", "replace");
        nb::object message = nb::module_::import_("email.parser").attr("HeaderParser")().attr("parsestr")(text);
        nb::object summary = message.attr("get")("Summary");
        return tvx::truthy(summary) ? nb::object(tvx::to_str(summary).attr("strip")()) : nb::object(nb::str(""));
    }
    nb::object root = tvx::to_str(target[0]).attr("rstrip")("/");
    // devpi serves an index's simple pages under <user>/<index>/+simple/ and the
    // metadata of each release, as JSON under "result", at <user>/<index>/<name>/<version>.
    bool devpi = tvx::truthy(root.attr("endswith")("/+simple"));
    if (tvx::truthy(root.attr("endswith")(devpi ? "/+simple" : "/simple")))
        root = root[nb::slice(nb::none(), nb::int_(devpi ? -8 : -7), nb::none())];
    // An index without these documents (pypiserver answers 404) is not asked again in this listing.
    if (tvx::truthy(no_documents) || (devpi && file.is_none()))
        return nb::str("");
    nb::object url = devpi ? nb::str("{}/{}/{}").format(root, key, file_version(file[0], key))
                           : nb::str("{}/pypi/{}/json").format(root, pkg);
    if (devpi) {
        nb::dict devpi_headers;
        devpi_headers["Accept"] = "application/json";
        if (PyDict_Update(devpi_headers.ptr(), headers.ptr()) < 0)
            throw nb::python_error();
        headers = devpi_headers;
    }
    nb::object answer;
    try {
        answer = get(url, headers, seconds, index::kDocumentLimit, pool);
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_RuntimeError) && tvx::truthy(tvx::to_str(e.value()).attr("startswith")("HTTP 404 ")))
            no_documents.attr("append")(true);
        throw;
    }
    nb::object doc = c.g("json").attr("loads")(answer[0]);
    nb::object info = PyDict_Check(doc.ptr()) ? nb::object(doc.attr("get")(devpi ? "result" : "info")) : nb::object(nb::none());
    if (!PyDict_Check(info.ptr()))
        return nb::str("");
    nb::object summary = info.attr("get")("summary");
    return tvx::truthy(summary) ? nb::object(tvx::to_str(summary)) : nb::object(nb::str(""));
}

// Runs in a worker thread: one project's entry.  Closure: (target, per-project
// time-out, a list that is not empty once the index said it has no project
// documents, the listing's connections or None).
nb::object index_entry(Call &c, nb::handle pkg) {
    nb::dict entry = stub_entry(c, pkg);
    nb::handle target = c.closure(0), pool = c.closure(3);
    double seconds = nb::cast<double>(c.closure(1));
    nb::object key = nb::module_::import_("re").attr("sub")("[-_.]+", "-", pkg).attr("lower")();
    tvx::except_exception(
        [&] {
            nb::object page = get(tvx::to_str(target[0]) + key + nb::str("/"), target[1], seconds, kPageLimit, pool);
            nb::list files = project_files(c, page);
            auto [version, file] = newest(c, files, key);
            nb::object summary = tvx::except_exception(
                [&] { return summary_of(c, target, file, pkg, key, seconds, c.closure(2), pool); },
                [&](const nb::python_error &e) -> nb::object {
                    tvx::log(c, "debug", "Summary of %s from %s failed: %s", pkg, target[2],
                             c.call("_redact_text", tvx::to_str(e.value())));
                    return nb::str("");
                });
            entry["version"] = version;
            entry["description"] = summary;
            nb::list names;
            for (nb::handle f : files)
                names.append(f[0]);
            nb::dict raw;
            raw["name"] = pkg;
            raw["version"] = version;
            raw["summary"] = summary;
            raw["files"] = names;
            entry["raw"] = raw;
        },
        [&](const nb::python_error &e) {
            tvx::log(c, "debug", "Index metadata for %s from %s failed: %s", pkg, target[2],
                     c.call("_redact_text", tvx::to_str(e.value())));
        });
    return entry;
}

const FuncSpec kIndexEntry = {
    .name = "_index_entry",
    .qualname = "_index_catalog.<locals>._index_entry",
    .params = {arg("pkg", "str")},
    .returns = "dict[str, Any]",
    .impl = tvx::body<index_entry>,
};

// min(max(timeout / 3, 5.0), 20.0) as a float.
double per_project_seconds(double timeout) { return std::min(std::max(timeout / 3.0, 5.0), 20.0); }

nb::object index_catalog(Call &c, nb::handle index, nb::handle prefix, nb::handle timeout,
                         nb::handle fetch_metadata, nb::handle max_packages) {
    nb::tuple target = target_of(c, index);
    NameFilter filter(c, prefix);
    // A time-out that is not a number is urllib's to judge (the listing alone
    // takes None); the project pages need one.
    double seconds = PyFloat_Check(timeout.ptr()) || PyLong_Check(timeout.ptr()) ? PyFloat_AsDouble(timeout.ptr()) : -1.0;
    if (seconds == -1.0 && PyErr_Occurred())
        PyErr_Clear();
    double per_project = per_project_seconds(seconds);
    // While urllib is as shipped, the index is read over the module's own
    // keep-alive connections, bounded as a whole: the simple index by
    // `timeout`, the listing by it and one project's more.
    nb::object origin = nb::none();
    if (seconds > 0.0 && seconds < 1e9 && index::own_connections_allowed(headers_of(target)))
        origin = index::Origin::make(target[0], index::build_request(target[0], headers_of(target)));
    index::Deadline listing_deadline(origin.is_none() ? 0.0 : seconds + per_project);
    nb::list idle;
    nb::object pool = origin.is_none() ? nb::object(nb::none()) : index::Pool::make(origin, idle, listing_deadline);
    auto close_idle = [&] {
        for (nb::handle connection : idle)
            connection.attr("close")();
    };
    return tvx::finally([&]() -> nb::object {
        nb::list names = read_listing(c, target, timeout, filter, pool, seconds);
        names.attr("sort")("key"_a = nb::handle(reinterpret_cast<PyObject *>(&PyUnicode_Type)).attr("lower"));
        nb::object limit = nb::steal(PyNumber_Long(max_packages.ptr()));
        if (!limit.is_valid())
            throw nb::python_error();
        if (nb::cast<long long>(limit) > 0)
            names = nb::borrow<nb::list>(nb::object(names)[nb::slice(nb::none(), limit, nb::none())]);
        nb::list entries;
        size_t count = nb::len(names);
        if (count == 0)
            return entries;
        if (!tvx::truthy(fetch_metadata)) {
            for (nb::handle n : names)
                entries.append(stub_entry(c, n));
            return entries;
        }
        seconds = nb::cast<double>(nb::float_(timeout));
        per_project = per_project_seconds(seconds);
        nb::object entry_fn =
            tvx::make_nested(c, kIndexEntry, nb::make_tuple(target, per_project, nb::list(), pool));
        nb::object futures_module = nb::module_::import_("concurrent.futures");
        // The listing's connection is idle now unless the server closed it.
        bool kept_alive = origin.is_none() || nb::len(idle) > 0;
        size_t workers = std::min(count, kept_alive ? kWorkers : kWorkersWithoutKeepAlive);
        nb::object executor = futures_module.attr("ThreadPoolExecutor")("max_workers"_a = workers);
        nb::dict futures;
        nb::dict by_name;
        try {
            for (nb::handle n : names)
                futures[executor.attr("submit")(entry_fn, n)] = n;
            // The listing ends within the index's time-out and one project's more.
            nb::object done_and_not = futures_module.attr("wait")(futures, "timeout"_a = seconds + per_project);
            for (nb::handle future : done_and_not[0]) {
                nb::object pkg = futures[future];
                by_name[pkg] = tvx::except_exception(
                    [&] { return nb::object(future.attr("result")()); },
                    [&](const nb::python_error &e) -> nb::object {
                        tvx::log(c, "debug", "Catalog entry failed for %s: %s", pkg, e.value());
                        return stub_entry(c, pkg);
                    });
            }
        } catch (...) {
            executor.attr("shutdown")("wait"_a = false, "cancel_futures"_a = true);
            throw;
        }
        executor.attr("shutdown")("wait"_a = false, "cancel_futures"_a = true);
        for (nb::handle n : names)
            entries.append(by_name.contains(n) ? nb::object(by_name[n]) : nb::object(stub_entry(c, n)));
        return entries;
    }, close_idle);
}

const FuncSpec kIndexCatalog = {
    .name = "_index_catalog",
    .doc = "The extensions on the configured index *index* (as _installer_index gives it).\n"
           "\n"
           "Reads its simple index (PEP 691 JSON, else PEP 503 HTML), then each visible\n"
           "project's page for the newest release and its summary.  A failure of the index\n"
           "itself raises RuntimeError naming the index (credentials redacted) and where it\n"
           "was configured; the public index is never read in its place.\n",
    .params = {arg("index", "dict[str, Any]"), kwarg("prefix", "str", dflt("talvex-ext-")),
               kwarg("timeout", "float", dflt(45.0)), kwarg("fetch_metadata", "bool", dflt(true)),
               kwarg("max_packages", "int", dflt(120))},
    .returns = "list[dict[str, Any]]",
    .impl = tvx::body<index_catalog>,
    .keeps = {"is_user_visible_extension_package"},
};

}  // namespace

void init_index_catalog(tvx::ModuleFrame &frame) { frame.def(kIndexCatalog); }

}  // namespace wheelwork
