#include "benchmark/StreamHeader.h"

namespace Benchmark {

int TStreamHeader::Feed(const unsigned char* data, int count) {
    int taken = 0;
    while (have_ < 4 && taken < count) bytes_[have_++] = data[taken++];
    return taken;
}

std::int32_t TStreamHeader::Value() const {
    const std::uint32_t v = std::uint32_t(bytes_[0]) | std::uint32_t(bytes_[1]) << 8 | std::uint32_t(bytes_[2]) << 16 |
                            std::uint32_t(bytes_[3]) << 24;
    return static_cast<std::int32_t>(v);
}

} // namespace Benchmark
