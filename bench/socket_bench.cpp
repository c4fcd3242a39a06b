// The completion port against an eventfd + epoll round trip, and loopback
// TCP receive throughput: the socket engine's overlapped receive loop
// against a plain blocking recv loop fed by the same blocking sender, with
// iperf3 as the outside reference. Prints the ratios at the end.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "RozavUde/AsyncSocket.h"
#include "RozavUde/IPEndPoint.h"
#include "platform/completion_port.h"
#include "platform/socket_engine.h"

using namespace platform;
namespace ws = platform::winsock;

namespace {

std::map<std::string, double> g_rates; // bytes per second by benchmark

// --- port round trip ---------------------------------------------------------

void BM_PortPostThenGet(benchmark::State& state) {
    completion_port* p = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
    OVERLAPPED ov{};
    for (auto _ : state) {
        PostQueuedCompletionStatus(p, 1, 2, &ov);
        std::uint32_t n;
        std::uintptr_t k;
        OVERLAPPED* o;
        GetQueuedCompletionStatus(p, &n, &k, &o, INFINITE);
        benchmark::DoNotOptimize(o);
    }
    CloseCompletionPort(p);
}
BENCHMARK(BM_PortPostThenGet);

void BM_EventfdEpollWriteThenWait(benchmark::State& state) {
    const int efd = eventfd(0, EFD_NONBLOCK);
    const int ep = epoll_create1(0);
    epoll_event ev{};
    ev.events = EPOLLIN;
    epoll_ctl(ep, EPOLL_CTL_ADD, efd, &ev);
    for (auto _ : state) {
        std::uint64_t one = 1;
        benchmark::DoNotOptimize(write(efd, &one, 8));
        epoll_event out;
        benchmark::DoNotOptimize(epoll_wait(ep, &out, 1, -1));
        benchmark::DoNotOptimize(read(efd, &one, 8));
    }
    close(ep);
    close(efd);
}
BENCHMARK(BM_EventfdEpollWriteThenWait);

// A packet to a thread asleep on a port and one back.
void BM_PortPingPong(benchmark::State& state) {
    completion_port* a = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
    completion_port* b = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
    std::thread partner([&] {
        for (;;) {
            std::uint32_t n;
            std::uintptr_t k;
            OVERLAPPED* o;
            GetQueuedCompletionStatus(a, &n, &k, &o, INFINITE);
            if (k == 0) break;
            PostQueuedCompletionStatus(b, n, k, o);
        }
    });
    for (auto _ : state) {
        PostQueuedCompletionStatus(a, 1, 1, nullptr);
        std::uint32_t n;
        std::uintptr_t k;
        OVERLAPPED* o;
        GetQueuedCompletionStatus(b, &n, &k, &o, INFINITE);
    }
    PostQueuedCompletionStatus(a, 0, 0, nullptr);
    partner.join();
    CloseCompletionPort(a);
    CloseCompletionPort(b);
}
BENCHMARK(BM_PortPingPong)->UseRealTime();

void BM_EventfdEpollPingPong(benchmark::State& state) {
    int efd[2], ep[2];
    for (int i = 0; i < 2; ++i) {
        efd[i] = eventfd(0, EFD_NONBLOCK);
        ep[i] = epoll_create1(0);
        epoll_event ev{};
        ev.events = EPOLLIN;
        epoll_ctl(ep[i], EPOLL_CTL_ADD, efd[i], &ev);
    }
    auto wait_on = [&](int i) {
        epoll_event out;
        std::uint64_t v = 0;
        for (;;) {
            epoll_wait(ep[i], &out, 1, -1);
            if (read(efd[i], &v, 8) == 8) return v;
        }
    };
    std::thread partner([&] {
        for (;;) {
            const std::uint64_t v = wait_on(0);
            if (v > 1) break;
            std::uint64_t one = 1;
            benchmark::DoNotOptimize(write(efd[1], &one, 8));
        }
    });
    for (auto _ : state) {
        std::uint64_t one = 1;
        benchmark::DoNotOptimize(write(efd[0], &one, 8));
        wait_on(1);
    }
    std::uint64_t stop = 2;
    benchmark::DoNotOptimize(write(efd[0], &stop, 8));
    partner.join();
    for (int i = 0; i < 2; ++i) {
        close(ep[i]);
        close(efd[i]);
    }
}
BENCHMARK(BM_EventfdEpollPingPong)->UseRealTime();

// --- loopback throughput -----------------------------------------------------

constexpr std::size_t kSendBlock = 2u << 20;
constexpr std::uint32_t kRecvBuffer = 65536;

// A plain listener on 127.0.0.1 and a blocking sender thread that writes
// 2 MiB blocks to whoever connects until the connection goes.
struct Sender {
    int listener = -1;
    std::uint16_t port = 0;
    std::thread thread;
    std::atomic<bool> stop{false};

