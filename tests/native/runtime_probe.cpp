// A module for the tests of the runtime's idioms: each function drives one idiom
// from C++, so a test can see what Python code sees.  Built by the developer build
// only (TALVEX_RUNTIME_PROBE); never shipped.
#include "runtime/idioms.hpp"
#include "runtime/module.hpp"

#include <new>
#include <stdexcept>
#include <string_view>

namespace probe {

namespace nb = nanobind;
using tvx::arg;
using tvx::Call;
using tvx::FuncSpec;

// with manager as value: records value, then ends as `how` says.
nb::object with_body(Call &, nb::handle manager, nb::handle how, nb::handle seen) {
    nb::str how_text(how);
    std::string_view mode = how_text.c_str();
    bool completed = tvx::with(manager, [&](nb::handle value) {
        seen.attr("append")(value);
        if (mode == "python")
            tvx::raise(PyExc_ValueError, "raised in the body");
        if (mode == "bad_alloc")
            throw std::bad_alloc();
        if (mode == "logic")
            throw std::logic_error("a C++ error in the body");
    });
    return nb::bool_(completed);
}

nb::object optional(Call &, nb::handle obj, nb::handle name) {
    nb::object value = tvx::optional_attr(obj, nb::cast<const char *>(name));
    return value.is_valid() ? nb::make_tuple(true, value) : nb::make_tuple(false, nb::none());
}

nb::object unpack_three(Call &, nb::handle value) {
    auto [a, b, c] = tvx::unpack<3>(value);
    return nb::make_tuple(a, b, c);
}

nb::object from_import(Call &c, nb::handle module, nb::handle name) {
    return tvx::import_from(c, nb::cast<const char *>(module), nb::cast<const char *>(name));
}

// try: return fn()  except Exception: logger.debug(..., exc_info=True); return "handled"
nb::object guarded(Call &c, nb::handle fn) {
    return tvx::except_exception_logged(
        c, "fn failed", [&] { return fn(); }, [] { return nb::object(nb::str("handled")); });
}

nb::object marker_is_own(Call &c) { return nb::bool_(c.still_own("marker")); }

nb::object spread(Call &, nb::handle first, nb::tuple rest, nb::handle last) {
    return nb::make_tuple(first, rest, last);
}

const FuncSpec kWithBody = {
    .name = "with_body",
    .params = {arg("manager", nullptr), arg("how", nullptr), arg("seen", nullptr)},
    .impl = tvx::body<with_body>,
};
const FuncSpec kOptional = {
    .name = "optional",
    .params = {arg("obj", nullptr), arg("name", nullptr)},
    .impl = tvx::body<optional>,
};
const FuncSpec kUnpackThree = {
    .name = "unpack_three",
    .params = {arg("value", nullptr)},
    .impl = tvx::body<unpack_three>,
};
const FuncSpec kFromImport = {
    .name = "from_import",
    .params = {arg("module", nullptr), arg("name", nullptr)},
    .impl = tvx::body<from_import>,
};
const FuncSpec kGuarded = {
    .name = "guarded",
    .params = {arg("fn", nullptr)},
    .impl = tvx::body<guarded>,
};
const FuncSpec kMarkerIsOwn = {
    .name = "marker_is_own",
    .params = {},
    .impl = tvx::body<marker_is_own>,
    .keeps = {"marker"},
};
const FuncSpec kSpread = {
    .name = "spread",
    .params = {arg("first", nullptr), tvx::star("rest", nullptr), tvx::kwarg("last", nullptr)},
    .impl = tvx::body<spread>,
};
// Declares one parameter more than its body takes: defining it must fail.
const FuncSpec kMismatched = {
    .name = "mismatched",
    .params = {arg("obj", nullptr), arg("name", nullptr), arg("extra", nullptr)},
    .impl = tvx::body<optional>,
};

nb::object define_mismatched(Call &c) {
    return tvx::make_function(nb::handle(reinterpret_cast<PyObject *>(Py_TYPE(c.function().ptr()))),
                              kMismatched, c.globals());
}

const FuncSpec kDefineMismatched = {
    .name = "define_mismatched",
    .params = {},
    .impl = tvx::body<define_mismatched>,
};

void exec_module(nb::module_ m) {
    tvx::ModuleFrame frame(m);
    frame.import("logging");
    frame.set("logger", frame.ns()["logging"].attr("getLogger")(frame.ns()["__name__"]));
    frame.set("marker", nb::dict());
    for (const FuncSpec *spec : {&kWithBody, &kOptional, &kUnpackThree, &kFromImport, &kGuarded,
                                 &kMarkerIsOwn, &kSpread, &kDefineMismatched})
        frame.def(*spec);
}

}  // namespace probe

NB_MODULE(_runtime_probe, m) { probe::exec_module(m); }
