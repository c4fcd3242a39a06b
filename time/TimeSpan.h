// A duration; what the library needs of it is its total milliseconds.
#pragma once
#include <cstdint>

namespace System {

class TimeSpan {
public:
    static constexpr std::int64_t TicksPerMillisecond = 10000;
    constexpr TimeSpan() = default;
    constexpr explicit TimeSpan(std::int64_t ticks) : ticks_(ticks) {}
    static constexpr TimeSpan FromMilliseconds(double ms) {
        return TimeSpan(static_cast<std::int64_t>(ms * TicksPerMillisecond));
    }
    static constexpr TimeSpan FromSeconds(double s) { return FromMilliseconds(s * 1000.0); }
    constexpr std::int64_t Ticks() const { return ticks_; }
    constexpr double TotalMilliseconds() const { return static_cast<double>(ticks_) / TicksPerMillisecond; }
    constexpr double TotalSeconds() const { return TotalMilliseconds() / 1000.0; }
    friend constexpr bool operator==(TimeSpan a, TimeSpan b) { return a.ticks_ == b.ticks_; }
private:
    std::int64_t ticks_ = 0;
};

} // namespace System
