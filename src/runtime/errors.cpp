#include "runtime/errors.hpp"

#include <exception>
#include <new>

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

// Called inside a catch block at the boundary to the interpreter: the exception a
// body raised in Python terms is restored; any other C++ exception becomes the
// Python exception closest to it, so none ever unwinds into the interpreter.
void set_error_from_current() noexcept {
    try {
        throw;
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const nb::builtin_exception &b) {
        PyObject *type = PyExc_RuntimeError;
        switch (b.type()) {
        case nb::exception_type::stop_iteration: type = PyExc_StopIteration; break;
        case nb::exception_type::index_error: type = PyExc_IndexError; break;
        case nb::exception_type::key_error: type = PyExc_KeyError; break;
        case nb::exception_type::value_error: type = PyExc_ValueError; break;
        case nb::exception_type::type_error: type = PyExc_TypeError; break;
        case nb::exception_type::buffer_error: type = PyExc_BufferError; break;
        case nb::exception_type::import_error: type = PyExc_ImportError; break;
        case nb::exception_type::attribute_error: type = PyExc_AttributeError; break;
        default: break;
        }
        PyErr_SetString(type, b.what());
    } catch (const nb::cast_error &) {
        PyErr_SetString(PyExc_TypeError, "unexpected argument type");
    } catch (const std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (const std::exception &e) {
        PyErr_Format(PyExc_SystemError, "unexpected C++ exception: %s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception of unknown type");
    }
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
