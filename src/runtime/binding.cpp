#include "runtime/binding.hpp"
#include "runtime/call.hpp"
#include "runtime/errors.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace tvx {

using detail::FunctionObject;

namespace {

struct Shape {
    Py_ssize_t positional = 0;
    Py_ssize_t kwonly = 0;
    bool varargs = false;
};

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'"
nb::object join_names(const std::vector<PyObject *> &names) {
    nb::list reprs;
    for (PyObject *n : names)
        reprs.append(nb::repr(nb::handle(n)));
    size_t len = names.size();
    if (len == 1)
        return reprs[0];
    if (len == 2)
        return nb::str("{} and {}").format(reprs[0], reprs[1]);
    nb::object tail = nb::str(", {}, and {}").format(reprs[len - 2], reprs[len - 1]);
    nb::list head;
    for (size_t i = 0; i + 2 < len; ++i)
        head.append(reprs[i]);
    return nb::str(", ").attr("join")(head) + tail;
}

void missing_arguments(FunctionObject *f, const std::vector<PyObject *> &names, const char *kind) {
    nb::object joined = join_names(names);
    PyErr_Format(PyExc_TypeError, "%U() missing %i required %s argument%s: %U", f->qualname,
                 static_cast<int>(names.size()), kind, names.size() == 1 ? "" : "s", joined.ptr());
}

void too_many_positional(FunctionObject *f, const Shape &s, Py_ssize_t given, PyObject **slots) {
    Py_ssize_t kwonly_given = 0;
    for (Py_ssize_t i = s.positional; i < s.positional + s.kwonly; ++i)
        kwonly_given += slots[i] != nullptr;
    Py_ssize_t defcount = f->defaults ? PyTuple_GET_SIZE(f->defaults) : 0;
    bool plural;
    nb::object sig;
    if (defcount) {
        plural = true;
        sig = nb::steal(PyUnicode_FromFormat("from %zd to %zd", s.positional - defcount, s.positional));
    } else {
        plural = s.positional != 1;
        sig = nb::steal(PyUnicode_FromFormat("%zd", s.positional));
    }
    nb::object kwonly_sig =
        kwonly_given ? nb::steal(PyUnicode_FromFormat(
                           " positional argument%s (and %zd keyword-only argument%s)",
                           given != 1 ? "s" : "", kwonly_given, kwonly_given != 1 ? "s" : ""))
                     : nb::str("");
    PyErr_Format(PyExc_TypeError, "%U() takes %U positional argument%s but %zd%U %s given",
                 f->qualname, sig.ptr(), plural ? "s" : "", given, kwonly_sig.ptr(),
                 given == 1 && !kwonly_given ? "was" : "were");
}

// The interpreter's "Did you mean" for a misspelt name, computed as CPython 3.13 does it
// (Python/suggestions.c; the _suggestions module that exposes it is not in every build):
// a Levenshtein distance over the UTF-8 bytes where a change of letter case costs 1 and any
// other edit 2, common prefixes and suffixes trimmed first, names longer than 40 bytes
// (after trimming) and lists of 750 names or more never matched, and no more than a third
// of the characters involved changed. The first name with the smallest distance wins.
constexpr size_t kSuggestionMaxName = 40;
constexpr Py_ssize_t kSuggestionMaxCandidates = 750;
constexpr size_t kMoveCost = 2;
constexpr size_t kCaseCost = 1;

size_t substitution_cost(char a, char b) {
    if ((a & 31) != (b & 31))
        return kMoveCost;
    if (a == b)
        return 0;
    if ('A' <= a && a <= 'Z')
        a += 'a' - 'A';
    if ('A' <= b && b <= 'Z')
        b += 'a' - 'A';
    return a == b ? kCaseCost : kMoveCost;
}

size_t edit_distance(std::string_view a, std::string_view b, size_t max_cost) {
    while (!a.empty() && !b.empty() && a.front() == b.front()) {
        a.remove_prefix(1);
        b.remove_prefix(1);
    }
    while (!a.empty() && !b.empty() && a.back() == b.back()) {
        a.remove_suffix(1);
        b.remove_suffix(1);
    }
    if (a.empty() || b.empty())
        return (a.size() + b.size()) * kMoveCost;
    if (a.size() > kSuggestionMaxName || b.size() > kSuggestionMaxName)
        return max_cost + 1;
    if (b.size() < a.size())
        std::swap(a, b);
    if ((b.size() - a.size()) * kMoveCost > max_cost)
        return max_cost + 1;
    // One row of the matrix, updated in place: row[i] is the cost from b[:j] to a[:i+1].
    std::array<size_t, kSuggestionMaxName> row;
    for (size_t i = 0; i < a.size(); ++i)
        row[i] = (i + 1) * kMoveCost;
    size_t result = 0;
    for (size_t j = 0; j < b.size(); ++j) {
        size_t diagonal = result = j * kMoveCost;
        size_t minimum = SIZE_MAX;
        for (size_t i = 0; i < a.size(); ++i) {
            size_t substitute = diagonal + substitution_cost(b[j], a[i]);
            diagonal = row[i];
            result = std::min(std::min(result, diagonal) + kMoveCost, substitute);
            row[i] = result;
            minimum = std::min(minimum, result);
        }
        if (minimum > max_cost)
            return max_cost + 1;
    }
    return result;
}

// The closest of `names` to `keyword`, or an invalid object when none is close enough.
nb::object closest_name(PyObject *names, PyObject *keyword) {
    Py_ssize_t count = PyTuple_GET_SIZE(names);
    if (count >= kSuggestionMaxCandidates)
        return {};
    Py_ssize_t size = 0;
    const char *text = PyUnicode_AsUTF8AndSize(keyword, &size);
    if (!text)
        return {};
    std::string_view wanted(text, static_cast<size_t>(size));
    PyObject *best = nullptr;
    size_t best_distance = SIZE_MAX;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject *name = PyTuple_GET_ITEM(names, i);
        // The same text is never suggested, whatever the keyword's class makes of ==.
        int same = PyUnicode_Compare(name, keyword);
        if (same == -1 && PyErr_Occurred())
            return {};
        if (same == 0)
            continue;
        Py_ssize_t name_size = 0;
        const char *name_text = PyUnicode_AsUTF8AndSize(name, &name_size);
        if (!name_text)
            return {};
        size_t limit = (static_cast<size_t>(size + name_size) + 3) * kMoveCost / 6;
        limit = std::min(limit, best_distance - 1);
        size_t distance =
            edit_distance(wanted, std::string_view(name_text, static_cast<size_t>(name_size)), limit);
        if (distance > limit)
            continue;
        if (!best || distance < best_distance) {
            best = name;
            best_distance = distance;
        }
    }
    return best ? nb::borrow(best) : nb::object();
}

