// The aboutmeta module: the application's package metadata and About text.
#include "runtime/module.hpp"

namespace aboutmeta {

namespace nb = nanobind;

namespace {

void exec_module(nb::module_ m) {
    tvx::ModuleFrame frame(m);
    frame.set("__doc__", nb::str("Read Talvex package metadata for UI and CLI display."));
}

}  // namespace

}  // namespace aboutmeta

NB_MODULE(aboutmeta, m) { aboutmeta::exec_module(m); }
