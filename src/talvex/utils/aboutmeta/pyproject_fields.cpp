// Fields of the checkout's pyproject.toml, for source runs without an installed
// distribution.  Only simple one-line `key = "value"` entries are recognised.
#include "common.hpp"

namespace aboutmeta {

namespace {

nb::object read_pyproject_field(Call &c, nb::handle pattern) {
    if (!tvx::truthy(c.g("_PYPROJECT").attr("is_file")()))
        return nb::none();
    nb::object text = c.g("_PYPROJECT").attr("read_text")("encoding"_a = "utf-8");
    nb::object match = pattern.attr("search")(text);
    if (!tvx::truthy(match))
        return nb::none();
    return match.attr("group")(1);
}

const FuncSpec kReadPyprojectField = {
    .name = "_read_pyproject_field",
    .doc = "Read a field of the checkout's pyproject.toml (first line matching pattern).",
    .params = {arg("pattern", "re.Pattern[str]")},
    .returns = "str | None",
    .impl = tvx::body<read_pyproject_field>,
};

}  // namespace

void init_pyproject_fields(tvx::ModuleFrame &frame) { frame.def(kReadPyprojectField); }

}  // namespace aboutmeta
