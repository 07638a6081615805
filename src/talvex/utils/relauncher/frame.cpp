// The relauncher module: restart of the Qt application.
#include "runtime/module.hpp"

namespace relauncher {

namespace nb = nanobind;

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
    "modules locked until the process that loaded them is gone.\n";

void exec_module(nb::module_ m) {
    tvx::ModuleFrame frame(m);
    frame.set("__doc__", nb::str(kModuleDoc));
}

}  // namespace

}  // namespace relauncher

NB_MODULE(relauncher, m) { relauncher::exec_module(m); }
