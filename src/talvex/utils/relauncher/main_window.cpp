// Finding the running application's main window and closing it the way the tray
// icon's Quit command does, bypassing the user's on-close preference.
#include "common.hpp"

namespace relauncher {

namespace {

nb::object main_window_lookup(Call &c) {
    nb::handle app_context = c[0];

    nb::object ui_manager = nb::none();
    if (!app_context.is_none()) {
        try {
            ui_manager = app_context.attr("get_component")("ui_manager");
        } catch (nb::python_error &e) {
            if (!tvx::is_exception(e))
                throw;
            ui_manager = nb::none();
        }
    }
    nb::object holder = nb::none();
    if (!ui_manager.is_none()) {
        holder = optional_attr(ui_manager, "main_window_ui");
        if (!holder.is_valid())
            holder = nb::none();
    }
    nb::object window = nb::none();
    if (!holder.is_none()) {
        window = optional_attr(holder, "main_window");
        if (!window.is_valid())
            window = nb::none();
    }
    if (!window.is_none())
        return window;

    nb::object QtWidgets;
    try {
        QtWidgets = import_from(c, "PySide6", "QtWidgets");
    } catch (nb::python_error &e) {
        if (!tvx::is_exception(e))
            throw;
        return nb::none();
    }
    nb::object app = QtWidgets.attr("QApplication").attr("instance")();
    if (app.is_none())
        return nb::none();
    nb::str wanted("mainwindow");
    for (nb::handle widget : app.attr("topLevelWidgets")()) {
        if (!tvx::truthy(widget.attr("isWindow")()))
            continue;
        nb::object name = nb::handle(reinterpret_cast<PyObject *>(Py_TYPE(widget.ptr())))
                              .attr("__name__")
                              .attr("lower")();
        int found = PySequence_Contains(name.ptr(), wanted.ptr());
        if (found < 0)
            throw nb::python_error();
        if (found)
            return nb::borrow(widget);
    }
    return nb::none();
}

nb::object main_window(Call &c) { return c.call("_main_window", c[0]); }

nb::object close_main_window(Call &c) {
    nb::object window = c.call("_main_window", c[0]);
    if (window.is_none())
        return nb::bool_(true);
    try {
        window.attr("_force_quit_from_tray") = nb::bool_(true);
        window.attr("close")();
    } catch (nb::python_error &e) {
        if (!tvx::is_exception(e))
            throw;
        tvx::log_exc(c, e, "debug", "Could not close the main window");
        return nb::bool_(false);
    }
    try {
        return nb::bool_(!tvx::truthy(window.attr("isVisible")()));
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_RuntimeError))
            throw;
        return nb::bool_(true);  // the Qt object is gone with its close
    }
}

const FuncSpec kFunctions[] = {
    {
        .name = "_main_window",
        .doc = "Best-effort lookup of the main window: through the app context's UI manager,\n"
               "else the first top-level Qt window whose class name contains \"MainWindow\".\n",
        .params = {arg("app_context", "Any", dflt(nullptr))},
        .returns = "Optional[Any]",
        .impl = main_window_lookup,
    },
    {
        .name = "main_window",
        .doc = "Return the running application's main window, or None.\n"
               "\n"
               "For components that need a parent for a dialog but own no window.\n",
        .params = {arg("app_context", "Any", dflt(nullptr))},
        .returns = "Optional[Any]",
        .impl = main_window,
    },
    {
        .name = "_close_main_window",
        .doc = "Close the main window, bypassing the on-close preference (ask / tray).\n"
               "\n"
               "True when it closed or there was none; False when it refused, for example\n"
               "because a tab holds unsaved work.\n",
        .params = {arg("app_context", "Any", dflt(nullptr))},
        .returns = "bool",
        .impl = close_main_window,
    },
};

}  // namespace

std::span<const FuncSpec> main_window_functions() { return kFunctions; }

}  // namespace relauncher
