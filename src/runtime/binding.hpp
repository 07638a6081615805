// Argument binding for native functions: the object layout and the vectorcall
// entry that binds arguments to parameters the way the interpreter binds them
// for a Python function, with the interpreter's TypeError messages.
#pragma once

#include "runtime/function.hpp"

#include <utility>
#include <vector>

namespace tvx::detail {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FuncSpec *spec;
    Py_ssize_t n_positional;  // positional-or-keyword parameters
    Py_ssize_t n_kwonly;      // keyword-only parameters
    bool has_varargs;
    PyObject *globals;      // module namespace, searched at call time
    PyObject *closure;      // tuple handed to a nested function, or NULL
    PyObject *kept;         // values of spec->keeps at definition time (tuple), or NULL
    PyObject *name;
    PyObject *qualname;
    PyObject *module;
    PyObject *doc;
    PyObject *annotations;  // dict
    PyObject *defaults;     // tuple or NULL (None)
    PyObject *kwdefaults;   // dict or NULL (None)
    PyObject *code;
    PyObject *param_names;  // positional-or-keyword then keyword-only names, interned
    PyObject *dict;
    PyObject *weakreflist;
    // Interned names this function has looked up, keyed by the address of the
    // literal naming them: call-time lookups then cost one dict probe.
    std::vector<std::pair<const char *, PyObject *>> *name_cache;
};

// The interned str for `name`, cached on the function object.
PyObject *cached_name(FunctionObject *f, const char *name);
void free_name_cache(FunctionObject *f) noexcept;

// The entry point of every call: never lets a C++ exception through.
PyObject *vectorcall(PyObject *self, PyObject *const *args, size_t nargsf,
                     PyObject *kwnames) noexcept;

}  // namespace tvx::detail
