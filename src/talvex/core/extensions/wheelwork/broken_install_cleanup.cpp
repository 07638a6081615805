// Bare distribution names, the interpreter's site-packages directories, and the
// removal of leftovers of interrupted installs (metadata directories without
// METADATA, package directories whose metadata is broken or missing).
#include "common.hpp"
#include "text_scan.hpp"

#include <utility>

namespace wheelwork {

namespace {

nb::str empty_str() { return nb::str(""); }

bool contains(nb::handle text, const char *part) {
    int r = PySequence_Contains(text.ptr(), nb::str(part).ptr());
    if (r < 0)
        throw nb::python_error();
    return r != 0;
}

// str(package or "") reduced to its distribution name: the environment marker
// (from ";"), the extras (from "[") and the version pin cut off, stripped at each
// step.  The name ends where the first version operator begins, whichever
// operator that is ("a<2,>=1" is "a", not "a<2,").
nb::object package_name_only(Call &c) {
    nb::handle package = c[0];
    nb::object text = tvx::truthy(package) ? nb::object(tvx::to_str(package)) : nb::object(nb::str(""));
    PyObject *s = text.ptr();
    auto [begin, end] = text::with_chars(s, [](const auto *data, Py_ssize_t n) {
        Py_ssize_t begin = 0, end = n;
        auto strip = [&] {
            while (begin < end && Py_UNICODE_ISSPACE(data[begin]))
                ++begin;
            while (end > begin && Py_UNICODE_ISSPACE(data[end - 1]))
                --end;
        };
        auto cut_at_first = [&](Py_UCS4 sep) {
            for (Py_ssize_t i = begin; i < end; ++i) {
                if (data[i] == sep) {
                    end = i;
                    strip();
                    return;
                }
            }
        };
        strip();
        // The marker goes first, so an operator inside it is never taken for a pin.
        cut_at_first(';');
        cut_at_first('[');
        for (Py_ssize_t i = begin; i < end; ++i) {
            Py_UCS4 ch = data[i];
            bool starts_operator = ch == '<' || ch == '>' ||
                                   ((ch == '=' || ch == '!' || ch == '~') && i + 1 < end &&
                                    data[i + 1] == '=');
            if (starts_operator) {
                end = i;
                strip();
                break;
            }
        }
        return std::pair{begin, end};
    });
    PyObject *result = PyUnicode_Substring(s, begin, end);
    if (!result)
        throw nb::python_error();
    return nb::steal(result);
}

nb::object site_packages_roots(Call &c) {
    nb::object path_cls = c.g("Path");
    nb::list candidates;

    try {
        nb::object site = nb::module_::import_("site");
        nb::object listed = site.attr("getsitepackages")();
        nb::list entries;
        if (tvx::truthy(listed))
            for (nb::handle entry : listed)
                entries.append(entry);
        entries.append(site.attr("getusersitepackages")());
        nb::list found;
        for (nb::handle entry : entries)
            if (tvx::truthy(entry))
                found.append(path_cls(entry));
        for (nb::handle p : found)
            candidates.append(p);
    } catch (nb::python_error &e) {
        if (!tvx::is_exception(e))
            throw;
    }

    try {
        nb::object sysconfig = nb::module_::import_("sysconfig");
        nb::object purelib = sysconfig.attr("get_path")("purelib");
        if (tvx::truthy(purelib))
            candidates.append(path_cls(purelib));
    } catch (nb::python_error &e) {
        if (!tvx::is_exception(e))
            throw;
    }

    try {
        nb::object sys = c.g("sys");
        nb::object prefix = path_cls(sys.attr("prefix"));
        candidates.append(prefix / nb::str("Lib") / nb::str("site-packages"));
        // Appended one by one: the Windows layout stays even when the version
        // cannot be read.
        nb::object info = sys.attr("version_info");
        nb::str version = nb::str("python{}.{}").format(info[0], info[1]);
        candidates.append(prefix / nb::str("lib") / version / nb::str("site-packages"));
    } catch (nb::python_error &e) {
        if (!tvx::is_exception(e))
            throw;
    }

    nb::set seen;
    nb::list roots;
    for (nb::handle candidate : candidates) {
        nb::object key;
        try {
            key = tvx::to_str(candidate.attr("resolve")());
        } catch (nb::python_error &e) {
            if (!tvx::is_exception(e))
                throw;
            key = tvx::to_str(candidate);
        }
        if (seen.contains(key))
            continue;
        seen.add(key);
        if (tvx::truthy(candidate.attr("is_dir")()))
            roots.append(candidate);
    }
    return roots;
}

nb::object dist_project_name(Call &c) {
    nb::object name = c[0].attr("lower")();
    nb::object stem;
    if (tvx::truthy(name.attr("endswith")(".dist-info")))
        stem = name[nb::slice(nb::none(), nb::int_(-10), nb::none())];
    else if (tvx::truthy(name.attr("endswith")(".egg-info")))
        stem = name[nb::slice(nb::none(), nb::int_(-9), nb::none())];
    else
        return empty_str();
    if (contains(stem, "-"))
        stem = stem.attr("rsplit")("-", 1)[0].attr("replace")("-", "_");
    return stem;
}

const FuncSpec kDistProjectName = {
    .name = "_dist_project_name",
    .qualname = "cleanup_broken_package_install.<locals>._dist_project_name",
    .params = {arg("dist_dir_name", "str")},
    .returns = "str",
    .impl = dist_project_name,
};

// shutil.rmtree(directory); the path is recorded and logged only when nothing
// was raised.  OSError is logged and swallowed, anything else propagates.
void remove_tree(Call &c, nb::handle directory, nb::list &removed, const char *message) {
    try {
        c.g("shutil").attr("rmtree")(directory, "ignore_errors"_a = false);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_OSError))
            throw;
        tvx::log(c, "warning", "Could not remove %s: %s", directory, e.value());
        return;
    }
    removed.append(tvx::to_str(directory));
    tvx::log(c, "info", message, directory);
}

