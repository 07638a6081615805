// One call of a native function: its bound arguments and the module namespace
// in which it looks names up when it runs.
#pragma once

#include "runtime/function.hpp"

#include <utility>

namespace tvx {

class Call {
public:
    Call(PyObject *const *slots, nb::handle varargs, nb::handle function, nb::handle globals,
         nb::handle closure)
        : slots_(slots), varargs_(varargs), function_(function), globals_(globals),
          closure_(closure) {}

    // The i-th named parameter, in declaration order (positional-or-keyword first,
    // then keyword-only); *varargs is not counted.  Always bound (defaults applied).
    nb::handle operator[](size_t i) const { return nb::handle(slots_[i]); }
    // The tuple bound to *varargs (empty tuple for functions without one).
    nb::tuple varargs() const {
        return varargs_.is_valid() ? nb::borrow<nb::tuple>(varargs_) : nb::tuple();
    }
    // The i-th value handed to a nested function by its enclosing call.
    nb::handle closure(size_t i) const;
    // The function object being called.
    nb::handle function() const { return function_; }
    // The module namespace (__dict__).
    nb::handle globals() const { return globals_; }

    // A module-level name, looked up now: module attributes replaced by callers are
    // honoured.  Raises NameError (as Python would) when the name is missing.
    // `name` must be a string with static storage (a literal): lookups are cached
    // per function by its address.
    nb::object g(const char *name) const;
    // g(name) called with the given arguments (nb::arg("kw") = value for keywords).
    template <typename... Args>
    nb::object call(const char *name, Args &&...args) const {
        return g(name)(std::forward<Args>(args)...);
    }
    // An attribute of a module-level name: g("os").attr("environ") ...
    nb::object attr(const char *name, const char *attribute) const {
        return g(name).attr(attribute);
    }

private:
    PyObject *const *slots_;
    nb::handle varargs_;
    nb::handle function_;
    nb::handle globals_;
    nb::handle closure_;
};

}  // namespace tvx
