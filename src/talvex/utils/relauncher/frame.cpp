// The relauncher module: its docstring and every module-level name, bound in the
// order the module's statements define them.
#include "common.hpp"

namespace relauncher {

namespace {

constexpr const char *kModuleDoc =
    "Restart the Talvex application: start a fresh instance, then quit this one.\n"
    "\n"
    "A compiled extension module (``*.pyd`` / ``*.so``) cannot be unloaded from a running\n"
    "interpreter, so the clean state after an extension is uninstalled, and the actual\n"
    "deletion of files for a deferred removal, only exist in a new process.  The\n"
    "Extensions page therefore offers a restart: the main window is closed (it may veto),\n"
    "a new instance is started detached with this process id in its environment, and the\n"
    "event loop quits.  The new instance waits for this one to exit before it applies\n"
    "deferred extension changes, because Windows keeps the files of loaded extension\n"
    "modules locked until the process that loaded them is gone.\n"
    "\n"
    "The main window is closed before anything is started: if a tab with unsaved work\n"
    "vetoes the close, two instances would otherwise run side by side and the first\n"
    "would keep its extension files locked, so queued changes could never be applied.\n"
    "The close sets the window's ``_force_quit_from_tray`` flag, so that an on-close\n"
    "preference of \"tray\" does not merely hide the window.\n";

constexpr const char *kPublicNames[] = {
    "PREVIOUS_PID_ENV",
    "main_window",
    "relaunch_command",
    "restart_application",
    "quit_application",
    "wait_for_previous_instance",
};

void exec_module(nb::module_ m) {
    tvx::ModuleFrame frame(m);
    frame.set("__doc__", nb::str(kModuleDoc));
    frame.import("logging");
    frame.import("os");
    frame.import("sys");
    frame.import("time");
    frame.from_import("pathlib", {"Path"});
    frame.from_import("typing", {"Any", "Optional"});

    nb::dict ns = frame.ns();
    frame.set("logger", ns["logging"].attr("getLogger")(ns["__name__"]));
    frame.set("PREVIOUS_PID_ENV", nb::str("TALVEX_WAIT_FOR_PID"));

    frame.set_str_list("__all__", kPublicNames);
    init_relaunch_command(frame);
    init_detached_start(frame);
    init_previous_instance(frame);
    init_main_window(frame);
    init_quit_restart(frame);
}

}  // namespace

}  // namespace relauncher

NB_MODULE(relauncher, m) { relauncher::exec_module(m); }
