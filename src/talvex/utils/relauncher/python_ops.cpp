// Small pieces of Python statement semantics that the module's functions share.
#include "common.hpp"

namespace relauncher {

nb::object optional_attr(nb::handle obj, const char *name) {
    PyObject *value = nullptr;
    int found = PyObject_GetOptionalAttrString(obj.ptr(), name, &value);
    if (found < 0)
        throw nb::python_error();
    return found ? nb::steal(value) : nb::object();
}

nb::object import_from(const Call &c, const char *package, const char *name) {
    nb::list fromlist;
    fromlist.append(name);
    nb::object module = nb::steal(
        PyImport_ImportModuleLevel(package, c.globals().ptr(), nullptr, fromlist.ptr(), 0));
    if (!module.is_valid())
        throw nb::python_error();
    nb::object value = optional_attr(module, name);
    if (!value.is_valid()) {
        nb::object file = optional_attr(module, "__file__");
        nb::object where = file.is_valid() && !file.is_none() ? file : nb::str("unknown location");
        nb::object message = nb::str("cannot import name {!r} from {!r} ({})")
                                 .format(nb::str(name), nb::str(package), where);
        nb::object error = nb::handle(PyExc_ImportError)(message, "name"_a = package);
        PyErr_SetObject(PyExc_ImportError, error.ptr());
        throw nb::python_error();
    }
    return value;
}

std::pair<nb::object, nb::object> unpack_pair(nb::handle value) {
    nb::object iterator = nb::steal(PyObject_GetIter(value.ptr()));
    if (!iterator.is_valid()) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(value.ptr())->tp_iter == nullptr &&
            !PySequence_Check(value.ptr())) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(value.ptr())->tp_name);
        }
        throw nb::python_error();
    }
    nb::object items[2];
    for (int i = 0; i < 2; ++i) {
        items[i] = nb::steal(PyIter_Next(iterator.ptr()));
        if (!items[i].is_valid()) {
            if (PyErr_Occurred())
                throw nb::python_error();
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            throw nb::python_error();
        }
    }
    nb::object extra = nb::steal(PyIter_Next(iterator.ptr()));
    if (extra.is_valid())
        tvx::raise(PyExc_ValueError, "too many values to unpack (expected 2)");
    if (PyErr_Occurred())
        throw nb::python_error();
    return {std::move(items[0]), std::move(items[1])};
}

}  // namespace relauncher
