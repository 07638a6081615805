// The package's version and metadata record: from the installed distribution,
// else from the checkout's pyproject.toml, else from built-in defaults.
#include "common.hpp"

namespace aboutmeta {

namespace {

// `item in container`, raising what the `in` operator raises.
bool contains(nb::handle container, nb::handle item) {
    int r = PySequence_Contains(container.ptr(), item.ptr());
    if (r < 0)
        throw nb::python_error();
    return r == 1;
}

bool package_not_found(const Call &c, const nb::python_error &e) {
    return e.matches(c.attr("metadata", "PackageNotFoundError"));
}

nb::object parse_project_urls(Call &, nb::handle meta_json) {
    nb::dict urls;
    nb::str separator(", ");
    nb::object entries = meta_json.attr("get")("project_url", nb::list());
    for (nb::handle entry : entries) {
        if (!contains(entry, separator))
            continue;
        nb::object parts = entry.attr("split")(separator, 1);
        nb::object label = parts[0], url = parts[1];
        urls[label.attr("strip")()] = url.attr("strip")();
    }
    return urls;
}

nb::object display_name(Call &, nb::handle raw) {
    nb::object value = raw.attr("strip")();
    if (contains(value, nb::str("<")))
        return value.attr("split")("<", 1)[0].attr("strip")();
    if (tvx::truthy(value))
        return value;
    return nb::str(kDefaultAuthor);
}

nb::object get_version(Call &c) {
    try {
        return c.attr("metadata", "version")(c.g("_PACKAGE_NAME"));
    } catch (nb::python_error &e) {
        if (!package_not_found(c, e))
            throw;
        tvx::Handling handling(e);
        nb::object version = c.call("_read_pyproject_field", c.g("_VERSION_RE"));
        if (is_nonempty_str(version))
            return version;
        return nb::str(kUnknownVersion);
    }
}

// value or fallback, as `value or fallback` reads.
nb::object or_else(nb::object value, nb::handle fallback) {
    return tvx::truthy(value) ? value : nb::borrow(fallback);
}

nb::object get_aboutmeta(Call &c) {
    nb::object version = c.call("get_version");
    nb::object summary = c.g("_DEFAULT_SUMMARY");
    nb::object license = nb::str(kDefaultLicense);
    nb::object author = nb::str(kDefaultAuthor);
    nb::object maintainer = nb::str("");
    nb::object homepage = c.g("_DEFAULT_HOMEPAGE");
    nb::object documentation = nb::str("{}{}").format(homepage, kDocsSuffix);

    try {
        nb::object meta = c.attr("metadata", "metadata")(c.g("_PACKAGE_NAME"));
        nb::object get = meta.attr("get");
        version = or_else(get("Version", version), version);
        summary = or_else(get("Summary", summary), summary);
        nb::object expression = get("License-Expression");
        if (tvx::truthy(expression)) {
            license = expression;
        } else {
            nb::object text = get("License");
            if (tvx::truthy(text))
                license = text;
        }
        author = c.call("_display_name", or_else(get("Author-email", author), author));
        maintainer = or_else(get("Maintainer"), nb::str("")).attr("strip")();

        nb::object meta_json = tvx::attr_or(meta, "json", nb::dict());
        if (!tvx::truthy(meta_json))
            meta_json = nb::dict();

        nb::object urls = c.call("_parse_project_urls", meta_json);
        nb::str homepage_key("Homepage"), documentation_key("Documentation");
        if (contains(urls, homepage_key))
            homepage = urls[homepage_key];
        if (contains(urls, documentation_key))
            documentation = urls[documentation_key];
    } catch (nb::python_error &e) {
        if (!package_not_found(c, e))
            throw;
        tvx::Handling handling(e);
        nb::object found = c.call("_read_pyproject_field", c.g("_SUMMARY_RE"));
        if (is_nonempty_str(found))
            summary = found;
    }

    nb::object info = c.attr("sys", "version_info");
    nb::object python_version =
        nb::str("{}.{}.{}").format(info.attr("major"), info.attr("minor"), info.attr("micro"));
    return c.call("AboutMeta", kProductName, version, summary, license, author, maintainer,
                  homepage, documentation, python_version);
}

const FuncSpec kParseProjectUrls = {
    .name = "_parse_project_urls",
    .doc = "Map the metadata's labelled project links (``Label, URL``) to their addresses.",
    .params = {arg("meta_json", "dict")},
    .returns = "dict[str, str]",
    .impl = tvx::body<parse_project_urls>,
};

const FuncSpec kDisplayName = {
    .name = "_display_name",
    .doc = "Display name of a person from a metadata field (``Name <email>`` -> ``Name``).",
    .params = {arg("raw", "str")},
    .returns = "str",
    .impl = tvx::body<display_name>,
};

const FuncSpec kGetVersion = {
    .name = "get_version",
    .doc = "Return the installed package version.",
    .params = {},
    .returns = "str",
    .impl = tvx::body<get_version>,
};

const FuncSpec kGetAboutmeta = {
    .name = "get_aboutmeta",
    .doc = "Collect basic package metadata for About dialogs and similar UI.",
    .params = {},
    .returns = "AboutMeta",
    .impl = tvx::body<get_aboutmeta>,
};

}  // namespace

void init_package_metadata(tvx::ModuleFrame &frame) {
    frame.def(kParseProjectUrls);
    frame.def(kDisplayName);
    frame.def(kGetVersion);
    frame.def(kGetAboutmeta);
}

}  // namespace aboutmeta
