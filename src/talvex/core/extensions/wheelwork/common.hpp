// Shared pieces of the wheelwork module: the package index's host names, the
// per-concern parts the module frame is assembled from, and the PipResult
// constructor used by every concern.
#pragma once

#include <utility>

#include "runtime/call.hpp"
#include "runtime/errors.hpp"
#include "runtime/function.hpp"
#include "runtime/idioms.hpp"
#include "runtime/logging.hpp"
#include "runtime/module.hpp"


namespace wheelwork {

namespace nb = nanobind;
using namespace nb::literals;
using tvx::arg;
using tvx::Call;
using tvx::dflt;
using tvx::FuncSpec;
using tvx::kwarg;
using tvx::star;

// The public package index: its main host and its test instance.  Every URL the
// module builds or recognises is derived from these two names.
inline constexpr const char *kIndexHost = "pypi.org";
inline constexpr const char *kTestIndexHost = "test.pypi.org";

// The terminal escape-sequence pattern bound as `_ANSI_ESCAPE_RE`: ESC, then an
// operating-system command up to its first BEL or ESC-backslash, a control
// sequence, or a single character.
inline constexpr const char *kAnsiEscapePattern =
    "\\x1b(?:\\][^\\x07]*?(?:\\x07|\\x1b\\\\)|\\[[0-?]*[ -/]*[@-~]|[@-Z\\\\-_])";

// Cleans installer text the way sanitize_cli_text does before its cut, in one
// pass: removes what kAnsiEscapePattern matches, turns CR LF and lone CR into LF,
// drops control and format characters, and strips surrounding whitespace.
nb::object clean_console_text(nb::handle text);

// Each concern defines its functions into the module, in the module's order (each
// in the source file of that name; a concern whose functions the module defines
// in more than one place has one init_ for each).
void init_cli_text(tvx::ModuleFrame &frame);
void init_module_purge(tvx::ModuleFrame &frame);
void init_installer_choice(tvx::ModuleFrame &frame);         // installer_commands.cpp
void init_command_display(tvx::ModuleFrame &frame);          // cli_text.cpp
void init_uninstall_argv(tvx::ModuleFrame &frame);           // installer_commands.cpp
void init_pending_ops(tvx::ModuleFrame &frame);
void init_deferred_replay(tvx::ModuleFrame &frame);
void init_broken_install_cleanup(tvx::ModuleFrame &frame);
void init_installer_commands(tvx::ModuleFrame &frame);
void init_missing_deps(tvx::ModuleFrame &frame);
void init_installer_runner(tvx::ModuleFrame &frame);
void init_install_argv(tvx::ModuleFrame &frame);             // installer_commands.cpp
void init_installer_failures(tvx::ModuleFrame &frame);       // installer_runner.cpp
void init_write_probe(tvx::ModuleFrame &frame);              // from init_installer_failures
void init_wheel_file(tvx::ModuleFrame &frame);
void init_install_drivers(tvx::ModuleFrame &frame);
void init_package_names(tvx::ModuleFrame &frame);
void init_extension_packages(tvx::ModuleFrame &frame);       // package_names.cpp
void init_index_client(tvx::ModuleFrame &frame);
void init_extension_catalog(tvx::ModuleFrame &frame);
void init_credential_redaction(tvx::ModuleFrame &frame);
void init_network_settings(tvx::ModuleFrame &frame);
void init_installer_environment(tvx::ModuleFrame &frame);
void init_index_catalog(tvx::ModuleFrame &frame);

// Whether the installed state of *pkg* (a bare name) is broken, judged from the
// site-packages roots and the installer's failure text (broken_install_cleanup.cpp).
bool installed_state_broken(const tvx::Call &c, nb::handle pkg, nb::handle failure_text);

// The installer run of `_run` when output is relayed or a cancel is given
// (installer_stream.cpp): *cmd* with its environment *env*, bounded by *timeout*
// (None: no bound), which a time-out message spells with the format *spec*.
nb::object run_streaming(const Call &c, nb::tuple cmd, nb::dict env, nb::handle timeout,
                         const char *spec, nb::handle on_output, nb::handle cancel);

// The results of an installer run, shared by both ways of running one
// (installer_runner.cpp): the installer could not be started (*error*, the
// OSError), ran out of time (*limit* spelled with the format *spec*), or ended
// with *returncode*.
nb::object start_failure_result(const Call &c, nb::tuple cmd, nb::handle error);
nb::object timeout_result(const Call &c, nb::handle cmd, nb::handle limit, const char *spec,
                          nb::handle stdout_text);
nb::object finished_result(const Call &c, nb::handle cmd, nb::handle returncode,
                           nb::handle stdout_text, nb::handle stderr_text);

// The catalog entry of a project before (or without) its metadata
// (extension_catalog.cpp).
nb::dict stub_entry(const Call &c, nb::handle pkg);

// An index URL without the credentials of its user info, and the headers that
// send them as basic authentication (empty when it has none).
std::pair<nb::object, nb::dict> without_credentials(nb::handle url);

// cancel.is_set(), where a cancel that cannot tell counts as not set.
bool cancel_requested(const Call &c, nb::handle cancel);

// The keywords on_output= and cancel= of those given (not None), so that a call
// without them is the call it was before they existed.
nb::dict stream_keywords(nb::handle on_output, nb::handle cancel);

// Whether *result* is that of a run ended by *cancel* before it changed anything.
bool was_cancelled(const Call &c, nb::handle result, nb::handle cancel);

// A wheel file whose name ends in ".whl" in another case (".WHL"): the installers
// take only ".whl", so they get a copy named so, in a temporary folder of its own
// that goes when the guard does (wheel_file.cpp).  `path` is the file itself when
// its name needs nothing.  Raises OSError when the copy cannot be made.
class StagedWheel {
public:
    StagedWheel(const tvx::Call &c, nb::handle file);
    ~StagedWheel();
    StagedWheel(const StagedWheel &) = delete;
    StagedWheel &operator=(const StagedWheel &) = delete;
    nb::object path;

private:
    nb::object remove_;  // shutil.rmtree, once a folder was made
    nb::object folder_;
};

// The PipResult class, built at import (see pip_result.cpp).
nb::object build_pip_result_class(tvx::ModuleFrame &frame);

// PipResult(ok=..., command=..., returncode=..., stdout=..., stderr=..., deferred=...)
// through the module's current `PipResult`.
nb::object pip_result(const Call &c, bool ok, nb::handle command, nb::handle returncode,
                      nb::handle stdout_text, nb::handle stderr_text, bool deferred = false);
inline nb::object pip_result(const Call &c, bool ok, nb::handle command, long returncode,
                             nb::handle stdout_text, nb::handle stderr_text,
                             bool deferred = false) {
    return pip_result(c, ok, command, nb::int_(returncode), stdout_text, stderr_text, deferred);
}

// PipResult(ok=False, command=result.command, returncode=result.returncode,
//           stdout=result.stdout, stderr=stderr_text(), deferred=deferred):
// a failure that keeps the failed run's command, status and output, read in
// that order as the Python call evaluates its arguments (an error names the
// first attribute missing).
template <typename Stderr>
nb::object failure_from(const Call &c, nb::handle result, Stderr &&stderr_text,
                        bool deferred = false) {
    nb::object command = result.attr("command");
    nb::object returncode = result.attr("returncode");
    nb::object stdout_text = result.attr("stdout");
    nb::object err = stderr_text();
    return pip_result(c, false, command, returncode, stdout_text, err, deferred);
}

}  // namespace wheelwork
