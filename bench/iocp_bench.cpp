// Round trips between two threads through the completion port: a packet
// posted to one port is taken by a partner thread, which posts it back on a
// second port. The peer is the same exchange over two eventfd counters
// watched by epoll. The managed variant sends each packet through a port
// thread of a TIocp, whose dispatch (result, pending table, owner's
// completion method) answers on the reply port.
#include <benchmark/benchmark.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <thread>

#include "RozavUde/Iocp.h"
#include "RozavUde/IocpThreadPool.h"
#include "RozavUde/ThreadPoolGlobals.h"
#include "platform/completion_port.h"

using namespace System;
using namespace System::Threading;

namespace {

platform::OVERLAPPED* const kStop = reinterpret_cast<platform::OVERLAPPED*>(std::uintptr_t{1});

void BM_PortRoundTrip(benchmark::State& state) {
    platform::completion_port* ping = platform::CreateIoCompletionPort(platform::INVALID_HANDLE_VALUE, nullptr, 0, 0);
    platform::completion_port* pong = platform::CreateIoCompletionPort(platform::INVALID_HANDLE_VALUE, nullptr, 0, 0);
    std::thread partner([&] {
        for (;;) {
            std::uint32_t bytes;
            std::uintptr_t key;
            platform::OVERLAPPED* o = nullptr;
            platform::GetQueuedCompletionStatus(ping, &bytes, &key, &o, platform::INFINITE);
            if (o == kStop) break;
            platform::PostQueuedCompletionStatus(pong, bytes, key, o);
        }
    });
    platform::OVERLAPPED ov{};
    for (auto _ : state) {
        platform::PostQueuedCompletionStatus(ping, 1, 0, &ov);
        std::uint32_t bytes;
        std::uintptr_t key;
        platform::OVERLAPPED* o = nullptr;
        platform::GetQueuedCompletionStatus(pong, &bytes, &key, &o, platform::INFINITE);
    }
    platform::PostQueuedCompletionStatus(ping, 0, 0, kStop);
    partner.join();
    platform::CloseCompletionPort(ping);
    platform::CloseCompletionPort(pong);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PortRoundTrip)->UseRealTime();

struct efd_channel {
    int fd = eventfd(0, EFD_NONBLOCK);
    int ep = epoll_create1(0);
    efd_channel() {
        epoll_event e{};
        e.events = EPOLLIN;
        e.data.fd = fd;
        epoll_ctl(ep, EPOLL_CTL_ADD, fd, &e);
    }
    ~efd_channel() {
        close(fd);
        close(ep);
    }
    void post(std::uint64_t v) { (void)!write(fd, &v, sizeof v); }
    std::uint64_t take() {
        epoll_event e;
        for (;;) {
            std::uint64_t v;
            if (read(fd, &v, sizeof v) == sizeof v) return v;
            epoll_wait(ep, &e, 1, -1);
        }
    }
};

void BM_EventfdEpollRoundTrip(benchmark::State& state) {
    efd_channel ping, pong;
    std::thread partner([&] {
        for (;;) {
            const std::uint64_t v = ping.take();
            if (v == 2) break;
            pong.post(v);
        }
    });
    for (auto _ : state) {
        ping.post(1);
        benchmark::DoNotOptimize(pong.take());
    }
    ping.post(2);
    partner.join();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EventfdEpollRoundTrip)->UseRealTime();

class TEchoOwner : public TLockableObject {
public:
    platform::completion_port* reply = nullptr;
    platform::OVERLAPPED answer{};
    void OnCompletion(const gc_ptr<IO::TIocpCallback>, gc_ptr<TAsyncResult>) {
        platform::PostQueuedCompletionStatus(reply, 1, 0, &answer);
    }
    void OnException(gc_ptr<TPooledThread>, Sysutils::Exception*) {}
};

// One operation per round trip, as a socket issues it: a result and a
// completion record, pending on the issuing thread until dispatched.
void BM_ManagedDispatchRoundTrip(benchmark::State& state) {
    gc_ptr<TEchoOwner> owner = gcnew<TEchoOwner>();
    owner->reply = platform::CreateIoCompletionPort(platform::INVALID_HANDLE_VALUE, nullptr, 0, 0);
    gc_disposable<IO::TIocp> iocp =
        gcnew<IO::TIocp>(ThreadExceptionEvent::Of<&TEchoOwner::OnException>(owner.get()), 1, 1);
    iocp->GetThreadPool();
    auto completion = MulticastDelegate<IO::TInternalIocpCompletionEvent>::Create<&TEchoOwner::OnCompletion>(owner);
    for (auto _ : state) {
        gc_ptr<IO::TIocpCallback> op = gcnew<IO::TIocpCallback>(
            iocp, completion, gcnew<IO::TAsyncIoResult>(gc_ptr<TObject>(owner), gc_ptr<TObject>()));
        platform::PostQueuedCompletionStatus(iocp->GetCompletionPortHandle(), 65536, 0, op->GetOverlapped());
        std::uint32_t bytes;
        std::uintptr_t key;
        platform::OVERLAPPED* o = nullptr;
        platform::GetQueuedCompletionStatus(owner->reply, &bytes, &key, &o, platform::INFINITE);
    }
    iocp.Dispose();
    platform::CloseCompletionPort(owner->reply);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ManagedDispatchRoundTrip)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
