#include "common.hpp"

namespace wheelwork {

std::span<const FuncSpec> install_drivers_functions() { return {}; }

}  // namespace wheelwork
