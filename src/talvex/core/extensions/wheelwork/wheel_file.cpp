// Installing an extension from a wheel file on disk: telling a file apart from
// a package name, checking the file before any installer runs (a zip, a wheel's
// file name, metadata naming the same distribution, tags this interpreter
// accepts), and the installer vector with the file in place of the name.
#include "common.hpp"

#include <initializer_list>

namespace wheelwork {

namespace {

bool has(nb::handle text, const char *needle) {
    int found = PySequence_Contains(text.ptr(), nb::str(needle).ptr());
    if (found < 0)
        throw nb::python_error();
    return found != 0;
}

bool is_source_archive(nb::handle lower) {
    for (const char *suffix : {".tar.gz", ".tgz", ".tar.bz2", ".tar.xz", ".tar", ".zip"})
        if (tvx::truthy(lower.attr("endswith")(suffix)))
            return true;
    return false;
}

[[noreturn]] void refuse(nb::handle problem) { tvx::raise(PyExc_ValueError, problem); }
[[noreturn]] void refuse(const char *problem) { tvx::raise(PyExc_ValueError, problem); }

nb::object wheel_file_request(Call &c, nb::handle package) {
    nb::object os = c.g("os");
    nb::object text;
    bool path_like = false;
    if (nb::isinstance<nb::str>(package)) {
        text = nb::borrow(package).attr("strip")();
    } else if (!nb::isinstance<nb::bytes>(package) &&
               tvx::optional_attr(package, "__fspath__").is_valid()) {
        text = os.attr("fsdecode")(os.attr("fspath")(package));
        path_like = true;
    } else {
        return nb::none();
    }
    // A direct reference ("pkg @ https://.../x.whl") is no file: the name road refuses it.
    if (!tvx::truthy(text) || (!path_like && (has(text, "://") || has(text, " @ "))))
        return nb::none();
    nb::object expanded = os.attr("path").attr("expanduser")(text);
    nb::object lower = text.attr("lower")();
    // A request ending in ".whl" always means a file; a source archive only when
    // it is written as a path or is there (a project may be named "x.zip").
    bool file = path_like || tvx::truthy(lower.attr("endswith")(".whl"));
    if (!file && is_source_archive(lower))
        file = has(text, "/") || has(text, "\\") ||
               tvx::truthy(os.attr("path").attr("isfile")(expanded));
    if (!file)
        return nb::none();
    return c.g("Path")(os.attr("path").attr("abspath")(expanded));
}

// "cannot be read (reason)" for an operating-system error.
nb::object unreadable(const nb::python_error &e) {
    nb::object reason = tvx::attr_or(e.value(), "strerror", nb::none());
    if (!tvx::truthy(reason))
        reason = tvx::to_str(e.value());
    return nb::str("cannot be read ({})").format(reason);
}

// The wheel's one top-level "<name>-<version>.dist-info/METADATA", parsed.
nb::object read_metadata(nb::handle path) {
    nb::object zipfile = nb::module_::import_("zipfile");
    nb::object archive;
    try {
        archive = zipfile.attr("ZipFile")(path);
    } catch (nb::python_error &e) {
        if (e.matches(zipfile.attr("BadZipFile")))
            refuse("not a wheel: not a zip archive");
        if (e.matches(PyExc_OSError))
            refuse(unreadable(e));
        throw;
    }
    nb::object data;
    tvx::with(archive, [&](nb::handle zip) {
        nb::list found;
        for (nb::handle entry : zip.attr("namelist")()) {
            nb::object parts = entry.attr("split")("/");
            if (nb::len(parts) == 2 && nb::str("METADATA").equal(parts[1]) &&
                tvx::truthy(parts[0].attr("endswith")(".dist-info")))
                found.append(entry);
        }
        if (nb::len(found) != 1)
            refuse(nb::len(found) == 0 ? "not a wheel: it holds no .dist-info/METADATA"
                                       : "not a wheel: it holds more than one .dist-info/METADATA");
        // A damaged member, an unknown compression or an encrypted entry.
        nb::object failure = tvx::except_exception(
            [&]() -> nb::object {
                data = zip.attr("read")(found[0]);
                return nb::none();
            },
            [](const nb::python_error &e) -> nb::object { return tvx::to_str(e.value()); });
        if (!failure.is_none())
            refuse(nb::str("not a wheel: its METADATA cannot be read ({})").format(failure));
    });
    return nb::module_::import_("email.parser").attr("BytesHeaderParser")().attr("parsebytes")(data);
}

nb::object check_wheel_file(Call &c, nb::handle path) {
    nb::object os = c.g("os");
    nb::object st;
    try {
        st = os.attr("stat")(path);
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_FileNotFoundError) || e.matches(PyExc_NotADirectoryError))
            refuse("no such file");
        if (e.matches(PyExc_OSError))
            refuse(unreadable(e));
        throw;
    }
    nb::object stat = nb::module_::import_("stat");
    if (tvx::truthy(stat.attr("S_ISDIR")(st.attr("st_mode"))))
        refuse("not a file but a folder");
    if (!tvx::truthy(stat.attr("S_ISREG")(st.attr("st_mode"))))
        refuse("not a regular file");

