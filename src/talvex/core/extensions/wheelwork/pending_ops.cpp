#include "common.hpp"

namespace wheelwork {

std::span<const FuncSpec> pending_ops_functions() { return {}; }

}  // namespace wheelwork
