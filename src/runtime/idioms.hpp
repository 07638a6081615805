// Python statements and expressions that module code writes in C++, each written
// once: an optional attribute, tuple unpacking, `from x import y` at call time, the
// `with` statement and the `except Exception:` guard.
#pragma once

#include "runtime/call.hpp"
#include "runtime/errors.hpp"
#include "runtime/logging.hpp"

#include <array>
#include <cstddef>
#include <type_traits>
#include <utility>

namespace tvx {

// getattr(obj, name) that tells "missing" apart: an invalid object when the
// attribute does not exist; any error other than AttributeError propagates.
nb::object optional_attr(nb::handle obj, const char *name);

// getattr(obj, name, fallback).
inline nb::object attr_or(nb::handle obj, const char *name, nb::handle fallback) {
    nb::object value = optional_attr(obj, name);
    return value.is_valid() ? value : nb::borrow(fallback);
}

// `from module import name`, run now in the calling function's module namespace
// through the current builtins.__import__, with the statement's ImportError when
// the name is not there.
nb::object import_from(const Call &c, const char *module, const char *name);

// `a, b, ... = value` for `n` targets, with the interpreter's errors for a wrong
// count or a value that cannot be iterated.
void unpack_into(nb::handle value, nb::object *targets, std::size_t n);

template <std::size_t N>
std::array<nb::object, N> unpack(nb::handle value) {
    std::array<nb::object, N> items;
    unpack_into(value, items.data(), N);
    return items;
}

// `first, second = value`.
inline std::pair<nb::object, nb::object> unpack_pair(nb::handle value) {
    auto [first, second] = unpack<2>(value);
    return {std::move(first), std::move(second)};
}

// Inside a catch block: the exception being handled as the Python exception it
// becomes at the boundary (a python_error as it is; bad_alloc as MemoryError; any
// other C++ exception as SystemError naming it).
nb::python_error current_as_python_error();

namespace detail {
struct ContextManager {
    nb::object exit;     // type(manager).__exit__, bound to the manager
    nb::object entered;  // what __enter__ returned
};
ContextManager enter_context(nb::handle manager);
// Calls __exit__ with `e`; true when it suppresses the exception.
bool exit_with_error(const ContextManager &cm, const nb::python_error &e);
void exit_cleanly(const ContextManager &cm);
}  // namespace detail

// `with manager as value: body(value)`.  __exit__ is always called: with
// (None, None, None) when the body completes, else with the exception the body
// raised (a C++ exception as the Python exception it becomes), which propagates
// unless __exit__ returns a true value.  Returns true when the body completed,
// false when __exit__ suppressed its exception.
template <typename Body>
bool with(nb::handle manager, Body &&body) {
    detail::ContextManager cm = detail::enter_context(manager);
    bool suppressed = false;
    try {
        body(nb::handle(cm.entered));
    } catch (...) {
        nb::python_error e = current_as_python_error();
        if (!detail::exit_with_error(cm, e))
            throw e;
        suppressed = true;
    }
    if (suppressed)
        return false;
    detail::exit_cleanly(cm);
    return true;
}

// try: return body()
// except Exception [as e]: return handler([e])
// `handler` runs while the exception is being handled (sys.exc_info() reports
// it) and may take the caught `const nb::python_error &`; BaseExceptions that
// are not Exceptions propagate.
template <typename Body, typename Handler>
auto except_exception(Body &&body, Handler &&handler) -> decltype(body()) {
    try {
        return body();
    } catch (nb::python_error &e) {
        if (!is_exception(e))
            throw;
        Handling handling(e);
        if constexpr (std::is_invocable_v<Handler, const nb::python_error &>)
            return handler(static_cast<const nb::python_error &>(e));
        else
            return handler();
    }
}

// try: return body() finally: cleanup() -- what cleanup raises (a
// KeyboardInterrupt arriving meanwhile) propagates in the body's place, with
// the body's exception as its context.
template <typename Body, typename Cleanup>
nb::object finally(Body &&body, Cleanup &&cleanup) {
    nb::object value;
    try {
        value = body();
    } catch (nb::python_error &e) {
        Handling handling(e);
        cleanup();
        throw;
    } catch (...) {
        cleanup();
        throw;
    }
    cleanup();
    return value;
}

// try: return body()
// except Exception: logger.debug(message, *args, exc_info=True); return handler()
template <typename Body, typename Handler, typename... Args>
auto except_exception_logged(const Call &c, const char *message, Body &&body, Handler &&handler,
                             Args &&...args) -> decltype(body()) {
    try {
        return body();
    } catch (nb::python_error &e) {
        if (!is_exception(e))
            throw;
        log_exc(c, e, "debug", message, std::forward<Args>(args)...);
        Handling handling(e);
        return handler();
    }
}

}  // namespace tvx
