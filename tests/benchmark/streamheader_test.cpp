// The header is the first four bytes of the stream, however they arrive.
#include <gtest/gtest.h>

#include <vector>

#include "benchmark/StreamHeader.h"

namespace {

using Benchmark::TStreamHeader;

// Feeds the stream in blocks of the given sizes; returns the payload bytes.
int FeedInBlocks(TStreamHeader& h, const std::vector<unsigned char>& stream, const std::vector<int>& blocks) {
    int at = 0, payload = 0;
    for (int n : blocks) {
        payload += n - h.Feed(stream.data() + at, n);
        at += n;
    }
    return payload;
}

TEST(StreamHeader, SplitOrJoinedBlocksGiveTheSameHeader) {
    // 1024 little-endian, then 6 payload bytes.
    const std::vector<unsigned char> stream = {0x00, 0x04, 0x00, 0x00, 9, 9, 9, 9, 9, 9};
    const std::vector<std::vector<int>> splits = {{4, 6}, {10}, {1, 3, 6}, {2, 2, 6}, {3, 7}, {1, 1, 1, 1, 1, 5}};
    for (const auto& blocks : splits) {
        TStreamHeader h;
        EXPECT_EQ(FeedInBlocks(h, stream, blocks), 6);
        ASSERT_TRUE(h.IsComplete());
        EXPECT_EQ(h.Value(), 1024);
    }
}

TEST(StreamHeader, IncompleteUntilFourBytesAndSignedValues) {
    TStreamHeader h;
    const unsigned char part[] = {0xFF, 0xFF, 0xFF};
    EXPECT_EQ(h.Feed(part, 3), 3);
    EXPECT_FALSE(h.IsComplete());
    const unsigned char last[] = {0x7F, 1, 2};
    EXPECT_EQ(h.Feed(last, 3), 1);
    EXPECT_EQ(h.Value(), 0x7FFFFFFF);
    EXPECT_EQ(h.Feed(last, 3), 0); // complete: the rest is payload

    TStreamHeader neg;
    const unsigned char minus[] = {0xFF, 0xFF, 0xFF, 0xFF};
    neg.Feed(minus, 4);
    EXPECT_EQ(neg.Value(), -1);
    TStreamHeader zero;
    const unsigned char zeros[8] = {};
    EXPECT_EQ(zero.Feed(zeros, 8), 4);
    EXPECT_EQ(zero.Value(), 0);
}

} // namespace
