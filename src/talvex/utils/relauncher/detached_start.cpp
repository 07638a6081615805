// Starting the next instance as a detached process that outlives this one,
// with this process's id handed over in its environment.
#include "common.hpp"

namespace relauncher {

namespace {

nb::object qt_start_detached(Call &c, nb::handle program, nb::handle arguments, nb::handle env) {
    nb::object QtCore = tvx::import_from(c, "PySide6", "QtCore");
    nb::object process = QtCore.attr("QProcess")();
    process.attr("setProgram")(program);
    process.attr("setArguments")(nb::list(arguments));
    if (tvx::truthy(env)) {
        nb::object environment = QtCore.attr("QProcessEnvironment").attr("systemEnvironment")();
        for (nb::handle item : env.attr("items")()) {
            auto [key, value] = tvx::unpack<2>(item);
            environment.attr("insert")(key, value);
        }
        process.attr("setProcessEnvironment")(environment);
    }
    return nb::bool_(tvx::truthy(process.attr("startDetached")()));
}

nb::object start_detached(Call &c, nb::handle program, nb::handle arguments, nb::handle wait_for_pid) {
    nb::object env = nb::none();
    if (!wait_for_pid.is_none()) {
        nb::dict entries;
        entries[c.g("PREVIOUS_PID_ENV")] = tvx::to_str(wait_for_pid);
        env = std::move(entries);
    }
    return c.call("_qt_start_detached", program, arguments, env);
}

const FuncSpec kQtStartDetached = {
    .name = "_qt_start_detached",
    .doc = "Start *program* with *arguments* as a detached process through Qt.\n"
           "\n"
           "*env* entries are added to this process's environment for the child; None\n"
           "or an empty dict leaves the inherited environment unchanged.  Returns\n"
           "whether Qt started the process.\n",
    .params = {arg("program", "str"), arg("arguments", "list[str]"),
               arg("env", "dict[str, str] | None")},
    .returns = "bool",
    .impl = tvx::body<qt_start_detached>,
};

const FuncSpec kStartDetached = {
    .name = "_start_detached",
    .doc = "Start *program* detached; with *wait_for_pid* the child finds that process id\n"
           "in ``PREVIOUS_PID_ENV`` and waits for it to exit.\n",
    .params = {arg("program", "str"), arg("arguments", "list[str]"),
               kwarg("wait_for_pid", "Optional[int]", dflt(nullptr))},
    .returns = "bool",
    .impl = tvx::body<start_detached>,
};

}  // namespace

void init_detached_start(tvx::ModuleFrame &frame) {
    frame.def(kQtStartDetached);
    frame.def(kStartDetached);
}

}  // namespace relauncher
