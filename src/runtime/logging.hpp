// Logging through a module's stdlib logger, looked up as `logger` in the module
// namespace at call time.  The format string and its arguments are passed
// separately, so handlers see record.msg and record.args as Python code makes them.
// A record names the native module's file and the function that logged, as the
// record of a Python module's function would (the line number is 0: the file has
// no Python lines).
#pragma once

#include "runtime/call.hpp"
#include "runtime/errors.hpp"

#include <utility>

namespace tvx {

namespace detail {
// logger.<level>(msg, *args[, exc_info=True]), the record made and handled as
// logging.Logger makes it, with the calling function's file and name.
void emit(const Call &c, const char *level, nb::handle msg, nb::handle args, bool exc_info);
}  // namespace detail

// logger.<level>(fmt, *args); "exception" logs at ERROR with the exception being
// handled, as logger.exception does.
template <typename... Args>
void log(const Call &c, const char *level, const char *fmt, Args &&...args) {
    detail::emit(c, level, nb::str(fmt), nb::make_tuple(std::forward<Args>(args)...), false);
}

// logger.<level>(fmt, *args, exc_info=True) while `e` is the exception being
// handled, so the record carries its traceback.
template <typename... Args>
void log_exc(const Call &c, const nb::python_error &e, const char *level, const char *fmt,
             Args &&...args) {
    Handling handling(e);
    detail::emit(c, level, nb::str(fmt), nb::make_tuple(std::forward<Args>(args)...), true);
}

// logger.exception(fmt, *args) while `e` is being handled.
template <typename... Args>
void log_exception(const Call &c, const nb::python_error &e, const char *fmt, Args &&...args) {
    Handling handling(e);
    detail::emit(c, "exception", nb::str(fmt), nb::make_tuple(std::forward<Args>(args)...), true);
}

}  // namespace tvx
