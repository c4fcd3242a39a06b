#include "benchmark/PlotAxis.h"

#include <gtest/gtest.h>

using Benchmark::ScaleFor;
using Benchmark::TickText;
using Benchmark::TimeScale;

TEST(PlotAxisTest, TheValueAxisHoldsTheHighestValueInRoundSteps) {
    struct row {
        double max, top, step;
    };
    for (row r : {row{0, 1000, 200},        // nothing yet
                  row{-5, 1000, 200},       // nonsense is treated as nothing
                  row{1, 1, 0.2},
                  row{999, 1000, 200},
                  row{1000, 1000, 200},     // exactly on a step: no empty band above
                  row{1001, 1500, 500},     // 1,200 would take six steps
                  row{7300000, 8000000, 2000000},
                  row{31999999, 40000000, 10000000},
                  row{0.003, 0.003, 0.001}}) {
        SCOPED_TRACE(r.max);
        const auto s = ScaleFor(r.max);
        EXPECT_DOUBLE_EQ(s.Top, r.top);
        EXPECT_DOUBLE_EQ(s.Step, r.step);
        EXPECT_GE(s.Top, r.max);
        const auto ticks = s.Ticks();
        ASSERT_FALSE(ticks.empty());
        EXPECT_EQ(ticks.front(), 0);
        EXPECT_DOUBLE_EQ(ticks.back(), s.Top);
        EXPECT_LE(ticks.size(), 6u);
    }
}

TEST(PlotAxisTest, TheTimeAxisRunsOverTheDurationOrTheLastSample) {
    struct row {
        int duration, last;
        double top, step;
    };
    for (row r : {row{10, 0, 10, 1}, row{3, 3, 3, 1}, row{10, 11, 12, 2}, row{30, 12, 30, 5}, row{3600, 0, 3600, 600},
                  row{0, 0, 1, 1}}) {
        SCOPED_TRACE(std::to_string(r.duration) + "/" + std::to_string(r.last));
        const auto s = TimeScale(r.duration, r.last);
        EXPECT_DOUBLE_EQ(s.Top, r.top);
        EXPECT_DOUBLE_EQ(s.Step, r.step);
    }
}

TEST(PlotAxisTest, TickLabelsUseThousandsSeparators) {
    EXPECT_EQ(TickText(0, 200).ToUtf8(), "0");
    EXPECT_EQ(TickText(8000000, 2000000).ToUtf8(), "8,000,000");
    EXPECT_EQ(TickText(1200, 200).ToUtf8(), "1,200");
    EXPECT_EQ(TickText(0.4, 0.2).ToUtf8(), "0.4");
    EXPECT_EQ(TickText(0.003, 0.001).ToUtf8(), "0.003");
}
