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
    // The import goes through the current builtins.__import__, as the statement's does.
    PyObject *import_func = nullptr;
    if (PyDict_GetItemStringRef(PyEval_GetBuiltins(), "__import__", &import_func) < 0)
        throw nb::python_error();
    if (import_func == nullptr)
        tvx::raise(PyExc_ImportError, "__import__ not found");
    nb::object importer = nb::steal(import_func);
    nb::object module = importer(package, c.globals(), nb::none(), nb::make_tuple(name), 0);

    nb::object value = optional_attr(module, name);
    if (value.is_valid())
        return value;
    // Not (yet) an attribute of the package: the submodule may still be registered
    // in sys.modules under its full name.
    nb::object package_name = optional_attr(module, "__name__");
    if (package_name.is_valid() && PyUnicode_Check(package_name.ptr())) {
        nb::object full = nb::str("{}.{}").format(package_name, nb::str(name));
        nb::object found = nb::steal(PyImport_GetModule(full.ptr()));
        if (found.is_valid())
            return found;
        if (PyErr_Occurred())
            throw nb::python_error();
    } else {
        package_name = nb::str("<unknown module name>");
    }
    nb::object path = nb::none();
    if (PyModule_Check(module.ptr())) {
        PyObject *file = PyModule_GetFilenameObject(module.ptr());
        if (file != nullptr)
            path = nb::steal(file);
        else if (PyErr_ExceptionMatches(PyExc_SystemError))
            PyErr_Clear();
        else
            throw nb::python_error();
    }
    nb::object message;
    if (PyUnicode_Check(path.ptr())) {
        message = nb::str("cannot import name {!r} from {!r} ({})")
                      .format(nb::str(name), package_name, path);
    } else {
        path = nb::none();
        message = nb::str("cannot import name {!r} from {!r} (unknown location)")
                      .format(nb::str(name), package_name);
    }
    nb::object error = nb::handle(PyExc_ImportError)(message, "name"_a = package_name, "path"_a = path);
    error.attr("name_from") = nb::str(name);
    PyErr_SetObject(PyExc_ImportError, error.ptr());
    throw nb::python_error();
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
