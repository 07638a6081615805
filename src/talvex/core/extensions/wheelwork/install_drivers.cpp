// The install, uninstall and upgrade operations the host calls: purge and
// repair before installing, one retry after a metadata error, deferral of work
// that meets a locked file, and the second run for missing dependencies.
#include "common.hpp"

#include <string_view>
#include <optional>
#include <tuple>

namespace wheelwork {

namespace {

constexpr const char *kLockHint =
    "Could not replace files locked by the running Talvex process.\n"
    "In-app install uses '--no-deps' so it will not rewrite talvex.exe or PySide6. "
    "If this still fails, close Talvex and run:\n  ";

bool ascii_alnum(Py_UCS4 ch) {
    return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9');
}

// A distribution name: ASCII letters, digits, ".", "_" and "-", beginning and
// ending with a letter or digit.  Anything else handed to the installer could be
// read as an option ("-r x"), a local path ("./dir") or a URL ("pkg @ https://...").
bool valid_dist_name(nb::handle name) {
    nb::str text = tvx::to_str(name);
    PyObject *s = text.ptr();
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    if (n == 0)
        return false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 ch = PyUnicode_READ_CHAR(s, i);
        bool edge = i == 0 || i == n - 1;
        if (!ascii_alnum(ch) && (edge || (ch != '.' && ch != '_' && ch != '-')))
            return false;
    }
    return true;
}

// The result for a name that cannot be handed to the installer, or None when
// the bare name is usable.
nb::object rejected_name(const Call &c, nb::handle pkg) {
    if (!tvx::truthy(pkg))
        return pip_result(c, false, nb::tuple(), 2, nb::str(""), nb::str("empty package name"));
    if (!valid_dist_name(pkg))
        return pip_result(c, false, nb::tuple(), 2, nb::str(""),
                          nb::str("invalid package name: {!r}").format(tvx::to_str(pkg)));
    return nb::none();
}

// stderr, a line feed, stdout: the text the installer's failure is judged by.
nb::object failure_text(nb::handle result) {
    return tvx::to_str(result.attr("stderr")) + nb::str("\n") + tvx::to_str(result.attr("stdout"));
}

bool looks_locked(const Call &c, nb::handle result) {
    return tvx::truthy(c.call("_looks_like_file_lock_error", failure_text(result)));
}

// The result for an operation that met a lock and could not be queued either
// (the pending-operations file cannot be written): a failure, and it says so,
// with the installer's own message and the command to run with Talvex closed.
nb::object not_queued_result(const Call &c, const char *op, nb::handle pkg, nb::handle shown,
                             nb::handle result) {
    nb::object verb = c.g("_OP_VERBS").attr("get")(op, "changed");
    nb::object command = c.call(std::string_view(op) == "install" ? "install_command"
                                                                  : "uninstall_command",
                                shown);
    nb::object explanation =
        nb::str("'{}' is in use by Talvex, so its files could not be {} now, and the change could "
                "NOT be queued for the next start: the pending-operations file {} could not be "
                "written (the log says why).\n"
                "Close Talvex and run:\n  {}")
            .format(pkg, verb, c.call("_pending_ops_path"), command);
    return failure_from(c, result, [&] {
        nb::object message = tvx::to_str(result.attr("stderr")) + nb::str("\n\n") + explanation;
        return c.call("sanitize_cli_text", message);
    });
}

// The result for a change that failed with a lock-like text in an environment
// this account may not write (Talvex installed for all users, run by a user):
// Windows says "access is denied" for both, but no restart lifts this one, so
// the change is not queued and the message says what will help.  The
// installer's own stderr is not kept: its lock-like text would make a replay
// at start-up retry what cannot succeed.
nb::object not_writable_result(const Call &c, bool install, nb::handle pkg, nb::handle result,
                               nb::handle where) {
    nb::object message =
        nb::str("'{}' could not be {}: the Python environment at {} is not writable by this user "
                "account (for example because Talvex is installed for all users).\n"
                "Run Talvex with the rights to change that environment (for example as an "
                "administrator), or install Talvex for this user only.")
            .format(pkg, install ? "installed" : "removed", where);
    return failure_from(c, result, [&] { return c.call("sanitize_cli_text", message); });
}

bool mentions_broken_metadata(nb::handle result) {
    nb::object text = failure_text(result).attr("lower")();
    for (const char *needle : {"metadata", "dist-info", "failed to open file"}) {
        int found = PySequence_Contains(text.ptr(), nb::str(needle).ptr());
        if (found < 0)
            throw nb::python_error();
        if (found)
            return true;
    }
    return false;
}

bool has_text(nb::handle text, const char *needle) {
    int found = PySequence_Contains(text.ptr(), nb::str(needle).ptr());
    if (found < 0)
        throw nb::python_error();
    return found != 0;
}

// An installer that failed on the release it was asked to install (its build or
// its metadata generation), not on what is installed here.
bool release_failed(nb::handle result) {
    nb::object text = failure_text(result).attr("lower")();
    for (const char *needle : {"metadata-generation-failed", "error while generating package metadata",
                               "failed to build", "failed building wheel",
                               "build backend returned an error", "subprocess-exited-with-error"})
        if (has_text(text, needle))
            return true;
    // pip: "Preparing metadata (pyproject.toml) ... error"; "... done" is no failure.
    for (nb::handle line : text.attr("splitlines")())
        if (has_text(line, "preparing metadata") &&
            (has_text(line, "error") || has_text(line, "did not run successfully")))
            return true;
    return false;
}

nb::object run_install(Call &c, nb::handle package, nb::handle /*upgrade*/,
                       nb::handle defer_on_lock, nb::handle on_output, nb::handle cancel) {
    // A wheel file goes the road of a name: the name it holds is the bare name
    // (purge, cleanup, queue key), the file takes the name's place as the
    // requirement, and its own Requires-Dist lists the dependencies.
    nb::object file = c.call("_wheel_file_request", package);
    nb::object pkg, needs = nb::none();
    std::optional<StagedWheel> staged;
    if (!file.is_none()) {
        nb::object checked;
        try {
            checked = c.call("_check_wheel_file", file);
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_ValueError))
                throw;
            return pip_result(c, false, nb::tuple(), 2, nb::str(""),
                              nb::str("{}: {}").format(tvx::to_str(file), e.value()));
        }
        std::tie(pkg, needs) = tvx::unpack_pair(checked);
        try {
            staged.emplace(c, file);
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_OSError))
                throw;
            return pip_result(c, false, nb::tuple(), 2, nb::str(""),
                              nb::str("{}: cannot be copied for the installer ({})")
                                  .format(tvx::to_str(file), e.value()));
        }
    } else {
        pkg = c.call("_package_name_only", package);
        nb::object rejected = rejected_name(c, pkg);
        if (!rejected.is_none())
            return rejected;
    }
    nb::object shown = file.is_none() ? pkg : file;  // what a command to run by hand installs

    c.call("purge_imported_package_modules", pkg);
    nb::object cleaned = c.call("cleanup_broken_package_install", pkg);
    if (tvx::truthy(cleaned))
        tvx::log(c, "info", "Cleaned %d broken path(s) before install of %s",
                 nb::int_(nb::len(cleaned)), pkg);

    nb::object result = c.call("_run", file.is_none()
                                           ? c.call("_install_argv", pkg)
                                           : c.call("_wheel_install_argv", pkg, staged->path),
                               **stream_keywords(on_output, cancel));
    if (was_cancelled(c, result, cancel))
        return result;

    // A half-written dist-info makes the installer trip over its own records:
    // clear it out, uninstall what is left, and try once more.  Only for that:
    // when the new release itself failed, or nothing installed is broken, the
    // uninstall would only take away the version that works.  A locked file is
    // never a reason: its text may well mention metadata or a path in
    // site-packages, and the uninstall would remove the working version that the
    // deferred change is meant to replace at the next start.
    bool retry = false;
    if (!tvx::truthy(result.attr("ok")) && !looks_locked(c, result) &&
        mentions_broken_metadata(result)) {
        if (release_failed(result))
            tvx::log(c, "info",
                     "Install of %s failed in the release being installed; the installed version "
                     "is left in place",
                     pkg);
        else if (tvx::truthy(cleaned) || installed_state_broken(c, pkg, failure_text(result)))
            retry = true;
        else
            tvx::log(c, "info",
                     "Install of %s failed, but its installed metadata is sound; not retrying", pkg);
    }
    if (retry && cancel_requested(c, cancel)) {
        tvx::log(c, "info", "Install of %s failed and was cancelled; not retrying", pkg);
        retry = false;
    }
    if (retry) {
        tvx::log(c, "warning", "Install of %s failed with metadata/path error; retrying after cleanup",
                 pkg);
        c.call("cleanup_broken_package_install", pkg);
        tvx::except_exception([&] { c.call("run_uninstall", pkg, "defer_on_lock"_a = false); },
                              [] {});
        c.call("cleanup_broken_package_install", pkg);
        // The broken version is gone by now: the reinstall is not cancelled halfway.
        result = c.call("_run", file.is_none()
                                    ? c.call("_install_argv", pkg, "force_target"_a = true)
                                    : c.call("_wheel_install_argv", pkg, staged->path,
                                             "force_target"_a = true),
                        **stream_keywords(on_output, nb::none()));
    }

    if (!tvx::truthy(result.attr("ok"))) {
        if (!looks_locked(c, result))
            return result;
        nb::object unwritable = c.call("_unwritable_environment", result.attr("command"));
        if (!unwritable.is_none())
            return not_writable_result(c, true, pkg, result, unwritable);
        if (tvx::truthy(defer_on_lock)) {
            nb::object queued = file.is_none()
                                    ? c.call("queue_pending_op", "install", pkg)
                                    : c.call("queue_pending_op", "install", pkg, "wheel"_a = file);
            if (!tvx::truthy(queued))
                return not_queued_result(c, "install", pkg, shown, result);
            return c.call("_deferred_result", "install", pkg, result);
        }
        nb::object hint = nb::str(kLockHint) + tvx::to_str(c.call("install_command", shown));
        return failure_from(c, result, [&] {
            nb::object message = tvx::to_str(result.attr("stderr")) + nb::str("\n\n") + hint;
            return c.call("sanitize_cli_text", message);
        });
    }

    // The newest wish wins: an uninstall queued earlier would remove this install
    // at the next start.
    c.call("clear_pending_op", "uninstall", pkg);
    nb::dict deps_keywords = stream_keywords(on_output, cancel);
    if (!needs.is_none())
        deps_keywords["requires"] = needs;
    nb::object deps = c.call("_install_missing_deps", pkg, **deps_keywords);
    if (was_cancelled(c, deps, cancel)) {
        // The extension is in place; its next install completes what is missing.
        c.call("clear_pending_op", "install", pkg);
        nb::object message = nb::str("Installed '") + tvx::to_str(pkg) + nb::str("', but ") +
                             tvx::to_str(deps.attr("stderr"));
        return pip_result(c, false, deps.attr("command"), 130, result.attr("stdout"),
                          c.call("sanitize_cli_text", message));
    }
    if (!tvx::truthy(deps.attr("ok"))) {
        if (looks_locked(c, deps)) {
            // The extension itself is in place; its dependencies get another
            // chance the next time it is installed.
            tvx::log(c, "warning",
                     "Extension %s installed but some deps could not be updated while Talvex is "
                     "running: %s",
                     pkg, deps.attr("output"));
            return result;
        }
        c.call("clear_pending_op", "install", pkg);
        // Read in the order of the record's fields, as the Python call would.
        nb::object command = deps.attr("command");
        if (!tvx::truthy(command))
            command = result.attr("command");
        nb::object returncode = deps.attr("returncode");
        nb::object stdout_text = result.attr("stdout");
        nb::object message = nb::str("Installed '") + tvx::to_str(pkg) +
                             nb::str("' but dependency install failed:\n") +
                             tvx::to_str(deps.attr("output"));
        return pip_result(c, false, command, returncode, stdout_text,
                          c.call("sanitize_cli_text", message));
    }

    c.call("clear_pending_op", "install", pkg);
    return result;
}

