// AboutMeta: the named tuple of basic package metadata that get_aboutmeta returns.
#include "common.hpp"

namespace aboutmeta {

namespace {

constexpr const char *kFields[] = {
    "name",    "version",  "summary",       "license",        "author",
    "maintainer", "homepage", "documentation", "python_version",
};

}  // namespace

// Built as a class statement deriving from NamedTuple does it: the bases are
// resolved through NamedTuple's __mro_entries__, the body's namespace carries the
// (string) annotations, and the metaclass makes the tuple type.
nb::object build_about_meta_class(tvx::ModuleFrame &frame) {
    nb::object types = nb::module_::import_("types");
    nb::tuple bases = nb::make_tuple(frame.ns()["NamedTuple"]);
    nb::object resolved = types.attr("resolve_bases")(bases);
    nb::tuple prepared = nb::borrow<nb::tuple>(types.attr("prepare_class")("AboutMeta", resolved));
    nb::object meta = prepared[0];
    nb::object ns = prepared[1];
    ns["__module__"] = frame.ns()["__name__"];
    ns["__qualname__"] = "AboutMeta";
    ns["__doc__"] = "Basic package metadata for About dialogs and similar UI.";
    nb::dict annotations;
    for (const char *field : kFields)
        annotations[field] = "str";
    ns["__annotations__"] = annotations;
    ns["__static_attributes__"] = nb::tuple();
    if (!resolved.is(bases))
        ns["__orig_bases__"] = bases;
    return meta("AboutMeta", resolved, ns);
}

}  // namespace aboutmeta