    Sender() {
        listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(listener, 4);
        socklen_t l = sizeof a;
        getsockname(listener, reinterpret_cast<sockaddr*>(&a), &l);
        port = ntohs(a.sin_port);
        thread = std::thread([this] {
            const int c = accept(listener, nullptr, nullptr);
            if (c < 0) return;
            std::vector<char> block(kSendBlock, 0);
            while (!stop.load(std::memory_order_relaxed))
                if (send(c, block.data(), block.size(), MSG_NOSIGNAL) < 0) break;
            close(c);
        });
    }
    ~Sender() {
        stop = true;
        thread.join();
        close(listener);
    }
};

void report(benchmark::State& state, std::uint64_t bytes) { state.SetBytesProcessed(static_cast<std::int64_t>(bytes)); }

// A port the kernel picks on loopback, free again when this returns.
unsigned free_port() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t l = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &l);
    close(fd);
    return ntohs(a.sin_port);
}

void BM_PlainBlockingRecv(benchmark::State& state) {
    Sender tx;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(tx.port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0) {
        state.SkipWithError("connect failed");
        return;
    }
    std::vector<char> buf(kRecvBuffer);
    std::uint64_t total = 0;
    for (auto _ : state) {
        const ssize_t n = recv(fd, buf.data(), buf.size(), 0);
        if (n <= 0) {
            state.SkipWithError("receive failed");
            break;
        }
        total += static_cast<std::uint64_t>(n);
    }
    close(fd);
    report(state, total);
}
BENCHMARK(BM_PlainBlockingRecv)->UseRealTime()->MinTime(3.0);

