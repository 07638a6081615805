// Log records of native functions, made as logging.Logger makes a Python
// function's: the level checked with isEnabledFor (disabled loggers,
// logging.disable), the record made by makeRecord, then handed to handle()
// (filters, handlers, propagation).  Only the caller's place differs: a native
// function has no Python frame, so the record names the module's file, the
// function's own name and line 0, where findCaller would name whatever Python
// code called it.
#include "runtime/logging.hpp"

#include "runtime/binding.hpp"
#include "runtime/module.hpp"

#include <cstring>

namespace tvx::detail {

namespace {

struct Level {
    const char *method;  // the Logger method of the level
    const char *name;    // the logging constant
};

constexpr Level kLevels[] = {
    {"debug", "DEBUG"},     {"info", "INFO"},          {"warning", "WARNING"},
    {"error", "ERROR"},     {"exception", "ERROR"},    {"critical", "CRITICAL"},
};

// Whether `logger` logs `method` as logging.Logger does: a Logger whose class
// keeps the stdlib's level method (and error(), which exception() calls) and
// _log.  Anything else (a stand-in, a class that overrides them) is called as
// it is.
bool plain_logger(nb::handle logging, nb::handle logger, const char *method) {
    nb::object base = logging.attr("Logger");
    if (!nb::isinstance(logger, base))
        return false;
    nb::handle cls = nb::handle(reinterpret_cast<PyObject *>(Py_TYPE(logger.ptr())));
    for (const char *name : {method, "error", "_log"})
        if (!cls.attr(name).is(base.attr(name)))
            return false;
    return true;
}

}  // namespace

void emit(const Call &c, const char *level, nb::handle msg, nb::handle args, bool exc_info) {
    nb::object logger = c.g("logger");
    bool exception = std::strcmp(level, "exception") == 0;
    nb::object logging = nb::module_::import_("logging");
    const Level *found = nullptr;
    for (const Level &l : kLevels)
        if (std::strcmp(l.method, level) == 0)
            found = &l;
    if (!found || !plain_logger(logging, logger, level)) {
        nb::object call_args = nb::steal(PySequence_Concat(nb::make_tuple(msg).ptr(), args.ptr()));
        if (!call_args.is_valid())
            throw nb::python_error();
        nb::object method = logger.attr(level);
        if (exc_info && !exception)
            method(*call_args, nb::arg("exc_info") = true);
        else
            method(*call_args);
        return;
    }
    nb::object levelno = logging.attr(found->name);
    if (!truthy(logger.attr("isEnabledFor")(levelno)))
        return;
    nb::object info = nb::none();
    if (exc_info || exception)
        info = nb::module_::import_("sys").attr("exc_info")();
    nb::object pathname = nb::str("(unknown file)");
    PyObject *file = nullptr;
    if (PyDict_GetItemStringRef(c.globals().ptr(), "__file__", &file) < 0)
        throw nb::python_error();
    if (file)
        pathname = nb::steal(file);
    auto *function = reinterpret_cast<FunctionObject *>(c.function().ptr());
    nb::object record =
        logger.attr("makeRecord")(logger.attr("name"), levelno, pathname, 0, msg, args, info,
                                  function->spec->name, nb::none(), nb::none());
    logger.attr("handle")(record);
}

}  // namespace tvx::detail
