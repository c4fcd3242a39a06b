// JSON lines of the headless command line: one object per second, a
// summary, and an error object, each a complete JSON text on one line.
#pragma once
#include <cstdint>
#include <string>

#include "benchmark/AppSettings.h"

namespace Benchmark {

// Rates are bytes per millisecond as the engine keeps them; the objects
// carry kilobits per second (a kilobit being 1,000 bits).
struct TIntervalReport {
    int Second = 0; // 1 for the first report, one more for each after it
    double ElapsedSec = 0;
    double SendRate = 0;
    double ReceiveRate = 0;
    double AverageSendRate = 0;
    double AverageReceiveRate = 0;
    int RemainingSec = 0;
};

struct TSummaryReport {
    TransferMode::Enum Mode = TransferMode::Unknown;
    int Connections = 0;
    int PacketSize = 0;
    int DurationSec = 0;
    double ElapsedSec = 0;
    std::int64_t BytesSent = 0;
    std::int64_t BytesReceived = 0;
    double AverageSendRate = 0;
    double AverageReceiveRate = 0;
    double CpuPercent = 0;
    std::int64_t Retransmits = -1; // -1 when the kernel did not say
    std::string Outcome;           // "completed", "aborted", "connection lost", ...
};

std::string IntervalJson(const TIntervalReport& r);
std::string SummaryJson(const TSummaryReport& r);
std::string ErrorJson(const std::string& message);
std::string ServerEventJson(const std::string& event, int port);

} // namespace Benchmark
