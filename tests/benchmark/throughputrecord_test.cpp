#include "benchmark/ThroughputRecord.h"

#include <gtest/gtest.h>

#include "core/Exceptions.h"

using Benchmark::ParseCsv;
using Benchmark::TThroughputRecord;
using Benchmark::TTestDescription;
using Benchmark::TThroughputSample;
using Benchmark::ToCsv;

namespace {

TTestDescription Description() {
    TTestDescription d;
    d.Server = "lan-server.example";
    d.Port = 8998;
    d.Connections = 20;
    d.Mode = TransferMode::ReceiveOnly;
    d.PacketSize = 2097152;
    d.DurationSec = 10;
    d.Started = 1796990709; // a December afternoon
    return d;
}

} // namespace

TEST(ThroughputRecordTest, SamplesCountSecondsAndConvertToKilobits) {
    TThroughputRecord r;
    r.Start(Description());
    // Bytes per millisecond × 8 = kilobits per second.
    const TThroughputSample& first = r.Add(1543.20975, 0.125, 1000, 0);
    EXPECT_EQ(first.Second, 1);
    EXPECT_DOUBLE_EQ(first.SendKbits, 12345.678);
    EXPECT_DOUBLE_EQ(first.ReceiveKbits, 1.0);
    EXPECT_DOUBLE_EQ(first.AverageSendKbits, 8000);
    EXPECT_EQ(r.Add(0, 0, 0, 0).Second, 2);
    // A new test starts from nothing.
    r.Start(Description());
    EXPECT_TRUE(r.Samples().empty());
    EXPECT_EQ(r.Add(1, 1, 1, 1).Second, 1);
}

TEST(ThroughputRecordTest, CsvReadsBackToTheSameFigures) {
    TThroughputRecord r;
    r.Start(Description());
    // Values that two decimals would not keep.
    r.Add(1543.20975, 1.0 / 3.0, 1234567.891, 0.1);
    r.Add(0, 1e-9, 3.5, 125000);
    r.Add(12.5, 99999.99999, 1e6, 7.0 / 9.0);
    const std::string csv = ToCsv(r);
    EXPECT_EQ(csv.rfind("# Pelorin v1.1.0 test started ", 0), 0u) << csv;
    EXPECT_NE(csv.find("server=lan-server.example, port=8998, connections=20, mode=ReceiveOnly, "
                       "packet_size=2097152, duration_seconds=10\n"
                       "second,send_kbits_per_second,receive_kbits_per_second,average_send_kbits_per_second,"
                       "average_receive_kbits_per_second\n1,"),
              std::string::npos)
        << csv;

    const TThroughputRecord back = ParseCsv(csv);
    EXPECT_EQ(back.Samples(), r.Samples());
    EXPECT_EQ(back.Description(), r.Description());
    // Lines ended the other platform's way read the same.
    std::string crlf;
    for (char c : csv) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    EXPECT_EQ(ParseCsv(crlf).Samples(), r.Samples());
}

TEST(ThroughputRecordTest, ACommaInTheServerNameDoesNotBreakTheFile) {
    TThroughputRecord r;
    TTestDescription d = Description();
    d.Server = "a,b\nc";
    r.Start(d);
    r.Add(1, 2, 3, 4);
    const TThroughputRecord back = ParseCsv(ToCsv(r));
    EXPECT_EQ(back.Description().Server, "a b c");
    EXPECT_EQ(back.Description().Port, 8998);
    EXPECT_EQ(back.Samples(), r.Samples());
}

TEST(ThroughputRecordTest, AnythingElseIsRefusedNamingTheLine) {
    TThroughputRecord good;
    good.Start(Description());
    good.Add(1, 2, 3, 4);
    const std::string csv = ToCsv(good);
    const std::string head = csv.substr(0, csv.find("\n1,") + 1);
    struct row {
        const char* what;
        std::string text;
        const char* message;
    };
    for (const row& r : {row{"empty", "", "line 1"},
                         row{"not ours", "a,b,c\n1,2,3\n", "line 1: no title line"},
                         row{"bad start time", "# Pelorin v1.1.0 test started yesterday: port=1\n", "bad start time"},
                         row{"no columns", csv.substr(0, csv.find('\n') + 1), "no column names"},
                         row{"short line", head + "1,2,3\n", "line 3: expected 5 fields, found 3"},
                         row{"bad number", head + "1,2,x,4,5\n", "line 3: bad number \"x\""},
                         row{"trailing junk", head + "1,2,3,4,5 \n", "bad number"},
                         row{"unknown mode", "# Pelorin v1.1.0 test started 2026-12-11 14:05:09 +0000: mode=Fast\n",
                             "unknown mode"}}) {
        SCOPED_TRACE(r.what);
        try {
            ParseCsv(r.text);
            ADD_FAILURE() << "accepted";
        } catch (const System::EArgument& e) {
            EXPECT_NE(e.Message().ToUtf8().find(r.message), std::string::npos) << e.Message().ToUtf8();
        }
    }
}
