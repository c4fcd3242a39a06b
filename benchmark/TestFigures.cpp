#include "benchmark/TestFigures.h"

#include <cmath>

#include "rtl/Conversions.h"

namespace TestFigures {

std::uint32_t ElapsedMs(std::uint32_t start, std::uint32_t now) {
    const std::uint32_t e = now - start;
    return e == 0 ? 1 : e;
}

double Rate(double bytes, std::uint32_t elapsedMs) { return bytes / (elapsedMs == 0 ? 1.0 : double(elapsedMs)); }

int RemainingSeconds(int durationSec, std::uint32_t elapsedMs) {
    // nearbyint rounds halves to even in the default rounding mode.
    const double elapsedSec = std::nearbyint(double(elapsedMs) * 0.001);
    const double left = double(durationSec) - elapsedSec;
    return left < 1.0 ? 0 : int(left);
}

UnicodeString FormatKbits(double bytesPerMs) {
    return System::Sysutils::FloatToStrF(bytesPerMs * 8.0, System::Sysutils::TFloatFormat::ffNumber, 17, 2);
}

UnicodeString ResultText(double sendRate, double receiveRate, const char* separator) {
    return "Send: " + FormatKbits(sendRate) + " Kbits/s" + separator + "Recv: " + FormatKbits(receiveRate) +
           " Kbits/s";
}

UnicodeString RemainingText(int seconds) { return "Remaining: " + System::Sysutils::IntToStr(seconds) + "s"; }

} // namespace TestFigures