nb::object run_uninstall(Call &c, nb::handle package, nb::handle defer_on_lock,
                         nb::handle on_output, nb::handle cancel) {
    nb::object pkg = c.call("_package_name_only", package);
    nb::object rejected = rejected_name(c, pkg);
    if (!rejected.is_none())
        return rejected;

    nb::object result =
        c.call("_run", c.call("_uninstall_argv", pkg), **stream_keywords(on_output, cancel));
    if (was_cancelled(c, result, cancel))
        return result;
    // A partial removal can leave metadata or files behind whatever the outcome.
    c.call("cleanup_broken_package_install", pkg);
    if (tvx::truthy(result.attr("ok"))) {
        c.call("clear_pending_op", "uninstall", pkg);
        return result;
    }
    if (looks_locked(c, result)) {
        nb::object unwritable = c.call("_unwritable_environment", result.attr("command"));
        if (!unwritable.is_none())
            return not_writable_result(c, false, pkg, result, unwritable);
    }
    if (tvx::truthy(defer_on_lock) && looks_locked(c, result)) {
        // The removal is the latest wish: an install or upgrade queued earlier
        // would otherwise be replayed after it and bring the package back.
        c.call("clear_pending_op", "install", pkg);
        if (!tvx::truthy(c.call("queue_pending_op", "uninstall", pkg)))
            return not_queued_result(c, "uninstall", pkg, pkg, result);
        return c.call("_deferred_result", "uninstall", pkg, result);
    }
    return result;
}

