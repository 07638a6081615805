// Raising and handling Python exceptions from native code.
#pragma once

#include <nanobind/nanobind.h>

namespace tvx {

namespace nb = nanobind;

// Raises `type(message)` as a Python exception (throws nb::python_error).
[[noreturn]] void raise(PyObject *type, const char *message);
[[noreturn]] void raise(PyObject *type, nb::handle message);

// Raises `type(message) from cause`.
[[noreturn]] void raise_from(PyObject *type, nb::handle message, const nb::python_error &cause);

// The object, or None for a null handle (an exception raised from native code
// has no traceback yet).
inline nb::object or_none(nb::handle h) { return h.is_valid() ? nb::borrow(h) : nb::none(); }

// Called inside a catch block: sets the interpreter's error from the exception
// being handled.  A python_error is restored; any other C++ exception becomes the
// Python exception closest to it (bad_alloc: MemoryError; others: SystemError).
void set_error_from_current() noexcept;

// Throws nb::python_error when the interpreter has an exception set.
void throw_if_error();

// True when the caught exception derives from Exception (an `except Exception:`
// clause catches it); KeyboardInterrupt, SystemExit and GeneratorExit do not.
inline bool is_exception(const nb::python_error &e) { return e.matches(PyExc_Exception); }

// While an instance lives, `e` is the exception being handled, as inside a Python
// `except` block: sys.exc_info() reports it (so logging's exc_info=True attaches
// its traceback) and exceptions raised meanwhile get it as their __context__.
class Handling {
public:
    explicit Handling(const nb::python_error &e);
    ~Handling();
    Handling(const Handling &) = delete;
    Handling &operator=(const Handling &) = delete;

private:
    nb::object previous_;
};

}  // namespace tvx
