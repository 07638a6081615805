#include "common.hpp"

namespace wheelwork {

std::span<const FuncSpec> module_purge_functions() { return {}; }

}  // namespace wheelwork
