// The wheelwork module: its docstring and every module-level name, bound in the
// order the module's statements define them.
#include "common.hpp"


namespace wheelwork {

namespace {

constexpr const char *kModuleDoc =
    "Install / uninstall Talvex extensions via ``uv pip`` or ``pip`` (PyPI).\n"
    "\n"
    "All published extensions are expected to be on PyPI (``talvex-ext-*`` wheels).\n"
    "Prefer ``uv`` when it is on ``PATH``; otherwise fall back to\n"
    "``python -m pip``.\n";

constexpr const char *kPublicNames[] = {
    "PipResult",
    "prefer_uv",
    "installer_label",
    "install_command",
    "uninstall_command",
    "upgrade_command",
    "run_install",
    "run_uninstall",
    "run_upgrade",
    "pypi_package_for_info",
    "pypi_package_for_available",
    "parse_pypi_project_from_url",
    "list_pypi_talvex_extensions",
    "display_name_from_pypi_package",
    "sanitize_cli_text",
    "purge_imported_package_modules",
    "normalize_pypi_name",
    "list_installed_talvex_ext_packages",
    "is_user_visible_extension_package",
    "cleanup_broken_package_install",
    "pending_packages",
    "pending_operations",
    "queue_pending_op",
    "clear_pending_op",
    "process_pending_operations",
};

nb::object frozenset_of(std::initializer_list<const char *> items) {
    nb::list l;
    for (const char *s : items)
        l.append(s);
    return nb::steal(PyFrozenSet_New(l.ptr()));
}

void exec_module(nb::module_ m) {
    tvx::ModuleFrame frame(m);
    frame.set("__doc__", nb::str(kModuleDoc));
    frame.import("importlib.metadata");
    frame.import("json");
    frame.import("logging");
    frame.import("os");
    frame.import("re");
    frame.import("shutil");
    frame.import("subprocess");
    frame.import("sys");
    frame.import("time");
    frame.from_import("collections.abc", {"Callable", "Sequence"});
    frame.from_import("dataclasses", {"dataclass"});
    frame.from_import("pathlib", {"Path"});
    frame.from_import("typing", {"Any", "List", "Optional", "Tuple"});

    nb::dict ns = frame.ns();
    frame.set("logger", ns["logging"].attr("getLogger")(ns["__name__"]));

    frame.set_str_list("__all__", kPublicNames);

    nb::object re = ns["re"];
    nb::str hosts = nb::str("(?:{}|{})").format(re.attr("escape")(kIndexHost),
                                                 re.attr("escape")(kTestIndexHost));
    frame.set("_PYPI_PROJECT_RE",
              re.attr("compile")(hosts + nb::str("/project/([^/#?\\s]+)"), re.attr("IGNORECASE")));
    // An operating-system command ends at its first terminator: a greedy body
    // would run from one ESC ] to the last ESC-backslash and swallow the text between.
    frame.set("_ANSI_ESCAPE_RE", re.attr("compile")(kAnsiEscapePattern));
    frame.set("_LOCKED_RUNTIME_PACKAGES",
              frozenset_of({"talvex", "pyside6", "pyside6-addons", "pyside6-essentials",
                            "shiboken6", "shiboken6-generator", "numpy"}));
    frame.set("PipResult", build_pip_result_class(frame));

    init_cli_text(frame);
    init_module_purge(frame);
    init_installer_choice(frame);
    init_command_display(frame);
    init_uninstall_argv(frame);
    frame.set("_DEFERRED_OPS", nb::make_tuple("uninstall", "install"));
    nb::dict verbs;
    verbs["uninstall"] = "removed";
    verbs["install"] = "updated";
    frame.set("_OP_VERBS", verbs);
    frame.set("_RETRY_SECONDS", nb::float_(15.0));
    frame.set("_RETRY_INTERVAL", nb::float_(1.0));
    frame.set("_PENDING_LOCK_SECONDS", nb::float_(10.0));
    frame.set("_REPLAY_SECONDS", nb::float_(30.0));
    frame.set("_MAX_FAILED_STARTS", nb::int_(3));
    // The time.monotonic() by which an installer run must end, or None: set while
    // the start-up replay runs, so that its budget bounds each run.
    frame.set("_RUN_DEADLINE", nb::module_::import_("contextvars")
                                   .attr("ContextVar")(nb::str("{}._RUN_DEADLINE").format(ns["__name__"]),
                                                       "default"_a = nb::none()));
    init_pending_ops(frame);
    init_deferred_replay(frame);
    init_broken_install_cleanup(frame);
    init_installer_commands(frame);
    init_missing_deps(frame);
    init_installer_runner(frame);
    init_install_argv(frame);
    init_installer_failures(frame);
    init_wheel_file(frame);
    init_install_drivers(frame);
    init_package_names(frame);
    frame.set("_HIDDEN_EXTENSION_PACKAGES",
              frozenset_of({"talvex-extension-sdk", "talvex-ext-sdk"}));
    init_extension_packages(frame);
    init_index_client(frame);
    init_extension_catalog(frame);
    init_credential_redaction(frame);
    init_network_settings(frame);
    init_installer_environment(frame);
    init_index_catalog(frame);
}
}  // namespace

}  // namespace wheelwork

NB_MODULE(wheelwork, m) { wheelwork::exec_module(m); }
