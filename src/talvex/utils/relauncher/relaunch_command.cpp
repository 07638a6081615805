// The command that starts this application again: the interpreter (the
// console-less one on Windows) running the package as the main module, or the
// frozen build's own executable, followed by this process's arguments.
#include "common.hpp"

namespace relauncher {

namespace {

nb::object gui_executable(Call &c, nb::handle executable) {
    if (!c.attr("os", "name").equal(nb::str("nt")))
        return nb::borrow(executable);
    nb::object candidate = c.call("Path", executable).attr("with_name")("pythonw.exe");
    if (tvx::truthy(candidate.attr("is_file")()))
        return tvx::to_str(candidate);
    return nb::borrow(executable);
}

nb::object relaunch_command(Call &c) {
    nb::object sys = c.g("sys");
    nb::object raw = sys.attr("executable");
    if (!tvx::truthy(raw))
        raw = nb::str("");
    nb::object executable = tvx::to_str(raw).attr("strip")();
    if (!tvx::truthy(executable))
        executable = nb::str("python");

    nb::list arguments;
    nb::object argv = sys.attr("argv");
    for (nb::handle item : argv[nb::slice(nb::int_(1), nb::none(), nb::none())])
        arguments.append(tvx::to_str(item));

    nb::object frozen = tvx::optional_attr(sys, "frozen");
    if (frozen.is_valid() && tvx::truthy(frozen))
        return nb::make_tuple(executable, arguments);

    nb::object program = c.call("_gui_executable", executable);
    nb::list full;
    full.append("-m");
    full.append("talvex");
    for (nb::handle item : arguments)
        full.append(item);
    return nb::make_tuple(program, full);
}

const FuncSpec kGuiExecutable = {
    .name = "_gui_executable",
    .doc = "On Windows prefer ``pythonw.exe`` beside *executable*, so the new instance\n"
           "does not open a console window that the user never asked for.\n",
    .params = {arg("executable", "str")},
    .returns = "str",
    .impl = tvx::body<gui_executable>,
};

const FuncSpec kRelaunchCommand = {
    .name = "relaunch_command",
    .doc = "Return ``(program, arguments)`` that start this application again.\n"
           "\n"
           "The arguments this process was started with are passed on, so that a file\n"
           "given on the command line is reopened.  A frozen build is its own\n"
           "executable; otherwise the interpreter runs ``-m talvex``.\n",
    .params = {},
    .returns = "tuple[str, list[str]]",
    .impl = tvx::body<relaunch_command>,
};

}  // namespace

void init_relaunch_command(tvx::ModuleFrame &frame) {
    frame.def(kGuiExecutable);
    frame.def(kRelaunchCommand);
}

}  // namespace relauncher
