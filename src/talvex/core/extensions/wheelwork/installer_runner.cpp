// Running the installer: a hidden child process with a time-out whose outcome,
// whatever happens, comes back as a PipResult; and the classifier that tells a
// failure caused by files locked by a running process.
#include "common.hpp"

#include <cerrno>

namespace wheelwork {

namespace {

// Windows' CREATE_NO_WINDOW, for interpreters whose subprocess module lacks it.
constexpr long kCreateNoWindow = 0x08000000;

nb::object subprocess_kwargs(Call &c) {
    nb::dict kwargs;
    if (!c.g("sys").attr("platform").equal(nb::str("win32")))
        return kwargs;
    nb::object subprocess = c.g("subprocess");
    kwargs["creationflags"] =
        tvx::attr_or(subprocess, "CREATE_NO_WINDOW", nb::int_(kCreateNoWindow));
    nb::object startupinfo = subprocess.attr("STARTUPINFO")();
    nb::object flags = nb::steal(PyNumber_InPlaceOr(
        startupinfo.attr("dwFlags").ptr(), subprocess.attr("STARTF_USESHOWWINDOW").ptr()));
    if (!flags.is_valid())
        throw nb::python_error();
    startupinfo.attr("dwFlags") = flags;
    startupinfo.attr("wShowWindow") = nb::int_(0);
    kwargs["startupinfo"] = startupinfo;
    return kwargs;
}

// How the interpreter names a callable in call errors: "module.qualname()", or
// "qualname()" for builtins, or str() of an object without a qualified name.
nb::object function_str(nb::handle callee) {
    nb::object name = tvx::optional_attr(callee, "__qualname__");
    if (!name.is_valid())
        return tvx::to_str(callee);
    nb::object module = tvx::attr_or(callee, "__module__", nb::none());
    if (!module.is_none() && !module.equal(nb::str("builtins")))
        return nb::str("{}.{}()").format(module, name);
    return nb::str("{}()").format(name);
}

// Adds the entries of `extra` to `kwargs` the way `**extra` adds them to a call:
// `extra` must be a mapping, and a keyword given twice is an error.
void merge_keywords(nb::handle callee, nb::dict &kwargs, nb::handle extra) {
    if (!PyDict_Check(extra.ptr())) {
        int has_keys = PyObject_HasAttrStringWithError(extra.ptr(), "keys");
        if (has_keys < 0)
            throw nb::python_error();
        if (!has_keys) {
            PyErr_Format(PyExc_TypeError, "%S argument after ** must be a mapping, not %.200s",
                         function_str(callee).ptr(), Py_TYPE(extra.ptr())->tp_name);
            throw nb::python_error();
        }
    }
    for (nb::handle key : extra.attr("keys")()) {
        if (kwargs.contains(key)) {
            PyErr_Format(PyExc_TypeError, "%S got multiple values for keyword argument '%S'",
                         function_str(callee).ptr(), key.ptr());
            throw nb::python_error();
        }
        kwargs[key] = extra[key];
    }
}

nb::object cleaned(const Call &c, nb::handle data) {
    return c.call("sanitize_cli_text", c.call("_decode_cli_bytes", data));
}

nb::object run(Call &c, nb::handle argv, nb::handle timeout) {

    nb::list parts;
    for (nb::handle item : argv)
        parts.append(tvx::to_str(item));
    nb::tuple cmd = nb::tuple(parts);

    tvx::log(c, "info", "extension pip: %s", nb::str(" ").attr("join")(cmd));

    nb::dict env;
    if (PyDict_Merge(env.ptr(), c.g("os").attr("environ").ptr(), 1) < 0)
        throw nb::python_error();
    env["PYTHONUNBUFFERED"] = "1";
    env["PYTHONIOENCODING"] = "utf-8";
    env["PYTHONUTF8"] = "1";
    env["UV_LINK_MODE"] = "copy";
    c.call("_installer_environment", env);

    nb::object completed;
    try {
        nb::object subprocess = c.g("subprocess");
        nb::object run_child = subprocess.attr("run");
        nb::dict kwargs;
        kwargs["capture_output"] = true;
        kwargs["text"] = false;
        kwargs["timeout"] = timeout;
        kwargs["check"] = false;
        kwargs["env"] = env;
        kwargs["stdin"] = subprocess.attr("DEVNULL");
        merge_keywords(run_child, kwargs, c.call("_subprocess_kwargs"));
        completed = run_child(nb::list(cmd), **kwargs);
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_FileNotFoundError)) {
            tvx::Handling handling(e);
            // On Windows the exception names no file ("[WinError 2] The system cannot find
            // the file specified"): add the program, the way OSError shows a filename.
            nb::object text = tvx::to_str(e.value());
            if (cmd.size() > 0 && e.value().attr("filename").is_none())
                text = nb::str("{}: {!r}").format(text, cmd[0]);
            return pip_result(c, false, cmd, 127, nb::str(""), text);
        }
        if (e.matches(c.g("subprocess").attr("TimeoutExpired"))) {
            tvx::Handling handling(e);
            nb::object partial = cleaned(c, e.value().attr("stdout"));
            nb::object spelled = nb::steal(PyObject_Format(timeout.ptr(), nb::str("").ptr()));
            if (!spelled.is_valid())
                throw nb::python_error();
            nb::object message = nb::str("timed out after ") + spelled + nb::str("s");
            return pip_result(c, false, cmd, 124, partial, message);
        }
        throw;
    }

