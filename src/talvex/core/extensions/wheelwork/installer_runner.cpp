// Running the installer: a hidden child process with a time-out whose outcome,
// whatever happens, comes back as a PipResult; and the classifier that tells a
// failure caused by files locked by a running process (the write probe that
// tells it apart from a refusal is in environment_write_probe.cpp).
#include "common.hpp"

#include <string_view>

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

nb::object run(Call &c, nb::handle argv, nb::handle timeout, nb::handle on_output,
               nb::handle cancel) {

    nb::list parts;
    for (nb::handle item : argv)
        parts.append(tvx::to_str(item));
    nb::tuple cmd = nb::tuple(parts);

    // Within a budget (the start-up replay's) the run gets what is left of it.
    nb::object limit = nb::borrow(timeout);
    const char *spec = "";  // how the time-out message spells the limit
    nb::object deadline = c.g("_RUN_DEADLINE").attr("get")();
    if (!deadline.is_none()) {
        nb::object left = deadline - c.g("time").attr("monotonic")();
        if (left <= nb::float_(0.0))
            return pip_result(c, false, cmd, 124, nb::str(""),
                              nb::str("not started: the time allowed for it had run out"));
        if (timeout.is_none() || left < timeout) {
            limit = left;
            spec = ".1f";
        }
    }

    nb::dict env;
    if (PyDict_Merge(env.ptr(), c.g("os").attr("environ").ptr(), 1) < 0)
        throw nb::python_error();
    env["PYTHONUNBUFFERED"] = "1";
    env["PYTHONIOENCODING"] = "utf-8";
    env["PYTHONUTF8"] = "1";
    env["UV_LINK_MODE"] = "copy";
    c.call("_installer_environment", env);
    if (!on_output.is_none() || !cancel.is_none())
        return run_streaming(c, cmd, env, limit, spec, on_output, cancel);

    tvx::log(c, "info", "extension pip: %s", nb::str(" ").attr("join")(cmd));
    nb::object completed;
    try {
        nb::object subprocess = c.g("subprocess");
        nb::object run_child = subprocess.attr("run");
        nb::dict kwargs;
        kwargs["capture_output"] = true;
        kwargs["text"] = false;
        kwargs["timeout"] = limit;
        kwargs["check"] = false;
        kwargs["env"] = env;
        kwargs["stdin"] = subprocess.attr("DEVNULL");
        merge_keywords(run_child, kwargs, c.call("_subprocess_kwargs"));
        completed = run_child(nb::list(cmd), **kwargs);
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_OSError)) {
            // The installer could not be started: missing, not executable ("[Errno 13]
            // Permission denied"), not a program ("[Errno 8] Exec format error", "[WinError
            // 193] %1 is not a valid Win32 application").
            tvx::Handling handling(e);
            return start_failure_result(c, cmd, e.value());
        }
        if (e.matches(c.g("subprocess").attr("TimeoutExpired"))) {
            tvx::Handling handling(e);
            return timeout_result(c, cmd, limit, spec, cleaned(c, e.value().attr("stdout")));
        }
        throw;
    }
    return finished_result(c, cmd, completed.attr("returncode"), cleaned(c, completed.attr("stdout")),
                           cleaned(c, completed.attr("stderr")));
}

// Texts by which pip and uv report files held open by a running process (or an
// attempt to replace the application's own executable).  The error numbers are
// ERROR_ACCESS_DENIED (5) and ERROR_SHARING_VIOLATION (32), as uv prints them
// ("os error 32") and as the interpreter prefixes pip's message ("[WinError 32]"):
// both stay the same when Windows words the message in another language.  A
// number is matched whole: "os error 53" (network path not found) is no lock.
constexpr const char *kLockMarkers[] = {
    "access is denied",
    "os error 5",
    "os error 32",
    "being used by another process",
    "is in use",
    "cannot access the file",
    "talvex.exe",
    "[winerror 5]",
    "[winerror 32]",
};

