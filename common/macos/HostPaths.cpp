#include "common/Protocol.hpp"

namespace torvane::protocol {
const SharedPaths& hostPaths() {
    return macosPaths;
}
} // namespace torvane::protocol
