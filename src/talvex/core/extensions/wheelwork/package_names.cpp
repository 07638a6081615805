// Distribution names: normalisation, extension visibility, installed extensions,
// titles, and the mapping of the host's extension records and URLs to names.
#include "common.hpp"

namespace wheelwork {

namespace {

bool is_separator(Py_UCS4 ch) { return ch == '-' || ch == '_' || ch == '.'; }

// str(name or "").strip().lower().replace(" ", "-"), every run of "-", "_", "."
// collapsed to one "-", and "-" stripped from both ends.
nb::object normalize_dist_name(Call &c) {
    nb::handle name = c[0];
    nb::object text = tvx::truthy(name) ? nb::object(tvx::to_str(name)) : nb::object(nb::str(""));
    text = text.attr("strip")().attr("lower")();
    PyObject *s = text.ptr();
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    int kind = PyUnicode_KIND(s);
    const void *data = PyUnicode_DATA(s);
    std::vector<Py_UCS4> out;
    out.reserve(static_cast<size_t>(n));
    bool in_run = false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 ch = PyUnicode_READ(kind, data, i);
        if (ch == ' ' || is_separator(ch)) {
            if (!in_run)
                out.push_back('-');
            in_run = true;
        } else {
            out.push_back(ch);
            in_run = false;
        }
    }
    size_t begin = 0, end = out.size();
    while (begin < end && out[begin] == '-')
        ++begin;
    while (end > begin && out[end - 1] == '-')
        --end;
    PyObject *result = PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, out.data() + begin,
                                                 static_cast<Py_ssize_t>(end - begin));
    if (!result)
        throw nb::python_error();
    return nb::steal(result);
}

nb::object normalize_pypi_name(Call &c) { return c.call("_normalize_dist_name", c[0]); }

const FuncSpec kFunctions[] = {
    {
        .name = "_normalize_dist_name",
        .params = {arg("name", "str")},
        .returns = "str",
        .impl = normalize_dist_name,
    },
    {
        .name = "normalize_pypi_name",
        .doc = "PEP 503-ish normalized distribution name (``talvex_ext_x`` \u2192 ``talvex-ext-x``).",
        .params = {arg("name", "str")},
        .returns = "str",
        .impl = normalize_pypi_name,
    },
};

}  // namespace

std::span<const FuncSpec> package_names_functions() { return kFunctions; }

}  // namespace wheelwork
