// Scales for the throughput graph: a value axis that grows with the data
// in round steps, and the time axis over the test's duration.
#pragma once
#include <vector>

#include "rtl/UnicodeString.h"

namespace Benchmark {

struct TAxisScale {
    double Top = 0;  // the axis runs from 0 to Top
    double Step = 0; // between labelled ticks
    std::vector<double> Ticks() const;
};

// The smallest 0..Top with a step of 1, 2 or 5 times a power of ten and at
// most maxTicks steps that holds maxValue; an empty or flat graph gets
// 0..1,000.
TAxisScale ScaleFor(double maxValue, int maxTicks = 5);

// Seconds: 0..max(duration, last sample), with a step giving at most
// maxTicks steps.
TAxisScale TimeScale(int durationSec, int lastSecond, int maxTicks = 10);

// A tick label in the program's number format: thousands separators, no
// decimals below a step of one.
UnicodeString TickText(double value, double step);

} // namespace Benchmark
