// Shared pieces of the relauncher module: the per-concern parts the module frame is
// assembled from.
#pragma once

#include "runtime/call.hpp"
#include "runtime/errors.hpp"
#include "runtime/function.hpp"
#include "runtime/idioms.hpp"
#include "runtime/logging.hpp"
#include "runtime/module.hpp"

namespace relauncher {

namespace nb = nanobind;
using namespace nb::literals;
using tvx::arg;
using tvx::Call;
using tvx::dflt;
using tvx::FuncSpec;
using tvx::kwarg;

// Each concern defines its functions into the module, in the module's order (each
// in the source file of that name).
void init_relaunch_command(tvx::ModuleFrame &frame);
void init_detached_start(tvx::ModuleFrame &frame);
void init_previous_instance(tvx::ModuleFrame &frame);
void init_main_window(tvx::ModuleFrame &frame);
void init_quit_restart(tvx::ModuleFrame &frame);

}  // namespace relauncher