nb::object run_upgrade(Call &c, nb::handle package, nb::handle on_output, nb::handle cancel) {
    return c.call("run_install", package, "upgrade"_a = true,
                  **stream_keywords(on_output, cancel));
}

const FuncSpec kRunInstall = {
    .name = "run_install",
    .doc = "Install *package* from PyPI, repairing broken local metadata first.\n"
           "\n"
           "*package* may also name a wheel file (``.whl``; ``~`` and relative paths\n"
           "allowed): the file is checked first and refused with return code 2 when it\n"
           "is no usable wheel; otherwise it is installed like the name it holds, and a\n"
           "locked install keeps a copy of it for the replay at the next start.\n"
           "\n"
           "The request is reduced to its bare distribution name (extras, pins and markers\n"
           "dropped); anything that is not a plain distribution name is refused without\n"
           "running the installer.  The package's modules are purged from ``sys.modules``\n"
           "and leftovers of interrupted installs are removed.  The newest release is then\n"
           "(re)installed with ``--no-deps``; a failure that mentions metadata or dist-info\n"
           "is retried once after cleanup and an uninstall when the installed state is\n"
           "broken, never when the new release itself fails to build (the working version\n"
           "stays).  When files are locked by the running process the install is queued\n"
           "for the next start (``defer_on_lock``) or reported with the command to run by\n"
           "hand; an install that cannot be queued fails with a message saying so, as does\n"
           "one refused because this account may not write the environment (never\n"
           "queued).  A successful install clears a queued uninstall of the package.  After\n"
           "it the extension's missing dependencies are installed in a second run.\n"
           "*upgrade* is accepted for symmetry: every install upgrades.\n"
           "\n"
           "*on_output* is called on this thread with each line the installer writes, as\n"
           "it arrives (a progress line at most about ten times a second).  *cancel* (an\n"
           "object with ``is_set()``, such as a ``threading.Event``) ends the installer and\n"
           "everything it started while it has not begun to change the environment: the\n"
           "result is then ``ok`` False with return code 130 and nothing is queued or\n"
           "retried.  Once the installer has begun changing the environment it finishes.\n",
    .params = {arg("package", "str"), kwarg("upgrade", "bool", dflt(false)),
               kwarg("defer_on_lock", "bool", dflt(true)),
               kwarg("on_output", "Callable[[str], object] | None", dflt(nullptr)),
               kwarg("cancel", "Any", dflt(nullptr))},
    .returns = "PipResult",
    .impl = tvx::body<run_install>,
};