    nb::object file_name = nb::str(os.attr("path").attr("basename")(os.attr("fspath")(path)));
    nb::object lower = file_name.attr("lower")();
    if (!tvx::truthy(lower.attr("endswith")(".whl"))) {
        if (is_source_archive(lower))
            refuse("not a wheel but a source archive; Talvex installs extensions from wheel files "
                   "(.whl) only: build the wheel first (for example with 'pip wheel --no-deps')");
        refuse("not a wheel: its name does not end in .whl");
    }

    nb::object utils = nb::module_::import_("packaging.utils");
    nb::object parsed;
    try {
        // Any case of ".whl" names a wheel; the parser wants it in lower case.
        parsed = utils.attr("parse_wheel_filename")(
            file_name.attr("__getitem__")(nb::slice(0, -4)) + nb::str(".whl"));
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ValueError))
            throw;
        refuse(nb::str("not a wheel: {}").format(tvx::to_str(e.value())));
    }
    nb::object meta = read_metadata(path);
    nb::object declared = meta.attr("get")("Name", "");
    nb::object name = tvx::to_str(declared).attr("strip")();
    if (!tvx::truthy(name))
        refuse("not a wheel: its METADATA names no distribution");
    nb::object named = c.call("normalize_pypi_name", parsed[0]);
    nb::object holds = c.call("normalize_pypi_name", name);
    if (!named.equal(holds))
        refuse(nb::str("names {} but contains {}").format(named, holds));
    // The name the installer and the queue get: the file name's, normalized, in the
    // letters a package name may have (the parser lets any word character pass).
    if (!tvx::truthy(named) || !tvx::truthy(named.attr("isascii")()) ||
        !tvx::truthy(named.attr("replace")("-", "").attr("isalnum")()))
        refuse(nb::str("not a wheel: {!r} is not a package name").format(named));
    name = named;

    nb::object accepted = nb::module_::import_("packaging.tags").attr("sys_tags")();
    nb::object first = nb::none();
    bool fits = false;
    for (nb::handle tag : accepted) {
        if (first.is_none())
            first = nb::borrow(tag);
        int found = PySequence_Contains(nb::object(parsed[3]).ptr(), tag.ptr());
        if (found < 0)
            throw nb::python_error();
        if (found) {
            fits = true;
            break;
        }
    }
    if (!fits) {
        // name-version[-build]-python-abi-platform: the python and platform fields.
        nb::object fields = file_name.attr("__getitem__")(nb::slice(0, -4)).attr("split")("-");
        nb::object built = nb::str("{}-{}").format(fields[-3], fields[-1]);
        nb::object runs = first.is_none() ? nb::object(nb::str("an interpreter without tags"))
                                          : nb::object(nb::str("{}-{}").format(
                                                first.attr("interpreter"), first.attr("platform")));
        refuse(nb::str("built for {}; this Talvex runs {}").format(built, runs));
    }
    if (tvx::truthy(c.call("_is_locked_runtime_package", name)))
        refuse(nb::str("contains {}, which Talvex itself runs on; it is not installed as an "
                       "extension")
                   .format(name));

    nb::object listed = meta.attr("get_all")("Requires-Dist");
    nb::list requirements;
    if (!listed.is_none())
        for (nb::handle req : listed)
            requirements.append(tvx::to_str(req));
    return nb::make_tuple(name, requirements);
}

