// The site's network settings as the installers and the catalog see them: the
// index each installer is configured to use (pip's and uv's own rules, their
// environment variables and configuration files), the proxy urllib finds, and
// the trust each one applies, each with where it came from.
#include "common.hpp"

#include <tuple>
#include <utility>

namespace wheelwork {

namespace {

// {"url": url, "source": source}
nb::dict setting(nb::handle url, nb::handle source) {
    nb::dict d;
    d["url"] = url;
    d["source"] = source;
    return d;
}

nb::object env_source(const char *variable) {
    return nb::str("environment variable {}").format(variable);
}

// os.environ.get(name) when set and not blank, else an invalid object.
nb::object env_value(const Call &c, const char *name) {
    nb::object value = c.g("os").attr("environ").attr("get")(name);
    if (!tvx::truthy(value) || !tvx::truthy(value.attr("strip")()))
        return nb::object();
    return value.attr("strip")();
}

bool on_windows(const Call &c) {
    return c.g("sys").attr("platform").equal(nb::str("win32"));
}

nb::object join(const Call &c, std::initializer_list<nb::handle> parts) {
    nb::list items;
    for (nb::handle part : parts)
        items.append(part);
    return c.g("os").attr("path").attr("join")(*nb::tuple(items));
}

nb::object home(const Call &c) { return c.g("os").attr("path").attr("expanduser")("~"); }

// $XDG_CONFIG_HOME, else ~/.config.
nb::object user_config_home(const Call &c) {
    nb::object value = env_value(c, "XDG_CONFIG_HOME");
    return value.is_valid() ? value : join(c, {home(c), nb::str(".config")});
}

// The folders of $XDG_CONFIG_DIRS (default /etc/xdg).
nb::list system_config_dirs(const Call &c) {
    nb::object value = env_value(c, "XDG_CONFIG_DIRS");
    if (!value.is_valid())
        value = nb::str("/etc/xdg");
    nb::list dirs;
    for (nb::handle d : value.attr("split")(c.g("os").attr("pathsep")))
        if (tvx::truthy(d))
            dirs.append(d);
    return dirs;
}

void warn_skipped(const Call &c, const char *kind, nb::handle path, const nb::python_error &e) {
    tvx::log(c, "warning", "Skipping the %s configuration file %s: %s", kind, path, e.value());
}

// --- pip ---------------------------------------------------------------------------

// pip's configuration files in the order pip loads them (a later one overrides an
// earlier one): (path, is a user file) pairs.  The file named by PIP_CONFIG_FILE
// comes last; os.devnull there turns every file off.
nb::list pip_config_files(const Call &c) {
    nb::list files;
    nb::object named = env_value(c, "PIP_CONFIG_FILE");
    nb::object os = c.g("os");
    if (named.is_valid() && named.equal(os.attr("devnull")))
        return files;
    auto add = [&](nb::handle path, bool user) { files.append(nb::make_tuple(path, user)); };
    if (on_windows(c)) {
        nb::object programdata = env_value(c, "PROGRAMDATA");
        add(join(c, {programdata.is_valid() ? programdata : nb::str("C:\\ProgramData"),
                     nb::str("pip"), nb::str("pip.ini")}),
            false);
        add(join(c, {home(c), nb::str("pip"), nb::str("pip.ini")}), true);
        nb::object appdata = env_value(c, "APPDATA");
        if (appdata.is_valid())
            add(join(c, {appdata, nb::str("pip"), nb::str("pip.ini")}), true);
        add(join(c, {c.g("sys").attr("prefix"), nb::str("pip.ini")}), false);
    } else {
        for (nb::handle d : system_config_dirs(c))
            add(join(c, {d, nb::str("pip"), nb::str("pip.conf")}), false);
        add(nb::str("/etc/pip.conf"), false);
        add(join(c, {home(c), nb::str(".pip"), nb::str("pip.conf")}), true);
        add(join(c, {user_config_home(c), nb::str("pip"), nb::str("pip.conf")}), true);
        add(join(c, {c.g("sys").attr("prefix"), nb::str("pip.conf")}), false);
    }
    // pip leaves the user's files out when PIP_CONFIG_FILE names an existing file.
    if (named.is_valid() && tvx::truthy(os.attr("path").attr("exists")(named))) {
        nb::list kept;
        for (nb::handle entry : files)
            if (!tvx::truthy(entry[1]))
                kept.append(entry);
        files = kept;
    }
    if (named.is_valid())
        add(named, false);
    return files;
}

// The [global] and [install] options of pip's files, merged in pip's order:
// {"global": {key: (value, path)}, "install": {...}}.  Keys are normalised as pip
// does (lower case, "_" as "-").
nb::dict pip_file_options(const Call &c) {
    nb::dict sections;
    sections["global"] = nb::dict();
    sections["install"] = nb::dict();
    nb::object exists = c.g("os").attr("path").attr("isfile");
    for (nb::handle entry : pip_config_files(c)) {
        nb::object path = entry[0];
        tvx::except_exception(
            [&] {
                if (!tvx::truthy(exists(path)))
                    return;
                nb::object parser = nb::module_::import_("configparser").attr("RawConfigParser")();
                nb::object encoding =
                    nb::module_::import_("locale").attr("getpreferredencoding")(false);
                parser.attr("read")(path, "encoding"_a = encoding);
                for (const char *section : {"global", "install"}) {
                    if (!tvx::truthy(parser.attr("has_section")(section)))
                        continue;
                    nb::dict target = nb::borrow<nb::dict>(sections[section]);
                    for (nb::handle item : parser.attr("items")(section)) {
                        nb::object key = nb::str(item[0]).attr("lower")().attr("replace")("_", "-");
                        target[key] = nb::make_tuple(item[1], path);
                    }
                }
            },
            [&](const nb::python_error &e) { warn_skipped(c, "pip", path, e); });
    }
    return sections;
}

// The value of option `key` from pip's files ([install] over [global]) with its
// source, or an invalid object.
std::pair<nb::object, nb::object> pip_file_option(nb::dict sections, const char *key) {
    for (const char *section : {"install", "global"}) {
        nb::dict options = nb::borrow<nb::dict>(sections[section]);
        if (options.contains(key)) {
            nb::object found = options[key];
            return {found[0], nb::str("pip configuration file {}").format(found[1])};
        }
    }
    return {nb::object(), nb::object()};
}

nb::object pip_index_settings(Call &c) {
    nb::dict sections = pip_file_options(c);
    nb::dict result;
    result["index"] = nb::none();
    nb::object index = env_value(c, "PIP_INDEX_URL");
    if (index.is_valid()) {
        result["index"] = setting(index, env_source("PIP_INDEX_URL"));
    } else {
        auto [value, source] = pip_file_option(sections, "index-url");
        if (value.is_valid() && tvx::truthy(value.attr("strip")()))
            result["index"] = setting(value.attr("strip")(), source);
    }
    nb::list extras;
    nb::object extra = env_value(c, "PIP_EXTRA_INDEX_URL");
    nb::object extra_source = env_source("PIP_EXTRA_INDEX_URL");
    if (!extra.is_valid())
        std::tie(extra, extra_source) = pip_file_option(sections, "extra-index-url");
    if (extra.is_valid())
        for (nb::handle url : extra.attr("split")())
            extras.append(setting(url, extra_source));
    result["extra_indexes"] = extras;
    result["cert"] = nb::none();
    nb::object cert = env_value(c, "PIP_CERT");
    if (cert.is_valid()) {
        result["cert"] = setting(cert, env_source("PIP_CERT"));
    } else {
        auto [value, source] = pip_file_option(sections, "cert");
        if (value.is_valid() && tvx::truthy(value.attr("strip")()))
            result["cert"] = setting(value.attr("strip")(), source);
    }
    return result;
}

// --- uv ----------------------------------------------------------------------------

// A TOML document, or None when the file cannot be read or parsed (logged).
nb::object read_toml(const Call &c, nb::handle path) {
    return tvx::except_exception(
        [&] {
            nb::object doc;
            tvx::with(nb::module_::import_("io").attr("open")(path, "rb"), [&](nb::handle f) {
                doc = nb::module_::import_("tomllib").attr("load")(f);
            });
            return doc;
        },
        [&](const nb::python_error &e) {
            warn_skipped(c, "uv", path, e);
            return nb::object(nb::none());
        });
}

// The project's settings as uv finds them, from the current directory upward:
// the nearest uv.toml, or pyproject.toml with a [tool.uv] table (a uv.toml
// wins in its directory; a pyproject.toml without the table is passed over).
// Appends (path, settings) when one is found.
void add_project_file(const Call &c, nb::list &files) {
    nb::object os = c.g("os");
    nb::object isfile = os.attr("path").attr("isfile");
    nb::object dir = tvx::except_exception([&] { return nb::object(os.attr("getcwd")()); },
                                           [] { return nb::object(nb::none()); });
    while (!dir.is_none()) {
        nb::object uv_toml = join(c, {dir, nb::str("uv.toml")});
        if (tvx::truthy(isfile(uv_toml))) {
            files.append(nb::make_tuple(uv_toml, read_toml(c, uv_toml)));
            return;
        }
        nb::object pyproject = join(c, {dir, nb::str("pyproject.toml")});
        if (tvx::truthy(isfile(pyproject))) {
            nb::object doc = read_toml(c, pyproject);
            nb::object tool = PyDict_Check(doc.ptr()) ? nb::object(doc.attr("get")("tool")) : nb::object(nb::none());
            nb::object table = PyDict_Check(tool.ptr()) ? nb::object(tool.attr("get")("uv")) : nb::object(nb::none());
            if (PyDict_Check(table.ptr())) {
                files.append(nb::make_tuple(pyproject, table));
                return;
            }
        }
        nb::object parent = os.attr("path").attr("dirname")(dir);
        dir = parent.equal(dir) ? nb::object(nb::none()) : parent;
    }
}

// The settings files uv reads, (path, settings or None) with the one that wins
// first: UV_CONFIG_FILE alone; none with UV_NO_CONFIG; else the project's, the
// user's, then the system's.
nb::list uv_config_files(const Call &c) {
    nb::list files;
    nb::object named = env_value(c, "UV_CONFIG_FILE");
    if (named.is_valid()) {
        files.append(nb::make_tuple(named, read_toml(c, named)));
        return files;
    }
    nb::object no_config = env_value(c, "UV_NO_CONFIG");
    if (no_config.is_valid() &&
        PySequence_Contains(nb::make_tuple("0", "false", "no", "off").ptr(),
                            no_config.attr("lower")().ptr()) == 0)
        return files;
    add_project_file(c, files);
    nb::object isfile = c.g("os").attr("path").attr("isfile");
    auto first_existing = [&](const nb::list &candidates) {
        for (nb::handle path : candidates)
            if (tvx::truthy(isfile(path))) {
                files.append(nb::make_tuple(path, read_toml(c, path)));
                return;
            }
    };
    nb::list user, system;
    if (on_windows(c)) {
        nb::object appdata = env_value(c, "APPDATA");
        if (appdata.is_valid())
            user.append(join(c, {appdata, nb::str("uv"), nb::str("uv.toml")}));
        nb::object programdata = env_value(c, "PROGRAMDATA");
        system.append(join(c, {programdata.is_valid() ? programdata : nb::str("C:\\ProgramData"),
                               nb::str("uv"), nb::str("uv.toml")}));
    } else {
        user.append(join(c, {user_config_home(c), nb::str("uv"), nb::str("uv.toml")}));
        for (nb::handle d : system_config_dirs(c))
            system.append(join(c, {d, nb::str("uv"), nb::str("uv.toml")}));
        system.append(nb::str("/etc/uv/uv.toml"));
    }
    first_existing(user);
    first_existing(system);
    return files;
}

// The URL of a UV_INDEX entry, which may be written "name=url".
nb::object uv_index_entry_url(nb::handle entry) {
    nb::object text = nb::borrow(entry);
    nb::object parts = text.attr("split")("=", 1);
    if (nb::len(parts) == 2) {
        nb::object name = parts[0];
        if (!tvx::truthy(name.attr("__contains__")(":")) && !tvx::truthy(name.attr("__contains__")("/")))
            return parts[1];
    }
    return text;
}

// The default index and the extra indexes one uv.toml names: [[index]] with
// default = true, then index-url of [pip], then the top-level index-url.
void uv_file_indexes(nb::handle doc, nb::handle source, nb::object &index, nb::list &extras) {
    if (!PyDict_Check(doc.ptr()))
        return;
    auto text_of = [](nb::handle value) -> nb::object {
        if (PyUnicode_Check(value.ptr()) && tvx::truthy(value.attr("strip")()))
            return value.attr("strip")();
        return nb::object();
    };
    nb::object pip = doc.attr("get")("pip");
    for (nb::handle table : {nb::handle(doc), nb::handle(pip)}) {
        if (!PyDict_Check(table.ptr()))
            continue;
        nb::object url = text_of(table.attr("get")("index-url"));
        if (url.is_valid())
            index = setting(url, source);
        nb::object more = table.attr("get")("extra-index-url");
        if (PyList_Check(more.ptr()))
            for (nb::handle item : more) {
                nb::object extra = text_of(item);
                if (extra.is_valid())
                    extras.append(setting(extra, source));
            }
    }
    nb::object entries = doc.attr("get")("index");
    if (!PyList_Check(entries.ptr()))
        return;
    for (nb::handle entry : entries) {
        if (!PyDict_Check(entry.ptr()))
            continue;
        nb::object url = text_of(entry.attr("get")("url"));
        if (!url.is_valid())
            continue;
        if (entry.attr("get")("default").is(nb::bool_(true)))
            index = setting(url, source);
        else
            extras.append(setting(url, source));
    }
}

nb::object uv_index_settings(Call &c) {
    nb::object index;
    nb::list extras;
    for (const char *variable : {"UV_INDEX", "UV_EXTRA_INDEX_URL"}) {
        nb::object value = env_value(c, variable);
        if (value.is_valid())
            for (nb::handle entry : value.attr("split")())
                extras.append(setting(uv_index_entry_url(entry), env_source(variable)));
    }
    for (const char *variable : {"UV_DEFAULT_INDEX", "UV_INDEX_URL"}) {
        nb::object value = env_value(c, variable);
        if (value.is_valid() && !index.is_valid())
            index = setting(value, env_source(variable));
    }
    for (nb::handle file : uv_config_files(c)) {
        nb::object found;
        nb::list more;
        uv_file_indexes(file[1], nb::str("uv configuration file {}").format(file[0]), found, more);
        if (!index.is_valid() && found.is_valid())
            index = found;
        for (nb::handle extra : more)
            extras.append(extra);
    }
    nb::dict result;
    result["index"] = index.is_valid() ? index : nb::none();
    result["extra_indexes"] = extras;
    return result;
}

// --- proxy and trust ---------------------------------------------------------------

// Whether the environment names a proxy (any *_proxy variable but no_proxy).
bool environment_names_proxy(const Call &c, nb::handle env_vars) {
    (void)c;
    for (nb::handle key : env_vars.attr("keys")()) {
        nb::object lower = nb::str(key).attr("lower")();
        if (tvx::truthy(lower.attr("endswith")("_proxy")) && !lower.equal(nb::str("no_proxy")) &&
            tvx::truthy(env_vars[key]))
            return true;
    }
    return false;
}

// The bypass list of Windows' Internet settings as a no_proxy value, or None.
nb::object windows_proxy_bypass(const Call &c) {
    (void)c;
#ifdef _WIN32
    return tvx::except_exception(
        [&]() -> nb::object {
            nb::object winreg = nb::module_::import_("winreg");
            nb::object override_value;
            tvx::with(winreg.attr("OpenKey")(
                          winreg.attr("HKEY_CURRENT_USER"),
                          "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings"),
                      [&](nb::handle key) {
                          override_value = winreg.attr("QueryValueEx")(key, "ProxyOverride")[0];
                      });
            nb::list entries;
            for (nb::handle item : nb::str(override_value).attr("split")(";")) {
                nb::object entry = item.attr("strip")();
                if (entry.equal(nb::str("<local>"))) {
                    entries.append("localhost");
                    entries.append("127.0.0.1");
                } else if (tvx::truthy(entry)) {
                    entries.append(entry);
                }
            }
            return tvx::truthy(entries) ? nb::object(nb::str(",").attr("join")(entries))
                                        : nb::object(nb::none());
        },
        [] { return nb::object(nb::none()); });
#else
    return nb::none();
#endif
}

nb::object trust_setting(nb::handle value, nb::handle source) {
    nb::dict d;
    d["value"] = value;
    d["source"] = source;
    return d;
}

nb::object proxy_settings(Call &c) {
    nb::dict result;
    nb::object env_vars = c.g("os").attr("environ");
    bool from_environment = environment_names_proxy(c, env_vars);
    nb::object proxy_source = nb::str(from_environment ? "environment variables"
                                      : on_windows(c)  ? "Windows Internet settings"
                                                       : "system settings");
    nb::object proxies = nb::module_::import_("urllib.request").attr("getproxies")();
    nb::list listed;
    nb::object no_proxy = nb::none();
    for (nb::handle item : proxies.attr("items")()) {
        nb::object scheme = item[0], url = item[1];
        if (scheme.equal(nb::str("no"))) {
            no_proxy = setting(url, proxy_source);
            continue;
        }
        nb::dict entry = setting(url, proxy_source);
        entry["scheme"] = scheme;
        listed.append(entry);
    }
    if (no_proxy.is_none() && !from_environment && tvx::truthy(listed)) {
        nb::object bypass = windows_proxy_bypass(c);
        if (!bypass.is_none())
            no_proxy = setting(bypass, proxy_source);
    }
    result["proxies"] = listed;
    result["no_proxy"] = no_proxy;
    return result;
}

nb::object site_network_settings(Call &c) {
    nb::dict result;
    nb::object pip = c.call("_pip_index_settings");
    nb::object uv = c.call("_uv_index_settings");
    result["pip"] = pip;
    result["uv"] = uv;
    result["index"] = c.call("_installer_index", "settings"_a = result);
    nb::object proxy = c.call("_proxy_settings");
    result["proxies"] = proxy["proxies"];
    result["no_proxy"] = proxy["no_proxy"];
    nb::object env_vars = c.g("os").attr("environ");

    nb::dict trust;
    nb::object system = nb::str("the system trust store");
    nb::object cert_file = env_value(c, "SSL_CERT_FILE");
    trust["catalog"] = cert_file.is_valid()
                           ? trust_setting(cert_file, env_source("SSL_CERT_FILE"))
                           : trust_setting(system, nb::str("the default TLS context"));
    nb::object pip_cert = pip["cert"];
    trust["pip"] = pip_cert.is_none() ? trust_setting(system, nb::str("pip's default"))
                                      : trust_setting(pip_cert["url"], pip_cert["source"]);
    nb::object uv_value = cert_file.is_valid() ? cert_file : system;
    nb::object uv_source;
    for (const char *variable : {"UV_SYSTEM_CERTS", "UV_NATIVE_TLS"}) {
        if (!uv_source.is_valid() && tvx::truthy(env_vars.attr("__contains__")(variable)))
            uv_source = env_source(variable);
    }
    if (!uv_source.is_valid())
        uv_source = cert_file.is_valid()
                        ? nb::object(env_source("SSL_CERT_FILE"))
                        : nb::object(nb::str("UV_SYSTEM_CERTS=1, set by Talvex for every uv run"));
    trust["uv"] = trust_setting(uv_value, uv_source);
    result["trust"] = trust;
    return result;
}

// The index the installer that will run uses, and the catalog reads: the one
// it is configured with, else the one the other installer is configured with
// (which it is handed), else the public index.
nb::object installer_index(Call &c, nb::handle settings) {
    nb::object pip = settings.is_none() ? c.call("_pip_index_settings") : nb::object(settings["pip"]);
    nb::object uv = settings.is_none() ? c.call("_uv_index_settings") : nb::object(settings["uv"]);
    bool uv_runs = tvx::truthy(c.call("prefer_uv"));
    nb::object first = uv_runs ? uv : pip, second = uv_runs ? pip : uv;
    for (nb::handle chosen : {nb::handle(first), nb::handle(second)}) {
        nb::object index = chosen["index"];
        if (!index.is_none()) {
            nb::dict found = setting(index["url"], index["source"]);
            found["public"] = false;
            return found;
        }
    }
    nb::dict found = setting(nb::str("https://{}/simple/").format(kIndexHost),
                             nb::str("the public package index (no index is configured)"));
    found["public"] = true;
    return found;
}

// <index root>/pypi/<name>/json of the index the installers use, credentials
// and all; None when the module's client cannot ask it (a scheme other than
// http or https): the public index is never asked in its place.
nb::object project_json_url(Call &c, nb::handle name) {
    nb::object index = c.call("_installer_index");
    if (tvx::truthy(index["public"]))
        return nb::str("https://{}/pypi/{}/json").format(kIndexHost, name);
    nb::object url = tvx::to_str(index["url"]);
    nb::object parts = nb::module_::import_("urllib.parse").attr("urlsplit")(url);
    nb::object scheme = parts.attr("scheme").attr("lower")();
    if (!scheme.equal(nb::str("http")) && !scheme.equal(nb::str("https")))
        return nb::none();
    nb::object root = url.attr("split")("?", 1)[0].attr("rstrip")("/");
    if (tvx::truthy(root.attr("endswith")("/simple")))
        root = root[nb::slice(nb::none(), nb::int_(-7), nb::none())];
    return nb::str("{}/pypi/{}/json").format(root, name);
}

const FuncSpec kProjectJsonUrl = {
    .name = "_project_json_url",
    .doc = "The JSON document of project *name* on the index the installers use (with its\n"
           "credentials, if any), or None.",
    .params = {arg("name", "str")},
    .returns = "str | None",
    .impl = tvx::body<project_json_url>,
};

const FuncSpec kPipIndexSettings = {
    .name = "_pip_index_settings",
    .doc = "The index, extra indexes and certificate bundle pip is configured with.\n"
           "\n"
           "Read as pip reads them: PIP_INDEX_URL, PIP_EXTRA_INDEX_URL and PIP_CERT, then\n"
           "its configuration files in pip's order ([install] over [global]); each value\n"
           "is {\"url\": ..., \"source\": ...} or None.  A file that cannot be read is\n"
           "logged and skipped.\n",
    .params = {},
    .returns = "dict[str, Any]",
    .impl = tvx::body<pip_index_settings>,
};

const FuncSpec kUvIndexSettings = {
    .name = "_uv_index_settings",
    .doc = "The default and extra indexes uv is configured with.\n"
           "\n"
           "Read as uv reads them: UV_DEFAULT_INDEX, UV_INDEX_URL, UV_INDEX and\n"
           "UV_EXTRA_INDEX_URL, then its settings files (UV_CONFIG_FILE, or unless\n"
           "UV_NO_CONFIG the project's uv.toml or pyproject.toml [tool.uv] nearest the\n"
           "current directory, the user's and the system's uv.toml).  A file that cannot\n"
           "be read is logged and skipped.\n",
    .params = {},
    .returns = "dict[str, Any]",
    .impl = tvx::body<uv_index_settings>,
};

const FuncSpec kInstallerIndex = {
    .name = "_installer_index",
    .doc = "The index the installer that runs uses: its own, else the other's, else the public one.",
    .params = {kwarg("settings", "dict[str, Any] | None", dflt(nullptr))},
    .returns = "dict[str, Any]",
    .impl = tvx::body<installer_index>,
};

const FuncSpec kProxySettings = {
    .name = "_proxy_settings",
    .doc = "The proxies urllib finds ({\"proxies\": [...], \"no_proxy\": ...}), each with its source.",
    .params = {},
    .returns = "dict[str, Any]",
    .impl = tvx::body<proxy_settings>,
};

const FuncSpec kSiteNetworkSettings = {
    .name = "_site_network_settings",
    .doc = "The site's indexes, proxy and trust as pip, uv and the catalog use them.\n"
           "\n"
           "Every value carries the place it came from.  Index URLs are returned as\n"
           "configured, credentials included: show them through _redact_url only.\n",
    .params = {},
    .returns = "dict[str, Any]",
    .impl = tvx::body<site_network_settings>,
};

}  // namespace

void init_network_settings(tvx::ModuleFrame &frame) {
    frame.def(kPipIndexSettings);
    frame.def(kUvIndexSettings);
    frame.def(kInstallerIndex);
    frame.def(kProxySettings);
    frame.def(kSiteNetworkSettings);
    frame.def(kProjectJsonUrl);
}

}  // namespace wheelwork
