// Choosing the installer (uv or pip) and building the argument vectors and the
// copy-paste command strings for installing and uninstalling one extension.
#include "common.hpp"

namespace wheelwork {

namespace {

bool uv_preferred(Call &c) { return tvx::truthy(c.call("prefer_uv")); }

void extend(nb::list &target, nb::handle items) {
    for (nb::handle item : items)
        target.append(item);
}

nb::object prefer_uv(Call &c) {
    // Looked up on every call: the user may install uv while Talvex runs.
    return nb::bool_(!c.g("shutil").attr("which")("uv").is_none());
}

nb::object installer_label(Call &c) { return nb::str(uv_preferred(c) ? "uv pip" : "pip"); }

nb::object uv_python_args(Call &c) {
    nb::list args;
    if (!uv_preferred(c))
        return args;
    nb::object exe = c.g("sys").attr("executable");
    if (!tvx::truthy(exe))
        exe = nb::str("");
    exe = tvx::to_str(exe).attr("strip")();
    if (!tvx::truthy(exe))
        return args;
    args.append("--python");
    args.append(exe);
    return args;
}

nb::object uninstall_argv(Call &c, nb::handle pkg) {
    nb::list argv;
    if (uv_preferred(c)) {
        for (const char *part : {"uv", "pip", "uninstall"})
            argv.append(part);
        extend(argv, c.call("_uv_python_args"));
        argv.append(pkg);
    } else {
        argv.append(c.g("sys").attr("executable"));
        for (const char *part : {"-m", "pip", "uninstall", "-y"})
            argv.append(part);
        argv.append(pkg);
    }
    return argv;
}

nb::object install_argv(Call &c, nb::handle pkg, nb::handle /*force_target*/) {
    nb::list argv;
    if (uv_preferred(c)) {
        for (const char *part : {"uv", "pip", "install"})
            argv.append(part);
        extend(argv, c.call("_uv_python_args"));
        argv.append("--upgrade");
        argv.append("--reinstall-package");
        argv.append(pkg);
        argv.append("--no-deps");
        argv.append("--no-cache");
        argv.append(pkg);
    } else {
        argv.append(c.g("sys").attr("executable"));
        for (const char *part :
             {"-m", "pip", "install", "--upgrade", "--force-reinstall", "--no-deps", "--no-cache-dir"})
            argv.append(part);
        argv.append(pkg);
    }
    return argv;
}

nb::object install_command(Call &c, nb::handle package, nb::handle /*upgrade*/) {
    nb::object file = c.call("_wheel_file_request", package);
    if (!file.is_none())
        return c.call("_wheel_install_command", file);
    nb::object bare = c.call("_package_name_only", package);
    return c.call("_display_command", c.call("_install_argv", bare));
}

nb::object uninstall_command(Call &c, nb::handle package) {
    nb::object bare = c.call("_package_name_only", package);
    return c.call("_display_command", c.call("_uninstall_argv", bare));
}

nb::object upgrade_command(Call &c, nb::handle package) {
    return c.call("install_command", package, "upgrade"_a = true);
}

nb::object is_locked_runtime_package(Call &c, nb::handle name) {
    nb::object norm = c.call("_normalize_dist_name", name);
    int found = PySequence_Contains(c.g("_LOCKED_RUNTIME_PACKAGES").ptr(), norm.ptr());
    if (found < 0)
        throw nb::python_error();
    if (found)
        return nb::bool_(true);
    // Every PySide / Shiboken distribution, whatever its suffix.
    return norm.attr("startswith")(nb::make_tuple("pyside", "shiboken"));
}

const FuncSpec kPreferUv = {
    .name = "prefer_uv",
    .doc = "True when the ``uv`` CLI is available on PATH.",
    .params = {},
    .returns = "bool",
    .impl = tvx::body<prefer_uv>,
};

const FuncSpec kInstallerLabel = {
    .name = "installer_label",
    .params = {},
    .returns = "str",
    .impl = tvx::body<installer_label>,
};

const FuncSpec kUvPythonArgs = {
    .name = "_uv_python_args",
    .doc = "``--python <interpreter>`` so ``uv pip`` targets the environment Talvex runs in.\n"
           "\n"
           "``uv pip`` only finds an environment that is activated (exported through\n"
           "``VIRTUAL_ENV``).  Starting a virtual environment's interpreter does not\n"
           "export it, so without this option uv refuses with::\n"
           "\n"
           "    No virtual environment found; run `uv venv` to create an environment,\n"
           "    or pass `--system` to install into a non-virtual environment\n"
           "\n"
           "Naming the running interpreter works for a virtual environment and for a\n"
           "system interpreter alike, so ``--system`` is never used and packages land\n"
           "in the environment Talvex imports extensions from.  Empty when uv is not\n"
           "on PATH or the interpreter path is unknown.\n",
    .params = {},
    .returns = "list[str]",
    .impl = tvx::body<uv_python_args>,
};

const FuncSpec kUninstallArgv = {
    .name = "_uninstall_argv",
    .doc = "Argv that uninstalls *pkg* from the environment Talvex is running in.\n"
           "\n"
           "uv is pointed at the running interpreter with ``--python``.  ``-y`` is\n"
           "passed to pip only: ``uv pip uninstall`` never prompts and warns that the\n"
           "flag \"has no effect\".\n",
    .params = {arg("pkg", "str")},
    .returns = "list[str]",
    .impl = tvx::body<uninstall_argv>,
};

const FuncSpec kInstallCommand = {
    .name = "install_command",
    .params = {arg("package", "str"), kwarg("upgrade", "bool", dflt(false))},
    .returns = "str",
    .impl = tvx::body<install_command>,
};

const FuncSpec kUninstallCommand = {
    .name = "uninstall_command",
    .params = {arg("package", "str")},
    .returns = "str",
    .impl = tvx::body<uninstall_command>,
};

const FuncSpec kUpgradeCommand = {
    .name = "upgrade_command",
    .params = {arg("package", "str")},
    .returns = "str",
    .impl = tvx::body<upgrade_command>,
};

const FuncSpec kIsLockedRuntimePackage = {
    .name = "_is_locked_runtime_package",
    .params = {arg("name", "str")},
    .returns = "bool",
    .impl = tvx::body<is_locked_runtime_package>,
};

const FuncSpec kInstallArgv = {
    .name = "_install_argv",
    .doc = "Argv that installs/reinstalls *only* ``pkg`` (``--no-deps``).\n"
           "\n"
           "Extensions declare Talvex itself and often PySide6 as dependencies.\n"
           "Letting the installer resolve those while the application runs would try\n"
           "to replace the running executable and Qt libraries and fail with\n"
           "access-denied or in-use errors, so dependencies are switched off here and\n"
           "the missing ones are installed separately afterwards.  Every install is a\n"
           "forced reinstall of exactly this one package without the installer's\n"
           "cache; uv is pointed at the running interpreter with ``--python``.\n"
           "*force_target* is accepted for retries and changes nothing, since the\n"
           "reinstall is always forced.\n",
    .params = {arg("pkg", "str"), kwarg("force_target", "bool", dflt(false))},
    .returns = "list[str]",
    .impl = tvx::body<install_argv>,
};

}  // namespace

void init_installer_choice(tvx::ModuleFrame &frame) {
    frame.def(kPreferUv);
    frame.def(kInstallerLabel);
    frame.def(kUvPythonArgs);
}

void init_uninstall_argv(tvx::ModuleFrame &frame) {
    frame.def(kUninstallArgv);
}

void init_installer_commands(tvx::ModuleFrame &frame) {
    frame.def(kInstallCommand);
    frame.def(kUninstallCommand);
    frame.def(kUpgradeCommand);
    frame.def(kIsLockedRuntimePackage);
}

void init_install_argv(tvx::ModuleFrame &frame) {
    frame.def(kInstallArgv);
}

}  // namespace wheelwork