    nb::object out = cleaned(c, completed.attr("stdout"));
    nb::object err = cleaned(c, completed.attr("stderr"));
    nb::object returncode = completed.attr("returncode");
    bool ok = returncode.equal(nb::int_(0));
    nb::object code = tvx::truthy(returncode) ? returncode : nb::object(nb::int_(0));
    nb::object status = nb::steal(PyNumber_Long(code.ptr()));
    if (!status.is_valid())
        throw nb::python_error();
    return pip_result(c, ok, cmd, status, out, err);
}

// Texts by which pip and uv report files held open by a running process (or an
// attempt to replace the application's own executable). The last two are the
// interpreter's own prefix of ERROR_ACCESS_DENIED and ERROR_SHARING_VIOLATION, which
// stays the same when Windows words the message in another language.
constexpr const char *kLockMarkers[] = {
    "access is denied",
    "os error 5",
    "being used by another process",
    "is in use",
    "cannot access the file",
    "talvex.exe",
    "[winerror 5]",
    "[winerror 32]",
};

nb::object looks_like_file_lock_error(Call &, nb::handle blob) {
    if (!tvx::truthy(blob))
        return nb::bool_(false);
    nb::object text = blob.attr("lower")();
    for (const char *marker : kLockMarkers) {
        int found = PySequence_Contains(text.ptr(), nb::str(marker).ptr());
        if (found < 0)
            throw nb::python_error();
        if (found)
            return nb::bool_(true);
    }
    return nb::bool_(false);
}

// An OSError that says the file system refused to create a file: no
// permission (an ACL, an immutable directory) or a read-only file system.
bool write_refused(const nb::python_error &e) {
    if (e.matches(PyExc_PermissionError))
        return true;
    if (!e.matches(PyExc_OSError))
        return false;
    nb::object code = tvx::attr_or(e.value(), "errno", nb::none());
    return nb::isinstance<nb::int_>(code) && nb::cast<int>(code) == EROFS;
}

// Creates and removes an empty file of a random name in `directory`.  Returns
// false when the file system refuses to create it; other errors propagate.
// (tempfile.mkstemp is no probe here: on Windows it takes "access denied" in a
// directory for a name clash and tries ten thousand names.)
bool can_create_file_in(const Call &c, nb::handle directory) {
    nb::object os = c.g("os");
    nb::object flags = os.attr("O_WRONLY") | os.attr("O_CREAT") | os.attr("O_EXCL");
    for (const char *extra : {"O_CLOEXEC", "O_NOINHERIT"})
        flags = flags | tvx::attr_or(os, extra, nb::int_(0));
    for (int attempt = 0;; ++attempt) {
        nb::object name = nb::str(".talvex-write-probe-{}").format(os.attr("urandom")(6).attr("hex")());
        nb::object probe = os.attr("path").attr("join")(directory, name);
        try {
            os.attr("close")(os.attr("open")(probe, flags, 0600));
        } catch (nb::python_error &e) {
            if (write_refused(e))
                return false;
            if (!e.matches(PyExc_FileExistsError) || attempt >= 10)
                throw;
            continue;
        }
        try {
            os.attr("unlink")(probe);
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_OSError))
                throw;
            tvx::log(c, "warning", "Could not remove %s: %s", probe, e.value());
        }
        return true;
    }
}

nb::object unwritable_environment(Call &c) {
    nb::object sysconfig = nb::module_::import_("sysconfig");
    nb::list probed;
    for (const char *scheme_key : {"purelib", "platlib"}) {
        nb::object directory;
        bool refused = tvx::except_exception(
            [&] {
                directory = sysconfig.attr("get_path")(scheme_key);
                if (!tvx::truthy(directory) ||
                    PySequence_Contains(probed.ptr(), directory.ptr()) == 1)
                    return false;
                probed.append(directory);
                return !can_create_file_in(c, directory);
            },
            [&](const nb::python_error &e) {
                tvx::log_exc(c, e, "debug", "Write probe of %s failed", tvx::or_none(directory));
                return false;
            });
        if (refused)
            return c.g("Path")(directory);
    }
    return nb::none();
}

const FuncSpec kSubprocessKwargs = {
    .name = "_subprocess_kwargs",
    .doc = "Hide console windows on Windows (avoids blank 'python' popups).",
    .params = {},
    .returns = "dict",
    .impl = tvx::body<subprocess_kwargs>,
};

const FuncSpec kRun = {
    .name = "_run",
    .params = {arg("argv", "Sequence[str]"), kwarg("timeout", "float", dflt(600.0))},
    .returns = "PipResult",
    .impl = tvx::body<run>,
};

const FuncSpec kLooksLikeFileLockError = {
    .name = "_looks_like_file_lock_error",
    .params = {arg("blob", "str")},
    .returns = "bool",
    .impl = tvx::body<looks_like_file_lock_error>,
};

const FuncSpec kUnwritableEnvironment = {
    .name = "_unwritable_environment",
    .doc = "Site-packages directory of this interpreter that this process may not write, or None.\n"
           "\n"
           "Probed by creating and removing a file in each.  An installer that was refused\n"
           "there reports \"access is denied\" just as it does for a file held open by a\n"
           "running process, but no restart will let it through.\n",
    .params = {},
    .returns = "Path | None",
    .impl = tvx::body<unwritable_environment>,
};

}  // namespace

void init_installer_runner(tvx::ModuleFrame &frame) {
    frame.def(kSubprocessKwargs);
    frame.def(kRun);
}

void init_installer_failures(tvx::ModuleFrame &frame) {
    frame.def(kLooksLikeFileLockError);
    frame.def(kUnwritableEnvironment);
}

}  // namespace wheelwork
