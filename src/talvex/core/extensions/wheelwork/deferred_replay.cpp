#include "common.hpp"

namespace wheelwork {

std::span<const FuncSpec> deferred_replay_functions() { return {}; }

}  // namespace wheelwork
