#include "benchmark/JsonReport.h"

#include <nlohmann/json.hpp>

namespace Benchmark {

namespace {

double Kbits(double bytesPerMs) { return bytesPerMs * 8.0; }

std::string ModeName(TransferMode::Enum m) {
    switch (m) {
    case TransferMode::SendOnly: return "send-only";
    case TransferMode::ReceiveOnly: return "receive-only";
    case TransferMode::SendAndReceive: return "send-and-receive";
    default: return "unknown";
    }
}

// Text that is not valid UTF-8 (an error from the system, a host name)
// is replaced rather than thrown on.
std::string Dump(const nlohmann::json& j) { return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace); }

} // namespace

std::string IntervalJson(const TIntervalReport& r) {
    nlohmann::json j;
    j["type"] = "interval";
    j["second"] = r.Second;
    j["elapsed_seconds"] = r.ElapsedSec;
    j["send_kbits_per_second"] = Kbits(r.SendRate);
    j["receive_kbits_per_second"] = Kbits(r.ReceiveRate);
    j["average_send_kbits_per_second"] = Kbits(r.AverageSendRate);
    j["average_receive_kbits_per_second"] = Kbits(r.AverageReceiveRate);
    j["remaining_seconds"] = r.RemainingSec;
    return Dump(j);
}

std::string SummaryJson(const TSummaryReport& r) {
    nlohmann::json j;
    j["type"] = "summary";
    j["outcome"] = r.Outcome;
    j["mode"] = ModeName(r.Mode);
    j["connections"] = r.Connections;
    j["packet_size"] = r.PacketSize;
    j["duration_seconds"] = r.DurationSec;
    j["elapsed_seconds"] = r.ElapsedSec;
    j["bytes_sent"] = r.BytesSent;
    j["bytes_received"] = r.BytesReceived;
    j["average_send_kbits_per_second"] = Kbits(r.AverageSendRate);
    j["average_receive_kbits_per_second"] = Kbits(r.AverageReceiveRate);
    j["cpu_utilization_percent"] = r.CpuPercent;
    if (r.Retransmits >= 0) j["tcp_retransmits"] = r.Retransmits;
    else j["tcp_retransmits"] = nullptr;
    return Dump(j);
}

std::string ErrorJson(const std::string& message) {
    nlohmann::json j;
    j["type"] = "error";
    j["error"] = message;
    return Dump(j);
}

std::string ServerEventJson(const std::string& event, int port) {
    nlohmann::json j;
    j["type"] = event;
    j["port"] = port;
    return Dump(j);
}

} // namespace Benchmark
