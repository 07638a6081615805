// Logging through a module's stdlib logger, looked up as `logger` in the module
// namespace at call time.  The format string and its arguments are passed
// separately, so handlers see record.msg and record.args as Python code makes them.
#pragma once

#include "runtime/call.hpp"
#include "runtime/errors.hpp"

namespace tvx {

// logger.<level>(fmt, *args)
template <typename... Args>
void log(const Call &c, const char *level, const char *fmt, Args &&...args) {
    c.g("logger").attr(level)(fmt, std::forward<Args>(args)...);
}

// logger.<level>(fmt, *args, exc_info=True) while `e` is the exception being
// handled, so the record carries its traceback.
template <typename... Args>
void log_exc(const Call &c, const nb::python_error &e, const char *level, const char *fmt,
             Args &&...args) {
    Handling handling(e);
    c.g("logger").attr(level)(fmt, std::forward<Args>(args)..., nb::arg("exc_info") = true);
}

// logger.exception(fmt, *args) while `e` is being handled.
template <typename... Args>
void log_exception(const Call &c, const nb::python_error &e, const char *fmt, Args &&...args) {
    Handling handling(e);
    c.g("logger").attr("exception")(fmt, std::forward<Args>(args)...);
}

}  // namespace tvx