bool is_metadata_name(nb::handle lowered) {
    return tvx::truthy(lowered.attr("endswith")(nb::make_tuple(".dist-info", ".egg-info")));
}

void remove_package_dirs(Call &c, const nb::list &children, nb::handle target, nb::list &removed,
                         const char *message) {
    for (nb::handle child : children) {
        if (!tvx::truthy(child.attr("is_dir")()))
            continue;
        nb::object name = child.attr("name").attr("lower")().attr("replace")("-", "_");
        if (name.equal(target))
            remove_tree(c, child, removed, message);
    }
}

nb::object cleanup_broken_package_install(Call &c) {
    nb::object project_name = tvx::make_nested(c, kDistProjectName, nb::tuple());
    nb::object bare = c.call("_package_name_only", c[0]);
    nb::list removed;
    if (!tvx::truthy(bare))
        return removed;
    nb::object target = c.call("normalize_pypi_name", bare).attr("replace")("-", "_");

    for (nb::handle root : c.call("_site_packages_roots")) {
        nb::list children;
        try {
            nb::object listing = root.attr("iterdir")();
            PyObject *items = PySequence_List(listing.ptr());
            if (!items)
                throw nb::python_error();
            children = nb::steal<nb::list>(items);
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_OSError))
                throw;
            continue;
        }

        nb::list metadata;
        for (nb::handle child : children) {
            if (!tvx::truthy(child.attr("is_dir")()))
                continue;
            nb::object name = child.attr("name");
            if (!is_metadata_name(name.attr("lower")()))
                continue;
            if (project_name(name).equal(target))
                metadata.append(child);
        }

        bool has_healthy = false;
        for (nb::handle directory : metadata) {
            if (tvx::truthy((directory / nb::str("METADATA")).attr("is_file")()) ||
                tvx::truthy((directory / nb::str("PKG-INFO")).attr("is_file")())) {
                has_healthy = true;
                continue;
            }
            remove_tree(c, directory, removed, "Removed broken package metadata: %s");
        }

        if (nb::len(metadata) == 0)
            remove_package_dirs(c, children, target, removed, "Removed orphan package directory: %s");
        else if (!has_healthy)
            remove_package_dirs(c, children, target, removed, "Removed leftover package files: %s");
    }
    return removed;
}

const FuncSpec kFunctions[] = {
    {
        .name = "_package_name_only",
        .doc = "Bare distribution name of a requirement (no marker, extras or version pin).",
        .params = {arg("package", "str")},
        .returns = "str",
        .impl = package_name_only,
    },
    {
        .name = "_site_packages_roots",
        .doc = "Existing site-packages directories of this interpreter, without duplicates.",
        .params = {},
        .returns = "list[Path]",
        .impl = site_packages_roots,
    },
    {
        .name = "cleanup_broken_package_install",
        .doc = "Remove broken metadata and leftover files of *package* from site-packages.\n"
               "\n"
               "    A ``.dist-info`` directory without ``METADATA`` (left by an interrupted\n"
               "    install) makes ``uv`` fail before it downloads a fresh wheel.  Such\n"
               "    directories are deleted, as is the package directory when none of its\n"
               "    metadata is healthy or when it has no metadata at all.  Returns the\n"
               "    removed paths.\n"
               "    ",
        .params = {arg("package", "str")},
        .returns = "list[str]",
        .impl = cleanup_broken_package_install,
    },
};

}  // namespace

std::span<const FuncSpec> broken_install_cleanup_functions() { return kFunctions; }

}  // namespace wheelwork