// The engine's loop as a completion-port thread runs it: issue an
// overlapped receive, take its completion, issue the next.
void BM_EngineOverlappedRecv(benchmark::State& state) {
    Sender tx;
    completion_port* port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
    ws::SOCKET s = ws::WSASocketW(ws::WS_AF_INET, ws::WS_SOCK_STREAM, ws::WS_IPPROTO_TCP, nullptr, 0,
                                  ws::WSA_FLAG_OVERLAPPED);
    CreateIoCompletionPort(reinterpret_cast<void*>(std::uintptr_t{s}), port, 1, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET; // 2 in both
    a.sin_port = htons(tx.port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (ws::WSAConnect(s, &a, sizeof a, nullptr, nullptr, nullptr, nullptr) != 0) {
        state.SkipWithError("connect failed");
        return;
    }
    std::vector<char> buf(kRecvBuffer);
    OVERLAPPED ov{};
    std::uint64_t total = 0;
    for (auto _ : state) {
        ws::WSABUF b{kRecvBuffer, buf.data()};
        std::uint32_t got = 0, flags = 0;
        if (ws::WSARecv(s, &b, 1, &got, &flags, &ov, nullptr) != 0 && ws::WSAGetLastError() != WSA_IO_PENDING) {
            state.SkipWithError("receive failed");
            break;
        }
        std::uint32_t n;
        std::uintptr_t k;
        OVERLAPPED* o;
        if (!GetQueuedCompletionStatus(port, &n, &k, &o, 10000) || n == 0) {
            state.SkipWithError("completion failed");
            break;
        }
        total += n;
    }
    ws::closesocket(s);
    CloseCompletionPort(port);
    report(state, total);
}
BENCHMARK(BM_EngineOverlappedRecv)->UseRealTime()->MinTime(3.0);

// The library's own loop, as the TCP framework runs it: a BeginReceive of
// 65,536 bytes whose callback ends it and begins the next, on the
// completion-port threads.
class ReceiveLoop : public System::TLockableObject {
public:
    gc_disposable<System::Net::Sockets::TAsyncSocket> socket;
    gc_array<unsigned char> buffer;
    std::atomic<std::uint64_t> total{0};
    std::atomic<bool> stop{false}, ended{false};

    void Next() {
        socket->BeginReceive(buffer, 0, buffer.Length(), System::Net::Sockets::SocketFlags::None,
                             System::Net::Sockets::TAsyncSocket::Callback::Create<&ReceiveLoop::OnReceive>(
                                 gc_ptr<ReceiveLoop>(this)),
                             nullptr);
    }
    void OnReceive(gc_ptr<System::TAsyncResult> r) {
        try {
            const int n = socket->EndReceive(r);
            total.fetch_add(static_cast<std::uint64_t>(n), std::memory_order_relaxed);
            if (n > 0 && !stop.load(std::memory_order_relaxed)) {
                Next();
                return;
            }
        } catch (...) {
        }
        ended = true;
    }
};

void BM_AsyncSocketBeginReceiveLoop(benchmark::State& state) {
    using namespace System::Net::Sockets;
    Sender tx;
    gc_ptr<ReceiveLoop> loop = gcnew<ReceiveLoop>();
    loop->socket = gcnew<TAsyncSocket>(AddressFamily::InterNetwork, SocketType::Stream, ProtocolType::Tcp);
    loop->socket->Connect(gcnew<TIPEndPoint>(TIPAddress::Loopback, tx.port));
    loop->buffer = gcnew_array<unsigned char>(kRecvBuffer);
    std::uint64_t bytes = 0;
    for (auto _ : state) {
        loop->total = 0;
        loop->Next();
        std::this_thread::sleep_for(std::chrono::seconds(3));
        loop->stop = true;
        for (int i = 0; i < 10000 && !loop->ended.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        bytes = loop->total.load();
    }
    loop->socket.Dispose();
    state.counters["bytes_per_second"] = benchmark::Counter(static_cast<double>(bytes), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_AsyncSocketBeginReceiveLoop)->Iterations(1)->UseRealTime();

// iperf3 -c 127.0.0.1 -l 1M against iperf3 -s, for scale.
void BM_Iperf3(benchmark::State& state) {
    if (system("command -v iperf3 >/dev/null 2>&1") != 0) {
        state.SkipWithError("iperf3 is not installed (Debian package iperf3)");
        return;
    }
    const unsigned port = free_port();
    double bps = 0;
    for (auto _ : state) {
        const std::string srv = "iperf3 -s -1 -p " + std::to_string(port) + " >/dev/null 2>&1 &";
        if (system(srv.c_str()) != 0) break;
        usleep(300000);
        const std::string cli = "iperf3 -c 127.0.0.1 -p " + std::to_string(port) + " -l 1M -t 3 -f m 2>&1";
        FILE* f = popen(cli.c_str(), "r");
        char line[512];
        while (f && fgets(line, sizeof line, f)) {
            // "[  5]   0.00-3.00   sec  ...  GBytes  25123 Mbits/sec   receiver"
            if (!std::strstr(line, "receiver")) continue;
            const char* m = std::strstr(line, "Mbits/sec");
            if (!m) continue;
            const char* p = m;
            while (p > line && p[-1] == ' ') --p;
            while (p > line && (std::isdigit(static_cast<unsigned char>(p[-1])) || p[-1] == '.')) --p;
            bps = std::atof(p) * 1e6 / 8;
        }
        if (f) pclose(f);
    }
    if (bps <= 0) {
        state.SkipWithError("no iperf3 result");
        return;
    }
    state.counters["bytes_per_second"] = bps;
    g_rates["iperf3"] = bps;
}
BENCHMARK(BM_Iperf3)->Iterations(1)->UseRealTime();

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            const std::string n = r.benchmark_name();
            auto bps = r.counters.find("bytes_per_second");
            if (bps == r.counters.end()) continue;
            if (n.find("PlainBlockingRecv") != std::string::npos) g_rates["plain"] = bps->second;
            if (n.find("EngineOverlappedRecv") != std::string::npos) g_rates["engine"] = bps->second;
            if (n.find("AsyncSocketBeginReceiveLoop") != std::string::npos) g_rates["asyncsocket"] = bps->second;
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    auto show = [](const char* what, const char* a, const char* b) {
        if (g_rates.count(a) && g_rates.count(b) && g_rates[b] > 0)
            std::printf("%-40s %6.3f  (%.2f vs %.2f GB/s)\n", what, g_rates[a] / g_rates[b], g_rates[a] / 1e9,
                        g_rates[b] / 1e9);
    };
    show("engine / plain blocking recv", "engine", "plain");
    show("TAsyncSocket loop / plain blocking recv", "asyncsocket", "plain");
    show("plain blocking recv / iperf3", "plain", "iperf3");
    show("engine / iperf3", "engine", "iperf3");
    return 0;
}
