// Distribution names: normalisation, extension visibility, installed extensions,
// titles, and the mapping of the host's extension records and URLs to names.
#include "common.hpp"
#include "text_scan.hpp"

#include <cstring>
#include <vector>

namespace wheelwork {

namespace {

// str(name or "").strip().lower().replace(" ", "-"), every run of "-", "_", "."
// collapsed to one "-", and "-" stripped from both ends.
nb::object normalized(nb::handle name) {
    std::string_view ascii;
    if (text::ascii_view(name, ascii)) {
        std::string key;
        text::normalize(ascii, key);
        return text::ascii_str(key);
    }
    nb::object text = tvx::truthy(name) ? nb::object(tvx::to_str(name)) : nb::object(nb::str(""));
    text = text.attr("strip")().attr("lower")();
    std::vector<Py_UCS4> out;
    text::with_chars(text.ptr(), [&](const auto *data, Py_ssize_t n) {
        out.reserve(static_cast<size_t>(n));
        text::normalized_chars(data, static_cast<size_t>(n), [](Py_UCS4 ch) { return ch; },
                               [&](Py_UCS4 ch) {
                                   out.push_back(ch);
                                   return true;
                               });
    });
    PyObject *result = PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, out.data(),
                                                 static_cast<Py_ssize_t>(out.size()));
    if (!result)
        throw nb::python_error();
    return nb::steal(result);
}

nb::object normalize_dist_name(Call &, nb::handle name) { return normalized(name); }

nb::object normalize_pypi_name(Call &c, nb::handle name) {
    if (c.still_own("_normalize_dist_name"))
        return normalized(name);
    return c.call("_normalize_dist_name", name);
}

// str(value or "")
nb::str str_or_empty(nb::handle value) {
    return tvx::truthy(value) ? tvx::to_str(value) : nb::str("");
}

// `a or b`, with b evaluated only when a is falsy
template <typename Next>
nb::object either(nb::object a, Next &&next) {
    if (tvx::truthy(a))
        return a;
    return next();
}

bool ends_with(nb::handle text, const char *suffix) {
    return tvx::truthy(text.attr("endswith")(suffix));
}

// The project name after "<host>/project/" in ASCII text, matched the way the
// module's own _PYPI_PROJECT_RE searches (either host, any letter case); false
// when there is none.
bool find_project_page(std::string_view text, std::string_view &name) {
    // The whole pattern ignores case: the path part as well as the host.
    auto matches_at = [&](size_t p, std::string_view host) {
        constexpr std::string_view tail = "/project/";
        if (p + host.size() + tail.size() > text.size() ||
            !text::equals_lower(text.substr(p, host.size()), host) ||
            !text::equals_lower(text.substr(p + host.size(), tail.size()), tail))
            return false;
        size_t start = p + host.size() + tail.size(), end = start;
        while (end < text.size() && text[end] != '/' && text[end] != '#' && text[end] != '?' &&
               !text::is_space(text[end]))
            ++end;
        if (end == start)
            return false;
        name = text.substr(start, end - start);
        return true;
    };
    for (size_t p = 0; p < text.size(); ++p)
        if (matches_at(p, kIndexHost) || matches_at(p, kTestIndexHost))
            return true;
    return false;
}

// Path(link).name for a link whose last component reads the same under POSIX
// and Windows path rules (no backslash, no drive, a plain last component);
// false when the general rules must decide.
bool plain_last_component(std::string_view link, std::string_view &name) {
    if (link.find('\\') != std::string_view::npos || (link.size() >= 2 && link[1] == ':'))
        return false;
    size_t slash = link.rfind('/');
    name = slash == std::string_view::npos ? link : link.substr(slash + 1);
    return !name.empty() && name != "." && name != "..";
}

// The project name of a distribution file name, from its suffix on.
nb::object project_of_file_name(std::string_view file) {
    std::string_view stem;
    if (file.ends_with(".tar.gz"))
        stem = file.substr(0, file.size() - 7);
    else if (file.ends_with(".whl"))
        stem = file.substr(0, file.size() - 4);
    else if (file.ends_with(".zip"))
        stem = file.substr(0, file.size() - 4);
    else
        return nb::str("");
    size_t dash = stem.rfind('-');
    if (dash != std::string_view::npos && dash + 1 < stem.size() && stem[dash + 1] >= '0' &&
        stem[dash + 1] <= '9')
        return text::ascii_str(stem.substr(0, dash));
    std::string dashed(stem);
    for (char &ch : dashed)
        if (ch == '_')
            ch = '-';
    return text::ascii_str(dashed);
}

nb::object parse_pypi_project_from_url(Call &c, nb::handle url) {
    // ASCII text with the module's own pattern, Path and re is parsed natively.
    std::string_view ascii;
    bool native = text::ascii_view(url, ascii) && c.still_own("_PYPI_PROJECT_RE");
    if (native) {
        std::string_view stripped = text::strip(ascii), name;
        if (stripped.empty())
            return nb::str("");
        if (find_project_page(stripped, name))
            return text::ascii_str(name);
        std::string_view link = stripped.substr(0, stripped.find('?'));
        if (c.still_own("Path") && c.still_own("re") &&
            plain_last_component(link, name))
            return project_of_file_name(name);
    }

    nb::object text = str_or_empty(url).attr("strip")();
    if (!tvx::truthy(text))
        return nb::str("");
    if (!native) {
        nb::object match = c.g("_PYPI_PROJECT_RE").attr("search")(text);
        if (tvx::truthy(match))
            return match.attr("group")(1).attr("strip")().attr("rstrip")("/");
    }

    // A link to a distribution file: its file name, without the query.
    nb::object before_query = text.attr("split")("?", 1)[0];
    nb::object filename = c.g("Path")(before_query).attr("name");
    if (!tvx::truthy(filename.attr("endswith")(nb::make_tuple(".whl", ".tar.gz", ".zip"))))
        return nb::str("");
    nb::object stem = filename;
    for (const char *suffix : {".tar.gz", ".whl", ".zip"}) {
        if (ends_with(filename, suffix)) {
            Py_ssize_t keep = nb::len(filename) - static_cast<Py_ssize_t>(std::strlen(suffix));
            stem = filename[nb::slice(nb::none(), nb::int_(keep), nb::none())];
            break;
        }
    }
    nb::object parts = stem.attr("split")("-");
    if (nb::len(parts) >= 2) {
        nb::object last = parts[nb::int_(-1)];
        if (tvx::truthy(c.g("re").attr("match")("^\\d", either(last, [] { return nb::str(""); }))))
            return nb::str("-").attr("join")(parts[nb::slice(nb::none(), nb::int_(-1), nb::none())]);
    }
    return stem.attr("replace")("_", "-");
}

nb::object is_user_visible_extension_package(Call &c, nb::handle name, nb::handle prefix) {
    std::string_view ascii_name, ascii_prefix;
    if (text::ascii_view(name, ascii_name) && text::ascii_view(prefix, ascii_prefix) &&
        c.still_own("normalize_pypi_name") && c.still_own("_normalize_dist_name")) {
        std::string key, prefix_key;
        text::normalize(ascii_name, key);
        if (key.empty())
            return nb::bool_(false);
        int hidden = PySequence_Contains(c.g("_HIDDEN_EXTENSION_PACKAGES").ptr(),
                                         text::ascii_str(key).ptr());
        if (hidden < 0)
            throw nb::python_error();
        if (hidden || key.starts_with("talvex-extension-"))
            return nb::bool_(false);
        text::normalize(ascii_prefix, prefix_key);
        return nb::bool_(key.starts_with(prefix_key));
    }
    nb::object key = c.call("normalize_pypi_name", name);
    if (!tvx::truthy(key))
        return nb::bool_(false);
    int hidden = PySequence_Contains(c.g("_HIDDEN_EXTENSION_PACKAGES").ptr(), key.ptr());
    if (hidden < 0)
        throw nb::python_error();
    if (hidden)
        return nb::bool_(false);
    if (tvx::truthy(key.attr("startswith")("talvex-extension-")))
        return nb::bool_(false);
    return key.attr("startswith")(c.call("normalize_pypi_name", prefix));
}

nb::object list_installed_talvex_ext_packages(Call &c, nb::handle prefix) {
    nb::dict found;
    nb::object dists = tvx::except_exception(
        [&] {
            nb::object listed = nb::steal(PySequence_List(
                c.g("importlib").attr("metadata").attr("distributions")().ptr()));
            if (!listed.is_valid())
                throw nb::python_error();
            return listed;
        },
        [] { return nb::object(); });
    if (!dists.is_valid())
        return found;
    for (nb::handle dist : dists) {
        nb::object name = tvx::except_exception(
            [&] {
                nb::object meta = dist.attr("metadata");
                nb::object value =
                    either(meta.attr("get")("Name"), [&] { return meta.attr("get")("name"); });
                return str_or_empty(value).attr("strip")();
            },
            [] { return nb::object(); });
        if (!name.is_valid())
            continue;
        if (!tvx::truthy(c.call("is_user_visible_extension_package", name, "prefix"_a = prefix)))
            continue;
        nb::object key = c.call("normalize_pypi_name", name);
        found[key] = tvx::except_exception([&] { return str_or_empty(dist.attr("version")); },
                                           [] { return nb::str(""); });
    }
    return found;
}

// The import package that provides a loaded extension object, as the host's
// loader reports it; without the loader (or when it fails), the top-level
// package of the module that defines the object's class.
nb::object import_package_of(const Call &c, nb::handle instance) {
    return tvx::except_exception(
        [&] {
            nb::object resolve =
                tvx::import_from(c, "talvex.core.extensions.loader", "extension_package_name");
            return resolve(instance);
        },
        [&] {
            nb::object module_name = tvx::attr_or(
                nb::handle(reinterpret_cast<PyObject *>(Py_TYPE(instance.ptr()))), "__module__",
                nb::str(""));
            if (!tvx::truthy(module_name))
                module_name = nb::str("");
            return nb::object(module_name.attr("split")(".", 1)[0]);
        });
}

nb::object pypi_package_for_info(Call &c, nb::handle info) {
    if (info.is_none())
        return nb::str("");
    nb::object ep = tvx::attr_or(info, "entry_point", nb::none());
    if (!ep.is_none()) {
        nb::object dist = tvx::attr_or(ep, "dist", nb::none());
        if (!dist.is_none()) {
            nb::object dist_name = tvx::attr_or(dist, "name", nb::none());
            if (tvx::truthy(dist_name))
                return tvx::to_str(dist_name);
        }
    }
    nb::object instance = tvx::attr_or(info, "instance", nb::none());
    nb::object import_pkg = nb::str("");
    if (!instance.is_none())
        import_pkg = import_package_of(c, instance);
    if (!tvx::truthy(import_pkg)) {
        nb::object path = tvx::attr_or(info, "path", nb::none());
        if (!path.is_none())
            import_pkg = c.g("Path")(path).attr("name");
        else
            import_pkg = str_or_empty(tvx::attr_or(info, "path_name", nb::str("")));
    }
    if (!tvx::truthy(import_pkg))
        return c.call("_normalize_dist_name",
                      str_or_empty(either(tvx::attr_or(info, "name", nb::str("")),
                                          [&] { return tvx::attr_or(info, "id", nb::str("")); })));

    // Each lookup may fail on broken metadata; the next one is tried then.
    auto missing = [] { return nb::object(); };
    nb::object found = tvx::except_exception(
        [&]() -> nb::object {
            nb::object mapping = c.g("importlib").attr("metadata").attr("packages_distributions")();
            nb::object dists = mapping.attr("get")(import_pkg);
            if (!tvx::truthy(dists))
                dists = mapping.attr("get")(import_pkg.attr("replace")("-", "_"));
            return tvx::truthy(dists) ? nb::object(tvx::to_str(dists[0])) : nb::object();
        },
        missing);
    if (found.is_valid())
        return found;
    for (bool dashed : {true, false}) {
        found = tvx::except_exception(
            [&]() -> nb::object {
                nb::object name = dashed ? import_pkg.attr("replace")("_", "-") : import_pkg;
                return c.g("importlib").attr("metadata").attr("distribution")(name)
                    .attr("metadata")["Name"];
            },
            missing);
        if (found.is_valid())
            return found;
    }
    return c.call("_normalize_dist_name", import_pkg);
}

constexpr const char *kRowNameFields[] = {"pypi_package", "package", "pip_package", "pypi"};

nb::object pypi_package_for_available(Call &c, nb::handle ext) {
    if (ext.is_none())
        return nb::str("");
    for (const char *attr : kRowNameFields) {
        nb::object value = tvx::attr_or(ext, attr, nb::none());
        if (tvx::truthy(value))
            return tvx::to_str(value).attr("strip")();
    }
    bool is_dict = PyDict_Check(ext.ptr());
    nb::object url;
    if (is_dict) {
        nb::object get = ext.attr("get");
        for (const char *key : kRowNameFields) {
            if (tvx::truthy(get(key)))
                return tvx::to_str(ext[key]).attr("strip")();
        }
        url = str_or_empty(either(get("downloadurl"), [&] { return get("repository"); }));
    } else {
        url = str_or_empty(either(tvx::attr_or(ext, "repository", nb::str("")),
                                  [&] { return tvx::attr_or(ext, "homepage", nb::str("")); }));
    }
    nb::object from_url = c.call("parse_pypi_project_from_url", url);
    if (tvx::truthy(from_url))
        return from_url;
    nb::object name;
    if (is_dict) {
        nb::object get = ext.attr("get");
        name = str_or_empty(either(get("name"), [&] { return get("id"); }));
    } else {
        name = str_or_empty(either(tvx::attr_or(ext, "name", nb::str("")),
                                   [&] { return tvx::attr_or(ext, "id", nb::str("")); }));
    }
    nb::object slug = c.call("_normalize_dist_name", name);
    if (!tvx::truthy(slug))
        return nb::str("");
    if (tvx::truthy(slug.attr("startswith")("talvex-")))
        return slug;
    return nb::str("talvex-ext-") + slug;
}

// The title of an ASCII distribution name: prefix dropped, words capitalised;
// empty when the name has no words.
std::string ascii_title(std::string_view package) {
    std::string slug, title;
    text::normalize(package, slug);
    std::string_view rest(slug);
    if (rest.starts_with("talvex-ext-"))
        rest.remove_prefix(11);
    else if (rest.starts_with("talvex-"))
        rest.remove_prefix(7);
    while (!rest.empty()) {
        size_t dash = rest.find('-');
        std::string_view word = rest.substr(0, dash);
        rest = dash == std::string_view::npos ? std::string_view() : rest.substr(dash + 1);
        if (word.empty())
            continue;
        if (!title.empty())
            title.push_back(' ');
        title.push_back(text::upper(word[0]));
        title.append(word.substr(1));
    }
    return title;
}

nb::object display_name_from_pypi_package(Call &c, nb::handle package) {
    std::string_view ascii;
    if (text::ascii_view(package, ascii) && c.still_own("_normalize_dist_name")) {
        std::string title = ascii_title(ascii);
        if (!title.empty())
            return text::ascii_str(title);
        return ascii.empty() ? nb::object(nb::str("Extension")) : nb::borrow(package);
    }
    nb::object slug = c.call("_normalize_dist_name", package);
    if (tvx::truthy(slug.attr("startswith")("talvex-ext-")))
        slug = slug[nb::slice(nb::int_(11), nb::none(), nb::none())];
    else if (tvx::truthy(slug.attr("startswith")("talvex-")))
        slug = slug[nb::slice(nb::int_(7), nb::none(), nb::none())];
    nb::list words;
    for (nb::handle piece : slug.attr("replace")("_", "-").attr("split")("-")) {
        if (tvx::truthy(piece))
            words.append(piece);
    }
    if (nb::len(words) == 0) {
        if (tvx::truthy(package))
            return nb::borrow(package);
        return nb::str("Extension");
    }
    nb::list titled;
    for (nb::handle word : words) {
        nb::object first = word[nb::slice(nb::none(), nb::int_(1), nb::none())];
        nb::object rest = word[nb::slice(nb::int_(1), nb::none(), nb::none())];
        titled.append(first.attr("upper")() + rest);
    }
    return nb::str(" ").attr("join")(titled);
}

const FuncSpec kNormalizeDistName = {
    .name = "_normalize_dist_name",
    .params = {arg("name", "str")},
    .returns = "str",
    .impl = tvx::body<normalize_dist_name>,
};

const FuncSpec kNormalizePypiName = {
    .name = "normalize_pypi_name",
    .doc = "PEP 503-ish normalized distribution name (``talvex_ext_x`` \u2192 ``talvex-ext-x``).",
    .params = {arg("name", "str")},
    .returns = "str",
    .impl = tvx::body<normalize_pypi_name>,
    .keeps = {"_normalize_dist_name"},
};

const FuncSpec kParsePypiProjectFromUrl = {
    .name = "parse_pypi_project_from_url",
    .params = {arg("url", "str")},
    .returns = "str",
    .impl = tvx::body<parse_pypi_project_from_url>,
    .keeps = {"_PYPI_PROJECT_RE", "Path", "re"},
};

const FuncSpec kIsUserVisibleExtensionPackage = {
    .name = "is_user_visible_extension_package",
    .doc = "True for installable ``talvex-ext-*`` extensions, False for the SDK / infra.",
    .params = {arg("name", "str"), kwarg("prefix", "str", dflt("talvex-ext-"))},
    .returns = "bool",
    .impl = tvx::body<is_user_visible_extension_package>,
    .keeps = {"normalize_pypi_name", "_normalize_dist_name"},
};

const FuncSpec kListInstalledTalvexExtPackages = {
    .name = "list_installed_talvex_ext_packages",
    .doc = "Return ``{normalized_name: version}`` for installed ``talvex-ext-*`` wheels.\n"
           "\n"
           "    Uses ``importlib.metadata`` so Settings can hide PyPI rows immediately after\n"
           "    ``pip install``, even before the extension manager rediscovers entry points.\n"
           "    The Extension SDK and other infra packages are omitted.\n"
           "    ",
    .params = {kwarg("prefix", "str", dflt("talvex-ext-"))},
    .returns = "dict[str, str]",
    .impl = tvx::body<list_installed_talvex_ext_packages>,
};

const FuncSpec kPypiPackageForInfo = {
    .name = "pypi_package_for_info",
    .doc = "Best-effort PyPI distribution name for an installed :class:`ExtensionInfo`.",
    .params = {arg("info", "Any")},
    .returns = "str",
    .impl = tvx::body<pypi_package_for_info>,
};

const FuncSpec kPypiPackageForAvailable = {
    .name = "pypi_package_for_available",
    .doc = "PyPI name for a catalog / AvailableExtension row.",
    .params = {arg("ext", "Any")},
    .returns = "str",
    .impl = tvx::body<pypi_package_for_available>,
};

const FuncSpec kDisplayNameFromPypiPackage = {
    .name = "display_name_from_pypi_package",
    .doc = "Human title for a ``talvex-ext-*`` distribution name.",
    .params = {arg("package", "str")},
    .returns = "str",
    .impl = tvx::body<display_name_from_pypi_package>,
    .keeps = {"_normalize_dist_name"},
};

}  // namespace

void init_package_names(tvx::ModuleFrame &frame) {
    frame.def(kParsePypiProjectFromUrl);
    frame.def(kNormalizeDistName);
    frame.def(kNormalizePypiName);
}

void init_extension_packages(tvx::ModuleFrame &frame) {
    frame.def(kIsUserVisibleExtensionPackage);
    frame.def(kListInstalledTalvexExtPackages);
    frame.def(kPypiPackageForInfo);
    frame.def(kPypiPackageForAvailable);
    frame.def(kDisplayNameFromPypiPackage);
}

}  // namespace wheelwork
