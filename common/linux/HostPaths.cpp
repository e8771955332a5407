#include "common/Protocol.hpp"

namespace torvane::protocol {
const SharedPaths& hostPaths() {
    return linuxPaths;
}
} // namespace torvane::protocol
