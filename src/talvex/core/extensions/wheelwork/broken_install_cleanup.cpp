#include "common.hpp"

namespace wheelwork {

std::span<const FuncSpec> broken_install_cleanup_functions() { return {}; }

}  // namespace wheelwork
