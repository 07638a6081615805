// The function type: a heap type per module whose instances carry the attributes
// of a Python function and are called through vectorcall.
#include "runtime/binding.hpp"
#include "runtime/function.hpp"

#include <structmember.h>

#include <cstddef>

namespace tvx {

using detail::FunctionObject;

namespace {

// Every slot below is called by the interpreter directly: none may throw.

FunctionObject *as_fn(PyObject *self) { return reinterpret_cast<FunctionObject *>(self); }

int fn_traverse(PyObject *self, visitproc visit, void *arg) noexcept {
    FunctionObject *f = as_fn(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->globals);
    Py_VISIT(f->closure);
    Py_VISIT(f->kept);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->annotations);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->code);
    Py_VISIT(f->param_names);
    Py_VISIT(f->dict);
    return 0;
}

int fn_clear(PyObject *self) noexcept {
    FunctionObject *f = as_fn(self);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->closure);
    Py_CLEAR(f->kept);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->code);
    Py_CLEAR(f->param_names);
    Py_CLEAR(f->dict);
    return 0;
}

void fn_dealloc(PyObject *self) noexcept {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_fn(self)->weakreflist)
        PyObject_ClearWeakRefs(self);
    fn_clear(self);
    detail::free_name_cache(as_fn(self));
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject *fn_repr(PyObject *self) noexcept {
    return PyUnicode_FromFormat("<function %U at %p>", as_fn(self)->qualname, self);
}

