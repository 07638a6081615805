// Quitting the application, and restarting it: close the main window first,
// then start the next instance detached, then quit the event loop.
#include "common.hpp"

namespace relauncher {

namespace {

nb::object quit_qt_application(Call &c) {
    nb::object QtWidgets;
    try {
        QtWidgets = import_from(c, "PySide6", "QtWidgets");
    } catch (nb::python_error &e) {
        if (!tvx::is_exception(e))
            throw;
        return nb::none();
    }
    nb::object app = QtWidgets.attr("QApplication").attr("instance")();
    if (!app.is_none())
        app.attr("quit")();
    return nb::none();
}

nb::object quit_application(Call &c) {
    if (!tvx::truthy(c.call("_close_main_window", c[0]))) {
        tvx::log(c, "warning", "The main window refused to close; not quitting");
        return nb::none();
    }
    c.call("_quit_qt_application");
    return nb::none();
}

nb::object restart_application(Call &c) {
    nb::handle app_context = c[0];
    auto [program, arguments] = unpack_pair(c.call("relaunch_command"));

    // A vetoed close must start nothing: a second instance would keep every
    // extension file of the first one locked.
    if (!tvx::truthy(c.call("_close_main_window", app_context))) {
        tvx::log(c, "warning", "Restart cancelled: the main window refused to close");
        return nb::bool_(false);
    }

    nb::object started;
    try {
        started = c.call("_start_detached", program, arguments,
                         "wait_for_pid"_a = c.attr("os", "getpid")());
    } catch (nb::python_error &e) {
        if (!tvx::is_exception(e))
            throw;
        tvx::log_exception(c, e, "Could not start a new Talvex instance");
        return nb::bool_(false);
    }
    if (!tvx::truthy(started)) {
        tvx::log(c, "error", "Could not start a new Talvex instance: %s", arguments);
        return nb::bool_(false);
    }
    tvx::log(c, "info", "Started a new Talvex instance; quitting this one");
    c.call("_quit_qt_application");
    return nb::bool_(true);
}

const FuncSpec kFunctions[] = {
    {
        .name = "_quit_qt_application",
        .doc = "Quit the Qt event loop, if there is a Qt application.\n",
        .params = {},
        .returns = "None",
        .impl = quit_qt_application,
    },
    {
        .name = "quit_application",
        .doc = "Quit completely, ignoring the configured on-close behaviour.\n"
               "\n"
               "Nothing quits when the main window refuses to close.\n",
        .params = {arg("app_context", "Any", dflt(nullptr))},
        .returns = "None",
        .impl = quit_application,
    },
    {
        .name = "restart_application",
        .doc = "Start a new Talvex instance and quit this one.\n"
               "\n"
               "The main window is closed first; if it refuses, nothing is started.  The new\n"
               "instance is started detached and waits for this process to exit.  True means\n"
               "it was launched and this one is quitting; False means the user has to reopen\n"
               "Talvex by hand.\n",
        .params = {arg("app_context", "Any", dflt(nullptr))},
        .returns = "bool",
        .impl = restart_application,
    },
};

}  // namespace

std::span<const FuncSpec> quit_restart_functions() { return kFunctions; }

}  // namespace relauncher
