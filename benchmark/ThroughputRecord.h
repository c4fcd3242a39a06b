// The per-second figures of one test as the window showed them, kept for
// the graph and for saving: what was tested, when it started, and one
// sample per poll. Also the CSV form of it, written and read back.
#pragma once
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

#include "benchmark/AppSettings.h"

namespace Benchmark {

// One poll of a running test; rates in kilobits per second (1,000 bits).
struct TThroughputSample {
    int Second = 0; // 1 for the first poll, one more for each poll after it
    double SendKbits = 0;
    double ReceiveKbits = 0;
    double AverageSendKbits = 0;
    double AverageReceiveKbits = 0;
    bool operator==(const TThroughputSample&) const = default;
};

struct TTestDescription {
    std::string Server;
    int Port = 0;
    int Connections = 0;
    TransferMode::Enum Mode = TransferMode::Unknown;
    int PacketSize = 0;
    int DurationSec = 0;
    std::time_t Started = 0; // seconds since the epoch
    bool operator==(const TTestDescription&) const = default;
};

class TThroughputRecord {
public:
    // A new test: the old samples go.
    void Start(const TTestDescription& description);
    // Rates as the engine keeps them, bytes per millisecond.
    const TThroughputSample& Add(double sendRate, double receiveRate, double averageSendRate,
                                 double averageReceiveRate);
    void Add(const TThroughputSample& sample) { samples_.push_back(sample); }

    const TTestDescription& Description() const { return description_; }
    const std::vector<TThroughputSample>& Samples() const { return samples_; }
    bool Started() const { return started_; }

private:
    TTestDescription description_;
    std::vector<TThroughputSample> samples_;
    bool started_ = false;
};

// Bytes per millisecond as kilobits per second.
inline double KbitsPerSecond(double bytesPerMs) { return bytesPerMs * 8.0; }

// "# Pelorin v1.1.0 test started <local time>: server=..., port=..., ..."
// then the column names, then one line per sample. Numbers are written so
// that they read back to the same values.
std::string ToCsv(const TThroughputRecord& record);
// Reads what ToCsv wrote; EArgument naming the line on anything else.
TThroughputRecord ParseCsv(const std::string& text);

// Local time with its offset from UTC, e.g. "2026-12-11 14:05:09 +0100".
std::string FormatStartTime(std::time_t t);

} // namespace Benchmark
