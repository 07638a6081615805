// Native functions that look and behave like Python functions.
//
// A FuncSpec describes one module-level (or nested) function: its name, docstring,
// parameters with their string annotations and defaults, and the C++ body.  A
// function object made from it carries __name__, __qualname__, __module__, __doc__,
// __annotations__, __defaults__, __kwdefaults__ and a real __code__ object, so
// inspect.signature(), help() and pickle treat it like a function written in Python.
// Calls bind their arguments exactly as the interpreter does for a Python function.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <vector>

namespace tvx {

namespace nb = nanobind;

// Default value of a parameter, as a small literal.
struct Default {
    enum class Kind { Required, None, Bool, Int, Float, Str };
    Kind kind = Kind::Required;
    bool b = false;
    long long i = 0;
    double f = 0.0;
    const char *s = nullptr;
};

inline Default dflt(std::nullptr_t) { return {Default::Kind::None}; }
inline Default dflt(bool v) { return {Default::Kind::Bool, v}; }
inline Default dflt(int v) { return {Default::Kind::Int, false, v}; }
inline Default dflt(double v) { return {Default::Kind::Float, false, 0, v}; }
inline Default dflt(const char *v) { return {Default::Kind::Str, false, 0, 0.0, v}; }

enum class ParamKind { PositionalOrKeyword, VarPositional, KeywordOnly };

struct Param {
    const char *name;
    const char *annotation;  // stored as a string; nullptr: not annotated
    ParamKind kind = ParamKind::PositionalOrKeyword;
    Default def = {};
};

// arg("x", "str"), arg("limit", "int", dflt(4000)) ...
inline Param arg(const char *name, const char *annotation, Default d = {}) {
    return {name, annotation, ParamKind::PositionalOrKeyword, d};
}
// *names
inline Param star(const char *name, const char *annotation) {
    return {name, annotation, ParamKind::VarPositional, {}};
}
// keyword-only parameter (after * or *names)
inline Param kwarg(const char *name, const char *annotation, Default d = {}) {
    return {name, annotation, ParamKind::KeywordOnly, d};
}

class Call;
using Impl = nb::object (*)(Call &);

// The body of a function, bound with tvx::body<fn>: it receives its declared
// parameters by name,
//     nb::object clean_summary(Call &c, nb::handle summary);
//     .impl = tvx::body<clean_summary>,
// one nb::handle per named parameter in declaration order, and an nb::tuple at
// the place of *varargs.  make_function checks that the body takes exactly the
// parameters its FuncSpec declares (SystemError at import otherwise).
struct Body {
    Impl fn = nullptr;
    int named = -1;       // named parameters the body takes
    int varargs_at = -1;  // position of the body's nb::tuple parameter, or -1
    constexpr Body() = default;
    constexpr Body(Impl f, int n, int at) : fn(f), named(n), varargs_at(at) {}
    nb::object operator()(Call &c) const { return fn(c); }
};

struct FuncSpec {
    const char *name;
    const char *qualname = nullptr;  // nullptr: same as name
    const char *doc = nullptr;       // nullptr: no docstring (__doc__ is None)
    std::vector<Param> params;       // positional-or-keyword, then *varargs, then keyword-only
    const char *returns = nullptr;   // return annotation; nullptr: none
    Body impl = {};
    // Module-level names whose values at definition time the frame records, so
    // that a native fast path can tell with c.still_own("name") whether a name
    // still holds the module's own object.
    std::vector<const char *> keeps = {};
};

// Creates the function type for one module.  Every function of the module is an
// instance of it; nested functions reuse the type of their enclosing function.
nb::object create_function_type(const char *module_name);

// Makes a function object of `type` from `spec`.  `globals` is the namespace the
// function resolves names in at call time (its module's __dict__); `closure` is
// an optional tuple of values a nested function reads from its enclosing call;
// `kept` the values of spec.keeps, in that order, when it has any.
nb::object make_function(nb::handle type, const FuncSpec &spec, nb::handle globals,
                         nb::handle closure = nb::handle(), nb::handle kept = nb::handle());

}  // namespace tvx
