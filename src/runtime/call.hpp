// One call of a native function: its bound arguments and the module namespace
// in which it looks names up when it runs.
#pragma once

#include "runtime/function.hpp"

#include <cstddef>
#include <type_traits>
#include <utility>

namespace tvx {

namespace detail {
template <typename F>
struct BodyTraits;
}  // namespace detail

class Call {
public:
    Call(PyObject *const *slots, nb::handle varargs, nb::handle function, nb::handle globals,
         nb::handle closure)
        : slots_(slots), varargs_(varargs), function_(function), globals_(globals),
          closure_(closure) {}

    // The i-th value handed to a nested function by its enclosing call.
    nb::handle closure(size_t i) const;
    // True when module-level `name`, one of the names its FuncSpec keeps, still holds
    // the object the frame recorded when it defined the function (not replaced,
    // not deleted): a native fast path may then stand in for the Python one.
    bool still_own(const char *name) const;
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
    template <typename F>
    friend struct detail::BodyTraits;

    // The i-th named parameter, in declaration order (positional-or-keyword first,
    // then keyword-only); *varargs is not counted.  Always bound (defaults
    // applied).  Bodies receive them by name (tvx::body).
    nb::handle slot(size_t i) const { return nb::handle(slots_[i]); }
    // The tuple bound to *varargs (empty tuple for functions without one).
    nb::tuple varargs() const {
        return varargs_.is_valid() ? nb::borrow<nb::tuple>(varargs_) : nb::tuple();
    }

    PyObject *const *slots_;
    nb::handle varargs_;
    nb::handle function_;
    nb::handle globals_;
    nb::handle closure_;
};

namespace detail {

template <typename P>
inline constexpr bool is_varargs = std::is_same_v<std::remove_cvref_t<P>, nb::tuple>;

template <typename F>
struct BodyTraits;

template <typename... P>
struct BodyTraits<nb::object (*)(Call &, P...)> {
    static_assert(((std::is_same_v<P, nb::handle> || is_varargs<P>) && ...),
                  "a typed body takes Call & then one nb::handle per named parameter "
                  "(nb::tuple for *varargs)");
    static constexpr int varargs_count = (0 + ... + (is_varargs<P> ? 1 : 0));
    static_assert(varargs_count <= 1, "a typed body takes at most one *varargs tuple");
    static constexpr int named = static_cast<int>(sizeof...(P)) - varargs_count;
    static constexpr int varargs_at = [] {
        constexpr bool flags[] = {is_varargs<P>..., false};
        for (int i = 0; i < static_cast<int>(sizeof...(P)); ++i)
            if (flags[i])
                return i;
        return -1;
    }();

    // Argument I of the body: the *varargs tuple at its place, else the next
    // named parameter.
    template <std::size_t I, typename Q>
    static auto argument(const Call &c) {
        if constexpr (is_varargs<Q>)
            return c.varargs();
        else
            return c.slot(varargs_at >= 0 && static_cast<int>(I) > varargs_at ? I - 1 : I);
    }

    template <auto F, std::size_t... I>
    static nb::object call(Call &c, std::index_sequence<I...>) {
        return F(c, argument<I, P>(c)...);
    }
};

template <auto F>
nb::object typed_body(Call &c) {
    using Traits = BodyTraits<decltype(F)>;
    return Traits::template call<F>(c, std::make_index_sequence<Traits::named + Traits::varargs_count>());
}

}  // namespace detail

// .impl = tvx::body<fn> for `nb::object fn(Call &, nb::handle a, nb::handle b, ...)`.
template <auto F>
inline constexpr Body body{&detail::typed_body<F>, detail::BodyTraits<decltype(F)>::named,
                           detail::BodyTraits<decltype(F)>::varargs_at};

}  // namespace tvx
