#include "runtime/errors.hpp"

namespace tvx {

void raise(PyObject *type, const char *message) {
    PyErr_SetString(type, message);
    throw nb::python_error();
}

void raise(PyObject *type, nb::handle message) {
    PyErr_SetObject(type, message.ptr());
    throw nb::python_error();
}

void raise_from(PyObject *type, nb::handle message, const nb::python_error &cause) {
    Handling handling(cause);  // sets __context__ as `raise ... from` inside `except` would
    nb::object exc = nb::handle(type)(message);
    PyException_SetContext(exc.ptr(), nb::borrow(cause.value()).release().ptr());
    PyException_SetCause(exc.ptr(), nb::borrow(cause.value()).release().ptr());
    PyErr_SetRaisedException(exc.release().ptr());
    throw nb::python_error();
}

void throw_if_error() {
    if (PyErr_Occurred())
        throw nb::python_error();
}

Handling::Handling(const nb::python_error &e)
    : previous_(nb::steal(PyErr_GetHandledException())) {
    PyErr_SetHandledException(e.value().ptr());
}

Handling::~Handling() { PyErr_SetHandledException(previous_.ptr()); }

}  // namespace tvx
