// The arithmetic behind the figures a test shows: rates, remaining time and
// their texts. Rates are bytes per millisecond; times 8 they are kilobits
// per second with a kilobit of 1,000 bits.
#pragma once
#include <cstdint>

#include "rtl/UnicodeString.h"

namespace TestFigures {

// Milliseconds from start to now on the wrapping 32-bit clock; 0 is taken
// as 1 so that it can divide.
std::uint32_t ElapsedMs(std::uint32_t start, std::uint32_t now);

// Bytes per millisecond.
double Rate(double bytes, std::uint32_t elapsedMs);

// Whole seconds left: the duration less the elapsed seconds rounded to the
// nearest whole number, halves to the even neighbour; 0 once below 1.
int RemainingSeconds(int durationSec, std::uint32_t elapsedMs);

// The rate in kilobits per second with thousands separators and two
// decimals: 1543.20975 bytes/ms gives "12,345.68".
UnicodeString FormatKbits(double bytesPerMs);

// "Send: S Kbits/s" + separator + "Recv: R Kbits/s".
UnicodeString ResultText(double sendRate, double receiveRate, const char* separator);

// "Remaining: " + seconds + "s".
UnicodeString RemainingText(int seconds);

} // namespace TestFigures