void unexpected_keyword(FunctionObject *f, PyObject *keyword) {
    nb::object suggestion = closest_name(f->param_names, keyword);
    PyErr_Clear();
    if (suggestion.is_valid())
        PyErr_Format(PyExc_TypeError,
                     "%U() got an unexpected keyword argument '%S'. Did you mean '%S'?",
                     f->qualname, keyword, suggestion.ptr());
    else
        PyErr_Format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'", f->qualname,
                     keyword);
}

Py_ssize_t find_keyword(PyObject *names, PyObject *keyword) {
    Py_ssize_t n = PyTuple_GET_SIZE(names);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyTuple_GET_ITEM(names, i) == keyword)
            return i;
    for (Py_ssize_t i = 0; i < n; ++i) {
        int eq = PyObject_RichCompareBool(keyword, PyTuple_GET_ITEM(names, i), Py_EQ);
        if (eq < 0)
            return -2;
        if (eq)
            return i;
    }
    return -1;
}

PyObject *run(FunctionObject *f, PyObject *const *slots, nb::handle varargs) {
    // Runs the body with the bound arguments; C++ exceptions become Python ones.
    if (Py_EnterRecursiveCall(" while calling a Python object"))
        return nullptr;
    PyObject *result = nullptr;
    try {
        Call call(slots, varargs, nb::handle(reinterpret_cast<PyObject *>(f)), f->globals,
                  f->closure);
        nb::object r = f->spec->impl(call);
        result = r.is_valid() ? r.release().ptr() : Py_NewRef(Py_None);
    } catch (...) {
        set_error_from_current();
    }
    Py_LeaveRecursiveCall();
    return result;
}

