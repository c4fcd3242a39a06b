// The headless command line of pelorin, after iperf's conventions where
// they fit. Options override the settings file for one run only.
#pragma once
#include <optional>
#include <string>
#include <vector>

#include "benchmark/AppSettings.h"
#include "rtl/Exception.h"

namespace Benchmark {

// Bad usage; the message is one line.
class ECommandLine : public Exception {
public:
    explicit ECommandLine(const std::string& message) : Exception(UnicodeString(message)) {}
};

struct TCommandLine {
    enum class TAction { Usage, Help, Version, Server, Client };
    TAction Action = TAction::Usage;
    std::string Host;
    std::optional<int> Port;
    std::optional<int> DurationSec;
    std::optional<int> Connections;
    std::optional<int> PacketSize;
    std::optional<TransferMode::Enum> Mode;
    bool Json = false;
};

constexpr int MaxConnections = 20;
constexpr int MaxPacketSize = 1 << 30;
constexpr int MaxDurationSec = 86400;

// The arguments after the program name. Throws ECommandLine.
TCommandLine ParseCommandLine(const std::vector<std::string>& args);

// A byte count with an optional K or M suffix (binary units), 1 to 1 GiB.
// Throws ECommandLine.
int ParsePacketSize(const std::string& text);

std::string UsageText();
std::string VersionText();

// Exit statuses.
constexpr int ExitOk = 0;
constexpr int ExitFailure = 1;
constexpr int ExitUsage = 2;

} // namespace Benchmark
