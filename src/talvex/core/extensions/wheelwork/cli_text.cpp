// Installer console text: decoding the child's bytes, cleaning escape sequences
// and control characters for dialogs, and quoting command lines for display.
#include "common.hpp"
#include "text_scan.hpp"

#include <type_traits>

namespace wheelwork {

namespace {

nb::object filter_chars(nb::handle text) {
    PyObject *s = text.ptr();
    if (!PyUnicode_Check(s))
        tvx::raise(PyExc_TypeError, "expected a str after removing escape sequences");
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    int kind = PyUnicode_KIND(s);
    const void *data = PyUnicode_DATA(s);
    std::vector<Py_UCS4> kept;
    kept.reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 ch = PyUnicode_READ(kind, data, i);
        if (text::keep_console_char(ch))
            kept.push_back(ch);
    }
    PyObject *out = PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, kept.data(),
                                              static_cast<Py_ssize_t>(kept.size()));
    if (!out)
        throw nb::python_error();
    return nb::steal(out);
}

nb::object sanitize_cli_text(Call &c, nb::handle text, nb::handle limit) {
    nb::object s = tvx::truthy(text) ? nb::object(tvx::to_str(text)) : nb::object(nb::str(""));
    nb::object pattern = c.g("_ANSI_ESCAPE_RE");
    // The module's own pattern is applied natively.
    if (PyUnicode_Check(s.ptr()) && c.still_own("_ANSI_ESCAPE_RE")) {
        s = clean_console_text(s);
    } else {
        s = pattern.attr("sub")("", s);
        s = s.attr("replace")("\r\n", "\n").attr("replace")("\r", "\n");
        s = filter_chars(s).attr("strip")();
    }
    nb::object zero = nb::int_(0);
    if (limit > zero && nb::int_(nb::len(s)) > limit)
        s = s[nb::slice(-limit, nb::none(), nb::none())];
    return s;
}

nb::object decode_cli_bytes(Call &, nb::handle data) {
    if (data.is_none())
        return nb::str("");
    if (PyUnicode_Check(data.ptr()))
        return nb::borrow(data);
    if (!tvx::truthy(data))
        return nb::str("");
    nb::object locale = nb::module_::import_("locale");
    nb::object preferred = locale.attr("getpreferredencoding")(false);
    if (!tvx::truthy(preferred))
        preferred = nb::str("");
    nb::object encodings[] = {nb::str("utf-8"), nb::str("utf-8-sig"), preferred,
                              nb::str("cp1252"), nb::str("gbk"), nb::str("latin-1")};
    for (nb::object &encoding : encodings) {
        if (!tvx::truthy(encoding))
            continue;
        try {
            return data.attr("decode")(encoding);
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_LookupError) && !e.matches(PyExc_UnicodeDecodeError))
                throw;
        }
    }
    return data.attr("decode")("utf-8", "errors"_a = "replace");
}

// Quoted when empty or holding a blank, tab or double quote; inner double quotes
// are escaped with a backslash.  Nothing else is escaped.
nb::object quote_arg(Call &, nb::handle value) {
    nb::str text = tvx::to_str(value);
    PyObject *s = text.ptr();
    return text::with_chars(s, [&](const auto *data, Py_ssize_t n) -> nb::object {
        Py_ssize_t quotes = 0;
        bool needs_quotes = n == 0;
        for (Py_ssize_t i = 0; i < n; ++i) {
            quotes += data[i] == '"';
            needs_quotes |= data[i] == ' ' || data[i] == '\t' || data[i] == '"';
        }
        if (!needs_quotes)
            return text;
        using Char = std::remove_const_t<std::remove_pointer_t<decltype(data)>>;
        nb::object result = nb::steal(PyUnicode_New(n + quotes + 2, PyUnicode_MAX_CHAR_VALUE(s)));
        if (!result.is_valid())
            throw nb::python_error();
        Char *out = static_cast<Char *>(PyUnicode_DATA(result.ptr()));
        *out++ = '"';
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (data[i] == '"')
                *out++ = '\\';
            *out++ = data[i];
        }
        *out = '"';
        return result;
    });
}

nb::object display_command(Call &c, nb::handle argv) {
    nb::list parts;
    for (nb::handle item : argv)
        parts.append(c.call("_quote_arg", item));
    return nb::str(" ").attr("join")(parts);
}

const FuncSpec kSanitizeCliText = {
    .name = "sanitize_cli_text",
    .doc = "Make pip/uv console output safe for Qt dialogs (no ANSI / mojibake junk).",
    .params = {arg("text", "str"), kwarg("limit", "int", dflt(4000))},
    .returns = "str",
    .impl = tvx::body<sanitize_cli_text>,
    .keeps = {"_ANSI_ESCAPE_RE"},
};

const FuncSpec kDecodeCliBytes = {
    .name = "_decode_cli_bytes",
    .doc = "Decode subprocess output with Windows-friendly fallbacks.",
    .params = {arg("data", "bytes | str | None")},
    .returns = "str",
    .impl = tvx::body<decode_cli_bytes>,
};

const FuncSpec kQuoteArg = {
    .name = "_quote_arg",
    .doc = "Quote one argument for the copy-paste command strings shown in dialogs.",
    .params = {arg("value", "str")},
    .returns = "str",
    .impl = tvx::body<quote_arg>,
};

const FuncSpec kDisplayCommand = {
    .name = "_display_command",
    .doc = "Render an argv as the command string a dialog shows and the user may copy.",
    .params = {arg("argv", "Sequence[str]")},
    .returns = "str",
    .impl = tvx::body<display_command>,
};

}  // namespace

void init_cli_text(tvx::ModuleFrame &frame) {
    frame.def(kSanitizeCliText);
    frame.def(kDecodeCliBytes);
}

void init_command_display(tvx::ModuleFrame &frame) {
    frame.def(kQuoteArg);
    frame.def(kDisplayCommand);
}

}  // namespace wheelwork
