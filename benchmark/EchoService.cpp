#include "benchmark/EchoService.h"

#include <algorithm>
#include <string>
#include <thread>

#include "GC/gcarray.h"
#include "RozavUde/ThreadPoolGlobals.h"
#include "core/Delegates.h"
#include "platform/debug_output.h"
#include "platform/futex_event.h"

namespace Benchmark {

using namespace System;
using System::Net::Sockets::TTcpServiceProvider;

namespace {

std::atomic<int> g_streamThreads{0};
std::atomic<long> g_headersAlone{0};
std::atomic<long> g_headersNotAlone{0};

// What a new stream thread needs until it holds its own managed pointers:
// the starting thread waits for that, so the objects stay reachable
// throughout.
// The packet is made by the starting thread too: a thread that allocated
// managed memory keeps its collector record until that memory is
// collected, and streams come and go faster than collections.
struct StreamHandoff {
    TEchoServiceProvider* provider;
    TClientConnection* connection;
    const gc_array<unsigned char>* packet;
    platform::futex_event taken{true};
};

void RunStream(StreamHandoff* h) {
    gc_ptr<TEchoServiceProvider> provider(h->provider);
    gc_ptr<TClientConnection> connection(h->connection);
    gc_array<unsigned char> packet = *h->packet;
    h->taken.set();
    provider->SendPackets(connection, packet);
    g_streamThreads.fetch_sub(1);
}

} // namespace

TEchoServiceProvider::TEchoServiceProvider(TObject* owner_) : owner(owner_) {}

int TEchoServiceProvider::GetStreamThreads() { return g_streamThreads.load(); }
long TEchoServiceProvider::GetHeadersAlone() { return g_headersAlone.load(); }
long TEchoServiceProvider::GetHeadersNotAlone() { return g_headersNotAlone.load(); }

gc_ptr<TTcpServiceProvider> TEchoServiceProvider::CreateInstance() { return gcnew<TEchoServiceProvider>(owner); }

void TEchoServiceProvider::OnDataReceived(gc_ptr<TClientConnection> connection) {
    if (packetSize.load() != 0) return;
    // The header is the first four bytes of the stream however the receives
    // cut it: split over several receives or joined with payload.
    const int taken = header.Feed(connection->GetReceiveBuffer().data(), connection->BytesReceived);
    if (!header.IsComplete()) return;
    (taken == 4 && connection->BytesReceived == 4 ? g_headersAlone : g_headersNotAlone).fetch_add(1);
    const std::int32_t v = header.Value();
    if (v > 0) {
        packetSize.store(v);
        StartStream(connection);
    } else {
        packetSize.store(-1);
        if (v < 0)
            platform::output_debug_string("TEchoServiceProvider: packet size " + std::to_string(v) +
                                          " refused; the connection gets no stream");
    }
}

void TEchoServiceProvider::StartStream(const gc_ptr<TClientConnection>& connection) {
    if (g_streamThreads.fetch_add(1) < MaxStreamThreads) {
        const gc_array<unsigned char> packet = MakePacket();
        StreamHandoff h{this, connection.get(), &packet};
        try {
            std::thread(RunStream, &h).detach();
            h.taken.wait();
            return;
        } catch (const std::system_error&) {
            // no thread to be had: the pool takes it
        }
    }
    g_streamThreads.fetch_sub(1);
    using Work = InvokePtrImpl1<void(gc_ptr<TClientConnection>), gc_ptr<TClientConnection>>;
    Threading::Global::g_ThreadPool->QueueUserWorkItem(gcnew<Work>(
        TClosure<void(gc_ptr<TClientConnection>)>::Of<&TEchoServiceProvider::SendLoop>(this), connection));
}

gc_array<unsigned char> TEchoServiceProvider::MakePacket() const {
    return gcnew_array<unsigned char>(std::min(packetSize.load(), MaxStreamBuffer));
}

void TEchoServiceProvider::SendLoop(gc_ptr<TClientConnection> connection) {
    if (packetSize.load() <= 0) return;
    SendPackets(connection, MakePacket());
}

void TEchoServiceProvider::SendPackets(gc_ptr<TClientConnection> connection, gc_array<unsigned char> packet) {
    try {
        gc_disposable<TClientConnection> c(connection);
        for (;;) {
            if (!c || gc_disposable<TClientConnection>::is_disposed(c.get()) || c->GetTerminated()) return;
            if (!c->Send(packet, packet.Length())) return;
        }
    } catch (Exception&) {
        // a send failed: the connection is going
    }
}

TEchoServiceRequester::TEchoServiceRequester(TObject* owner_) : owner(owner_) {}

void TEchoServiceRequester::OnDataReceived(gc_ptr<TServerConnection> connection) {
    const int n = connection->BytesReceived;
    receivedBytes.store(int(unsigned(receivedBytes.load(std::memory_order_relaxed)) + unsigned(n)),
                        std::memory_order_relaxed);
    receivedBytesTotal.store(receivedBytesTotal.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}

void TEchoServiceRequester::ResetCounters() {
    receivedBytes.store(0);
    receivedBytesTotal.store(0);
}

} // namespace Benchmark
