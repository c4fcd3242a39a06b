// The headless command line: a server and testers in this process, and the
// pelorin program itself for its signals and exit statuses.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "benchmark/AppSettings.h"
#include "benchmark/CommandLine.h"
#include "benchmark/EchoService.h"
#include "benchmark/Headless.h"
#include "tests/support_files.h"
#include "tests/support_net.h"

extern char** environ;

namespace {

using namespace Benchmark;
using nlohmann::json;
using testing_support::SecondsSince;
using testing_support::WaitUntil;
using Clock = std::chrono::steady_clock;

struct Outcome {
    int status = -1;
    std::string out, err;
};

class HeadlessFixture : public ::testing::Test {
protected:
    void SetUp() override {
        testing_support::WriteBytes(dir.file("pelorin.config"), "[Config.Application]\nTestPacketSize=65536\n");
        settings = std::make_unique<TAppSettings>(UnicodeString(dir.file("pelorin.config")));
        port = testing_support::FreeLoopbackPort();
    }
    void TearDown() override { StopServer(); }

    Outcome Run(const std::vector<std::string>& args, const std::atomic<bool>* interrupt = nullptr) {
        std::ostringstream out, err;
        THeadlessContext c;
        c.out = &out;
        c.err = &err;
        c.settings = settings.get();
        c.interrupted = interrupt;
        Outcome o;
        o.status = RunCommandLine(args, c);
        o.out = out.str();
        o.err = err.str();
        return o;
    }
    void StartServer() {
        server = std::thread([this] { serverOutcome = Run({"-s", "-p", std::to_string(port)}, &stopServer); });
        ASSERT_TRUE(WaitUntil(
            [&] {
                testing_support::RawPeer probe;
                return probe.Connect(port);
            },
            5000))
            << "pelorin -s did not listen";
    }
    void StopServer() {
        if (!server.joinable()) return;
        stopServer = true;
        server.join();
        EXPECT_EQ(serverOutcome.status, ExitOk) << serverOutcome.err;
    }
    std::vector<json> JsonLines(const std::string& text) {
        std::vector<json> lines;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) {
            EXPECT_TRUE(json::accept(line)) << "not JSON: " << line;
            if (json::accept(line)) lines.push_back(json::parse(line));
        }
        return lines;
    }

    testing_support::TempDir dir;
    std::unique_ptr<TAppSettings> settings;
    int port = 0;
    std::atomic<bool> stopServer{false};
    std::thread server;
    Outcome serverOutcome;
};

TEST_F(HeadlessFixture, JsonLinesOfAShortTest) {
    StartServer();
    const Outcome o = Run({"-c", "127.0.0.1", "-p", std::to_string(port), "-t", "2", "-P", "2", "--bidir", "-J"});
    ASSERT_EQ(o.status, ExitOk) << o.err << o.out;
    const std::vector<json> lines = JsonLines(o.out);
    ASSERT_GE(lines.size(), 2u);
    int intervals = 0;
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
        EXPECT_EQ(lines[i]["type"], "interval");
        intervals += lines[i]["type"] == "interval";
        EXPECT_GE(lines[i]["remaining_seconds"].get<int>(), 0);
        // The columns of the window's saved results, second by second.
        EXPECT_EQ(lines[i]["second"], int(i) + 1);
        for (const char* field : {"send_kbits_per_second", "receive_kbits_per_second",
                                  "average_send_kbits_per_second", "average_receive_kbits_per_second"})
            EXPECT_TRUE(lines[i][field].is_number()) << field;
    }
    EXPECT_GE(intervals, 1);
    const json& s = lines.back();
    EXPECT_EQ(s["type"], "summary");
    EXPECT_EQ(s["outcome"], "completed");
    EXPECT_EQ(s["mode"], "send-and-receive");
    EXPECT_EQ(s["connections"], 2);
    EXPECT_EQ(s["packet_size"], 65536); // from the settings file
    EXPECT_EQ(s["duration_seconds"], 2);
    EXPECT_GT(s["bytes_sent"].get<long long>(), 0);
    EXPECT_GT(s["bytes_received"].get<long long>(), 0);
    EXPECT_GT(s["average_send_kbits_per_second"].get<double>(), 0);
    EXPECT_GE(s["cpu_utilization_percent"].get<double>(), 0);
    EXPECT_TRUE(s["tcp_retransmits"].is_number()) << s.dump();
}

