// Running the installer: a hidden child process with a time-out whose outcome,
// whatever happens, comes back as a PipResult; and the classifier that tells a
// failure caused by files locked by a running process.
#include "common.hpp"

namespace wheelwork {

namespace {

// Windows' CREATE_NO_WINDOW, for interpreters whose subprocess module lacks it.
constexpr long kCreateNoWindow = 0x08000000;

// getattr(obj, name, fallback): only AttributeError selects the fallback.
nb::object getattr_or(nb::handle obj, const char *name, nb::handle fallback) {
    PyObject *value = nullptr;
    int found = PyObject_GetOptionalAttrString(obj.ptr(), name, &value);
    if (found < 0)
        throw nb::python_error();
    return found ? nb::steal(value) : nb::borrow(fallback);
}

nb::object subprocess_kwargs(Call &c) {
    nb::dict kwargs;
    if (!c.g("sys").attr("platform").equal(nb::str("win32")))
        return kwargs;
    nb::object subprocess = c.g("subprocess");
    kwargs["creationflags"] = getattr_or(subprocess, "CREATE_NO_WINDOW", nb::int_(kCreateNoWindow));
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
    PyObject *qualname = nullptr;
    if (PyObject_GetOptionalAttrString(callee.ptr(), "__qualname__", &qualname) < 0)
        throw nb::python_error();
    if (!qualname)
        return tvx::to_str(callee);
    nb::object name = nb::steal(qualname);
    nb::object module = getattr_or(callee, "__module__", nb::none());
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

nb::object run(Call &c) {
    nb::handle argv = c[0], timeout = c[1];

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

nb::object looks_like_file_lock_error(Call &c) {
    nb::handle blob = c[0];
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

const FuncSpec kFunctions[] = {
    {
        .name = "_subprocess_kwargs",
        .doc = "Hide console windows on Windows (avoids blank 'python' popups).",
        .params = {},
        .returns = "dict",
        .impl = subprocess_kwargs,
    },
    {
        .name = "_run",
        .params = {arg("argv", "Sequence[str]"), kwarg("timeout", "float", dflt(600.0))},
        .returns = "PipResult",
        .impl = run,
    },
    {
        .name = "_looks_like_file_lock_error",
        .params = {arg("blob", "str")},
        .returns = "bool",
        .impl = looks_like_file_lock_error,
    },
};

}  // namespace

std::span<const FuncSpec> installer_runner_functions() { return kFunctions; }

}  // namespace wheelwork
