// Building a module's namespace in a fixed order, the way the module-level
// statements of a Python module would: imports, constants, then functions.
#pragma once

#include "runtime/call.hpp"

#include <initializer_list>
#include <span>

namespace tvx {

class ModuleFrame {
public:
    explicit ModuleFrame(nb::module_ module);

    nb::handle module() const { return module_; }
    nb::dict ns() const { return ns_; }
    nb::handle function_type() const { return type_; }

    // `import a.b.c`: imports the module and binds the top-level package `a`.
    void import(const char *dotted);
    // `from module import name1, name2`: binds each name (submodules included).
    void from_import(const char *module, std::initializer_list<const char *> names);
    // Binds `name` to `value`.
    void set(const char *name, nb::handle value);
    // Defines the function of `spec` and binds it under its name.
    nb::object def(const FuncSpec &spec);
    // Binds `name` to a new list of the given strings (e.g. __all__).
    void set_str_list(const char *name, std::span<const char *const> items);

private:
    nb::module_ module_;
    nb::dict ns_;
    nb::object type_;
};

// Makes a nested function for the running call (as a `def` inside a function
// body does): same module namespace, with `closure` holding the values it reads
// from the enclosing call.
nb::object make_nested(const Call &enclosing, const FuncSpec &spec, nb::tuple closure);

// The str() of any object (raises what str() raises).
inline nb::str to_str(nb::handle h) { return nb::str(h); }
// The truth value of any object (raises what bool() raises).
bool truthy(nb::handle h);

}  // namespace tvx
