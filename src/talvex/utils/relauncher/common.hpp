// Shared pieces of the relauncher module: the per-concern function tables the
// module frame is assembled from, and a few small Python-semantics helpers.
#pragma once

#include "runtime/call.hpp"
#include "runtime/errors.hpp"
#include "runtime/function.hpp"
#include "runtime/logging.hpp"
#include "runtime/module.hpp"

#include <span>
#include <utility>

namespace relauncher {

namespace nb = nanobind;
using namespace nb::literals;
using tvx::arg;
using tvx::Call;
using tvx::dflt;
using tvx::FuncSpec;
using tvx::kwarg;

// Function tables, one per concern (each in the source file of that name).
std::span<const FuncSpec> relaunch_command_functions();
std::span<const FuncSpec> detached_start_functions();
std::span<const FuncSpec> previous_instance_functions();
std::span<const FuncSpec> main_window_functions();
std::span<const FuncSpec> quit_restart_functions();

// getattr(obj, name, None) that tells "missing" apart: an invalid object when
// the attribute does not exist; any error other than AttributeError propagates.
nb::object optional_attr(nb::handle obj, const char *name);

// `from package import name`, run now in the module's namespace.
nb::object import_from(const Call &c, const char *package, const char *name);

// `first, second = value`, with the interpreter's errors for a wrong count or a
// value that cannot be iterated.
std::pair<nb::object, nb::object> unpack_pair(nb::handle value);

}  // namespace relauncher
