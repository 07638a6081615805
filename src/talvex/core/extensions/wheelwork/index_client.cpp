// The package index's JSON-over-HTTPS client.  Standard library only, and every
// call builds its own request, so background threads may use it freely.
#include "common.hpp"

namespace wheelwork {

namespace {

// "Talvex-Desktop/1.0 (+https://<index>/project/talvex/)"
nb::str user_agent() {
    return nb::str("Talvex-Desktop/1.0 (+https://{}/project/talvex/)").format(kIndexHost);
}

// body.decode("utf-8", errors="replace")
nb::object decode_body(nb::handle body) {
    return body.attr("decode")("utf-8", "errors"_a = "replace");
}

// with urlopen(request, timeout=timeout) as response:
//     return json.loads(response.read().decode("utf-8", errors="replace"))
// (None when the response's context manager swallows an exception).
nb::object fetch_json(nb::handle urlopen, nb::handle request, nb::handle timeout, nb::handle json) {
    nb::object manager = urlopen(request, "timeout"_a = timeout);
    nb::object exit = manager.attr("__exit__");
    nb::object response = manager.attr("__enter__")();
    nb::object value;
    try {
        value = json.attr("loads")(decode_body(response.attr("read")()));
    } catch (nb::python_error &e) {
        if (!tvx::truthy(exit(e.type(), e.value(), e.traceback())))
            throw;
        return nb::none();
    }
    exit(nb::none(), nb::none(), nb::none());
    return value;
}

nb::object http_json(Call &c) {
    nb::handle url = c[0], timeout = c[1], headers = c[2];
    nb::object json = c.g("json");
    nb::object error_module = nb::module_::import_("urllib.error");
    nb::object request_module = nb::module_::import_("urllib.request");

    nb::dict merged;
    merged["User-Agent"] = user_agent();
    if (tvx::truthy(headers) && PyDict_Update(merged.ptr(), headers.ptr()) < 0)
        throw nb::python_error();
    nb::object request = request_module.attr("Request")(url, "headers"_a = merged);

    try {
        return fetch_json(request_module.attr("urlopen"), request, timeout, json);
    } catch (nb::python_error &e) {
        if (!e.matches(error_module.attr("HTTPError")))
            throw;
        nb::handle http_error = e.value();
        nb::object detail;
        try {
            nb::object text = decode_body(http_error.attr("read")());
            detail = text[nb::slice(nb::none(), nb::int_(200), nb::none())];
        } catch (nb::python_error &read_error) {
            if (!tvx::is_exception(read_error))
                throw;
            detail = nb::str("");
        }
        nb::str message = nb::str("HTTP {} for {}: {}").format(http_error.attr("code"), url, detail);
        tvx::raise_from(PyExc_RuntimeError, message, e);
    }
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