// Binds the arguments of one call and runs the body.  May throw (allocation of the
// argument vectors, errors raised while binding); the entry below catches it all.
PyObject *bind_and_run(PyObject *self, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    FunctionObject *f = reinterpret_cast<FunctionObject *>(self);
    Shape s{f->n_positional, f->n_kwonly, f->has_varargs};
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Py_ssize_t total = s.positional + s.kwonly;

    PyObject *small[16];
    std::vector<PyObject *> large;
    PyObject **slots = small;
    if (total > 16) {
        large.resize(total);
        slots = large.data();
    }
    for (Py_ssize_t i = 0; i < total; ++i)
        slots[i] = nullptr;

    Py_ssize_t ncopy = nargs < s.positional ? nargs : s.positional;
    for (Py_ssize_t i = 0; i < ncopy; ++i)
        slots[i] = args[i];

    // The common call: every positional parameter given by position, nothing else.
    if (!kwnames && !s.varargs && !s.kwonly && nargs == s.positional)
        return run(f, args, nb::handle());

    nb::object varargs;
    if (s.varargs) {
        Py_ssize_t extra = nargs > s.positional ? nargs - s.positional : 0;
        varargs = nb::steal(PyTuple_New(extra));
        if (!varargs.is_valid())
            return nullptr;
        for (Py_ssize_t i = 0; i < extra; ++i)
            PyTuple_SET_ITEM(varargs.ptr(), i, Py_NewRef(args[ncopy + i]));
    }

    if (kwnames) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject *keyword = PyTuple_GET_ITEM(kwnames, k);
            Py_ssize_t j = find_keyword(f->param_names, keyword);
            if (j == -2)
                return nullptr;
            if (j < 0) {
                unexpected_keyword(f, keyword);
                return nullptr;
            }
            if (slots[j] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%U() got multiple values for argument '%S'",
                             f->qualname, keyword);
                return nullptr;
            }
            slots[j] = args[nargs + k];
        }
    }

    if (nargs > s.positional && !s.varargs) {
        too_many_positional(f, s, nargs, slots);
        return nullptr;
    }

    // Hold the defaults while the call runs: the function's attributes may be
    // reassigned meanwhile, as with any Python function.
    nb::object defaults = nb::borrow(f->defaults);
    nb::object kwdefaults = nb::borrow(f->kwdefaults);
    std::vector<nb::object> held;  // keyword-only defaults in use by this call
    try {
        if (nargs < s.positional) {
            Py_ssize_t ndef = defaults.is_valid() ? PyTuple_GET_SIZE(defaults.ptr()) : 0;
            Py_ssize_t first_default = s.positional - ndef;
            std::vector<PyObject *> missing;
            for (Py_ssize_t i = nargs; i < s.positional; ++i) {
                if (slots[i] != nullptr)
                    continue;
                if (i >= first_default)
                    slots[i] = PyTuple_GET_ITEM(defaults.ptr(), i - first_default);
                else
                    missing.push_back(PyTuple_GET_ITEM(f->param_names, i));
            }
            if (!missing.empty()) {
                missing_arguments(f, missing, "positional");
                return nullptr;
            }
        }
        if (s.kwonly) {
            std::vector<PyObject *> missing;
            for (Py_ssize_t i = s.positional; i < total; ++i) {
                if (slots[i] != nullptr)
                    continue;
                PyObject *name = PyTuple_GET_ITEM(f->param_names, i);
                PyObject *value = nullptr;
                if (kwdefaults.is_valid() &&
                    PyDict_GetItemRef(kwdefaults.ptr(), name, &value) < 0)
                    return nullptr;
                if (value) {
                    slots[i] = value;
                    held.push_back(nb::steal(value));
                } else {
                    missing.push_back(name);
                }
            }
            if (!missing.empty()) {
                missing_arguments(f, missing, "keyword-only");
                return nullptr;
            }
        }
    } catch (nb::python_error &e) {
        e.restore();
        return nullptr;
    }
    return run(f, slots, varargs);
}

}  // namespace

