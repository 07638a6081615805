#include "common.hpp"

namespace wheelwork {

std::span<const FuncSpec> installer_runner_functions() { return {}; }

}  // namespace wheelwork
