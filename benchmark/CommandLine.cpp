#include "benchmark/CommandLine.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace Benchmark {

namespace {

// A whole decimal number in [lo, hi]; the message names the option.
int ParseInt(const std::string& option, const std::string& text, int lo, int hi) {
    if (text.empty() || !(text[0] == '-' || text[0] == '+' || (text[0] >= '0' && text[0] <= '9')))
        throw ECommandLine(option + " needs a number, not '" + text + "'");
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (*end != '\0' || errno == ERANGE) throw ECommandLine(option + " needs a number, not '" + text + "'");
    if (v < lo || v > hi)
        throw ECommandLine(option + " must be between " + std::to_string(lo) + " and " + std::to_string(hi));
    return int(v);
}

TransferMode::Enum ParseMode(const std::string& text) {
    if (text == "send-and-receive") return TransferMode::SendAndReceive;
    if (text == "send-only") return TransferMode::SendOnly;
    if (text == "receive-only") return TransferMode::ReceiveOnly;
    throw ECommandLine("--mode must be send-and-receive, send-only or receive-only, not '" + text + "'");
}

void SetMode(TCommandLine& cl, TransferMode::Enum mode, const std::string& option) {
    if (cl.Mode && *cl.Mode != mode) throw ECommandLine(option + " contradicts an earlier transfer mode");
    cl.Mode = mode;
}

} // namespace

int ParsePacketSize(const std::string& text) {
    std::string digits = text;
    long long unit = 1;
    if (!digits.empty()) {
        const char last = digits.back();
        if (last == 'K' || last == 'k') unit = 1024;
        if (last == 'M' || last == 'm') unit = 1024 * 1024;
        if (unit != 1) digits.pop_back();
    }
    bool ok = !digits.empty() && digits.size() <= 10;
    for (char c : digits) ok = ok && c >= '0' && c <= '9';
    if (!ok) throw ECommandLine("-l needs a size such as 65536, 64K or 2M, not '" + text + "'");
    const long long v = std::strtoll(digits.c_str(), nullptr, 10) * unit;
    if (v < 1 || v > MaxPacketSize) throw ECommandLine("-l must be between 1 byte and 1024M");
    return int(v);
}

TCommandLine ParseCommandLine(const std::vector<std::string>& args) {
    TCommandLine cl;
    bool server = false, client = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string opt = args[i];
        std::optional<std::string> attached;
        if (opt.rfind("--", 0) == 0) {
            const auto eq = opt.find('=');
            if (eq != std::string::npos) {
                attached = opt.substr(eq + 1);
                opt.erase(eq);
            }
        } else if (opt.size() > 2 && opt[0] == '-') {
            attached = opt.substr(2);
            opt.erase(2);
        }
        auto value = [&]() -> std::string {
            if (attached) return *attached;
            if (i + 1 >= args.size()) throw ECommandLine(opt + " needs a value");
            return args[++i];
        };
        auto flag = [&] {
            if (attached) throw ECommandLine(opt + " takes no value");
        };
        if (opt == "-h" || opt == "--help") {
            flag();
            cl.Action = TCommandLine::TAction::Help;
            return cl;
        } else if (opt == "-v" || opt == "--version") {
            flag();
            cl.Action = TCommandLine::TAction::Version;
            return cl;
        } else if (opt == "-s" || opt == "--server") {
            flag();
            server = true;
        } else if (opt == "-c" || opt == "--client") {
            if (client) throw ECommandLine("-c given twice");
            client = true;
            cl.Host = value();
            if (cl.Host.empty() || cl.Host[0] == '-') throw ECommandLine("-c needs a host name or address");
        } else if (opt == "-p" || opt == "--port") {
            cl.Port = ParseInt("-p", value(), 1, 65535);
        } else if (opt == "-t" || opt == "--time") {
            cl.DurationSec = ParseInt("-t", value(), 1, MaxDurationSec);
        } else if (opt == "-P" || opt == "--parallel") {
            cl.Connections = ParseInt("-P", value(), 1, MaxConnections);
        } else if (opt == "-l" || opt == "--length") {
            cl.PacketSize = ParsePacketSize(value());
        } else if (opt == "--mode") {
            SetMode(cl, ParseMode(value()), "--mode");
        } else if (opt == "-R" || opt == "--reverse") {
            flag();
            SetMode(cl, TransferMode::ReceiveOnly, "-R");
        } else if (opt == "--bidir") {
            flag();
            SetMode(cl, TransferMode::SendAndReceive, "--bidir");
        } else if (opt == "-J" || opt == "--json") {
            flag();
            cl.Json = true;
        } else {
            throw ECommandLine("unknown option '" + args[i] + "'");
        }
    }
    if (server && client) throw ECommandLine("-s and -c cannot be used together");
    if (server) {
        if (cl.DurationSec || cl.Connections || cl.PacketSize || cl.Mode)
            throw ECommandLine("-t, -P, -l and the transfer mode belong to -c");
        cl.Action = TCommandLine::TAction::Server;
    } else if (client) {
        cl.Action = TCommandLine::TAction::Client;
    } else if (!args.empty()) {
        throw ECommandLine("give -s to listen or -c HOST to test");
    }
    return cl;
}

std::string UsageText() {
    return "Usage: pelorin -s [-p PORT] [-J]\n"
           "       pelorin -c HOST [-p PORT] [-t SECONDS] [-P CONNECTIONS] [-l SIZE[K|M]]\n"
           "               [--mode send-and-receive|send-only|receive-only | -R | --bidir] [-J]\n"
           "       pelorin --help | --version\n"
           "\n"
           "  -s, --server        listen for testers until interrupted (SIGINT, SIGTERM)\n"
           "  -c, --client HOST   run one test against the pelorin listening on HOST\n"
           "  -p, --port PORT     TCP port, 1-65535\n"
           "  -t, --time SECONDS  length of the test\n"
           "  -P, --parallel N    connections, 1-20\n"
           "  -l, --length SIZE   packet size in bytes, with K or M for KiB or MiB\n"
           "      --mode MODE     send-and-receive, send-only or receive-only\n"
           "  -R, --reverse       receive only\n"
           "      --bidir         send and receive\n"
           "  -J, --json          one JSON object per line\n"
           "\n"
           "Defaults come from pelorin.config beside the program; options are not saved.\n"
           "Exit status: 0 test completed, 1 failure, 2 bad usage.\n";
}

std::string VersionText() { return "Pelorin v1.1.0\n"; }

} // namespace Benchmark
