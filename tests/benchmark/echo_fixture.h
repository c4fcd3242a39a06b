// An echo server on a fresh loopback port, and an echo provider that also
// counts what its connection received.
#pragma once
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "RozavUde/AsyncHelperThread.h"
#include "RozavUde/IPAddress.h"
#include "RozavUde/Tcp/TcpClient.h"
#include "RozavUde/Tcp/TcpServer.h"
#include "benchmark/LanTester.h"
#include "benchmark/EchoService.h"
#include "tests/support_files.h"
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

// Engines over clients connected to the echo server.
class LanTesterFixture : public EchoFixture {
protected:
    void SetUp() override {
        EchoFixture::SetUp();
        testing_support::WriteBytes(settingsFile.file("pelorin.config"), "[Config.Application]\n");
        settings = std::make_unique<TAppSettings>(UnicodeString(settingsFile.file("pelorin.config")));
    }
    void TearDown() override {
        if (clients)
            for (int i = 0; i < clients.Length(); ++i)
                if (clients[i] && !gc_disposable<TTcpClient>::is_disposed(clients[i].get())) clients[i].Dispose();
        EchoFixture::TearDown();
    }
    // n connected clients and a tester over them.
    gc_ptr<TLanTester> MakeTester(int n, int packetSize, int durationSec) {
        requesters = gcnew_array<gc_ptr<TEchoServiceRequester>>(n);
        clients = gcnew_array<gc_disposable<TTcpClient>>(n);
        for (int i = 0; i < n; ++i) {
            requesters[i] = gcnew<TEchoServiceRequester>(nullptr);
            clients[i] = gcnew<TTcpClient>(requesters[i]);
            clients[i]->Connect(TIPAddress::Parse("127.0.0.1"), port);
        }
        gc_ptr<TLanTester> t = gcnew<TLanTester>(clients, requesters, settings.get());
        t->SetOverrides(packetSize, durationSec);
        return t;
    }
    // Runs the test on a thread of its own; the returned thread ends with it.
    std::thread RunInBackground(gc_ptr<TLanTester> t) {
        TLanTester* raw = t.get();
        return std::thread([raw] {
            gc_ptr<TLanTester> keep(raw);
            keep->RunTest();
        });
    }
    void WaitForEnd(const gc_ptr<TLanTester>& t, int timeoutMs) {
        ASSERT_TRUE(testing_support::WaitUntil([&] { return t->GetComplete(); }, timeoutMs)) << "the run did not end";
    }

    testing_support::TempDir settingsFile;
    std::unique_ptr<TAppSettings> settings;
    gc_array<gc_ptr<TEchoServiceRequester>> requesters;
    gc_array<gc_disposable<TTcpClient>> clients;
};

} // namespace echo_testing
