// How often a test's header reaches the server in a receive of its own on
// loopback, with 1 and 20 connections: the tester sends the headers on all
// connections and then its first packet on each, as a send-and-receive test
// starts. Counters: headers alone, headers split or joined with payload.
#include <benchmark/benchmark.h>

#include <thread>

#include "RozavUde/IPAddress.h"
#include "RozavUde/Tcp/TcpClient.h"
#include "RozavUde/Tcp/TcpServer.h"
#include "benchmark/EchoService.h"
#include "tests/support_net.h"

namespace {

using namespace System;
using namespace System::Net::Sockets;
using namespace Benchmark;

void BM_HeaderArrival(benchmark::State& state) {
    const int n = int(state.range(0));
    const int port = testing_support::FreeLoopbackPort();
    gc_disposable<TTcpServer> server = gcnew<TTcpServer>(gcnew<TEchoServiceProvider>(nullptr), port);
    server->Start();
    gc_array<unsigned char> header = gcnew_array<unsigned char>(4);
    header[2] = 0x20; // 2 MiB
    gc_array<unsigned char> packet = gcnew_array<unsigned char>(2 << 20);
    const long alone0 = TEchoServiceProvider::GetHeadersAlone();
    const long notAlone0 = TEchoServiceProvider::GetHeadersNotAlone();
    for (auto _ : state) {
        gc_array<gc_disposable<TTcpClient>> clients = gcnew_array<gc_disposable<TTcpClient>>(n);
        for (int i = 0; i < n; ++i) {
            clients[i] = gcnew<TTcpClient>(gcnew<TEchoServiceRequester>(nullptr));
            clients[i]->Connect(TIPAddress::Parse("127.0.0.1"), port);
        }
        for (int i = 0; i < n; ++i) clients[i]->GetSocket()->Send(header, 4, SocketFlags::None);
        for (int i = 0; i < n; ++i) clients[i]->GetSocket()->Send(packet, 0, 65536 * 4, SocketFlags::None);
        for (int i = 0; i < n; ++i) clients[i].Dispose();
    }
    server.Dispose();
    const double alone = double(TEchoServiceProvider::GetHeadersAlone() - alone0);
    const double notAlone = double(TEchoServiceProvider::GetHeadersNotAlone() - notAlone0);
    state.counters["headers_alone"] = alone;
    state.counters["headers_split_or_joined"] = notAlone;
    state.counters["not_alone_pct"] = alone + notAlone > 0 ? 100.0 * notAlone / (alone + notAlone) : 0;
}
BENCHMARK(BM_HeaderArrival)->Arg(1)->Arg(20)->Iterations(50)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
