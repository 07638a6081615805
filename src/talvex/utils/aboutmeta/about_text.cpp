// The HTML body of the About Talvex dialog.
#include "common.hpp"

namespace aboutmeta {

namespace {

constexpr const char *kSummaryPrefix = "Talvex - ";

nb::object clean_summary(Call &, nb::handle summary) {
    nb::object text = summary.attr("strip")();
    if (tvx::truthy(text.attr("startswith")(kSummaryPrefix)))
        return text[nb::slice(nb::int_(9), nb::none(), nb::none())];
    return text;
}

// format(value, ""), as an f-string replacement field renders it.
nb::object formatted(nb::handle value) {
    nb::str spec("");
    PyObject *out = PyObject_Format(value.ptr(), spec.ptr());
    if (!out)
        throw nb::python_error();
    return nb::steal(out);
}

nb::object format_about_html(Call &c) {
    nb::object info = c.call("get_aboutmeta");
    nb::object summary = c.call("_clean_summary", info.attr("summary"));
    nb::list parts;
    parts.append("<h3>");
    parts.append(formatted(info.attr("name")));
    parts.append("</h3><p>");
    parts.append(formatted(summary));
    parts.append("</p><p><b>Version:</b> ");
    parts.append(formatted(info.attr("version")));
    parts.append("<br/><b>Python:</b> ");
    parts.append(formatted(info.attr("python_version")));
    parts.append("<br/><b>Author:</b> ");
    parts.append(formatted(info.attr("author")));
    return nb::str("").attr("join")(parts);
}

const FuncSpec kCleanSummary = {
    .name = "_clean_summary",
    .doc = "Summary text for display, without a leading ``Talvex - ``.",
    .params = {arg("summary", "str")},
    .returns = "str",
    .impl = tvx::body<clean_summary>,
};

const FuncSpec kFormatAboutHtml = {
    .name = "format_about_html",
    .doc = "Build the HTML body text for the About Talvex dialog.",
    .params = {},
    .returns = "str",
    .impl = tvx::body<format_about_html>,
};

}  // namespace

void init_about_text(tvx::ModuleFrame &frame) {
    frame.def(kCleanSummary);
    frame.def(kFormatAboutHtml);
}

}  // namespace aboutmeta
