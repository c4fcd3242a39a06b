// One timed throughput test over connected clients: the header, then
// zero-filled packets on every connection until the time is up, the run is
// aborted or a connection is lost; running totals and average rates (bytes
// per millisecond) for whoever polls; a graceful disconnection at the end.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "GC/gcarray.h"
#include "GC/gcptr.h"
#include "RozavUde/Tcp/TcpClient.h"
#include "benchmark/AppSettings.h"
#include "benchmark/EchoService.h"
#include "core/Objects.h"

namespace Benchmark {

using System::Net::Sockets::TTcpClient;

class TLanTester : public System::TLockableObject {
public:
    // How a run ended; None while it runs or before the first.
    enum class TOutcome { None, Completed, Aborted, ConnectionLost, Failed };

    // settings gives TestPacketSize and TestDurationSec unless overridden.
    TLanTester(gc_array<gc_disposable<TTcpClient>> clients, gc_array<gc_ptr<TEchoServiceRequester>> requesters,
               System::TAppSettingsBase* settings);

    // For one run only, without touching the settings.
    void SetOverrides(std::optional<int> packetSize, std::optional<int> durationSec);

    void Initialize(TransferMode::Enum mode);
    // On a pool thread. EInvalidOperation "Cannot RunTest() - Test not
    // initialized" without Initialize.
    void RunTest();
    void Abort() { abortRequested.store(true); }

    int GetSentBytesDelta();
    int GetReceivedBytesDelta();
    bool IsAnyConnectionLost();

    // Read by the poller without a lock. Complete is set however the run
    // ended, also by a socket failure; the outcome and its text say how.
    bool GetComplete() const { return complete.load(std::memory_order_acquire); }
    double GetAverageSendRate() const { return averageSendRate.load(std::memory_order_relaxed); }
    double GetAverageReceiveRate() const { return averageReceiveRate.load(std::memory_order_relaxed); }
    int GetRemainingSeconds() const { return remainingSeconds.load(std::memory_order_relaxed); }
    TOutcome GetOutcome() const { return outcome.load(std::memory_order_acquire); }
    std::string GetOutcomeText();
    // Whole-run totals as 64-bit figures.
    std::int64_t GetTotalSentBytes() const { return std::int64_t(totalSent.load(std::memory_order_relaxed)); }
    std::int64_t GetTotalReceivedBytes();
    // Milliseconds the measuring loop ran.
    std::uint32_t GetElapsedMs() const { return elapsedMs.load(std::memory_order_relaxed); }
    // TCP retransmissions of the run's connections, read before they close;
    // -1 when the kernel did not tell.
    std::int64_t GetRetransmits() const { return retransmits.load(); }
    int GetPacketSize();
    int GetDurationSec();

    // The steps of RunTest.
    void SendHeaders();
    void Run();

private:
    void EndRun(TOutcome how, const std::string& text);
    void DisconnectClients();
    void CollectRetransmits();
    // Sends the whole count, however the socket splits it.
    static void SendAll(const gc_disposable<System::Net::Sockets::TAsyncSocket>& s, const gc_array<unsigned char>& b,
                        int count);

    gc_array<gc_disposable<TTcpClient>> clients;
    gc_array<gc_ptr<TEchoServiceRequester>> requesters;
    System::TAppSettingsBase* settings;
    std::optional<int> packetSizeOverride, durationOverride;

    std::atomic<bool> complete{false};
    std::atomic<int> sentBytes{0};
    int sentBytesAtLastPoll = 0;
    int receivedBytesAtLastPoll = 0;
    std::atomic<double> averageSendRate{0};
    std::atomic<double> averageReceiveRate{0};
    std::atomic<double> totalSent{0};
    std::atomic<int> transferMode{TransferMode::Unknown};
    std::atomic<bool> initialized{false};
    std::atomic<int> remainingSeconds{0};
    std::atomic<bool> abortRequested{false};
    std::atomic<TOutcome> outcome{TOutcome::None};
    std::atomic<std::uint32_t> elapsedMs{0};
    std::atomic<std::int64_t> retransmits{-1};
    std::mutex textLock;
    std::string outcomeText;
};

} // namespace Benchmark
