#include "common.hpp"

namespace wheelwork {

std::span<const FuncSpec> installer_commands_functions() { return {}; }

}  // namespace wheelwork
