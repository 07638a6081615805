// The aboutmeta module: its docstring and every module-level name, bound in the
// order the module's statements define them.
#include "common.hpp"

namespace aboutmeta {

namespace {

constexpr const char *kModuleDoc = "Read Talvex package metadata for UI and CLI display.";

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

    init_pyproject_fields(frame);
    init_package_metadata(frame);
    init_about_text(frame);
}

}  // namespace

}  // namespace aboutmeta

NB_MODULE(aboutmeta, m) { aboutmeta::exec_module(m); }
