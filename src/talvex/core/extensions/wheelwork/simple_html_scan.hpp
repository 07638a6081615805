// A fast scan of a PEP 503 HTML simple-index page: every anchor with the
// attributes the index uses and its text, without building a document.
#pragma once

#include <functional>
#include <string_view>

namespace wheelwork::html {

struct Anchor {
    std::string_view href;           // raw attribute value (entities not decoded)
    std::string_view text;           // inner text, surrounding whitespace stripped
    bool yanked = false;             // data-yanked present
    bool core_metadata = false;      // data-core-metadata / data-dist-info-metadata present and not "false"
};

// Calls `each` for every <a ...>text</a> of `page`, in order.  Comments, and
// tags other than <a>, are skipped; a last anchor without its </a> ends at the
// end of the page.
void scan_anchors(std::string_view page, const std::function<void(const Anchor &)> &each);

// Whether `text` holds a character reference ("&") that html.unescape decodes.
inline bool has_reference(std::string_view text) { return text.find('&') != std::string_view::npos; }

}  // namespace wheelwork::html
