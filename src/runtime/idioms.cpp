#include "runtime/idioms.hpp"
#include "runtime/module.hpp"

namespace tvx {

using namespace nb::literals;

nb::object optional_attr(nb::handle obj, const char *name) {
    PyObject *value = nullptr;
    int found = PyObject_GetOptionalAttrString(obj.ptr(), name, &value);
    if (found < 0)
        throw nb::python_error();
    return found ? nb::steal(value) : nb::object();
}

nb::object import_from(const Call &c, const char *module, const char *name) {
    // The import goes through the current builtins.__import__, as the statement's does.
    PyObject *import_func = nullptr;
    if (PyDict_GetItemStringRef(PyEval_GetBuiltins(), "__import__", &import_func) < 0)
        throw nb::python_error();
    if (import_func == nullptr)
        raise(PyExc_ImportError, "__import__ not found");
    nb::object importer = nb::steal(import_func);
    nb::object imported = importer(module, c.globals(), nb::none(), nb::make_tuple(name), 0);

    nb::object value = optional_attr(imported, name);
    if (value.is_valid())
        return value;
    // Not (yet) an attribute of the package: the submodule may still be registered
    // in sys.modules under its full name.
    nb::object package_name = optional_attr(imported, "__name__");
    if (package_name.is_valid() && PyUnicode_Check(package_name.ptr())) {
        nb::object full = nb::str("{}.{}").format(package_name, nb::str(name));
        nb::object found = nb::steal(PyImport_GetModule(full.ptr()));
        if (found.is_valid())
            return found;
        throw_if_error();
    } else {
        package_name = nb::str("<unknown module name>");
    }
    nb::object path = nb::none();
    if (PyModule_Check(imported.ptr())) {
        PyObject *file = PyModule_GetFilenameObject(imported.ptr());
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

void unpack_into(nb::handle value, nb::object *targets, std::size_t n) {
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
    for (std::size_t i = 0; i < n; ++i) {
        targets[i] = nb::steal(PyIter_Next(iterator.ptr()));
        if (!targets[i].is_valid()) {
            throw_if_error();
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zu)", n, i);
            throw nb::python_error();
        }
    }
    nb::object extra = nb::steal(PyIter_Next(iterator.ptr()));
    if (extra.is_valid()) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zu)", n);
        throw nb::python_error();
    }
    throw_if_error();
}

nb::python_error current_as_python_error() {
    set_error_from_current();
    return nb::python_error();
}

namespace detail {

namespace {

// The special method looked up on the type, bound to `manager`, as the
// statement does; an invalid object when the type lacks it.
nb::object special_method(nb::handle manager, const char *name) {
    nb::handle type(reinterpret_cast<PyObject *>(Py_TYPE(manager.ptr())));
    nb::object method = optional_attr(type, name);
    if (!method.is_valid())
        return method;
    descrgetfunc get = Py_TYPE(method.ptr())->tp_descr_get;
    if (get == nullptr)
        return method;
    nb::object bound = nb::steal(get(method.ptr(), manager.ptr(), type.ptr()));
    if (!bound.is_valid())
        throw nb::python_error();
    return bound;
}

[[noreturn]] void not_a_context_manager(nb::handle manager, const char *missing) {
    PyErr_Format(PyExc_TypeError,
                 "'%.200s' object does not support the context manager protocol%s",
                 Py_TYPE(manager.ptr())->tp_name, missing);
    throw nb::python_error();
}

}  // namespace

ContextManager enter_context(nb::handle manager) {
    nb::object enter = special_method(manager, "__enter__");
    if (!enter.is_valid())
        not_a_context_manager(manager, "");
    nb::object exit = special_method(manager, "__exit__");
    if (!exit.is_valid())
        not_a_context_manager(manager, " (missed __exit__ method)");
    nb::object entered = enter();
    return {std::move(exit), std::move(entered)};
}

bool exit_with_error(const ContextManager &cm, const nb::python_error &e) {
    Handling handling(e);  // an error raised by __exit__ gets this one as its __context__
    nb::object value = nb::borrow(e.value());
    nb::object type = nb::borrow(reinterpret_cast<PyObject *>(Py_TYPE(value.ptr())));
    nb::object traceback = or_none(e.traceback());
    return truthy(cm.exit(type, value, traceback));
}

void exit_cleanly(const ContextManager &cm) { cm.exit(nb::none(), nb::none(), nb::none()); }

}  // namespace detail

}  // namespace tvx
