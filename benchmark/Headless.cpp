#include "benchmark/Headless.h"

#include <csignal>
#include <ostream>
#include <sstream>

#include "GC/gcarray.h"
#include "RozavUde/Dns.h"
#include "RozavUde/Tcp/TcpServer.h"
#include "RozavUde/ThreadPoolGlobals.h"
#include "benchmark/AppSettings.h"
#include "benchmark/CommandLine.h"
#include "benchmark/EchoService.h"
#include "benchmark/GlobalSettings.h"
#include "benchmark/JsonReport.h"
#include "benchmark/LanTester.h"
#include "benchmark/TcpInfo.h"
#include "benchmark/TestFigures.h"
#include "core/Delegates.h"
#include "platform/system.h"
#include "rtl/Conversions.h"

namespace Benchmark {

using namespace System;
using namespace System::Net;
using namespace System::Net::Sockets;

namespace {

std::atomic<bool> g_interrupted{false};

void OnInterrupt(int) { g_interrupted.store(true); }

bool Interrupted(const THeadlessContext& c) { return c.interrupted && c.interrupted->load(); }

std::string ModeText(TransferMode::Enum m) {
    switch (m) {
    case TransferMode::SendOnly: return "send-only";
    case TransferMode::ReceiveOnly: return "receive-only";
    case TransferMode::SendAndReceive: return "send-and-receive";
    default: return "unknown";
    }
}

std::string Grouped(std::int64_t v) {
    std::string s = std::to_string(v);
    for (int k = int(s.size()) - 3; k > (s[0] == '-' ? 1 : 0); k -= 3) s.insert(std::size_t(k), 1, ',');
    return s;
}

// A failure: its text on standard error, and an error object in JSON mode.
int Fail(const THeadlessContext& c, bool json, const std::string& message) {
    if (json) *c.out << ErrorJson(message) << std::endl;
    *c.err << "pelorin: " << message << std::endl;
    return ExitFailure;
}

int RunServer(const TCommandLine& cl, TAppSettingsBase& settings, const THeadlessContext& c) {
    const int port = cl.Port ? *cl.Port : settings.get_int(TAppSettings::KeyPort, TAppSettings::DefaultPort);
    gc_disposable<TTcpServer> server = gcnew<TTcpServer>(gcnew<TEchoServiceProvider>(nullptr), port);
    server->Start();
    if (cl.Json) *c.out << ServerEventJson("listening", port) << std::endl;
    else *c.out << "Listening @ Port " << port << std::endl;
    while (!Interrupted(c)) platform::sleep_ms(50);
    server.Dispose(); // stops: every connection dropped within about 5 s
    if (cl.Json) *c.out << ServerEventJson("stopped", port) << std::endl;
    else *c.out << "Stopped" << std::endl;
    return ExitOk;
}

gc_ptr<TIPAddress> Resolve(const std::string& host) {
    gc_array<gc_ptr<TIPAddress>> addresses;
    try {
        addresses = TDns::GetHostAddresses(UnicodeString(host));
    } catch (Exception& e) {
        throw Exception("Unable to resolve host name - " + UnicodeString(host) + " (" + e.Message() + ")");
    }
    // The test's sockets are IPv4.
    for (int i = 0; addresses && i < addresses.Length(); ++i)
        if (addresses[i] && addresses[i]->GetAddressFamily() == AddressFamily::InterNetwork) return addresses[i];
    throw Exception("Unable to resolve host name - " + UnicodeString(host));
}

int RunClient(const TCommandLine& cl, TAppSettingsBase& settings, const THeadlessContext& c) {
    const int port = cl.Port ? *cl.Port : settings.get_int(TAppSettings::KeyPort, TAppSettings::DefaultPort);
    const int n = cl.Connections ? *cl.Connections
                                 : settings.get_int(TAppSettings::KeyNumberOfConnections,
                                                    TAppSettings::DefaultNumberOfConnections);
    if (n < 1 || n > MaxConnections)
        return Fail(c, cl.Json, "NumberOfConnections must be between 1 and 20 (the settings file has " +
                                    std::to_string(n) + ")");
    const TransferMode::Enum mode =
        cl.Mode ? *cl.Mode
                : TransferMode::Parse(settings.get_String(TAppSettings::KeyTransferMode, TAppSettings::DefaultTransferMode));

    gc_array<gc_ptr<TEchoServiceRequester>> requesters = gcnew_array<gc_ptr<TEchoServiceRequester>>(n);
    gc_array<gc_disposable<TTcpClient>> clients = gcnew_array<gc_disposable<TTcpClient>>(n);
    for (int i = 0; i < n; ++i) requesters[i] = gcnew<TEchoServiceRequester>(nullptr);
    for (int i = 0; i < n; ++i) clients[i] = gcnew<TTcpClient>(requesters[i]);
    gc_ptr<TLanTester> tester = gcnew<TLanTester>(clients, requesters, &settings);
    tester->SetOverrides(cl.PacketSize, cl.DurationSec);
    const int packetSize = tester->GetPacketSize();
    const int duration = tester->GetDurationSec();
    if (packetSize < 1) return Fail(c, cl.Json, "TestPacketSize must be at least 1 byte");
    if (duration < 1) return Fail(c, cl.Json, "TestDurationSec must be at least 1 second");

    auto disconnectAll = [&] {
        for (int i = 0; i < n; ++i) clients[i].Dispose();
    };
    try {
        gc_ptr<TIPAddress> address = Resolve(cl.Host);
        for (int i = 0; i < n; ++i) clients[i]->Connect(address, port);
    } catch (Exception& e) {
        disconnectAll();
        return Fail(c, cl.Json, e.Message().ToUtf8());
    }
    if (!cl.Json)
        *c.out << "Testing " << cl.Host << " port " << port << ": " << n << (n == 1 ? " connection, " : " connections, ")
               << ModeText(mode) << ", packets of " << Grouped(packetSize) << " bytes, " << duration << " s"
               << std::endl;

    tester->Initialize(mode);
    const std::int64_t cpuStart = ProcessCpuMicroseconds();
    const std::uint32_t start = platform::tick_count();
    std::uint32_t lastPoll = start;
    Threading::Global::g_ThreadPool->QueueUserWorkItem(
        gcnew<InvokePtrImpl0<void()>>(TClosure<void()>::Of<&TLanTester::RunTest>(tester.get())));

    // The run ends by itself; the deadline only guards against a hang:
    // the duration, one graceful second per connection, and slack.
    const std::uint64_t deadlineMs = (std::uint64_t(duration) + n + 30) * 1000;
    bool aborted = false;
    std::uint32_t nextPoll = start + 1000;
    int second = 0;
    while (!tester->GetComplete()) {
        platform::sleep_ms(20);
        const std::uint32_t now = platform::tick_count();
        if (!aborted && Interrupted(c)) {
            tester->Abort();
            aborted = true;
        }
        if (now - start > deadlineMs) {
            tester->Abort();
            disconnectAll();
            return Fail(c, cl.Json, "the test did not end in time");
        }
        if (std::int32_t(now - nextPoll) < 0 || tester->GetComplete()) continue;
        nextPoll += 1000;
        ++second;
        const std::uint32_t e = TestFigures::ElapsedMs(lastPoll, now);
        lastPoll = now;
        const double send = TestFigures::Rate(tester->GetSentBytesDelta(), e);
        const double recv = TestFigures::Rate(tester->GetReceivedBytesDelta(), e);
        if (cl.Json) {
            TIntervalReport r;
            r.Second = second;
            r.ElapsedSec = (now - start) / 1000.0;
            r.SendRate = send;
            r.ReceiveRate = recv;
            r.AverageSendRate = tester->GetAverageSendRate();
            r.AverageReceiveRate = tester->GetAverageReceiveRate();
            r.RemainingSec = tester->GetRemainingSeconds();
            *c.out << IntervalJson(r) << std::endl;
        } else {
            *c.out << "Current " << TestFigures::ResultText(send, recv, ", ").ToUtf8() << " | Average "
                   << TestFigures::ResultText(tester->GetAverageSendRate(), tester->GetAverageReceiveRate(), ", ").ToUtf8()
                   << " | " << TestFigures::RemainingText(tester->GetRemainingSeconds()).ToUtf8() << std::endl;
        }
    }
    const std::uint32_t wallMs = TestFigures::ElapsedMs(start, platform::tick_count());
    const std::int64_t cpu = ProcessCpuMicroseconds() - cpuStart;
    const TLanTester::TOutcome outcome = tester->GetOutcome();
    std::string outcomeText = tester->GetOutcomeText();
    if (aborted && outcome == TLanTester::TOutcome::Aborted) outcomeText = "interrupted";

    TSummaryReport s;
    s.Mode = mode;
    s.Connections = n;
    s.PacketSize = packetSize;
    s.DurationSec = duration;
    s.ElapsedSec = tester->GetElapsedMs() / 1000.0;
    s.BytesSent = tester->GetTotalSentBytes();
    s.BytesReceived = tester->GetTotalReceivedBytes();
    s.AverageSendRate = tester->GetAverageSendRate();
    s.AverageReceiveRate = tester->GetAverageReceiveRate();
    s.CpuPercent = 100.0 * double(cpu) / (double(wallMs) * 1000.0);
    s.Retransmits = tester->GetRetransmits();
    s.Outcome = outcomeText;
    if (cl.Json) {
        *c.out << SummaryJson(s) << std::endl;
    } else {
        *c.out << "Average " << TestFigures::ResultText(s.AverageSendRate, s.AverageReceiveRate, ", ").ToUtf8()
               << std::endl
               << "Sent " << Grouped(s.BytesSent) << " bytes, received " << Grouped(s.BytesReceived) << " bytes in "
               << System::Sysutils::FloatToStrF(s.ElapsedSec, System::Sysutils::TFloatFormat::ffFixed, 17, 2).ToUtf8()
               << " s (" << outcomeText << ")" << std::endl;
    }
    if (outcome == TLanTester::TOutcome::Completed) return ExitOk;
    *c.err << "pelorin: test " << outcomeText << std::endl;
    return ExitFailure;
}

} // namespace

const std::atomic<bool>* InstallInterruptHandlers() {
    struct sigaction sa {};
    sa.sa_handler = OnInterrupt;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    return &g_interrupted;
}

int RunCommandLine(const std::vector<std::string>& args, const THeadlessContext& c) {
    TCommandLine cl;
    try {
        cl = ParseCommandLine(args);
    } catch (ECommandLine& e) {
        *c.err << "pelorin: " << e.Message().ToUtf8() << " (try pelorin --help)" << std::endl;
        return ExitUsage;
    }
    switch (cl.Action) {
    case TCommandLine::TAction::Help: *c.out << UsageText(); return ExitOk;
    case TCommandLine::TAction::Version: *c.out << VersionText(); return ExitOk;
    case TCommandLine::TAction::Usage: *c.err << UsageText(); return ExitUsage;
    default: break;
    }
    try {
        TAppSettingsBase* settings = c.settings;
        if (!settings) {
            // The program's settings object, as the window has it; it must
            // exist beside the program.
            if (!GetAppSettings()) CreateAppSettings();
            settings = GetAppSettings();
        }
        if (cl.Action == TCommandLine::TAction::Server) return RunServer(cl, *settings, c);
        return RunClient(cl, *settings, c);
    } catch (Exception& e) {
        return Fail(c, cl.Json, e.Message().ToUtf8());
    } catch (std::exception& e) {
        return Fail(c, cl.Json, e.what());
    }
}

} // namespace Benchmark
