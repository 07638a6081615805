// PipResult: the frozen dataclass every installer operation returns.
#include "common.hpp"

namespace wheelwork {

namespace {

// PipResult.output: stderr when it holds anything, else stdout, stripped and
// sanitized, at most its last 4000 characters.
nb::object output_impl(Call &c, nb::handle self) {
    nb::object text = self.attr("stderr");
    if (!tvx::truthy(text)) {
        text = self.attr("stdout");
        if (!tvx::truthy(text))
            text = nb::str("");
    }
    nb::object cleaned = c.call("sanitize_cli_text", text.attr("strip")());
    if (!tvx::truthy(cleaned))
        return nb::str("");
    return cleaned[nb::slice(nb::int_(-4000), nb::none(), nb::none())];
}

const FuncSpec kOutput = {
    .name = "output",
    .qualname = "PipResult.output",
    .params = {arg("self", nullptr)},
    .returns = "str",
    .impl = tvx::body<output_impl>,
};

}  // namespace

nb::object build_pip_result_class(tvx::ModuleFrame &frame) {
    nb::dict ns;
    ns["__module__"] = frame.ns()["__name__"];
    ns["__qualname__"] = "PipResult";
    nb::dict annotations;
    annotations["ok"] = "bool";
    annotations["command"] = "tuple[str, ...]";
    annotations["returncode"] = "int";
    annotations["stdout"] = "str";
    annotations["stderr"] = "str";
    annotations["deferred"] = "bool";
    ns["__annotations__"] = annotations;
    ns["stdout"] = "";
    ns["stderr"] = "";
    ns["deferred"] = false;
    nb::object property = nb::module_::import_("builtins").attr("property");
    ns["output"] = property(tvx::make_function(frame.function_type(), kOutput, frame.ns()));
    nb::object type = nb::module_::import_("builtins").attr("type");
    nb::object cls = type("PipResult", nb::make_tuple(), ns);
    nb::object dataclass = frame.ns()["dataclass"];
    return dataclass("frozen"_a = true)(cls);
}

nb::object pip_result(const Call &c, bool ok, nb::handle command, nb::handle returncode,
                      nb::handle stdout_text, nb::handle stderr_text, bool deferred) {
    return c.call("PipResult", "ok"_a = ok, "command"_a = command, "returncode"_a = returncode,
                  "stdout"_a = stdout_text, "stderr"_a = stderr_text, "deferred"_a = deferred);
}

}  // namespace wheelwork
