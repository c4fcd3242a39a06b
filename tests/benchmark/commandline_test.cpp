// Options, their errors and the one-line hints of the headless command line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "benchmark/CommandLine.h"
#include "tests/support.h"

namespace {

using namespace Benchmark;
using Args = std::vector<std::string>;

std::string ErrorOf(const Args& args) {
    return testing_support::message_of<ECommandLine>([&] { ParseCommandLine(args); });
}

TEST(CommandLine, ClientOptions) {
    const TCommandLine cl =
        ParseCommandLine({"-c", "127.0.0.1", "-p", "5201", "-t", "3", "-P", "20", "-l", "64K", "--mode", "send-only", "-J"});
    EXPECT_EQ(cl.Action, TCommandLine::TAction::Client);
    EXPECT_EQ(cl.Host, "127.0.0.1");
    EXPECT_EQ(cl.Port, 5201);
    EXPECT_EQ(cl.DurationSec, 3);
    EXPECT_EQ(cl.Connections, 20);
    EXPECT_EQ(cl.PacketSize, 65536);
    EXPECT_EQ(cl.Mode, TransferMode::SendOnly);
    EXPECT_TRUE(cl.Json);
}

TEST(CommandLine, LongAndAttachedFormsAndDefaultsLeftOpen) {
    const TCommandLine cl = ParseCommandLine({"--client=localhost", "--port=7000", "-t5", "--parallel", "2"});
    EXPECT_EQ(cl.Host, "localhost");
    EXPECT_EQ(cl.Port, 7000);
    EXPECT_EQ(cl.DurationSec, 5);
    EXPECT_EQ(cl.Connections, 2);
    EXPECT_FALSE(cl.PacketSize); // from the settings file
    EXPECT_FALSE(cl.Mode);
    EXPECT_FALSE(cl.Json);

    const TCommandLine s = ParseCommandLine({"-s", "-p", "9000"});
    EXPECT_EQ(s.Action, TCommandLine::TAction::Server);
    EXPECT_EQ(s.Port, 9000);
    EXPECT_EQ(ParseCommandLine({}).Action, TCommandLine::TAction::Usage);
    EXPECT_EQ(ParseCommandLine({"--help"}).Action, TCommandLine::TAction::Help);
    EXPECT_EQ(ParseCommandLine({"-c", "h", "--version"}).Action, TCommandLine::TAction::Version);
}

TEST(CommandLine, ModeSpellings) {
    struct Case { Args args; TransferMode::Enum mode; };
    const Case cases[] = {
        {{"-c", "h", "-R"}, TransferMode::ReceiveOnly},
        {{"-c", "h", "--reverse"}, TransferMode::ReceiveOnly},
        {{"-c", "h", "--bidir"}, TransferMode::SendAndReceive},
        {{"-c", "h", "--mode", "receive-only"}, TransferMode::ReceiveOnly},
        {{"-c", "h", "--mode=send-and-receive", "--bidir"}, TransferMode::SendAndReceive},
    };
    for (const Case& c : cases) EXPECT_EQ(ParseCommandLine(c.args).Mode, c.mode) << c.args.back();
}

TEST(CommandLine, PacketSizes) {
    struct Case { const char* text; int bytes; };
    const Case cases[] = {{"1", 1}, {"1024", 1024}, {"64K", 65536}, {"64k", 65536}, {"2M", 2097152}, {"1024M", 1 << 30}};
    for (const Case& c : cases) EXPECT_EQ(ParsePacketSize(c.text), c.bytes) << c.text;
    for (const char* bad : {"", "0", "K", "-1", "1G", "2048M", "12x", "99999999999", "1.5M"})
        EXPECT_THROW(ParsePacketSize(bad), ECommandLine) << bad;
}

TEST(CommandLine, ErrorsAreOneLineHints) {
    struct Case { Args args; const char* hint; };
    const Case cases[] = {
        {{"-x"}, "unknown option '-x'"},
        {{"-c"}, "-c needs a value"},
        {{"-c", "-p"}, "-c needs a host name or address"},
        {{"-s", "-c", "h"}, "-s and -c cannot be used together"},
        {{"-p", "80"}, "give -s to listen or -c HOST to test"},
        {{"-c", "h", "-p", "0"}, "-p must be between 1 and 65535"},
        {{"-c", "h", "-p", "65536"}, "-p must be between 1 and 65535"},
        {{"-c", "h", "-p", "http"}, "-p needs a number, not 'http'"},
        {{"-c", "h", "-P", "0"}, "-P must be between 1 and 20"},
        {{"-c", "h", "-P", "21"}, "-P must be between 1 and 20"},
        {{"-c", "h", "-t", "0"}, "-t must be between 1 and 86400"},
        {{"-c", "h", "-t", "3s"}, "-t needs a number, not '3s'"},
        {{"-c", "h", "-t", "99999999999999999999"}, "-t needs a number"},
        {{"-c", "h", "--mode", "both"}, "--mode must be send-and-receive, send-only or receive-only"},
        {{"-c", "h", "-R", "--bidir"}, "--bidir contradicts an earlier transfer mode"},
        {{"-c", "h", "--json=yes"}, "--json takes no value"},
        {{"-s", "-t", "5"}, "-t, -P, -l and the transfer mode belong to -c"},
    };
    for (const Case& c : cases) {
        const std::string e = ErrorOf(c.args);
        EXPECT_NE(e.find(c.hint), std::string::npos) << "got '" << e << "' for " << c.args.front();
        EXPECT_EQ(e.find('\n'), std::string::npos) << e;
    }
}

} // namespace
