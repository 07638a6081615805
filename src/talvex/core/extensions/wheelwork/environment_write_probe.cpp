// The write probe: whether the directory an installer run writes into refuses
// this account.  Windows reports that refusal with the same "access is denied" as
// a file held open by a running process, but no restart lets it through, so the
// drivers ask before they queue a change for the next start.
#include "common.hpp"

#include <cerrno>
#include <string_view>

namespace wheelwork {

namespace {

// An OSError that says the file system refused to create a file: no
// permission (an ACL, an immutable directory) or a read-only file system.
bool write_refused(const nb::python_error &e) {
    if (e.matches(PyExc_PermissionError))
        return true;
    if (!e.matches(PyExc_OSError))
        return false;
    nb::object code = tvx::attr_or(e.value(), "errno", nb::none());
    return nb::isinstance<nb::int_>(code) && nb::cast<int>(code) == EROFS;
}

// Creates and removes an empty file of a random name in `directory`.  Returns
// false when the file system refuses to create it; other errors propagate.
// (tempfile.mkstemp is no probe here: on Windows it takes "access denied" in a
// directory for a name clash and tries ten thousand names.)
bool can_create_file_in(const Call &c, nb::handle directory) {
    nb::object os = c.g("os");
    nb::object flags = os.attr("O_WRONLY") | os.attr("O_CREAT") | os.attr("O_EXCL");
    for (const char *extra : {"O_CLOEXEC", "O_NOINHERIT"})
        flags = flags | tvx::attr_or(os, extra, nb::int_(0));
    for (int attempt = 0;; ++attempt) {
        nb::object name = nb::str(".talvex-write-probe-{}").format(os.attr("urandom")(6).attr("hex")());
        nb::object probe = os.attr("path").attr("join")(directory, name);
        try {
            os.attr("close")(os.attr("open")(probe, flags, 0600));
        } catch (nb::python_error &e) {
            if (write_refused(e))
                return false;
            if (!e.matches(PyExc_FileExistsError) || attempt >= 10)
                throw;
            continue;
        }
        try {
            os.attr("unlink")(probe);
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_OSError))
                throw;
            tvx::log(c, "warning", "Could not remove %s: %s", probe, e.value());
        }
        return true;
    }
}

enum class Probe { Writable, Refused, Unknown };

// Probes `directory`; an error other than a refusal (no such directory, ...) is
// logged and means the probe cannot tell.
Probe probe(const Call &c, nb::handle directory) {
    return tvx::except_exception(
        [&] { return can_create_file_in(c, directory) ? Probe::Writable : Probe::Refused; },
        [&](const nb::python_error &e) {
            tvx::log_exc(c, e, "debug", "Write probe of %s failed", directory);
            return Probe::Unknown;
        });
}

// The first of `directories` (str, falsy ones and repeats skipped) that refuses
// to be written, or an invalid object.
nb::object first_refused(const Call &c, nb::handle directories) {
    nb::list probed;
    for (nb::handle directory : directories) {
        if (!tvx::truthy(directory) || PySequence_Contains(probed.ptr(), directory.ptr()) == 1)
            continue;
        probed.append(directory);
        if (probe(c, directory) == Probe::Refused)
            return nb::borrow(directory);
    }
    return {};
}

// The value of the last `--name VALUE` or `--name=VALUE` (or `-x VALUE` for the
// short form `alias`) in `args`; an invalid object when there is none.
nb::object option_value(const nb::list &args, std::string_view name, const char *alias = nullptr) {
    nb::object value;
    size_t n = nb::len(args);
    for (size_t i = 1; i < n; ++i) {
        Py_ssize_t size = 0;
        const char *text = PyUnicode_AsUTF8AndSize(nb::object(args[i]).ptr(), &size);
        if (!text)
            throw nb::python_error();
        std::string_view arg(text, static_cast<size_t>(size));
        bool bare = arg == name || (alias && arg == alias);
        if (bare && i + 1 < n)
            value = args[++i];
        else if (arg.size() > name.size() && arg.substr(0, name.size()) == name &&
                 arg[name.size()] == '=')
            value = nb::str(arg.data() + name.size() + 1, arg.size() - name.size() - 1);
    }
    return value;
}

// pip's reading of a boolean setting from the environment: 1 for yes, 0 for
// no, -1 when unset or not a boolean.
int env_bool(const Call &c, const char *variable) {
    nb::object value = c.g("os").attr("environ").attr("get")(variable, "");
    nb::object word = tvx::to_str(value).attr("strip")().attr("lower")();
    for (const char *yes : {"1", "y", "yes", "t", "true", "on"})
        if (word.equal(nb::str(yes)))
            return 1;
    for (const char *no : {"0", "n", "no", "f", "false", "off"})
        if (word.equal(nb::str(no)))
            return 0;
    return -1;
}

// Whether pip installs into the user site: --user / --no-user, else PIP_USER;
// -1 when neither says (pip then falls back to the user site by itself when
// site-packages cannot be written and the user site is enabled).
int pip_user_install(const Call &c, const nb::list &args) {
    int chosen = -1;
    for (nb::handle arg : args) {
        if (arg.equal(nb::str("--user")))
            chosen = 1;
        else if (arg.equal(nb::str("--no-user")))
            chosen = 0;
    }
    return chosen >= 0 ? chosen : env_bool(c, "PIP_USER");
}

