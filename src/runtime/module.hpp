// Building a module's namespace in a fixed order, the way the module-level
// statements of a Python module would: imports, constants, then functions.
#pragma once

#include "runtime/call.hpp"

#include <functional>
#include <initializer_list>
#include <span>
#include <string_view>

namespace tvx {

// A source file's table of module functions.
using FunctionTable = std::span<const FuncSpec> (*)();

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
    // Defines the functions named in `order`, in that order, taking each from
    // whichever of `tables` holds it; `after(name)` runs after each definition
    // (for constants bound between two functions).  Transitional: a converted
    // module has each concern define its own functions with def(), in order.
    void def_in_order(std::span<const char *const> order, std::initializer_list<FunctionTable> tables,
                      const std::function<void(std::string_view)> &after = {});
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