bool ascii_digit(Py_UCS4 ch) { return ch >= '0' && ch <= '9'; }

// Whether `marker` occurs in `text`, a number at its end not followed by
// another digit.
bool has_marker(nb::handle text, std::string_view marker) {
    nb::str needle(marker.data(), marker.size());
    bool numbered = ascii_digit(static_cast<unsigned char>(marker.back()));
    Py_ssize_t length = PyUnicode_GET_LENGTH(text.ptr());
    Py_ssize_t width = static_cast<Py_ssize_t>(marker.size());
    for (Py_ssize_t start = 0;;) {
        Py_ssize_t at = PyUnicode_Find(text.ptr(), needle.ptr(), start, length, 1);
        if (at == -2)
            throw nb::python_error();
        if (at < 0)
            return false;
        Py_ssize_t end = at + width;
        if (!numbered || end >= length || !ascii_digit(PyUnicode_READ_CHAR(text.ptr(), end)))
            return true;
        start = at + 1;
    }
}

nb::object looks_like_file_lock_error(Call &, nb::handle blob) {
    if (!tvx::truthy(blob))
        return nb::bool_(false);
    nb::object text = blob.attr("lower")();
    for (const char *marker : kLockMarkers) {
        bool found;
        if (PyUnicode_Check(text.ptr())) {
            found = has_marker(text, marker);
        } else {  // `marker in text`, with the error that gives
            int contained = PySequence_Contains(text.ptr(), nb::str(marker).ptr());
            if (contained < 0)
                throw nb::python_error();
            found = contained != 0;
        }
        if (found)
            return nb::bool_(true);
    }
    return nb::bool_(false);
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
    .params = {arg("argv", "Sequence[str]"), kwarg("timeout", "float", dflt(600.0)),
               kwarg("on_output", "Callable[[str], object] | None", dflt(nullptr)),
               kwarg("cancel", "Any", dflt(nullptr))},
    .returns = "PipResult",
    .impl = tvx::body<run>,
};

const FuncSpec kLooksLikeFileLockError = {
    .name = "_looks_like_file_lock_error",
    .params = {arg("blob", "str")},
    .returns = "bool",
    .impl = tvx::body<looks_like_file_lock_error>,
};

}  // namespace

nb::object start_failure_result(const Call &c, nb::tuple cmd, nb::handle error) {
    // On Windows the exception names no file ("[WinError 2] The system cannot find
    // the file specified"): add the program, the way OSError shows a filename.
    nb::object text = tvx::to_str(error);
    if (cmd.size() > 0 && error.attr("filename").is_none())
        text = nb::str("{}: {!r}").format(text, cmd[0]);
    return pip_result(c, false, cmd, 127, nb::str(""), text);
}

nb::object timeout_result(const Call &c, nb::handle cmd, nb::handle limit, const char *spec,
                          nb::handle stdout_text) {
    nb::object spelled = nb::steal(PyObject_Format(limit.ptr(), nb::str(spec).ptr()));
    if (!spelled.is_valid())
        throw nb::python_error();
    return pip_result(c, false, cmd, 124, stdout_text, nb::str("timed out after ") + spelled + nb::str("s"));
}

nb::object finished_result(const Call &c, nb::handle cmd, nb::handle returncode,
                           nb::handle stdout_text, nb::handle stderr_text) {
    bool ok = returncode.equal(nb::int_(0));
    nb::object code = tvx::truthy(returncode) ? nb::borrow(returncode) : nb::object(nb::int_(0));
    nb::object status = nb::steal(PyNumber_Long(code.ptr()));
    if (!status.is_valid())
        throw nb::python_error();
    return pip_result(c, ok, cmd, status, stdout_text, stderr_text);
}

void init_installer_runner(tvx::ModuleFrame &frame) {
    frame.def(kSubprocessKwargs);
    frame.def(kRun);
}

void init_installer_failures(tvx::ModuleFrame &frame) {
    frame.def(kLooksLikeFileLockError);
    init_write_probe(frame);
}

}  // namespace wheelwork