PyObject *fn_descr_get(PyObject *self, PyObject *obj, PyObject *) noexcept {
    if (obj == nullptr || obj == Py_None)
        return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject *fn_reduce(PyObject *self, PyObject *) noexcept { return Py_NewRef(as_fn(self)->qualname); }

// --- attribute access -------------------------------------------------------

PyObject *get_slot(PyObject *value) noexcept { return Py_NewRef(value ? value : Py_None); }

int set_str(PyObject **slot, PyObject *value, const char *what) noexcept {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_XSETREF(*slot, Py_NewRef(value));
    return 0;
}

PyObject *get_name(PyObject *self, void *) noexcept { return get_slot(as_fn(self)->name); }
int set_name(PyObject *self, PyObject *v, void *) noexcept { return set_str(&as_fn(self)->name, v, "__name__"); }
PyObject *get_qualname(PyObject *self, void *) noexcept { return get_slot(as_fn(self)->qualname); }
int set_qualname(PyObject *self, PyObject *v, void *) noexcept {
    return set_str(&as_fn(self)->qualname, v, "__qualname__");
}

PyObject *get_module(PyObject *self, void *) noexcept { return get_slot(as_fn(self)->module); }
int set_module(PyObject *self, PyObject *v, void *) noexcept {
    Py_XSETREF(as_fn(self)->module, Py_XNewRef(v));
    return 0;
}
PyObject *get_doc(PyObject *self, void *) noexcept { return get_slot(as_fn(self)->doc); }
int set_doc(PyObject *self, PyObject *v, void *) noexcept {
    Py_XSETREF(as_fn(self)->doc, Py_XNewRef(v));
    return 0;
}

PyObject *get_annotations(PyObject *self, void *) noexcept {
    FunctionObject *f = as_fn(self);
    if (f->annotations == nullptr && (f->annotations = PyDict_New()) == nullptr)
        return nullptr;
    return Py_NewRef(f->annotations);
}
int set_annotations(PyObject *self, PyObject *v, void *) noexcept {
    if (v == Py_None)
        v = nullptr;
    if (v != nullptr && !PyDict_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_fn(self)->annotations, Py_XNewRef(v));
    return 0;
}

PyObject *get_defaults(PyObject *self, void *) noexcept { return get_slot(as_fn(self)->defaults); }
int set_defaults(PyObject *self, PyObject *v, void *) noexcept {
    if (v == Py_None)
        v = nullptr;
    if (v != nullptr && !PyTuple_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_XSETREF(as_fn(self)->defaults, Py_XNewRef(v));
    return 0;
}

PyObject *get_kwdefaults(PyObject *self, void *) noexcept { return get_slot(as_fn(self)->kwdefaults); }
int set_kwdefaults(PyObject *self, PyObject *v, void *) noexcept {
    if (v == Py_None)
        v = nullptr;
    if (v != nullptr && !PyDict_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_fn(self)->kwdefaults, Py_XNewRef(v));
    return 0;
}

PyObject *get_code(PyObject *self, void *) noexcept { return get_slot(as_fn(self)->code); }
int set_code(PyObject *self, PyObject *v, void *) noexcept {
    if (v == nullptr || !PyCode_Check(v)) {
        PyErr_SetString(PyExc_TypeError, "__code__ must be set to a code object");
        return -1;
    }
    Py_XSETREF(as_fn(self)->code, Py_NewRef(v));
    return 0;
}

PyObject *get_globals(PyObject *self, void *) noexcept { return get_slot(as_fn(self)->globals); }

const PyGetSetDef kGetSet[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__code__", get_code, set_code, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const PyMethodDef kMethods[] = {
    {"__reduce__", fn_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// --- construction -----------------------------------------------------------

nb::object default_value(const Default &d) {
    switch (d.kind) {
    case Default::Kind::None: return nb::none();
    case Default::Kind::Bool: return nb::bool_(d.b);
    case Default::Kind::Int: return nb::int_(d.i);
    case Default::Kind::Float: return nb::float_(d.f);
    case Default::Kind::Str: return nb::str(d.s);
    case Default::Kind::Required: break;
    }
    return nb::object();
}

nb::object intern(const char *s) { return nb::steal(PyUnicode_InternFromString(s)); }

// A code object describing the signature, made from an empty one: inspect reads
// the parameter names, counts and flags from it.
nb::object make_code(const FuncSpec &spec, nb::handle filename, nb::handle name,
                     nb::handle qualname) {
    nb::list varnames;
    int argcount = 0, kwonlycount = 0, flags = CO_OPTIMIZED | CO_NEWLOCALS;
    const char *varargs = nullptr;
    for (const Param &p : spec.params) {
        if (p.kind == ParamKind::PositionalOrKeyword) {
            varnames.append(intern(p.name));
            ++argcount;
        }
    }
    for (const Param &p : spec.params) {
        if (p.kind == ParamKind::KeywordOnly) {
            varnames.append(intern(p.name));
            ++kwonlycount;
        } else if (p.kind == ParamKind::VarPositional) {
            varargs = p.name;
            flags |= CO_VARARGS;
        }
    }
    if (varargs)
        varnames.append(intern(varargs));
    nb::object empty = nb::steal(
        reinterpret_cast<PyObject *>(PyCode_NewEmpty(nb::str(filename).c_str(), spec.name, 1)));
    if (!empty.is_valid())
        throw nb::python_error();
    return empty.attr("replace")(
        nb::arg("co_argcount") = argcount, nb::arg("co_posonlyargcount") = 0,
        nb::arg("co_kwonlyargcount") = kwonlycount,
        nb::arg("co_nlocals") = nb::len(varnames), nb::arg("co_varnames") = nb::tuple(varnames),
        nb::arg("co_flags") = flags, nb::arg("co_name") = name,
        nb::arg("co_qualname") = qualname);
}

}  // namespace

nb::object create_function_type(const char *) {
    PyMemberDef members[] = {
        {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY,
         nullptr},
        {"__dictoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, dict), Py_READONLY, nullptr},
        {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, weakreflist), Py_READONLY,
         nullptr},
        {nullptr, 0, 0, 0, nullptr},
    };
    PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void *>(fn_dealloc)},
        {Py_tp_traverse, reinterpret_cast<void *>(fn_traverse)},
        {Py_tp_clear, reinterpret_cast<void *>(fn_clear)},
        {Py_tp_repr, reinterpret_cast<void *>(fn_repr)},
        {Py_tp_call, reinterpret_cast<void *>(PyVectorcall_Call)},
        {Py_tp_descr_get, reinterpret_cast<void *>(fn_descr_get)},
        {Py_tp_getset, const_cast<PyGetSetDef *>(kGetSet)},
        {Py_tp_methods, const_cast<PyMethodDef *>(kMethods)},
        {Py_tp_members, members},
        {0, nullptr},
    };
    PyType_Spec spec = {
        "talvex_native.function",
        static_cast<int>(sizeof(FunctionObject)),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
            Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
        slots,
    };
    PyObject *type = PyType_FromSpec(&spec);
    if (type == nullptr)
        throw nb::python_error();
    return nb::steal(type);
}

nb::object make_function(nb::handle type, const FuncSpec &spec, nb::handle globals,
                         nb::handle closure, nb::handle kept) {
    nb::object self = nb::steal(PyType_GenericAlloc(reinterpret_cast<PyTypeObject *>(type.ptr()), 0));
    if (!self.is_valid())
        throw nb::python_error();
    FunctionObject *f = as_fn(self.ptr());
    f->vectorcall = detail::vectorcall;
    f->spec = &spec;
    for (const Param &p : spec.params) {
        if (p.kind == ParamKind::PositionalOrKeyword)
            ++f->n_positional;
        else if (p.kind == ParamKind::KeywordOnly)
            ++f->n_kwonly;
        else
            f->has_varargs = true;
    }
    // The body takes the declared parameters, *varargs at its place.
    Py_ssize_t named = f->n_positional + f->n_kwonly;
    Py_ssize_t varargs_at = f->has_varargs ? f->n_positional : -1;
    if (spec.impl.fn == nullptr) {
        PyErr_Format(PyExc_SystemError, "%s: no body", spec.qualname ? spec.qualname : spec.name);
        throw nb::python_error();
    }
    if (spec.impl.named != named || spec.impl.varargs_at != varargs_at) {
        PyErr_Format(PyExc_SystemError,
                     "%s: the body takes %d named parameters (*varargs at %d), the declaration "
                     "has %zd (*varargs at %zd)",
                     spec.qualname ? spec.qualname : spec.name, spec.impl.named,
                     spec.impl.varargs_at, named, varargs_at);
        throw nb::python_error();
    }
    f->globals = Py_NewRef(globals.ptr());
    f->closure = closure.is_valid() ? Py_NewRef(closure.ptr()) : nullptr;
    f->kept = kept.is_valid() ? Py_NewRef(kept.ptr()) : nullptr;

    nb::object name = intern(spec.name);
    nb::object qualname = intern(spec.qualname ? spec.qualname : spec.name);
    nb::dict ns = nb::borrow<nb::dict>(globals);
    nb::object module = ns.contains("__name__") ? nb::object(ns["__name__"]) : nb::none();
    nb::object filename = ns.contains("__file__") ? nb::object(ns["__file__"]) : nb::str("<native>");

    nb::list defaults, names;
    nb::dict kwdefaults, annotations;
    for (const Param &p : spec.params) {
        if (p.annotation)
            annotations[p.name] = p.annotation;
        if (p.kind == ParamKind::VarPositional)
            continue;
        if (p.kind == ParamKind::PositionalOrKeyword) {
            names.append(intern(p.name));
            if (p.def.kind != Default::Kind::Required)
                defaults.append(default_value(p.def));
        }
    }
    for (const Param &p : spec.params) {
        if (p.kind != ParamKind::KeywordOnly)
            continue;
        names.append(intern(p.name));
        if (p.def.kind != Default::Kind::Required)
            kwdefaults[p.name] = default_value(p.def);
    }
    if (spec.returns)
        annotations["return"] = spec.returns;

    f->name = name.release().ptr();
    f->qualname = qualname.release().ptr();
    f->module = module.release().ptr();
    f->doc = spec.doc ? nb::str(spec.doc).release().ptr() : Py_NewRef(Py_None);
    f->annotations = annotations.release().ptr();
    f->defaults = nb::len(defaults) ? nb::tuple(defaults).release().ptr() : nullptr;
    f->kwdefaults = nb::len(kwdefaults) ? kwdefaults.release().ptr() : nullptr;
    f->param_names = nb::tuple(names).release().ptr();
    f->code = make_code(spec, filename, nb::handle(f->name), nb::handle(f->qualname)).release().ptr();
    return self;
}

}  // namespace tvx
