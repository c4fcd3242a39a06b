#include "benchmark/LanTester.h"

#include "RozavUde/AsyncSocket.h"
#include "benchmark/TcpInfo.h"
#include "benchmark/TestFigures.h"
#include "platform/system.h"

namespace Benchmark {

using namespace System;
namespace SocketFlags = System::Net::Sockets::SocketFlags;
using System::Net::Sockets::TAsyncSocket;

TLanTester::TLanTester(gc_array<gc_disposable<TTcpClient>> clients_, gc_array<gc_ptr<TEchoServiceRequester>> requesters_,
                       TAppSettingsBase* settings_)
    : settings(settings_) {
    clients = clients_;
    requesters = requesters_;
}

void TLanTester::SetOverrides(std::optional<int> packetSize, std::optional<int> durationSec) {
    packetSizeOverride = packetSize;
    durationOverride = durationSec;
}

int TLanTester::GetPacketSize() {
    if (packetSizeOverride) return *packetSizeOverride;
    return settings->get_int(TAppSettings::KeyTestPacketSize, TAppSettings::DefaultTestPacketSize);
}

int TLanTester::GetDurationSec() {
    if (durationOverride) return *durationOverride;
    return settings->get_int(TAppSettings::KeyTestDurationSec, TAppSettings::DefaultTestDurationSec);
}

void TLanTester::Initialize(TransferMode::Enum mode) {
    complete.store(false);
    for (int i = 0; i < requesters.Length(); ++i) requesters[i]->ResetCounters();
    sentBytes.store(0);
    sentBytesAtLastPoll = 0;
    receivedBytesAtLastPoll = 0;
    averageSendRate.store(0);
    averageReceiveRate.store(0);
    totalSent.store(0);
    elapsedMs.store(0);
    retransmits.store(-1);
    transferMode.store(mode);
    abortRequested.store(false);
    outcome.store(TOutcome::None);
    {
        std::lock_guard<std::mutex> g(textLock);
        outcomeText.clear();
    }
    initialized.store(true, std::memory_order_release);
}

void TLanTester::RunTest() {
    if (!initialized.load(std::memory_order_acquire))
        throw Sysutils::EInvalidOperation("Cannot RunTest() - Test not initialized");
    // However the run ends, the poller learns it and why.
    try {
        SendHeaders();
        Run();
    } catch (EAsyncException& e) {
        EndRun(TOutcome::Failed, e.Message().ToUtf8());
    } catch (EObjectDisposed& e) {
        EndRun(TOutcome::Failed, e.Message().ToUtf8());
    } catch (Exception& e) {
        EndRun(TOutcome::Failed, e.Message().ToUtf8());
        throw;
    }
}

void TLanTester::SendAll(const gc_disposable<TAsyncSocket>& s, const gc_array<unsigned char>& b, int count) {
    for (int off = 0; off < count;) {
        const int n = s->Send(b, off, count - off, SocketFlags::None);
        if (n <= 0) break;
        off += n;
    }
}

void TLanTester::SendHeaders() {
    const int mode = transferMode.load();
    if (mode != TransferMode::ReceiveOnly && mode != TransferMode::SendAndReceive) return;
    const std::uint32_t v = std::uint32_t(GetPacketSize());
    gc_array<unsigned char> header = gcnew_array<unsigned char>(4);
    for (int i = 0; i < 4; ++i) header[i] = static_cast<unsigned char>(v >> (8 * i));
    for (int i = 0; i < clients.Length(); ++i) SendAll(clients[i]->GetSocket(), header, 4);
}

void TLanTester::Run() {
    const int mode = transferMode.load();
    const bool sending = mode == TransferMode::SendOnly || mode == TransferMode::SendAndReceive;
    const bool receiving = mode == TransferMode::ReceiveOnly || mode == TransferMode::SendAndReceive;
    const int size = GetPacketSize();
    gc_array<unsigned char> packet = gcnew_array<unsigned char>(size);
    double total = 0;
    const std::uint32_t start = platform::tick_count();
    const int duration = GetDurationSec();
    remainingSeconds.store(duration);
    const std::uint64_t limitMs = std::uint64_t(duration > 0 ? duration : 0) * 1000;
    const int n = clients.Length();
    TOutcome how = TOutcome::Completed;
    for (;;) {
        const std::uint32_t e = platform::tick_count() - start;
        elapsedMs.store(e, std::memory_order_relaxed);
        if (e >= limitMs) break;
        if (abortRequested.load()) {
            how = TOutcome::Aborted;
            break;
        }
        if (IsAnyConnectionLost()) {
            how = TOutcome::ConnectionLost;
            break;
        }
        if (sending) {
            try {
                for (int i = 0; i < n; ++i) SendAll(clients[i]->GetSocket(), packet, size);
            } catch (Sysutils::EInvalidOperation&) {
                // The tester closes its sockets only after this loop: one
                // closed under a send was closed by its client when the
                // connection was lost.
                how = TOutcome::ConnectionLost;
                break;
            }
            sentBytes.store(int(unsigned(sentBytes.load()) + unsigned(size) * unsigned(n)));
            total += double(size) * n;
            totalSent.store(total, std::memory_order_relaxed);
        }
        const std::uint32_t now = TestFigures::ElapsedMs(start, platform::tick_count());
        if (sending) averageSendRate.store(TestFigures::Rate(total, now), std::memory_order_relaxed);
        if (receiving) {
            double received = 0;
            for (int i = 0; i < requesters.Length(); ++i) received += requesters[i]->GetReceivedBytesTotal();
            averageReceiveRate.store(TestFigures::Rate(received, now), std::memory_order_relaxed);
        }
        remainingSeconds.store(TestFigures::RemainingSeconds(duration, now), std::memory_order_relaxed);
        if (mode == TransferMode::ReceiveOnly) platform::sleep_ms(100);
        else if (!sending) platform::sleep_ms(10); // nothing to do but keep time
    }
    EndRun(how, how == TOutcome::Completed ? "completed" : how == TOutcome::Aborted ? "aborted" : "connection lost");
}

void TLanTester::EndRun(TOutcome how, const std::string& text) {
    remainingSeconds.store(0);
    CollectRetransmits();
    DisconnectClients();
    {
        std::lock_guard<std::mutex> g(textLock);
        outcomeText = text;
    }
    outcome.store(how, std::memory_order_release);
    initialized.store(false);
    complete.store(true, std::memory_order_release);
}

void TLanTester::DisconnectClients() {
    for (int i = 0; i < clients.Length(); ++i) {
        TTcpClient* c = clients[i].get();
        if (c && c->GetState() == TTcpClient::Connected) {
            try {
                c->Disconnect(true);
            } catch (Exception&) {
                // a requester's failure does not keep the others connected
            }
        }
    }
}

void TLanTester::CollectRetransmits() {
    std::int64_t sum = 0;
    bool any = false;
    for (int i = 0; i < clients.Length(); ++i) {
        TTcpClient* c = clients[i].get();
        if (!c) continue;
        const std::int64_t r = TcpRetransmits(c->GetSocket());
        if (r >= 0) {
            sum += r;
            any = true;
        }
    }
    retransmits.store(any ? sum : -1);
}

bool TLanTester::IsAnyConnectionLost() {
    for (int i = 0; i < clients.Length(); ++i) {
        TTcpClient* c = clients[i].get();
        if (!c) return true;
        gc_disposable<TAsyncSocket> s = c->GetSocket();
        if (!s || gc_disposable<TAsyncSocket>::is_disposed(s.get()) || !s.get()->GetConnected()) return true;
    }
    return false;
}

int TLanTester::GetSentBytesDelta() {
    const int s = sentBytes.load();
    const int d = int(unsigned(s) - unsigned(sentBytesAtLastPoll));
    sentBytesAtLastPoll = s;
    return d;
}

int TLanTester::GetReceivedBytesDelta() {
    unsigned s = 0;
    for (int i = 0; i < requesters.Length(); ++i) s += unsigned(requesters[i]->GetReceivedBytes());
    const int d = int(s - unsigned(receivedBytesAtLastPoll));
    receivedBytesAtLastPoll = int(s);
    return d;
}

std::string TLanTester::GetOutcomeText() {
    std::lock_guard<std::mutex> g(textLock);
    return outcomeText;
}

std::int64_t TLanTester::GetTotalReceivedBytes() {
    double received = 0;
    for (int i = 0; i < requesters.Length(); ++i) received += requesters[i]->GetReceivedBytesTotal();
    return std::int64_t(received);
}

} // namespace Benchmark
