// The first four bytes of a connection's stream, however the receives split
// or join them: a signed 32-bit little-endian packet size.
#pragma once
#include <cstdint>

namespace Benchmark {

class TStreamHeader {
public:
    // Takes header bytes from the front of a received block and returns how
    // many it took (0 once the header is complete); the rest is payload.
    int Feed(const unsigned char* data, int count);
    bool IsComplete() const { return have_ == 4; }
    // Valid once complete.
    std::int32_t Value() const;
    void Reset() { have_ = 0; }

private:
    unsigned char bytes_[4] = {};
    int have_ = 0;
};

} // namespace Benchmark