namespace detail {

PyObject *vectorcall(PyObject *self, PyObject *const *args, size_t nargsf,
                     PyObject *kwnames) noexcept {
    try {
        return bind_and_run(self, args, nargsf, kwnames);
    } catch (...) {
        set_error_from_current();
        return nullptr;
    }
}

}  // namespace detail

nb::handle Call::closure(size_t i) const {
    return nb::handle(PyTuple_GET_ITEM(closure_.ptr(), static_cast<Py_ssize_t>(i)));
}

bool Call::still_own(const char *name) const {
    auto *f = reinterpret_cast<FunctionObject *>(function_.ptr());
    const std::vector<const char *> &keeps = f->spec->keeps;
    for (size_t i = 0; i < keeps.size(); ++i) {
        if (keeps[i] != name && std::strcmp(keeps[i], name) != 0)
            continue;
        PyObject *value = nullptr;
        if (PyDict_GetItemRef(globals_.ptr(), detail::cached_name(f, name), &value) < 0)
            throw nb::python_error();
        nb::object held = nb::steal(value);
        return held.is(PyTuple_GET_ITEM(f->kept, static_cast<Py_ssize_t>(i)));
    }
    PyErr_Format(PyExc_SystemError, "%U keeps no module name %s", f->qualname, name);
    throw nb::python_error();
}

namespace detail {

PyObject *cached_name(FunctionObject *f, const char *name) {
    if (f->name_cache == nullptr)
        f->name_cache = new std::vector<std::pair<const char *, PyObject *>>();
    for (auto &[literal, key] : *f->name_cache) {
        // Keyed by address; the text is checked too, so a name built at run time
        // whose storage is later reused can never find another name's entry.
        if (literal == name && PyUnicode_CompareWithASCIIString(key, name) == 0)
            return key;
    }
    PyObject *key = PyUnicode_InternFromString(name);
    if (key == nullptr)
        throw nb::python_error();
    f->name_cache->emplace_back(name, key);
    return key;
}

void free_name_cache(FunctionObject *f) noexcept {
    if (f->name_cache == nullptr)
        return;
    for (auto &entry : *f->name_cache)
        Py_DECREF(entry.second);
    delete f->name_cache;
    f->name_cache = nullptr;
}

}  // namespace detail

nb::object Call::g(const char *name) const {
    auto *f = reinterpret_cast<FunctionObject *>(function_.ptr());
    PyObject *key = detail::cached_name(f, name);
    PyObject *value = nullptr;
    if (PyDict_GetItemRef(globals_.ptr(), key, &value) < 0)
        throw nb::python_error();
    if (value)
        return nb::steal(value);
    // Then the builtins, as a module's global lookup does: the namespace's
    // __builtins__ (a module or a mapping), else the interpreter's.
    PyObject *builtins = nullptr;
    if (PyDict_GetItemRef(globals_.ptr(), detail::cached_name(f, "__builtins__"), &builtins) < 0)
        throw nb::python_error();
    nb::object held = builtins ? nb::steal(builtins) : nb::borrow(PyEval_GetBuiltins());
    if (PyModule_Check(held.ptr()))
        held = nb::borrow(PyModule_GetDict(held.ptr()));
    if (PyDict_Check(held.ptr())) {
        if (PyDict_GetItemRef(held.ptr(), key, &value) < 0)
            throw nb::python_error();
    } else {
        value = PyObject_GetItem(held.ptr(), key);
        if (value == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError))
                throw nb::python_error();
            PyErr_Clear();
        }
    }
    if (value)
        return nb::steal(value);
    nb::object error = nb::handle(PyExc_NameError)(
        nb::steal(PyUnicode_FromFormat("name '%U' is not defined", key)));
    error.attr("name") = nb::handle(key);
    PyErr_SetRaisedException(error.release().ptr());
    throw nb::python_error();
}

}  // namespace tvx
