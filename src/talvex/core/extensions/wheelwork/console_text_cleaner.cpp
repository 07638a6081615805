// One-pass cleaning of installer console text.  It gives exactly what
//   _ANSI_ESCAPE_RE.sub("", text).replace("\r\n", "\n").replace("\r", "\n"),
//   then the character filter and str.strip()
// give, without building the intermediate strings; sanitize_cli_text uses it
// while `_ANSI_ESCAPE_RE` is still the module's own pattern.
#include "common.hpp"
#include "text_scan.hpp"

#include <vector>

namespace wheelwork {

namespace {

constexpr Py_UCS4 kEsc = 0x1b, kBel = 0x07;


template <typename Char>
class Cleaner {
public:
    Cleaner(const Char *data, Py_ssize_t n) : s_(data), n_(n) { out_.reserve(static_cast<size_t>(n)); }

    nb::object run() {
        Py_ssize_t i = 0;
        while (i < n_) {
            Char ch = s_[i];
            if (ch == kEsc) {
                Py_ssize_t end = escape_end(i);
                if (end > i) {
                    i = end;
                    continue;
                }
            }
            put(ch);
            ++i;
        }
        size_t begin = 0, end = out_.size();
        while (begin < end && Py_UNICODE_ISSPACE(out_[begin]))
            ++begin;
        while (end > begin && Py_UNICODE_ISSPACE(out_[end - 1]))
            --end;
        int kind = sizeof(Char) == 1 ? PyUnicode_1BYTE_KIND
                   : sizeof(Char) == 2 ? PyUnicode_2BYTE_KIND
                                       : PyUnicode_4BYTE_KIND;
        PyObject *result = PyUnicode_FromKindAndData(kind, out_.data() + begin,
                                                     static_cast<Py_ssize_t>(end - begin));
        if (!result)
            throw nb::python_error();
        return nb::steal(result);
    }

private:
    // A character that survives escape removal: line ends are normalised here
    // (CR LF and a lone CR become LF), then the character filter applies.
    void put(Char ch) {
        if (after_cr_) {
            after_cr_ = false;
            if (ch == '\n')
                return;
        }
        if (ch == '\r') {
            out_.push_back('\n');
            after_cr_ = true;
            return;
        }
        if (text::keep_console_char(ch))
            out_.push_back(ch);
    }

    // End of the escape sequence starting with the ESC at `i`, or `i` when
    // nothing matches there (the ESC then stays, and the filter drops it).
    Py_ssize_t escape_end(Py_ssize_t i) {
        if (i + 1 >= n_)
            return i;
        Char kind = s_[i + 1];
        if (kind == ']') {
            Py_ssize_t term = terminator_from(i + 2);
            if (term >= 0)
                return s_[term] == kBel ? term + 1 : term + 2;
            return i + 2;  // unterminated: ESC ] alone, as a single-character escape
        }
        if (kind == '[') {
            Py_ssize_t j = i + 2;
            while (j < n_ && s_[j] >= 0x30 && s_[j] <= 0x3f)
                ++j;
            while (j < n_ && s_[j] >= 0x20 && s_[j] <= 0x2f)
                ++j;
            if (j < n_ && s_[j] >= 0x40 && s_[j] <= 0x7e)
                return j + 1;
            return i;
        }
        if ((kind >= 0x40 && kind <= 0x5a) || (kind >= 0x5c && kind <= 0x5f))
            return i + 2;
        return i;
    }

    // First BEL or ESC-backslash at or after `from`, or -1.  Starts only move
    // forward, so the last answer is reused while it still lies ahead: the
    // scan stays linear however many unterminated commands the text holds.
    Py_ssize_t terminator_from(Py_ssize_t from) {
        if (term_searched_from_ >= 0 && from >= term_searched_from_ &&
            (term_ < 0 || term_ >= from))
            return term_;
        term_searched_from_ = from;
        term_ = -1;
        for (Py_ssize_t p = from; p < n_; ++p) {
            if (s_[p] == kBel || (s_[p] == kEsc && p + 1 < n_ && s_[p + 1] == '\\')) {
                term_ = p;
                break;
            }
        }
        return term_;
    }

    const Char *s_;
    Py_ssize_t n_;
    std::vector<Char> out_;
    bool after_cr_ = false;
    Py_ssize_t term_searched_from_ = -1;
    Py_ssize_t term_ = -1;
};

}  // namespace

nb::object clean_console_text(nb::handle text) {
    PyObject *s = text.ptr();
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    switch (PyUnicode_KIND(s)) {
    case PyUnicode_1BYTE_KIND: return Cleaner<Py_UCS1>(PyUnicode_1BYTE_DATA(s), n).run();
    case PyUnicode_2BYTE_KIND: return Cleaner<Py_UCS2>(PyUnicode_2BYTE_DATA(s), n).run();
    default: return Cleaner<Py_UCS4>(PyUnicode_4BYTE_DATA(s), n).run();
    }
}

}  // namespace wheelwork