// The install vector of `pkg` with the file in place of the requirement (the
// last place the name takes in it: uv also names it for --reinstall-package).
nb::object wheel_install_argv(Call &c, nb::handle pkg, nb::handle path, nb::handle force_target) {
    nb::object argv = c.call("_install_argv", pkg, "force_target"_a = force_target);
    nb::list out;
    Py_ssize_t last = -1, i = 0;
    for (nb::handle item : argv) {
        out.append(item);
        if (nb::borrow(item).equal(pkg))
            last = i;
        ++i;
    }
    if (last < 0)
        out.append(tvx::to_str(path));
    else
        out[last] = tvx::to_str(path);
    return out;
}

nb::object wheel_install_command(Call &c, nb::handle path) {
    // The display does not open the file: the distribution its name gives.
    nb::object name = nb::str(c.g("os").attr("path").attr("basename")(c.g("os").attr("fspath")(path)));
    nb::object dist = name.attr("split")("-")[0];
    return c.call("_display_command", c.call("_wheel_install_argv", dist, path));
}

const FuncSpec kWheelFileRequest = {
    .name = "_wheel_file_request",
    .doc = "The wheel file *package* names, as an absolute path; None for a package name.\n"
           "\n"
           "A request ending in ``.whl`` (any case) or a path-like object names a file; a\n"
           "source archive (``.tar.gz``, ``.zip``, ...) does when it is written as a path\n"
           "or exists.  ``~`` is expanded and a relative path is taken from the current\n"
           "directory.  Whether the file is there is for ``_check_wheel_file`` to say.\n",
    .params = {arg("package", "str | os.PathLike[str]")},
    .returns = "Path | None",
    .impl = tvx::body<wheel_file_request>,
};

const FuncSpec kCheckWheelFile = {
    .name = "_check_wheel_file",
    .doc = "The distribution name and declared requirements of the wheel at *path*.\n"
           "\n"
           "Raises ValueError saying what is wrong with the file: missing, not a zip\n"
           "archive, a file name that is not a wheel's, metadata naming another\n"
           "distribution, tags this interpreter does not accept, or one of the host's\n"
           "own runtime packages.  Nothing is installed or changed.\n",
    .params = {arg("path", "Path")},
    .returns = "tuple[str, list[str]]",
    .impl = tvx::body<check_wheel_file>,
};

const FuncSpec kWheelInstallArgv = {
    .name = "_wheel_install_argv",
    .doc = "``_install_argv(pkg)`` with the wheel file *path* as the requirement.",
    .params = {arg("pkg", "str"), arg("path", "Path"), kwarg("force_target", "bool", dflt(false))},
    .returns = "list[str]",
    .impl = tvx::body<wheel_install_argv>,
};

const FuncSpec kWheelInstallCommand = {
    .name = "_wheel_install_command",
    .doc = "Display string of the command that installs the wheel file *path*.",
    .params = {arg("path", "Path")},
    .returns = "str",
    .impl = tvx::body<wheel_install_command>,
};

}  // namespace

StagedWheel::StagedWheel(const tvx::Call &c, nb::handle file) : path(nb::borrow(file)) {
    nb::object name = nb::str(c.g("os").attr("path").attr("basename")(c.g("os").attr("fspath")(file)));
    if (tvx::truthy(name.attr("endswith")(".whl")))
        return;
    folder_ = nb::module_::import_("tempfile").attr("mkdtemp")("prefix"_a = "talvex-wheel-");
    remove_ = c.g("shutil").attr("rmtree");
    nb::object staged = c.g("Path")(folder_) / (name.attr("__getitem__")(nb::slice(0, -4)) + nb::str(".whl"));
    c.g("shutil").attr("copyfile")(file, staged);
    path = staged;
}

StagedWheel::~StagedWheel() {
    if (!folder_.is_valid())
        return;
    try {
        remove_(folder_, "ignore_errors"_a = true);
    } catch (nb::python_error &) {
    }
}

void init_wheel_file(tvx::ModuleFrame &frame) {
    frame.def(kWheelFileRequest);
    frame.def(kCheckWheelFile);
    frame.def(kWheelInstallArgv);
    frame.def(kWheelInstallCommand);
}

}  // namespace wheelwork
