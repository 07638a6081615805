#include "common.hpp"

namespace wheelwork {

std::span<const FuncSpec> index_client_functions() { return {}; }

}  // namespace wheelwork
