// Quitting the application, and restarting it: close the main window first (the
// way the tray icon's Quit command does, bypassing the user's on-close
// preference), then start the next instance detached, then quit the event loop.
#include "common.hpp"

namespace relauncher {

namespace {

nb::object quit_qt_application(Call &c) {
    nb::object QtWidgets = tvx::except_exception(
        [&] { return tvx::import_from(c, "PySide6", "QtWidgets"); }, [] { return nb::object(); });
    if (!QtWidgets.is_valid())
        return nb::none();
    nb::object app = QtWidgets.attr("QApplication").attr("instance")();
    if (!app.is_none())
        app.attr("quit")();
    return nb::none();
}

nb::object close_main_window(Call &c, nb::handle app_context) {
    nb::object window = c.call("_main_window", app_context);
    if (window.is_none())
        return nb::bool_(true);
    bool closed = tvx::except_exception_logged(
        c, "Could not close the main window",
        [&] {
            window.attr("_force_quit_from_tray") = nb::bool_(true);
            window.attr("close")();
            return true;
        },
        [] { return false; });
    if (!closed)
        return nb::bool_(false);
    try {
        return nb::bool_(!tvx::truthy(window.attr("isVisible")()));
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_RuntimeError))
            throw;
        return nb::bool_(true);  // the Qt object is gone with its close
    }
}

nb::object quit_application(Call &c, nb::handle app_context) {
    if (!tvx::truthy(c.call("_close_main_window", app_context))) {
        tvx::log(c, "warning", "The main window refused to close; not quitting");
        return nb::none();
    }
    c.call("_quit_qt_application");
    return nb::none();
}

nb::object restart_application(Call &c, nb::handle app_context) {
    auto [program, arguments] = tvx::unpack<2>(c.call("relaunch_command"));

    // A vetoed close must start nothing: a second instance would keep every
    // extension file of the first one locked.
    if (!tvx::truthy(c.call("_close_main_window", app_context))) {
        tvx::log(c, "warning", "Restart cancelled: the main window refused to close");
        return nb::bool_(false);
    }

    nb::object started = tvx::except_exception(
        [&] {
            return c.call("_start_detached", program, arguments,
                          "wait_for_pid"_a = c.attr("os", "getpid")());
        },
        [&] {
            tvx::log(c, "exception", "Could not start a new Talvex instance");
            return nb::object();
        });
    if (!started.is_valid())
        return nb::bool_(false);
    if (!tvx::truthy(started)) {
        tvx::log(c, "error", "Could not start a new Talvex instance: %s", arguments);
        return nb::bool_(false);
    }
    tvx::log(c, "info", "Started a new Talvex instance; quitting this one");
    c.call("_quit_qt_application");
    return nb::bool_(true);
}

const FuncSpec kQuitQtApplication = {
    .name = "_quit_qt_application",
    .doc = "Quit the Qt event loop, if there is a Qt application.\n",
    .params = {},
    .returns = "None",
    .impl = tvx::body<quit_qt_application>,
};

const FuncSpec kCloseMainWindow = {
    .name = "_close_main_window",
    .doc = "Close the main window, bypassing the on-close preference (ask / tray).\n"
           "\n"
           "True when it closed or there was none; False when it refused, for example\n"
           "because a tab holds unsaved work.\n",
    .params = {arg("app_context", "Any", dflt(nullptr))},
    .returns = "bool",
    .impl = tvx::body<close_main_window>,
};

const FuncSpec kQuitApplication = {
    .name = "quit_application",
    .doc = "Quit completely, ignoring the configured on-close behaviour.\n"
           "\n"
           "Nothing quits when the main window refuses to close.\n",
    .params = {arg("app_context", "Any", dflt(nullptr))},
    .returns = "None",
    .impl = tvx::body<quit_application>,
};

const FuncSpec kRestartApplication = {
    .name = "restart_application",
    .doc = "Start a new Talvex instance and quit this one.\n"
           "\n"
           "The main window is closed first; if it refuses, nothing is started.  The new\n"
           "instance is started detached and waits for this process to exit.  True means\n"
           "it was launched and this one is quitting; False means the user has to reopen\n"
           "Talvex by hand.\n",
    .params = {arg("app_context", "Any", dflt(nullptr))},
    .returns = "bool",
    .impl = tvx::body<restart_application>,
};

}  // namespace

void init_quit_restart(tvx::ModuleFrame &frame) {
    frame.def(kQuitQtApplication);
    frame.def(kCloseMainWindow);
    frame.def(kQuitApplication);
    frame.def(kRestartApplication);
}

}  // namespace relauncher
