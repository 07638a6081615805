// The pieces of the package index's JSON client that the catalog's own reading
// of the simple index shares with _http_json: the request, the opening with its
// error mapping, and the reading of an answer's body.
#pragma once

#include "common.hpp"

#include <functional>

namespace wheelwork::index {

// urllib.request.Request(url, headers=...): a GET with the module's default
// headers ("User-Agent", "Accept-Encoding: gzip") and the caller's on top.
nb::object build_request(nb::handle url, nb::handle headers);

// `with urllib.request.urlopen(request, timeout=timeout) as response:
// return read(response)`, urlopen looked up now.  An HTTP error status becomes
// RuntimeError("HTTP <code> for <url>: <start of the error body>") raised from
// it; None when the response's context manager swallows an exception.
nb::object open(nb::handle url, nb::handle request, nb::handle timeout,
                const std::function<nb::object(nb::handle)> &read);

// A header of a response (or HTTP error) as its `headers` give it, or None.
nb::object header(nb::handle response, const char *name);

// Whether a Content-Encoding value says gzip.
bool is_gzip(nb::handle content_encoding);

// The JSON document in an answer's body: decompressed when `gzip` (a body
// that does not decompress raises ValueError naming the URL), decoded as UTF-8
// with replacement, parsed with the module's `json.loads`.  A parse error keeps
// its type and message and gains a note, and the attributes `url` and
// `content_type`, saying what answered.
nb::object parse_answer(const Call &c, nb::handle url, nb::handle response, nb::handle body,
                        bool gzip);

}  // namespace wheelwork::index
