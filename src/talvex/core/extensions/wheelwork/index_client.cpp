// The package index's JSON-over-HTTPS client.  Standard library only, and every
// call builds its own request, so background threads may use it freely.
#include "index_client.hpp"
#include "text_scan.hpp"

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

// gzip.decompress(body)
nb::object gunzip(nb::handle body) {
    return nb::module_::import_("gzip").attr("decompress")(body);
}

// Adds what answered to a parse error: a note for people reading the
// traceback, `url` and `content_type` for code presenting it.  Best effort:
// the error itself is what matters.
void describe_parse_error(nb::handle error, nb::handle url, nb::handle response) {
    try {
        nb::object content_type = header(response, "Content-Type");
        nb::object shown = content_type.is_none() ? nb::object(nb::str("none given"))
                                                  : nb::object(nb::repr(content_type));
        error.attr("add_note")(
            nb::str("while reading the answer from {} (Content-Type: {})").format(url, shown));
        nb::setattr(error, "url", url);
        nb::setattr(error, "content_type", content_type);
    } catch (nb::python_error &e) {
        if (!tvx::is_exception(e))
            throw;
    }
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
        nb::object manager = urlopen(request, "timeout"_a = timeout);
        nb::object exit = manager.attr("__exit__");
        nb::object response = manager.attr("__enter__")();
        nb::object value;
        try {
            value = read(response);
        } catch (nb::python_error &e) {
            if (!tvx::truthy(exit(e.type(), e.value(), tvx::or_none(e.traceback()))))
                throw;
            return nb::none();
        }
        exit(nb::none(), nb::none(), nb::none());
        return value;
    } catch (nb::python_error &e) {
        if (!e.matches(error_module.attr("HTTPError")))
            throw;
        nb::handle http_error = e.value();
        nb::object detail;
        try {
            nb::object body = http_error.attr("read")();
            if (is_gzip(header(http_error, "Content-Encoding")))
                body = gunzip(body);
            detail = decode_body(body)[nb::slice(nb::none(), nb::int_(200), nb::none())];
        } catch (nb::python_error &read_error) {
            if (!tvx::is_exception(read_error))
                throw;
            detail = nb::str("");
        }
        nb::str message = nb::str("HTTP {} for {}: {}").format(http_error.attr("code"), url, detail);
        tvx::raise_from(PyExc_RuntimeError, message, e);
    }
}

nb::object header(nb::handle response, const char *name) {
    try {
        PyObject *headers = nullptr;
        int found = PyObject_GetOptionalAttrString(response.ptr(), "headers", &headers);
        if (found < 0)
            throw nb::python_error();
        nb::object owned = nb::steal(headers);
        if (found == 0 || owned.is_none())
            return nb::none();
        return owned.attr("get")(name);
    } catch (nb::python_error &e) {
        if (!tvx::is_exception(e))
            throw;
        return nb::none();  // a response without readable headers says nothing
    }
}

bool is_gzip(nb::handle content_encoding) {
    std::string_view value;
    if (!text::ascii_view(content_encoding, value))
        return false;
    value = text::strip(value);
    return text::equals_lower(value, "gzip") || text::equals_lower(value, "x-gzip");
}

nb::object parse_answer(const Call &c, nb::handle url, nb::handle response, nb::handle body,
                        bool gzip) {
    nb::object data = nb::borrow(body);
    if (gzip) {
        try {
            data = gunzip(body);
        } catch (nb::python_error &e) {
            if (!tvx::is_exception(e))
                throw;
            nb::str message = nb::str("the answer from {} says it is gzip-compressed but does not "
                                      "decompress: {}")
                                  .format(url, tvx::to_str(e.value()));
            tvx::raise_from(PyExc_ValueError, message, e);
        }
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

}  // namespace index

namespace {

nb::object http_json(Call &c) {
    nb::handle url = c[0], timeout = c[1], headers = c[2];
    nb::object request = index::build_request(url, headers);
    return index::open(url, request, timeout, [&](nb::handle response) {
        bool gzip = index::is_gzip(index::header(response, "Content-Encoding"));
        nb::object body = response.attr("read")();
        return index::parse_answer(c, url, response, body, gzip);
    });
}

const FuncSpec kFunctions[] = {
    {
        .name = "_http_json",
        .doc = "GET *url* and decode JSON (stdlib only \u2014 safe for background threads).",
        .params = {arg("url", "str"), kwarg("timeout", "float"),
                   kwarg("headers", "dict[str, str] | None", dflt(nullptr))},
        .returns = "Any",
        .impl = http_json,
    },
};

}  // namespace

std::span<const FuncSpec> index_client_functions() { return kFunctions; }

}  // namespace wheelwork
