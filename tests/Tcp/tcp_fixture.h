// Services that record what the framework calls, for the server and client
// tests. Counters live outside the managed objects so that a test reads
// them after the objects are gone.
#pragma once
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "RozavUde/AsyncHelperThread.h"
#include "RozavUde/IPAddress.h"
#include "RozavUde/Tcp/ClientConnection.h"
#include "RozavUde/Tcp/ServerConnection.h"
#include "RozavUde/Tcp/TcpClient.h"
#include "RozavUde/Tcp/TcpServer.h"
#include "tests/support_net.h"

namespace tcp_testing {

using namespace System;
using namespace System::Net;
using namespace System::Net::Sockets;
using Sysutils::EInvalidOperation;

struct ServerLog {
    std::atomic<int> created{0}, connected{0}, data{0}, disconnected{0}, errors{0};
    std::atomic<long> bytes{0};
    std::atomic<int> keepAlive{-1};
    int throwOnCreateEvery = 0;   // CreateInstance throws on every n-th call
    bool throwOnConnected = false;
    std::atomic<bool> throwOnData{false};
    std::atomic<int> blockInDataMs{0};
    std::mutex m;
    std::set<const void*> instances; // providers that saw data
};

class TRecordingProvider : public TTcpServiceProvider {
public:
    explicit TRecordingProvider(std::shared_ptr<ServerLog> log) : log_(std::move(log)) {}
    int GetKeepAliveTimeout() override { return log_->keepAlive.load(); }
    gc_ptr<TTcpServiceProvider> CreateInstance() override {
        const int n = ++log_->created;
        if (log_->throwOnCreateEvery > 0 && n % log_->throwOnCreateEvery == 0)
            throw EInvalidOperation("no provider for this one");
        return gcnew<TRecordingProvider>(log_);
    }
    void OnClientConnected(gc_ptr<TClientConnection>) override {
        ++log_->connected;
        if (log_->throwOnConnected) throw EInvalidOperation("refused in OnClientConnected");
    }
    void OnDataReceived(gc_ptr<TClientConnection> c) override {
        ++log_->data;
        received_ += c->BytesReceived;
        log_->bytes += c->BytesReceived;
        {
            std::lock_guard<std::mutex> g(log_->m);
            log_->instances.insert(this);
        }
        if (const int ms = log_->blockInDataMs.load()) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        if (log_->throwOnData) throw EInvalidOperation("refused in OnDataReceived");
    }
    void OnClientDisconnected(gc_ptr<TClientConnection>) override { ++log_->disconnected; }
    void OnError(gc_ptr<TClientConnection>, Exception&) override { ++log_->errors; }
    long Received() const { return received_; }

private:
    std::shared_ptr<ServerLog> log_;
    long received_ = 0; // this connection's own bytes
};

struct ClientLog {
    std::atomic<int> connected{0}, data{0}, disconnected{0}, errors{0};
    std::atomic<long> bytes{0};
    bool throwOnConnected = false;
};

class TRecordingRequester : public TTcpServiceRequester {
public:
    explicit TRecordingRequester(std::shared_ptr<ClientLog> log) : log_(std::move(log)) {}
    void OnConnected(gc_ptr<TServerConnection>) override {
        ++log_->connected;
        if (log_->throwOnConnected) throw EInvalidOperation("refused in OnConnected");
    }
    void OnDataReceived(gc_ptr<TServerConnection> c) override {
        ++log_->data;
        log_->bytes += c->BytesReceived;
    }
    void OnDisconnected(gc_ptr<TServerConnection>) override { ++log_->disconnected; }
    void OnError(gc_ptr<TServerConnection>, Exception&) override { ++log_->errors; }

private:
    std::shared_ptr<ClientLog> log_;
};

inline gc_ptr<TIPAddress> Loopback() { return TIPAddress::Parse("127.0.0.1"); }

// A started server with a recording provider on a fresh port, stopped at
// the end of the test.
class ServerFixture : public ::testing::Test {
protected:
    void SetUp() override {
        System::Threading::Async->Initialize(); // keep-alive timers need the helper thread
        log = std::make_shared<ServerLog>();
        port = testing_support::FreeLoopbackPort();
    }
    void TearDown() override {
        if (server && !gc_disposable<TTcpServer>::is_disposed(server.get())) server.Dispose();
    }
    void StartServer() {
        server = gcnew<TTcpServer>(gcnew<TRecordingProvider>(log), port);
        server->Start();
    }
    bool WaitForConnections(int n, int timeoutMs = 5000) {
        return testing_support::WaitUntil([&] { return server->GetConnectionCount() == n; }, timeoutMs);
    }

    std::shared_ptr<ServerLog> log;
    int port = 0;
    gc_disposable<TTcpServer> server;
};

} // namespace tcp_testing
