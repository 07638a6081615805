#include "common.hpp"

namespace wheelwork {

std::span<const FuncSpec> missing_deps_functions() { return {}; }

}  // namespace wheelwork
