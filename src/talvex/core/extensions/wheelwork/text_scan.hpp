// Small text routines behind the native fast paths of the name functions: they
// read a str's characters directly and give what the equivalent str methods give.
#pragma once

#include "common.hpp"

#include <cstring>
#include <string>
#include <string_view>

namespace wheelwork::text {

// An exact str whose characters are all ASCII, viewed as bytes; false otherwise.
inline bool ascii_view(nb::handle h, std::string_view &out) {
    PyObject *s = h.ptr();
    if (!PyUnicode_CheckExact(s) || !PyUnicode_IS_ASCII(s))
        return false;
    out = std::string_view(reinterpret_cast<const char *>(PyUnicode_1BYTE_DATA(s)),
                           static_cast<size_t>(PyUnicode_GET_LENGTH(s)));
    return true;
}

// Calls fn(data, length) with the str's characters as a typed array (Py_UCS1,
// Py_UCS2 or Py_UCS4), so loops over them compile for one width at a time.
template <typename Fn>
decltype(auto) with_chars(PyObject *s, Fn &&fn) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    switch (PyUnicode_KIND(s)) {
    case PyUnicode_1BYTE_KIND: return fn(PyUnicode_1BYTE_DATA(s), n);
    case PyUnicode_2BYTE_KIND: return fn(PyUnicode_2BYTE_DATA(s), n);
    default: return fn(PyUnicode_4BYTE_DATA(s), n);
    }
}

// Whether installer console text keeps a character: newline and tab stay; C0/C1
// controls and DEL go; otherwise what is printable or whitespace stays, and
// format characters, unassigned code points and lone surrogates go.
inline bool keep_console_char(Py_UCS4 ch) {
    if (ch == '\n' || ch == '\t')
        return true;
    if (ch < 32 || (ch >= 127 && ch <= 159))
        return false;
    return ch < 127 || Py_UNICODE_ISPRINTABLE(ch) || Py_UNICODE_ISSPACE(ch);
}

// What str.isspace() says of an ASCII character.
inline bool is_space(char ch) { return Py_UNICODE_ISSPACE(static_cast<unsigned char>(ch)); }

// str.strip() of ASCII text.
inline std::string_view strip(std::string_view s) {
    while (!s.empty() && is_space(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && is_space(s.back()))
        s.remove_suffix(1);
    return s;
}

inline char lower(char ch) { return ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch - 'A' + 'a') : ch; }
// text::lower as a function object, for the kernel below (a call it can inline).
inline constexpr auto to_lower = [](char ch) { return lower(ch); };
inline char upper(char ch) { return ch >= 'a' && ch <= 'z' ? static_cast<char>(ch - 'a' + 'A') : ch; }

// Whether ASCII `text`, lower-cased, equals `lower` (which is lower case already).
inline bool equals_lower(std::string_view text, std::string_view lower) {
    if (text.size() != lower.size())
        return false;
    for (size_t i = 0; i < text.size(); ++i)
        if (text::lower(text[i]) != lower[i])
            return false;
    return true;
}

// The kernel below runs once per name of the package index (700,000 names): it is
// inlined into each caller, so that its callbacks fold into the loop.
#if defined(__GNUC__) || defined(__clang__)
#define TALVEX_INLINE_KERNEL [[gnu::always_inline]] inline
#elif defined(_MSC_VER)
#define TALVEX_INLINE_KERNEL __forceinline
#else
#define TALVEX_INLINE_KERNEL inline
#endif

// The name normalisation every fast path shares: feeds `emit` the characters of
// `data` (already stripped) with every run of " ", "-", "_", "." as one "-" and
// none at either end, each other character passed through `map` (lower-casing,
// or nothing for text lower-cased already).  A run becomes "-" only once a
// character follows it.  Stops and returns false as soon as `emit` does.
template <typename Char, typename Map, typename Emit>
TALVEX_INLINE_KERNEL bool normalized_chars(const Char *data, size_t n, Map &&map, Emit &&emit) {
    bool pending_dash = false, any = false;
    for (size_t i = 0; i < n; ++i) {
        Char ch = data[i];
        if (ch == ' ' || ch == '-' || ch == '_' || ch == '.') {
            pending_dash = true;
            continue;
        }
        if (pending_dash && any && !emit('-'))
            return false;
        pending_dash = false;
        any = true;
        if (!emit(map(ch)))
            return false;
    }
    return true;
}

// The normalised distribution name of ASCII text: stripped, lower-cased, every run
// of " ", "-", "_", "." turned into one "-", "-" stripped from both ends.
inline void normalize(std::string_view s, std::string &out) {
    out.clear();
    s = strip(s);
    normalized_chars(s.data(), s.size(), to_lower, [&](char ch) {
        out.push_back(ch);
        return true;
    });
}

// A new str from ASCII bytes.
inline nb::object ascii_str(std::string_view s) {
    PyObject *out = PyUnicode_New(static_cast<Py_ssize_t>(s.size()), 127);
    if (!out)
        throw nb::python_error();
    if (!s.empty())
        std::memcpy(PyUnicode_1BYTE_DATA(out), s.data(), s.size());
    return nb::steal(out);
}

}  // namespace wheelwork::text
