// The aboutmeta module: its docstring and every module-level name, bound in the
// order the module's statements define them.
#include "common.hpp"

#include <string_view>

namespace aboutmeta {

namespace {

constexpr const char *kModuleDoc = "Read Talvex package metadata for UI and CLI display.";

// Module-level functions in source order.
constexpr const char *kFunctionOrder[] = {
    "_read_pyproject_field",
    "_parse_project_urls",
    "_display_name",
    "get_version",
    "get_aboutmeta",
    "_clean_summary",
    "format_about_html",
};

void exec_module(nb::module_ m) {
    tvx::ModuleFrame frame(m);
    frame.set("__doc__", nb::str(kModuleDoc));
    frame.import("re");
    frame.import("sys");
    frame.from_import("importlib", {"metadata"});
    frame.from_import("pathlib", {"Path"});
    frame.from_import("typing", {"NamedTuple"});

    nb::dict ns = frame.ns();
    frame.set("_PACKAGE_NAME", nb::str("talvex"));
    // The checkout root, when the module runs from talvex/utils of a source tree.
    frame.set("_PYPROJECT", ns["Path"](ns["__file__"]).attr("resolve")().attr("parents")[2] /
                                nb::str("pyproject.toml"));
    nb::object re = ns["re"];
    frame.set("_VERSION_RE",
              re.attr("compile")("^version\\s*=\\s*\"([^\"]+)\"", re.attr("MULTILINE")));
    frame.set("_SUMMARY_RE",
              re.attr("compile")("^description\\s*=\\s*\"([^\"]+)\"", re.attr("MULTILINE")));
    frame.set("_DEFAULT_HOMEPAGE", nb::str("https://github.com/talvex/talvex"));
    frame.set("_DEFAULT_SUMMARY", nb::str("Talvex for visualization and analysis."));
    frame.set("AboutMeta", build_about_meta_class(frame));

    frame.def_in_order(kFunctionOrder,
                       {pyproject_fields_functions, package_metadata_functions, about_text_functions});
}

}  // namespace

}  // namespace aboutmeta

NB_MODULE(aboutmeta, m) { aboutmeta::exec_module(m); }
