#include "common.hpp"

namespace wheelwork {

std::span<const FuncSpec> package_names_functions() { return {}; }

}  // namespace wheelwork
