#include "benchmark/PlotAxis.h"

#include <algorithm>
#include <cmath>

#include "rtl/Conversions.h"

namespace Benchmark {

std::vector<double> TAxisScale::Ticks() const {
    std::vector<double> t;
    if (Step <= 0) return t;
    // Counting steps rather than adding them keeps the last tick exact.
    const int n = int(std::lround(Top / Step));
    for (int i = 0; i <= n; ++i) t.push_back(i * Step);
    return t;
}

TAxisScale ScaleFor(double maxValue, int maxTicks) {
    if (maxTicks < 1) maxTicks = 1;
    if (!(maxValue > 0) || !std::isfinite(maxValue)) maxValue = 1000;
    const double rough = maxValue / maxTicks;
    double power = std::pow(10.0, std::floor(std::log10(rough)));
    for (;;) {
        for (double m : {1.0, 2.0, 5.0}) {
            const double step = m * power;
            const double top = std::ceil(maxValue / step - 1e-9) * step;
            if (top / step <= maxTicks + 1e-9) return TAxisScale{top, step};
        }
        power *= 10;
    }
}

TAxisScale TimeScale(int durationSec, int lastSecond, int maxTicks) {
    const int span = std::max({durationSec, lastSecond, 1});
    if (maxTicks < 1) maxTicks = 1;
    for (int step : {1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 1800, 3600}) {
        if ((span + step - 1) / step <= maxTicks) return TAxisScale{double(((span + step - 1) / step) * step), double(step)};
    }
    const int step = (span + maxTicks - 1) / maxTicks;
    return TAxisScale{double(step * maxTicks), double(step)};
}

UnicodeString TickText(double value, double step) {
    const int digits = step >= 1 ? 0 : std::min(3, int(std::ceil(-std::log10(step) - 1e-9)));
    return System::Sysutils::FloatToStrF(value, System::Sysutils::TFloatFormat::ffNumber, 17, digits);
}

} // namespace Benchmark
