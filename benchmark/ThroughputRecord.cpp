#include "benchmark/ThroughputRecord.h"

#include <charconv>
#include <cstring>
#include <sstream>

#include "core/Exceptions.h"

namespace Benchmark {

namespace {

const char* const kColumns =
    "second,send_kbits_per_second,receive_kbits_per_second,average_send_kbits_per_second,"
    "average_receive_kbits_per_second";
const char* const kTitle = "# Pelorin v1.1.0 test started ";

// Shortest text that reads back to the same double.
std::string Number(double v) {
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

[[noreturn]] void Malformed(int line, const std::string& why) {
    throw System::EArgument(UnicodeString("Not a saved test, line " + std::to_string(line) + ": " + why),
                            UnicodeString("text"));
}

template <class T>
T ParseNumber(std::string_view s, int line) {
    T v{};
    const auto r = std::from_chars(s.data(), s.data() + s.size(), v);
    if (r.ec != std::errc() || r.ptr != s.data() + s.size()) Malformed(line, "bad number \"" + std::string(s) + "\"");
    return v;
}

std::vector<std::string_view> Split(std::string_view s, char sep) {
    std::vector<std::string_view> parts;
    for (;;) {
        const auto k = s.find(sep);
        parts.push_back(s.substr(0, k));
        if (k == std::string_view::npos) return parts;
        s.remove_prefix(k + 1);
    }
}

std::time_t ParseStartTime(const std::string& text, int line) {
    std::tm tm{};
    const char* end = ::strptime(text.c_str(), "%Y-%m-%d %H:%M:%S %z", &tm);
    if (!end || *end) Malformed(line, "bad start time \"" + text + "\"");
    const long offset = tm.tm_gmtoff;
    return ::timegm(&tm) - offset;
}

TTestDescription ParseTitle(const std::string& l, int line) {
    if (l.rfind(kTitle, 0) != 0) Malformed(line, "no title line");
    const std::string rest = l.substr(std::strlen(kTitle));
    const auto colon = rest.find(": ");
    if (colon == std::string::npos) Malformed(line, "no settings after the start time");
    TTestDescription d;
    d.Started = ParseStartTime(rest.substr(0, colon), line);
    for (std::string_view field : Split(std::string_view(rest).substr(colon + 2), ',')) {
        while (!field.empty() && field.front() == ' ') field.remove_prefix(1);
        const auto eq = field.find('=');
        if (eq == std::string_view::npos) Malformed(line, "a setting without a value");
        const std::string_view key = field.substr(0, eq), value = field.substr(eq + 1);
        if (key == "server") d.Server = std::string(value);
        else if (key == "port") d.Port = ParseNumber<int>(value, line);
        else if (key == "connections") d.Connections = ParseNumber<int>(value, line);
        else if (key == "packet_size") d.PacketSize = ParseNumber<int>(value, line);
        else if (key == "duration_seconds") d.DurationSec = ParseNumber<int>(value, line);
        else if (key == "mode") {
            try {
                d.Mode = TransferMode::Parse(UnicodeString(std::string(value)));
            } catch (const Exception&) {
                Malformed(line, "unknown mode \"" + std::string(value) + "\"");
            }
        }
    }
    return d;
}

} // namespace

void TThroughputRecord::Start(const TTestDescription& description) {
    description_ = description;
    samples_.clear();
    started_ = true;
}

const TThroughputSample& TThroughputRecord::Add(double sendRate, double receiveRate, double averageSendRate,
                                                double averageReceiveRate) {
    TThroughputSample s;
    s.Second = samples_.empty() ? 1 : samples_.back().Second + 1;
    s.SendKbits = KbitsPerSecond(sendRate);
    s.ReceiveKbits = KbitsPerSecond(receiveRate);
    s.AverageSendKbits = KbitsPerSecond(averageSendRate);
    s.AverageReceiveKbits = KbitsPerSecond(averageReceiveRate);
    samples_.push_back(s);
    return samples_.back();
}

std::string FormatStartTime(std::time_t t) {
    std::tm tm{};
    ::localtime_r(&t, &tm);
    char buf[64];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S %z", &tm);
    return buf;
}

std::string ToCsv(const TThroughputRecord& record) {
    const TTestDescription& d = record.Description();
    std::ostringstream o;
    // A server name with a comma would break the settings list; names and
    // addresses never hold one, but a hand-edited setting might.
    std::string server = d.Server;
    for (char& c : server)
        if (c == ',' || c == '\n' || c == '\r') c = ' ';
    o << kTitle << FormatStartTime(d.Started) << ": server=" << server << ", port=" << d.Port
      << ", connections=" << d.Connections << ", mode=" << TransferMode::ToString(d.Mode).ToUtf8()
      << ", packet_size=" << d.PacketSize << ", duration_seconds=" << d.DurationSec << "\n"
      << kColumns << "\n";
    for (const TThroughputSample& s : record.Samples())
        o << s.Second << ',' << Number(s.SendKbits) << ',' << Number(s.ReceiveKbits) << ','
          << Number(s.AverageSendKbits) << ',' << Number(s.AverageReceiveKbits) << "\n";
    return o.str();
}

TThroughputRecord ParseCsv(const std::string& text) {
    std::istringstream in(text);
    std::string l;
    int line = 0;
    auto next = [&] {
        if (!std::getline(in, l)) return false;
        ++line;
        if (!l.empty() && l.back() == '\r') l.pop_back();
        return true;
    };
    TThroughputRecord r;
    if (!next()) Malformed(1, "empty");
    r.Start(ParseTitle(l, line));
    if (!next() || l != kColumns) Malformed(line, "no column names");
    while (next()) {
        if (l.empty()) continue;
        const auto f = Split(l, ',');
        if (f.size() != 5) Malformed(line, "expected 5 fields, found " + std::to_string(f.size()));
        TThroughputSample s;
        s.Second = ParseNumber<int>(f[0], line);
        s.SendKbits = ParseNumber<double>(f[1], line);
        s.ReceiveKbits = ParseNumber<double>(f[2], line);
        s.AverageSendKbits = ParseNumber<double>(f[3], line);
        s.AverageReceiveKbits = ParseNumber<double>(f[4], line);
        r.Add(s);
    }
    return r;
}

} // namespace Benchmark
