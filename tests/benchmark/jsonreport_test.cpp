// The JSON lines parse back with the values they were given.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "benchmark/JsonReport.h"

namespace {

using namespace Benchmark;
using nlohmann::json;

TEST(JsonReport, IntervalAndSummaryParseBack) {
    TIntervalReport i;
    i.Second = 2;
    i.ElapsedSec = 2.0;
    i.SendRate = 1000;
    i.AverageReceiveRate = 0.5;
    i.RemainingSec = 8;
    const std::string line = IntervalJson(i);
    EXPECT_EQ(line.find('\n'), std::string::npos);
    const json ji = json::parse(line);
    EXPECT_EQ(ji["type"], "interval");
    EXPECT_EQ(ji["second"], 2);
    EXPECT_DOUBLE_EQ(ji["send_kbits_per_second"].get<double>(), 8000.0);
    EXPECT_DOUBLE_EQ(ji["average_receive_kbits_per_second"].get<double>(), 4.0);
    EXPECT_EQ(ji["remaining_seconds"], 8);

    TSummaryReport s;
    s.Mode = TransferMode::ReceiveOnly;
    s.Connections = 4;
    s.PacketSize = 1 << 20;
    s.DurationSec = 10;
    s.BytesReceived = 5'000'000'000LL; // past 32 bits
    s.Outcome = "completed";
    const json js = json::parse(SummaryJson(s));
    EXPECT_EQ(js["mode"], "receive-only");
    EXPECT_EQ(js["bytes_received"].get<long long>(), 5'000'000'000LL);
    EXPECT_TRUE(js["tcp_retransmits"].is_null());
    s.Retransmits = 3;
    EXPECT_EQ(json::parse(SummaryJson(s))["tcp_retransmits"], 3);
}

TEST(JsonReport, ErrorTextWithQuotesAndInvalidUtf8StaysValidJson) {
    const json j = json::parse(ErrorJson("Connect failed: \"refused\"\n\xff"));
    EXPECT_EQ(j["type"], "error");
    EXPECT_NE(j["error"].get<std::string>().find("\"refused\""), std::string::npos);
}

} // namespace
