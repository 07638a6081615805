#include "runtime/module.hpp"

namespace tvx {

ModuleFrame::ModuleFrame(nb::module_ module)
    : module_(module), ns_(nb::borrow<nb::dict>(PyModule_GetDict(module.ptr()))),
      type_(create_function_type(PyModule_GetName(module.ptr()))) {
    // A Python module has __builtins__ from its first statement on.
    if (!ns_.contains("__builtins__"))
        ns_["__builtins__"] = nb::borrow(PyEval_GetBuiltins());
}

void ModuleFrame::import(const char *dotted) {
    nb::module_::import_(dotted);
    std::string top(dotted);
    top = top.substr(0, top.find('.'));
    ns_[top.c_str()] = nb::module_::import_(top.c_str());
}

void ModuleFrame::from_import(const char *module, std::initializer_list<const char *> names) {
    nb::list fromlist;
    for (const char *n : names)
        fromlist.append(n);
    nb::object mod = nb::steal(
        PyImport_ImportModuleLevel(module, ns_.ptr(), nullptr, fromlist.ptr(), 0));
    if (!mod.is_valid())
        throw nb::python_error();
    for (const char *n : names)
        ns_[n] = mod.attr(n);
}

void ModuleFrame::set(const char *name, nb::handle value) { ns_[name] = value; }

nb::object ModuleFrame::def(const FuncSpec &spec) {
    nb::object kept;
    if (!spec.keeps.empty()) {
        nb::list values;
        for (const char *name : spec.keeps)
            values.append(ns_[name]);
        kept = nb::tuple(values);
    }
    nb::object fn = make_function(type_, spec, ns_, nb::handle(), kept);
    ns_[spec.name] = fn;
    return fn;
}

void ModuleFrame::set_str_list(const char *name, std::span<const char *const> items) {
    nb::list list;
    for (const char *item : items)
        list.append(item);
    ns_[name] = list;
}

nb::object make_nested(const Call &enclosing, const FuncSpec &spec, nb::tuple closure) {
    return make_function(nb::handle(reinterpret_cast<PyObject *>(Py_TYPE(enclosing.function().ptr()))),
                         spec, enclosing.globals(), closure);
}

bool truthy(nb::handle h) {
    int r = PyObject_IsTrue(h.ptr());
    if (r < 0)
        throw nb::python_error();
    return r != 0;
}

}  // namespace tvx