const FuncSpec kRunUninstall = {
    .name = "run_uninstall",
    .doc = "Uninstall *package*, deferring the removal when a file is locked.\n"
           "\n"
           "Leftover metadata and package files are cleaned up whatever the installer\n"
           "reports.  A success clears a queued uninstall of the package; a failure on\n"
           "a locked file is queued for the next start when *defer_on_lock* is true,\n"
           "replacing a queued install of the same package (a removal that cannot be\n"
           "queued fails with a message saying so, as does one refused because this\n"
           "account may not write the environment).\n"
           "Names are refused as by ``run_install``.  Call\n"
           "``purge_imported_package_modules`` first: modules are not dropped here.\n"
           "*on_output* and *cancel* as for ``run_install``; an uninstall changes the\n"
           "environment from its start, so only a cancel set before it stops it.\n",
    .params = {arg("package", "str"), kwarg("defer_on_lock", "bool", dflt(true)),
               kwarg("on_output", "Callable[[str], object] | None", dflt(nullptr)),
               kwarg("cancel", "Any", dflt(nullptr))},
    .returns = "PipResult",
    .impl = tvx::body<run_uninstall>,
};

const FuncSpec kRunUpgrade = {
    .name = "run_upgrade",
    .params = {arg("package", "str"),
               kwarg("on_output", "Callable[[str], object] | None", dflt(nullptr)),
               kwarg("cancel", "Any", dflt(nullptr))},
    .returns = "PipResult",
    .impl = tvx::body<run_upgrade>,
};

}  // namespace

void init_install_drivers(tvx::ModuleFrame &frame) {
    frame.def(kRunInstall);
    frame.def(kRunUninstall);
    frame.def(kRunUpgrade);
}

}  // namespace wheelwork