nb::object user_site() { return nb::module_::import_("site").attr("getusersitepackages")(); }

// purelib and platlib of this interpreter.
nb::list own_site_dirs(const Call &c) {
    nb::object sysconfig = nb::module_::import_("sysconfig");
    nb::list directories;
    for (const char *scheme_key : {"purelib", "platlib"}) {
        tvx::except_exception(
            [&] { directories.append(sysconfig.attr("get_path")(scheme_key)); },
            [&](const nb::python_error &e) {
                tvx::log_exc(c, e, "debug", "Write probe of %s failed", nb::none());
            });
    }
    return directories;
}

bool same_interpreter(const Call &c, nb::handle python) {
    nb::object path = c.g("os").attr("path");
    nb::object executable = c.g("sys").attr("executable");
    if (!tvx::truthy(executable))
        return false;
    auto key = [&](nb::handle p) { return path.attr("normcase")(path.attr("abspath")(p)); };
    return key(python).equal(key(executable));
}

constexpr const char *kSiteDirsScript =
    "import sysconfig\n"
    "print(sysconfig.get_path('purelib'))\n"
    "print(sysconfig.get_path('platlib'))\n";
constexpr double kAskSeconds = 30.0;

// purelib and platlib of another interpreter, as it reports them; empty when
// it cannot be asked.
nb::list site_dirs_of(const Call &c, nb::handle python) {
    return tvx::except_exception(
        [&] {
            nb::object subprocess = c.g("subprocess");
            nb::dict kwargs;
            kwargs["capture_output"] = true;
            kwargs["text"] = true;
            kwargs["timeout"] = kAskSeconds;
            kwargs["stdin"] = subprocess.attr("DEVNULL");
            kwargs.attr("update")(c.call("_subprocess_kwargs"));
            nb::object completed =
                subprocess.attr("run")(nb::make_tuple(python, "-c", kSiteDirsScript), **kwargs);
            if (!completed.attr("returncode").equal(nb::int_(0)))
                return nb::list();
            return nb::list(completed.attr("stdout").attr("splitlines")());
        },
        [&](const nb::python_error &e) {
            tvx::log_exc(c, e, "debug", "Write probe could not ask %s for its environment", python);
            return nb::list();
        });
}

nb::object refused_path(const Call &c, nb::handle directories) {
    nb::object refused = first_refused(c, directories);
    return refused.is_valid() ? c.g("Path")(refused) : nb::none();
}

nb::object unwritable_environment(Call &c, nb::handle argv) {
    nb::list args;
    if (!argv.is_none())
        for (nb::handle item : argv)
            args.append(tvx::to_str(item));
    bool pip = nb::len(args) >= 3 && args[1].equal(nb::str("-m")) && args[2].equal(nb::str("pip"));

    // An explicit place: pip's or uv's --target (pip also from PIP_TARGET).
    nb::object target = option_value(args, "--target", pip ? "-t" : nullptr);
    if (!target.is_valid() && pip) {
        nb::object from_env = c.g("os").attr("environ").attr("get")("PIP_TARGET");
        if (tvx::truthy(from_env))
            target = from_env;
    }
    if (target.is_valid())
        return refused_path(c, nb::make_tuple(target));
    if (option_value(args, "--prefix").is_valid() || option_value(args, "--root").is_valid())
        return nb::none();  // a layout of the installer's own: no telling
    int user = pip ? pip_user_install(c, args) : 0;
    if (user == 1)
        return refused_path(c, nb::make_tuple(user_site()));

    // The environment: this interpreter's, or the one uv was pointed at.
    nb::list directories;
    nb::object python = pip ? nb::object() : option_value(args, "--python", "-p");
    if (python.is_valid() && !same_interpreter(c, python))
        directories = site_dirs_of(c, python);
    else
        directories = own_site_dirs(c);
    nb::object refused = first_refused(c, directories);
    if (!refused.is_valid())
        return nb::none();
    // pip installs into the user site when site-packages cannot be written.
    if (user == -1 && tvx::truthy(tvx::attr_or(nb::module_::import_("site"), "ENABLE_USER_SITE",
                                               nb::bool_(false))))
        return refused_path(c, nb::make_tuple(user_site()));
    return c.g("Path")(refused);
}

const FuncSpec kUnwritableEnvironment = {
    .name = "_unwritable_environment",
    .doc = "Directory that the installer running *argv* writes into and this process may not write, or None.\n"
           "\n"
           "That is pip's or uv's ``--target`` (pip's ``PIP_TARGET``), the user site for\n"
           "pip's ``--user`` (``PIP_USER``) and when pip falls back to it because\n"
           "site-packages cannot be written, else the site-packages directories of the\n"
           "environment uv was pointed at with ``--python``, or of this interpreter.\n"
           "Probed by creating and removing a file in each.  An installer that was refused\n"
           "there reports \"access is denied\" just as it does for a file held open by a\n"
           "running process, but no restart will let it through.\n",
    .params = {arg("argv", "Sequence[str] | None", dflt(nullptr))},
    .returns = "Path | None",
    .impl = tvx::body<unwritable_environment>,
};

}  // namespace

void init_write_probe(tvx::ModuleFrame &frame) { frame.def(kUnwritableEnvironment); }

}  // namespace wheelwork
