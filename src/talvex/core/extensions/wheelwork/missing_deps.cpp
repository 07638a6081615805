// Dependencies of an extension that were skipped by its "--no-deps" install:
// reading what it declares, finding what is missing, and installing exactly
// that in a second installer run, never touching the host's runtime packages.
#include "common.hpp"

namespace wheelwork {

namespace {

constexpr const char *kNameToken = "[A-Za-z0-9][A-Za-z0-9._-]*";

nb::object metadata_module(const Call &c) { return c.g("importlib").attr("metadata"); }

// str(value or "")
nb::object text_or_empty(nb::handle value) {
    return tvx::truthy(value) ? nb::object(tvx::to_str(value)) : nb::object(nb::str(""));
}

// `needle in text` for a str `text`.
bool contains(nb::handle text, const char *needle) {
    int found = PySequence_Contains(text.ptr(), nb::str(needle).ptr());
    if (found < 0)
        throw nb::python_error();
    return found == 1;
}

bool is_not_found(const nb::python_error &e, nb::handle metadata) {
    return e.matches(metadata.attr("PackageNotFoundError"));
}

nb::object dist_is_installed(Call &c, nb::handle name) {
    nb::object key = c.call("_normalize_dist_name", name);
    if (!tvx::truthy(key))
        return nb::bool_(false);
    nb::object metadata = metadata_module(c);
    try {
        metadata.attr("distribution")(key);
        return nb::bool_(true);
    } catch (nb::python_error &e) {
        if (!is_not_found(e, metadata))
            throw;
    }
    // Some installers register the name with underscores.
    try {
        metadata.attr("distribution")(key.attr("replace")("-", "_"));
        return nb::bool_(true);
    } catch (nb::python_error &e) {
        if (!is_not_found(e, metadata))
            throw;
    }
    return nb::bool_(false);
}

nb::object requirement_name(Call &c, nb::handle req_text) {
    nb::object text = text_or_empty(req_text).attr("strip")();
    if (!tvx::truthy(text))
        return nb::str("");
    nb::object match = c.g("re").attr("match")(kNameToken, text);
    if (match.is_none())
        return nb::str("");
    return c.call("_normalize_dist_name", match.attr("group")(0));
}

nb::object marker_allows_install(Call &c, nb::handle req_text) {
    nb::object text = text_or_empty(req_text);
    if (!contains(text, ";"))
        return nb::bool_(true);
    nb::object marker = text.attr("split")(";", 1)[1].attr("strip")();
    // Optional-feature requirements (test, docs, dev ...) are never installed
    // in-app; this holds however the marker spells or combines "extra".
    if (contains(marker.attr("lower")(), "extra"))
        return nb::bool_(false);
    // The marker is evaluated as written: quoted values compare case-sensitively,
    // so lower-casing them would turn `platform_system == "Windows"` false on
    // Windows itself.
    nb::object allowed = tvx::except_exception(
        [&]() -> nb::object {
            nb::object marker_type = tvx::import_from(c, "packaging.markers", "Marker");
            return nb::bool_(tvx::truthy(marker_type(marker).attr("evaluate")()));
        },
        [] { return nb::object(); });
    return allowed.is_valid() ? allowed : nb::bool_(!tvx::truthy(marker));
}

nb::object str_list(nb::handle items, bool drop_falsy) {
    nb::list out;
    for (nb::handle item : items) {
        if (drop_falsy && !tvx::truthy(item))
            continue;
        out.append(tvx::to_str(item));
    }
    return out;
}

nb::object requires_dist_strings(Call &c, nb::handle package) {
    nb::object name = c.call("_package_name_only", package);
    if (!tvx::truthy(name))
        return nb::list();

    nb::object metadata = metadata_module(c);
    nb::object candidates[] = {name, name.attr("replace")("-", "_")};
    bool failed = false;
    for (nb::object &candidate : candidates) {
        nb::object local = tvx::except_exception(
            [&]() -> nb::object {
                nb::object dist = metadata.attr("distribution")(candidate);
                nb::object declared = dist.attr("requires");
                if (!tvx::truthy(declared))
                    declared = nb::list();
                PyObject *reqs = PySequence_List(declared.ptr());
                if (!reqs)
                    throw nb::python_error();
                nb::list requirements = nb::steal<nb::list>(reqs);
                return nb::len(requirements) > 0 ? str_list(requirements, false) : nb::object();
            },
            [&](const nb::python_error &e) {
                if (!is_not_found(e, metadata)) {
                    tvx::log_exc(c, e, "debug", "local requires for %s failed", name);
                    failed = true;
                }
                return nb::object();
            });
        if (local.is_valid())
            return local;
        if (failed)
            break;
    }

    nb::object from_index = tvx::except_exception_logged(
        c, "PyPI requires_dist for %s failed",
        [&]() -> nb::object {
            nb::object url = c.call("_project_json_url", name);
            if (url.is_none())
                return nb::object();
            // The index's credentials go as basic authentication, never in a URL shown.
            auto [plain_url, auth] = without_credentials(url);
            nb::object data = nb::len(auth) == 0
                                  ? c.call("_http_json", plain_url, "timeout"_a = 20.0)
                                  : c.call("_http_json", plain_url, "timeout"_a = 20.0, "headers"_a = auth);
            nb::object info = PyDict_Check(data.ptr()) ? nb::object(data.attr("get")("info"))
                                                       : nb::object(nb::none());
            nb::object raw = PyDict_Check(info.ptr())
                                 ? nb::object(info.attr("get")("requires_dist"))
                                 : nb::object(nb::none());
            return PyList_Check(raw.ptr()) ? str_list(raw, true) : nb::object();
        },
        [] { return nb::object(); }, name);
    return from_index.is_valid() ? from_index : nb::list();
}

nb::object missing_third_party_deps(Call &c, nb::handle package, nb::handle needs) {
    nb::list missing;
    nb::set seen;
    // A wheel installed from a file brings its own list: the index may not know it.
    nb::object requirements = needs.is_none() ? c.call("_requires_dist_strings", package)
                                                 : nb::borrow(needs);
    for (nb::handle req : requirements) {
        if (!tvx::truthy(c.call("_marker_allows_install", req)))
            continue;
        nb::object name = c.call("_requirement_name", req);
        if (!tvx::truthy(name) || seen.contains(name) ||
            tvx::truthy(c.call("_is_locked_runtime_package", name)))
            continue;
        seen.add(name);
        if (!tvx::truthy(c.call("_dist_is_installed", name)))
            missing.append(name);
    }
    return missing;
}

nb::object install_missing_deps(Call &c, nb::handle package, nb::handle needs,
                                nb::handle on_output, nb::handle cancel) {
    nb::object missing = needs.is_none()
                             ? c.call("_missing_third_party_deps", package)
                             : c.call("_missing_third_party_deps", package, "requires"_a = needs);
    if (!tvx::truthy(missing))
        return pip_result(c, true, nb::tuple(), 0, nb::str("no missing deps"), nb::str(""));
    tvx::log(c, "info", "Installing missing extension deps (unlocked): %s",
             nb::str(", ").attr("join")(missing));

    // Resolution stays on here: the missing packages bring what they need.
    nb::list argv;
    if (tvx::truthy(c.call("prefer_uv"))) {
        argv.append("uv");
        argv.append("pip");
        argv.append("install");
        argv.attr("extend")(c.call("_uv_python_args"));
    } else {
        argv.append(c.g("sys").attr("executable"));
        argv.append("-m");
        argv.append("pip");
        argv.append("install");
    }
    argv.attr("extend")(missing);
    nb::object result = c.call("_run", argv, **stream_keywords(on_output, cancel));
    if (!was_cancelled(c, result, cancel))
        return result;
    nb::object message =
        nb::str("the install of its dependencies was cancelled before it changed anything; not "
                "installed: {} (the next install of the extension installs them).")
            .format(nb::str(", ").attr("join")(missing));
    return pip_result(c, false, result.attr("command"), 130, result.attr("stdout"), message);
}

const FuncSpec kDistIsInstalled = {
    .name = "_dist_is_installed",
    .params = {arg("name", "str")},
    .returns = "bool",
    .impl = tvx::body<dist_is_installed>,
};

const FuncSpec kRequirementName = {
    .name = "_requirement_name",
    .doc = "The distribution name from a requirement string.\n"
           "\n"
           "    Takes the leading name token rather than splitting on the first specifier: the\n"
           "    loop this replaced tested ``>=`` before ``<``, so ``cupy-cuda13x<14,>=13.0``\n"
           "    split at ``>=`` and produced ``cupy-cuda13x<14,`` -- a malformed \"name\" that was\n"
           "    then handed to ``uv pip install``.\n"
           "    ",
    .params = {arg("req_text", "str")},
    .returns = "str",
    .impl = tvx::body<requirement_name>,
};

const FuncSpec kMarkerAllowsInstall = {
    .name = "_marker_allows_install",
    .doc = "Return False for ``extra == ...`` build/dev markers we never install in-app.",
    .params = {arg("req_text", "str")},
    .returns = "bool",
    .impl = tvx::body<marker_allows_install>,
};

const FuncSpec kRequiresDistStrings = {
    .name = "_requires_dist_strings",
    .doc = "Requires-Dist for *package* from local install, else PyPI JSON.",
    .params = {arg("package", "str")},
    .returns = "list[str]",
    .impl = tvx::body<requires_dist_strings>,
};

const FuncSpec kMissingThirdPartyDeps = {
    .name = "_missing_third_party_deps",
    .doc = "Names of Requires-Dist not yet installed, excluding locked runtime pkgs.\n"
           "\n"
           "*requires* (a wheel file's own Requires-Dist) replaces the lookup of the\n"
           "installed metadata and the index.\n",
    .params = {arg("package", "str"), kwarg("requires", "list[str] | None", dflt(nullptr))},
    .returns = "list[str]",
    .impl = tvx::body<missing_third_party_deps>,
};

const FuncSpec kInstallMissingDeps = {
    .name = "_install_missing_deps",
    .params = {arg("package", "str"), kwarg("requires", "list[str] | None", dflt(nullptr)),
               kwarg("on_output", "Callable[[str], object] | None", dflt(nullptr)),
               kwarg("cancel", "Any", dflt(nullptr))},
    .returns = "PipResult",
    .impl = tvx::body<install_missing_deps>,
};

}  // namespace

void init_missing_deps(tvx::ModuleFrame &frame) {
    frame.def(kDistIsInstalled);
    frame.def(kRequirementName);
    frame.def(kMarkerAllowsInstall);
    frame.def(kRequiresDistStrings);
    frame.def(kMissingThirdPartyDeps);
    frame.def(kInstallMissingDeps);
}

}  // namespace wheelwork