TEST_F(HeadlessFixture, TextOutputShowsRatesRemainingTimeAndTotals) {
    StartServer();
    const Outcome o = Run({"-c", "127.0.0.1", "-p", std::to_string(port), "-t", "2", "-R", "-l", "32K"});
    ASSERT_EQ(o.status, ExitOk) << o.err;
    EXPECT_NE(o.out.find("Send: 0.00 Kbits/s"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("Recv: "), std::string::npos);
    EXPECT_NE(o.out.find("Remaining: "), std::string::npos);
    EXPECT_NE(o.out.find("received "), std::string::npos);
    EXPECT_NE(o.out.find("receive-only, packets of 32,768 bytes"), std::string::npos) << o.out;
}

TEST_F(HeadlessFixture, TwoTestersAgainstOneServerAtOnce) {
    StartServer();
    Outcome a, b;
    std::thread ta([&] { a = Run({"-c", "127.0.0.1", "-p", std::to_string(port), "-t", "2", "-P", "3", "-R", "-J"}); });
    std::thread tb([&] { b = Run({"-c", "127.0.0.1", "-p", std::to_string(port), "-t", "2", "-P", "3", "-R", "-J"}); });
    ta.join();
    tb.join();
    for (const Outcome* o : {&a, &b}) {
        ASSERT_EQ(o->status, ExitOk) << o->err;
        const json s = JsonLines(o->out).back();
        EXPECT_GT(s["bytes_received"].get<long long>(), 0) << s.dump();
    }
}

TEST_F(HeadlessFixture, FailuresAndUsageGiveTheirExitStatuses) {
    // Nothing listens on the port.
    const Outcome refused = Run({"-c", "127.0.0.1", "-p", std::to_string(port), "-t", "1", "-J"});
    EXPECT_EQ(refused.status, ExitFailure);
    EXPECT_FALSE(refused.err.empty());
    const std::vector<json> lines = JsonLines(refused.out);
    ASSERT_EQ(lines.size(), 1u) << refused.out;
    EXPECT_EQ(lines[0]["type"], "error");

    // A host name from the hosts file (no query leaves the machine).
    const Outcome byName = Run({"-c", "localhost", "-p", std::to_string(port), "-t", "1"});
    EXPECT_EQ(byName.status, ExitFailure);
    EXPECT_NE(byName.err.find("Connect failed"), std::string::npos) << byName.err;

    const Outcome bad = Run({"-c", "127.0.0.1", "-P", "50"});
    EXPECT_EQ(bad.status, ExitUsage);
    EXPECT_NE(bad.err.find("-P must be between 1 and 20"), std::string::npos);
    EXPECT_EQ(std::count(bad.err.begin(), bad.err.end(), '\n'), 1) << bad.err;

    EXPECT_EQ(Run({}).status, ExitUsage);
    const Outcome help = Run({"--help"});
    EXPECT_EQ(help.status, ExitOk);
    EXPECT_NE(help.out.find("Usage: pelorin"), std::string::npos);
    EXPECT_EQ(Run({"--version"}).out, "Pelorin v1.1.0\n");
}

TEST_F(HeadlessFixture, InterruptAbortsTheTestReportsItAndFails) {
    StartServer();
    std::atomic<bool> interrupt{false};
    std::thread ctrlC([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        interrupt = true;
    });
    const auto t0 = Clock::now();
    const Outcome o = Run({"-c", "127.0.0.1", "-p", std::to_string(port), "-t", "30", "-J"}, &interrupt);
    ctrlC.join();
    EXPECT_LT(SecondsSince(t0), 6.0);
    EXPECT_EQ(o.status, ExitFailure);
    const json s = JsonLines(o.out).back();
    EXPECT_EQ(s["type"], "summary");
    EXPECT_EQ(s["outcome"], "interrupted");
    EXPECT_GT(s["bytes_sent"].get<long long>(), 0);
}

// The program beside this test, run with a deadline.
class PelorinProgram : public ::testing::Test {
protected:
    static std::string Path() {
        return (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "pelorin").string();
    }
    pid_t Spawn(const std::vector<std::string>& args) {
        std::vector<std::string> all{Path()};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
        pid_t pid = -1;
        if (posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0) pid = -1;
        posix_spawn_file_actions_destroy(&fa);
        return pid;
    }
    // The exit status, or -1 after killing a program that overran.
    static int Wait(pid_t pid, int timeoutMs) {
        int status = 0;
        const bool ended = WaitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, timeoutMs, 20);
        if (!ended) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
    }
};

TEST_F(PelorinProgram, SignalsStopTheServerCleanly) {
    if (!std::filesystem::exists(Path())) GTEST_SKIP() << "pelorin not built";
    for (int sig : {SIGINT, SIGTERM}) {
        const int port = testing_support::FreeLoopbackPort();
        const pid_t pid = Spawn({"-s", "-p", std::to_string(port)});
        ASSERT_GT(pid, 0);
        ASSERT_TRUE(WaitUntil(
            [&] {
                testing_support::RawPeer probe;
                return probe.Connect(port);
            },
            10000))
            << "pelorin -s did not listen";
        testing_support::RawPeer idle;
        ASSERT_TRUE(idle.Connect(port));
        ::kill(pid, sig);
        EXPECT_EQ(Wait(pid, 10000), 0) << "signal " << sig;
        EXPECT_TRUE(idle.WaitForClose(1000));
    }
}

TEST_F(PelorinProgram, ExitStatuses) {
    if (!std::filesystem::exists(Path())) GTEST_SKIP() << "pelorin not built";
    EXPECT_EQ(Wait(Spawn({"--version"}), 10000), 0);
    EXPECT_EQ(Wait(Spawn({"--bogus"}), 10000), 2);
    EXPECT_EQ(Wait(Spawn({"-c", "127.0.0.1", "-P", "21"}), 10000), 2);
    EXPECT_EQ(Wait(Spawn({"-c"}), 10000), 2);
    EXPECT_EQ(Wait(Spawn({"-c", "127.0.0.1", "-p", std::to_string(testing_support::FreeLoopbackPort()), "-t", "1"}),
                   10000),
              1);
}

} // namespace
