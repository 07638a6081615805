// Finding the running application's main window: through the host's UI manager,
// else among Qt's top-level windows.
#include "common.hpp"

namespace relauncher {

namespace {

nb::object main_window_lookup(Call &c, nb::handle app_context) {
    nb::object ui_manager = nb::none();
    if (!app_context.is_none()) {
        ui_manager = tvx::except_exception(
            [&] { return app_context.attr("get_component")("ui_manager"); },
            [] { return nb::object(nb::none()); });
    }
    nb::object holder = nb::none();
    if (!ui_manager.is_none())
        holder = tvx::attr_or(ui_manager, "main_window_ui", nb::none());
    nb::object window = nb::none();
    if (!holder.is_none())
        window = tvx::attr_or(holder, "main_window", nb::none());
    if (!window.is_none())
        return window;

    nb::object QtWidgets = tvx::except_exception(
        [&] { return tvx::import_from(c, "PySide6", "QtWidgets"); }, [] { return nb::object(); });
    if (!QtWidgets.is_valid())
        return nb::none();
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

nb::object main_window(Call &c, nb::handle app_context) { return c.call("_main_window", app_context); }

const FuncSpec kMainWindowLookup = {
    .name = "_main_window",
    .doc = "Best-effort lookup of the main window: through the app context's UI manager,\n"
           "else the first top-level Qt window whose class name contains \"MainWindow\".\n",
    .params = {arg("app_context", "Any", dflt(nullptr))},
    .returns = "Optional[Any]",
    .impl = tvx::body<main_window_lookup>,
};

const FuncSpec kMainWindow = {
    .name = "main_window",
    .doc = "Return the running application's main window, or None.\n"
           "\n"
           "For components that need a parent for a dialog but own no window.\n",
    .params = {arg("app_context", "Any", dflt(nullptr))},
    .returns = "Optional[Any]",
    .impl = tvx::body<main_window>,
};

}  // namespace

void init_main_window(tvx::ModuleFrame &frame) {
    frame.def(kMainWindowLookup);
    frame.def(kMainWindow);
}

}  // namespace relauncher
