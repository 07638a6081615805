// The environment of every installer run: pip and uv reach the same index, uv
// trusts the system's certificates and goes through the proxy urllib finds.
// Everything is handed over through variables, never on the command line, so
// the commands shown and recorded stay as they are.
#include "common.hpp"

namespace wheelwork {

namespace {

// Whether `env` names a proxy the installers read (HTTP_PROXY, HTTPS_PROXY,
// ALL_PROXY in either case).
bool names_proxy(nb::handle env) {
    nb::object read = nb::make_tuple("http_proxy", "https_proxy", "all_proxy");
    for (nb::handle key : env.attr("keys")()) {
        nb::object lower = tvx::to_str(key).attr("lower")();
        int found = PySequence_Contains(read.ptr(), lower.ptr());
        if (found < 0)
            throw nb::python_error();
        if (found && tvx::truthy(env[key]))
            return true;
    }
    return false;
}

nb::object urls_of(nb::handle settings) {
    nb::list urls;
    for (nb::handle item : settings)
        urls.append(item["url"]);
    return nb::str(" ").attr("join")(urls);
}

// Hands `from`'s index (and extra indexes) to the installer that has none.
void hand_over(const Call &c, nb::handle env, nb::handle from, nb::handle to, const char *from_name,
               const char *to_name, const char *index_variable, const char *extra_variable) {
    nb::object index = from["index"];
    if (index.is_none() || !to["index"].is_none())
        return;
    env[index_variable] = index["url"];
    tvx::log(c, "debug", "%s gets %s's index %s (%s) through %s", to_name, from_name,
             c.call("_redact_url", index["url"]), index["source"], index_variable);
    if (!tvx::truthy(to["extra_indexes"]) && tvx::truthy(from["extra_indexes"]))
        env[extra_variable] = urls_of(from["extra_indexes"]);
}

nb::object installer_environment(Call &c, nb::handle env) {
    nb::object pip = c.call("_pip_index_settings"), uv = c.call("_uv_index_settings");
    nb::object settings = c.call("_proxy_settings");
    hand_over(c, env, pip, uv, "pip", "uv", "UV_DEFAULT_INDEX", "UV_INDEX");
    hand_over(c, env, uv, pip, "uv", "pip", "PIP_INDEX_URL", "PIP_EXTRA_INDEX_URL");

    nb::dict environment = nb::borrow<nb::dict>(env);
    if (!environment.contains("UV_SYSTEM_CERTS") && !environment.contains("UV_NATIVE_TLS")) {
        env["UV_SYSTEM_CERTS"] = "1";
        env["UV_NATIVE_TLS"] = "1";
    }

    if (!names_proxy(env)) {
        bool windows = c.g("sys").attr("platform").equal(nb::str("win32"));
        auto put = [&](nb::handle name, nb::handle value) {
            env[name.attr("upper")()] = value;
            if (!windows)
                env[name] = value;
        };
        for (nb::handle proxy : settings["proxies"]) {
            nb::object scheme = proxy["scheme"];
            if (!scheme.equal(nb::str("http")) && !scheme.equal(nb::str("https")))
                continue;
            put(nb::str("{}_proxy").format(scheme), proxy["url"]);
            tvx::log(c, "debug", "Installers get the %s proxy %s (%s)", scheme,
                     c.call("_redact_url", proxy["url"]), proxy["source"]);
        }
        nb::object bypass = settings["no_proxy"];
        if (!bypass.is_none() && tvx::truthy(settings["proxies"]))
            put(nb::str("no_proxy"), bypass["url"]);
    }
    return nb::borrow(env);
}

const FuncSpec kInstallerEnvironment = {
    .name = "_installer_environment",
    .doc = "Complete *env*, the environment of an installer run, with the site's network settings.\n"
           "\n"
           "The installer that has no index configured gets the other one's\n"
           "(UV_DEFAULT_INDEX/UV_INDEX for uv, PIP_INDEX_URL/PIP_EXTRA_INDEX_URL for pip);\n"
           "uv gets the system trust store (UV_SYSTEM_CERTS, UV_NATIVE_TLS) unless either is\n"
           "set, and the proxy urllib finds when *env* names none.  Returns *env*.\n",
    .params = {arg("env", "dict[str, str]")},
    .returns = "dict[str, str]",
    .impl = tvx::body<installer_environment>,
};

}  // namespace

void init_installer_environment(tvx::ModuleFrame &frame) { frame.def(kInstallerEnvironment); }

}  // namespace wheelwork
