// The benchmark's stream protocol on the TCP service framework. The client
// may send a 4-byte little-endian packet size first (the first four bytes
// of its stream); the server then streams that many bytes per packet back
// until the connection ends. Everything else is payload and is discarded.
#pragma once
#include <atomic>

#include "GC/gcptr.h"
#include "RozavUde/Tcp/ClientConnection.h"
#include "RozavUde/Tcp/ServerConnection.h"
#include "RozavUde/Tcp/TcpServiceProvider.h"
#include "RozavUde/Tcp/TcpServiceRequester.h"
#include "benchmark/StreamHeader.h"

namespace Benchmark {

using System::Net::Sockets::TClientConnection;
using System::Net::Sockets::TServerConnection;

class TEchoServiceProvider : public System::Net::Sockets::TTcpServiceProvider {
public:
    // The server sends from a buffer of at most this size, however large
    // the packets asked for: the bytes on the wire are the same.
    static constexpr int MaxStreamBuffer = 4 << 20;
    // Streams run on threads of their own, so that each starts at once
    // whatever the thread pool is doing; past this many the thread pool
    // takes the further ones.
    static constexpr int MaxStreamThreads = 256;

    explicit TEchoServiceProvider(System::TObject* owner);

    int GetKeepAliveTimeout() override { return -1; }
    gc_ptr<System::Net::Sockets::TTcpServiceProvider> CreateInstance() override;
    void OnClientConnected(gc_ptr<TClientConnection>) override {}
    void OnDataReceived(gc_ptr<TClientConnection> connection) override;
    void OnClientDisconnected(gc_ptr<TClientConnection>) override {}
    void OnError(gc_ptr<TClientConnection>, Exception&) override {}

    // The server's stream for one connection.
    void SendLoop(gc_ptr<TClientConnection> connection);
    // The same with a packet buffer made beforehand.
    void SendPackets(gc_ptr<TClientConnection> connection, gc_array<unsigned char> packet);

    // 0 until the header is complete; -1 for a header of 0 or a negative
    // one (nothing is streamed); otherwise the packet size.
    int GetPacketSize() const { return packetSize.load(); }
    // Streams running on their own threads, in the whole process.
    static int GetStreamThreads();
    // Connections whose first receive held exactly the header, and those
    // whose header came split or joined with payload (the latter would go
    // unrecognised if only a 4-byte receive counted as a header).
    static long GetHeadersAlone();
    static long GetHeadersNotAlone();

private:
    void StartStream(const gc_ptr<TClientConnection>& connection);
    gc_array<unsigned char> MakePacket() const;

    std::atomic<int> packetSize{0};
    TStreamHeader header;
    System::TObject* owner;
};

class TEchoServiceRequester : public System::Net::Sockets::TTcpServiceRequester {
public:
    explicit TEchoServiceRequester(System::TObject* owner);

    void OnConnected(gc_ptr<TServerConnection>) override {}
    void OnDataReceived(gc_ptr<TServerConnection> connection) override;
    void OnDisconnected(gc_ptr<TServerConnection>) override {}
    void OnError(gc_ptr<TServerConnection>, Exception&) override {}

    void ResetCounters();
    // Wrapping 32-bit total, read as differences between polls.
    int GetReceivedBytes() const { return receivedBytes.load(std::memory_order_relaxed); }
    double GetReceivedBytesTotal() const { return receivedBytesTotal.load(std::memory_order_relaxed); }

private:
    System::TObject* owner;
    std::atomic<int> receivedBytes{0};
    std::atomic<double> receivedBytesTotal{0};
};

} // namespace Benchmark
