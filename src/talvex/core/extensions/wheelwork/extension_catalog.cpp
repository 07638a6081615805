#include "common.hpp"

namespace wheelwork {

std::span<const FuncSpec> extension_catalog_functions() { return {}; }

}  // namespace wheelwork
