// Rates, remaining time and their texts.
#include <gtest/gtest.h>

#include "benchmark/TestFigures.h"

namespace {

using namespace TestFigures;

TEST(TestFigures, RemainingSecondsRoundHalvesToEven) {
    struct Case { int duration; std::uint32_t elapsed; int expected; };
    const Case cases[] = {
        {10, 0, 10},    {10, 499, 10},   {10, 500, 10}, // 0.5 rounds to 0
        {10, 1500, 8},  {10, 2500, 8},   {10, 3500, 6},  {10, 2501, 7},
        {10, 9499, 1},  {10, 9500, 0},   // 9.5 rounds to 10: nothing left
        {10, 10000, 0}, {10, 60000, 0},  // never negative
        {1, 400, 1},    {1, 600, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(RemainingSeconds(c.duration, c.elapsed), c.expected) << c.duration << " s at " << c.elapsed << " ms";
}

TEST(TestFigures, ElapsedTimeWrapsAndNeverIsZero) {
    EXPECT_EQ(ElapsedMs(1000, 1000), 1u);
    EXPECT_EQ(ElapsedMs(1000, 3500), 2500u);
    EXPECT_EQ(ElapsedMs(0xFFFFFF00u, 0x100u), 0x200u);
    EXPECT_DOUBLE_EQ(Rate(5000, 0), 5000.0);
    EXPECT_DOUBLE_EQ(Rate(5000, 2000), 2.5);
}

TEST(TestFigures, RatesAreKilobitsWithSeparatorsAndTwoDecimals) {
    struct Case { double bytesPerMs; const char* text; };
    const Case cases[] = {
        {0, "0.00"},
        {12345.678 / 8, "12,345.68"},
        {0.125, "1.00"},
        {999.999 / 8, "1,000.00"},
        {125000000.0, "1,000,000,000.00"},
    };
    for (const Case& c : cases) EXPECT_EQ(FormatKbits(c.bytesPerMs).ToUtf8(), c.text) << c.bytesPerMs;
    EXPECT_EQ(ResultText(0, 0, "\r\n").ToUtf8(), "Send: 0.00 Kbits/s\r\nRecv: 0.00 Kbits/s");
    EXPECT_EQ(ResultText(1000, 250, ", ").ToUtf8(), "Send: 8,000.00 Kbits/s, Recv: 2,000.00 Kbits/s");
    EXPECT_EQ(RemainingText(10).ToUtf8(), "Remaining: 10s");
}

} // namespace
