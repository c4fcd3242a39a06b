// An echo server on a fresh loopback port, and an echo provider that also
// counts what its connection received.
#pragma once
#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "RozavUde/AsyncHelperThread.h"
#include "RozavUde/IPAddress.h"
#include "RozavUde/Tcp/TcpServer.h"
#include "benchmark/EchoService.h"
#include "tests/support_net.h"

namespace echo_testing {

using namespace System;
using namespace System::Net;
using namespace System::Net::Sockets;
using Sysutils::EInvalidOperation;
using namespace Benchmark;

struct EchoLog {
    std::atomic<long> bytes{0};
    std::atomic<int> disconnected{0};
};

class TCountingEchoProvider : public TEchoServiceProvider {
public:
    explicit TCountingEchoProvider(std::shared_ptr<EchoLog> log) : TEchoServiceProvider(nullptr), log_(std::move(log)) {}
    gc_ptr<TTcpServiceProvider> CreateInstance() override { return gcnew<TCountingEchoProvider>(log_); }
    void OnDataReceived(gc_ptr<TClientConnection> c) override {
        log_->bytes += c->BytesReceived;
        TEchoServiceProvider::OnDataReceived(c);
    }
    void OnClientDisconnected(gc_ptr<TClientConnection>) override { ++log_->disconnected; }

private:
    std::shared_ptr<EchoLog> log_;
};

class EchoFixture : public ::testing::Test {
protected:
    void SetUp() override {
        System::Threading::Async->Initialize(); // keep-alive timers need the helper thread
        log = std::make_shared<EchoLog>();
        port = testing_support::FreeLoopbackPort();
        server = gcnew<TTcpServer>(gcnew<TCountingEchoProvider>(log), port);
        server->Start();
    }
    void TearDown() override {
        if (server && !gc_disposable<TTcpServer>::is_disposed(server.get())) server.Dispose();
        // Streams end with their connections.
        EXPECT_TRUE(testing_support::WaitUntil([] { return TEchoServiceProvider::GetStreamThreads() == 0; }, 5000))
            << "stream threads outlived the server";
    }
    bool WaitForConnections(int n, int timeoutMs = 5000) {
        return testing_support::WaitUntil([&] { return server->GetConnectionCount() == n; }, timeoutMs);
    }
    // The packet size the server recognised on its only (or i-th) connection.
    int PacketSize(int i = 0) {
        gc_array<gc_disposable<TClientConnection>> c = server->GetConnections();
        if (i >= c.Length()) return -100;
        return static_cast<TEchoServiceProvider*>(c[i]->GetProvider().get())->GetPacketSize();
    }

    std::shared_ptr<EchoLog> log;
    int port = 0;
    gc_disposable<TTcpServer> server;
};

} // namespace echo_testing
