// The anchor scan of HTML simple-index pages (see simple_html_scan.hpp).
#include "simple_html_scan.hpp"

#include <cstddef>

namespace wheelwork::html {

namespace {

constexpr bool is_space(char ch) {
    return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r' || ch == '\f';
}

constexpr char lower(char ch) { return ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch + 32) : ch; }

bool equals_lower(std::string_view text, std::string_view lower_word) {
    if (text.size() != lower_word.size())
        return false;
    for (size_t i = 0; i < text.size(); ++i)
        if (lower(text[i]) != lower_word[i])
            return false;
    return true;
}

std::string_view strip(std::string_view text) {
    while (!text.empty() && is_space(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && is_space(text.back()))
        text.remove_suffix(1);
    return text;
}

// Position of "</a" followed by a space, "/" or ">" at or after `from`, in any case; npos if none.
size_t find_end_tag(std::string_view page, size_t from) {
    for (size_t at = page.find("</", from); at != std::string_view::npos; at = page.find("</", at + 2)) {
        if (at + 3 <= page.size() && lower(page[at + 2]) == 'a' &&
            (at + 3 == page.size() || is_space(page[at + 3]) || page[at + 3] == '>'))
            return at;
    }
    return std::string_view::npos;
}

}  // namespace

void scan_anchors(std::string_view page, const std::function<void(const Anchor &)> &each) {
    size_t i = 0;
    const size_t n = page.size();
    while ((i = page.find('<', i)) != std::string_view::npos) {
        if (page.compare(i, 4, "<!--") == 0) {
            size_t end = page.find("-->", i + 4);
            if (end == std::string_view::npos)
                return;
            i = end + 3;
            continue;
        }
        if (i + 2 > n || lower(page[i + 1]) != 'a' || (i + 2 < n && !is_space(page[i + 2]) && page[i + 2] != '>')) {
            ++i;
            continue;
        }
        // Attributes up to the tag's ">", quoted values may hold ">".
        Anchor anchor;
        size_t p = i + 2;
        bool closed = false;
        while (p < n) {
            while (p < n && (is_space(page[p]) || page[p] == '/'))
                ++p;
            if (p >= n)
                break;
            if (page[p] == '>') {
                closed = true;
                ++p;
                break;
            }
            size_t name_start = p;
            while (p < n && !is_space(page[p]) && page[p] != '=' && page[p] != '>' && page[p] != '/')
                ++p;
            std::string_view name = page.substr(name_start, p - name_start);
            while (p < n && is_space(page[p]))
                ++p;
            std::string_view value;
            bool has_value = false;
            if (p < n && page[p] == '=') {
                ++p;
                while (p < n && is_space(page[p]))
                    ++p;
                if (p < n && (page[p] == '"' || page[p] == '\'')) {
                    char quote = page[p++];
                    size_t end = page.find(quote, p);
                    if (end == std::string_view::npos)
                        end = n;
                    value = page.substr(p, end - p);
                    p = end < n ? end + 1 : n;
                } else {
                    size_t start = p;
                    while (p < n && !is_space(page[p]) && page[p] != '>')
                        ++p;
                    value = page.substr(start, p - start);
                }
                has_value = true;
            }
            if (equals_lower(name, "href"))
                anchor.href = value;
            else if (equals_lower(name, "data-yanked"))
                anchor.yanked = true;
            else if (equals_lower(name, "data-core-metadata") || equals_lower(name, "data-dist-info-metadata"))
                anchor.core_metadata = anchor.core_metadata || !has_value || !equals_lower(value, "false");
        }
        if (!closed)
            return;
        size_t end = find_end_tag(page, p);
        size_t text_end = end == std::string_view::npos ? n : end;
        anchor.text = strip(page.substr(p, text_end - p));
        each(anchor);
        if (end == std::string_view::npos)
            return;
        i = end + 3;
    }
}

}  // namespace wheelwork::html
