#include "platform/socket_engine.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/error_text.h"
#include "tests/support.h"

using namespace platform;
using namespace platform::winsock;
using namespace std::chrono_literals;
using testing_support::open_descriptors;

namespace {

constexpr std::uint32_t kLongMs = 10000; // only a lost completion reaches it

// A Winsock socket address for 127.0.0.1 or ::1 and a port.
struct WsAddr {
    unsigned char bytes[28]{};
    int len = 0;
    static WsAddr loop4(std::uint16_t port) {
        WsAddr a;
        sockaddr_in in{};
        in.sin_port = htons(port);
        in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        std::memcpy(a.bytes, &in, sizeof in);
        const std::uint16_t fam = WS_AF_INET;
        std::memcpy(a.bytes, &fam, 2);
        a.len = 16;
        return a;
    }
    static WsAddr loop6(std::uint16_t port) {
        WsAddr a;
        sockaddr_in6 in{};
        in.sin6_port = htons(port);
        in.sin6_addr = in6addr_loopback;
        std::memcpy(a.bytes, &in, sizeof in);
        const std::uint16_t fam = WS_AF_INET6;
        std::memcpy(a.bytes, &fam, 2);
        a.len = 28;
        return a;
    }
    std::uint16_t family() const {
        std::uint16_t f;
        std::memcpy(&f, bytes, 2);
        return f;
    }
    std::uint16_t port() const {
        std::uint16_t p;
        std::memcpy(&p, bytes + 2, 2);
        return ntohs(p);
    }
};

WsAddr local_name(SOCKET s) {
    WsAddr a;
    a.len = sizeof a.bytes;
    EXPECT_EQ(getsockname(s, a.bytes, &a.len), 0) << WSAGetLastError();
    return a;
}

// A completion port, a listener on loopback and connected pairs.
class Engine : public ::testing::Test {
protected:
    void SetUp() override {
        port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
        ASSERT_NE(port, nullptr);
    }
    void TearDown() override {
        for (SOCKET s : owned) closesocket(s);
        CloseCompletionPort(port);
    }
    SOCKET track(SOCKET s) {
        if (s != INVALID_SOCKET) owned.push_back(s);
        return s;
    }
    SOCKET tcp(int af = WS_AF_INET) {
        SOCKET s = track(WSASocketW(af, WS_SOCK_STREAM, WS_IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED));
        EXPECT_NE(s, INVALID_SOCKET) << WSAGetLastError();
        EXPECT_EQ(CreateIoCompletionPort(reinterpret_cast<void*>(std::uintptr_t{s}), port, s, 0), port);
        return s;
    }
    // A listener on an ephemeral loopback port; returns its address.
    WsAddr listen_on(SOCKET l, bool v6 = false) {
        WsAddr any = v6 ? WsAddr::loop6(0) : WsAddr::loop4(0);
        EXPECT_EQ(bind(l, any.bytes, any.len), 0) << WSAGetLastError();
        EXPECT_EQ(listen(l, 16), 0) << WSAGetLastError();
        return local_name(l);
    }
    // Two connected sockets (client, server side).
    std::pair<SOCKET, SOCKET> pair(bool v6 = false) {
        const int af = v6 ? WS_AF_INET6 : WS_AF_INET;
        SOCKET l = tcp(af);
        WsAddr at = listen_on(l, v6);
        SOCKET c = tcp(af);
        EXPECT_EQ(WSAConnect(c, at.bytes, at.len, nullptr, nullptr, nullptr, nullptr), 0) << WSAGetLastError();
        SOCKET a = track(accept(l, nullptr, nullptr));
        EXPECT_NE(a, INVALID_SOCKET) << WSAGetLastError();
        EXPECT_EQ(CreateIoCompletionPort(reinterpret_cast<void*>(std::uintptr_t{a}), port, a, 0), port);
        return {c, a};
    }
    struct Done {
        bool ok = false, timed_out = false;
        std::uint32_t bytes = 0, error = 0;
        std::uintptr_t key = 0;
        OVERLAPPED* ov = nullptr;
    };
    Done next(std::uint32_t timeout = kLongMs) {
        Done d;
        d.ok = GetQueuedCompletionStatus(port, &d.bytes, &d.key, &d.ov, timeout);
        d.error = d.ok ? 0 : GetLastError();
        d.timed_out = !d.ok && !d.ov;
        return d;
    }

    completion_port* port = nullptr;
    std::vector<SOCKET> owned;
};

int send_all(SOCKET s, const void* p, std::uint32_t n) {
    WSABUF b{n, static_cast<char*>(const_cast<void*>(p))};
    std::uint32_t sent = 0;
    if (WSASend(s, &b, 1, &sent, 0, nullptr, nullptr) != 0) return -WSAGetLastError();
    return static_cast<int>(sent);
}

int recv_some(SOCKET s, void* p, std::uint32_t n) {
    WSABUF b{n, static_cast<char*>(p)};
    std::uint32_t got = 0, flags = 0;
    if (WSARecv(s, &b, 1, &got, &flags, nullptr, nullptr) != 0) return -WSAGetLastError();
    return static_cast<int>(got);
}

// A connection the peer resets instead of closing.
void reset(SOCKET s) {
    const std::uint16_t lin[2] = {1, 0};
    ASSERT_EQ(setsockopt(s, WS_SOL_SOCKET, WS_SO_LINGER, lin, 4), 0);
    ASSERT_EQ(closesocket(s), 0);
}

TEST_F(Engine, BoundSocketNamesItsChosenPortAndUnboundSocketHasNoName) {
    SOCKET s = tcp();
    WsAddr a;
    a.len = sizeof a.bytes;
    EXPECT_EQ(getsockname(s, a.bytes, &a.len), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
    WsAddr any = WsAddr::loop4(0);
    ASSERT_EQ(bind(s, any.bytes, any.len), 0);
    WsAddr got = local_name(s);
    EXPECT_EQ(got.family(), WS_AF_INET);
    EXPECT_NE(got.port(), 0);
    EXPECT_EQ(got.len, 16);
}

TEST_F(Engine, SynchronousSendHandsOverEveryByteInOrder) {
    auto [c, a] = pair();
    constexpr std::uint32_t kSize = 8u << 20; // far beyond the socket buffers
    std::vector<unsigned char> out(kSize), in(kSize);
    for (std::uint32_t i = 0; i < kSize; ++i) out[i] = static_cast<unsigned char>(i * 7 + (i >> 13));
    std::thread reader([&, a = a] {
        std::uint32_t have = 0;
        while (have < kSize) {
            const int n = recv_some(a, in.data() + have, kSize - have);
            if (n <= 0) {
                ADD_FAILURE() << "receive ended with " << n;
                return;
            }
            have += static_cast<std::uint32_t>(n);
        }
    });
    EXPECT_EQ(send_all(c, out.data(), kSize), static_cast<int>(kSize));
    reader.join();
    EXPECT_TRUE(in == out);
}

TEST_F(Engine, OverlappedReceiveCompletesLaterOrAtOnce) {
    auto [c, a] = pair();
    char buf[64];
    OVERLAPPED ov{};
    WSABUF b{sizeof buf, buf};
    std::uint32_t got = 0, flags = 0;
    // Nothing there yet: queued.
    ASSERT_EQ(WSARecv(a, &b, 1, &got, &flags, &ov, nullptr), SOCKET_ERROR);
    ASSERT_EQ(WSAGetLastError(), WSA_IO_PENDING);
    EXPECT_TRUE(next(50).timed_out);
    ASSERT_EQ(send_all(c, "hello", 5), 5);
    Done d = next();
    ASSERT_TRUE(d.ok) << d.error;
    EXPECT_EQ(d.ov, &ov);
    EXPECT_EQ(d.bytes, 5u);
    EXPECT_EQ(d.key, a);
    EXPECT_EQ(std::string(buf, 5), "hello");

    // Data already there: done at once, and the completion still comes.
    ASSERT_EQ(send_all(c, "again", 5), 5);
    std::this_thread::sleep_for(20ms);
    ASSERT_EQ(WSARecv(a, &b, 1, &got, &flags, &ov, nullptr), 0);
    EXPECT_EQ(got, 5u);
    d = next();
    EXPECT_TRUE(d.ok);
    EXPECT_EQ(d.ov, &ov);
    EXPECT_EQ(d.bytes, 5u);
}

TEST_F(Engine, PendingReceiveSeesGracefulCloseAsZeroAndResetAs10054) {
    struct Case {
        const char* what;
        bool reset;
        std::uint32_t error;
    };
    for (const Case& k : {Case{"close", false, 0u}, Case{"reset", true, 10054u}}) {
        SCOPED_TRACE(k.what);
        auto [c, a] = pair();
        char buf[16];
        OVERLAPPED ov{};
        WSABUF b{sizeof buf, buf};
        std::uint32_t got = 0, flags = 0;
        ASSERT_EQ(WSARecv(a, &b, 1, &got, &flags, &ov, nullptr), SOCKET_ERROR);
        ASSERT_EQ(WSAGetLastError(), WSA_IO_PENDING);
        if (k.reset) reset(c);
        else ASSERT_EQ(closesocket(c), 0);
        Done d = next();
        ASSERT_EQ(d.ov, &ov) << "no completion";
        EXPECT_EQ(d.error, k.error);
        EXPECT_EQ(d.bytes, 0u);
    }
    EXPECT_EQ(GetSystemErrorMessage(10054), std::strerror(ECONNRESET));
}

TEST_F(Engine, ClosingAbortsQueuedOperationsAndWakesBlockedCallers) {
    auto [c, a] = pair();
    char buf1[16], buf2[16];
    OVERLAPPED ov1{}, ov2{};
    WSABUF b1{sizeof buf1, buf1}, b2{sizeof buf2, buf2};
    std::uint32_t got = 0, flags = 0;
    ASSERT_EQ(WSARecv(a, &b1, 1, &got, &flags, &ov1, nullptr), SOCKET_ERROR);
    ASSERT_EQ(WSARecv(a, &b2, 1, &got, &flags, &ov2, nullptr), SOCKET_ERROR);

    std::atomic<int> blocked_result{1};
    std::thread t([&, a = a] {
        char x[8];
        blocked_result = recv_some(a, x, sizeof x);
    });
    for (auto deadline = std::chrono::steady_clock::now() + 10s;
         pending_operation_count(a) < 3 && std::chrono::steady_clock::now() < deadline;)
        std::this_thread::sleep_for(1ms);
    ASSERT_EQ(pending_operation_count(a), 3u) << "the blocking receive never queued";

    ASSERT_EQ(closesocket(a), 0);
    t.join();
    EXPECT_EQ(blocked_result.load(), -WSAEINTR);
    Done d1 = next(), d2 = next();
    EXPECT_EQ(d1.ov, &ov1) << "queued operations complete in order";
    EXPECT_EQ(d2.ov, &ov2);
    EXPECT_EQ(d1.error, 995u);
    EXPECT_EQ(d2.error, 995u);
    EXPECT_TRUE(next(50).timed_out) << "each operation completes once";
    (void)c;
}

TEST_F(Engine, StaleHandleIsNotASocketEvenWhenItsDescriptorIsReused) {
    SOCKET s = WSASocketW(WS_AF_INET, WS_SOCK_STREAM, WS_IPPROTO_TCP, nullptr, 0, 0);
    ASSERT_NE(s, INVALID_SOCKET);
    const int fd = descriptor_of(s);
    ASSERT_EQ(closesocket(s), 0);
    SOCKET again = track(WSASocketW(WS_AF_INET, WS_SOCK_STREAM, WS_IPPROTO_TCP, nullptr, 0, 0));
    ASSERT_EQ(descriptor_of(again), fd) << "the kernel hands out the lowest free descriptor";
    EXPECT_NE(again, s);
    EXPECT_EQ(closesocket(s), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
    WsAddr any = WsAddr::loop4(0);
    EXPECT_EQ(bind(s, any.bytes, any.len), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
    EXPECT_EQ(descriptor_of(again), fd) << "the new socket is untouched";
}

TEST_F(Engine, AcceptExDeliversTheConnectionIntoThePreCreatedSocket) {
    SOCKET l = tcp();
    WsAddr at = listen_on(l);
    SOCKET target = tcp();
    unsigned char addrs[64]{};
    OVERLAPPED ov{};
    std::uint32_t got = 0;
    ASSERT_FALSE(AcceptEx(l, target, addrs, 0, 32, 32, &got, &ov));
    ASSERT_EQ(WSAGetLastError(), WSA_IO_PENDING);

    SOCKET c = tcp();
    ASSERT_EQ(WSAConnect(c, at.bytes, at.len, nullptr, nullptr, nullptr, nullptr), 0);
    Done d = next();
    ASSERT_TRUE(d.ok) << d.error;
    EXPECT_EQ(d.ov, &ov);
    EXPECT_EQ(d.key, l);

    WsAddr client = local_name(c);
    WsAddr remote;
    std::memcpy(remote.bytes, addrs + 32, 16);
    EXPECT_EQ(remote.port(), client.port()) << "the remote address goes to the second area";
    WsAddr local;
    std::memcpy(local.bytes, addrs, 16);
    EXPECT_EQ(local.port(), at.port());

    // The pre-created handle now is the connection, still on the port.
    ASSERT_EQ(send_all(c, "ping", 4), 4);
    char buf[8];
    EXPECT_EQ(recv_some(target, buf, sizeof buf), 4);
    OVERLAPPED rov{};
    WSABUF b{sizeof buf, buf};
    std::uint32_t flags = 0;
    ASSERT_EQ(WSARecv(target, &b, 1, &got, &flags, &rov, nullptr), SOCKET_ERROR);
    ASSERT_EQ(send_all(c, "pong", 4), 4);
    d = next();
    EXPECT_EQ(d.ov, &rov);
    EXPECT_EQ(d.key, target);
    EXPECT_EQ(d.bytes, 4u);
}

TEST_F(Engine, ConnectExSucceedsOrReportsRefusal) {
    SOCKET l = tcp();
    WsAddr at = listen_on(l);
    LPFN_CONNECTEX connect_ex = nullptr;
    std::uint32_t ret = 0;
    GUID id = WSAID_CONNECTEX;
    SOCKET c = tcp();
    ASSERT_EQ(WSAIoctl(c, SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof id, &connect_ex, sizeof connect_ex, &ret,
                       nullptr, nullptr),
              0);
    ASSERT_NE(connect_ex, nullptr);
    OVERLAPPED ov{};
    const bool at_once = connect_ex(c, at.bytes, at.len, nullptr, 0, &ret, &ov);
    if (!at_once) {
        ASSERT_EQ(WSAGetLastError(), WSA_IO_PENDING);
    }
    Done d = next();
    EXPECT_TRUE(d.ok) << d.error;
    EXPECT_EQ(d.ov, &ov);

    // A port nobody listens on: take one and let it go.
    SOCKET gone = tcp();
    WsAddr dead = listen_on(gone);
    ASSERT_EQ(closesocket(gone), 0);
    SOCKET r = tcp();
    OVERLAPPED rov{};
    if (connect_ex(r, dead.bytes, dead.len, nullptr, 0, &ret, &rov)) FAIL() << "connected to a closed port";
    if (WSAGetLastError() == WSA_IO_PENDING) {
        d = next();
        EXPECT_EQ(d.ov, &rov);
        EXPECT_EQ(d.error, static_cast<std::uint32_t>(WSAECONNREFUSED));
    } else {
        EXPECT_EQ(WSAGetLastError(), WSAECONNREFUSED);
    }
    // The blocking connect reports the same.
    SOCKET b = tcp();
    EXPECT_EQ(WSAConnect(b, dead.bytes, dead.len, nullptr, nullptr, nullptr, nullptr), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAECONNREFUSED);
}

TEST_F(Engine, ReceiveTimeOutEndsABlockedReceive) {
    auto [c, a] = pair();
    const std::uint32_t ms = 100;
    ASSERT_EQ(setsockopt(a, WS_SOL_SOCKET, WS_SO_RCVTIMEO, &ms, 4), 0);
    char buf[4];
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(recv_some(a, buf, sizeof buf), -WSAETIMEDOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 90ms);
    // Data sent afterwards is still there for the next receive.
    ASSERT_EQ(send_all(c, "x", 1), 1);
    EXPECT_EQ(recv_some(a, buf, sizeof buf), 1);
}

TEST_F(Engine, OptionsKeepTheirWinsockMeaning) {
    SOCKET s = tcp();
    int v = 0, len = 4;
    const int size = 96 * 1024;
    ASSERT_EQ(setsockopt(s, WS_SOL_SOCKET, WS_SO_RCVBUF, &size, 4), 0);
    ASSERT_EQ(getsockopt(s, WS_SOL_SOCKET, WS_SO_RCVBUF, &v, &len), 0);
    EXPECT_EQ(v, size) << "the size set is the size read back";

    const std::uint16_t lin[2] = {1, 7};
    ASSERT_EQ(setsockopt(s, WS_SOL_SOCKET, WS_SO_LINGER, lin, 4), 0);
    std::uint16_t back[2] = {};
    len = 4;
    ASSERT_EQ(getsockopt(s, WS_SOL_SOCKET, WS_SO_LINGER, back, &len), 0);
    EXPECT_EQ(back[0], 1);
    EXPECT_EQ(back[1], 7);

    const unsigned char yes = 1; // a one-byte BOOL is accepted
    ASSERT_EQ(setsockopt(s, WS_IPPROTO_TCP, WS_TCP_NODELAY, &yes, 1), 0);
    len = 4;
    ASSERT_EQ(getsockopt(s, WS_IPPROTO_TCP, WS_TCP_NODELAY, &v, &len), 0);
    EXPECT_NE(v, 0);

    const int on = 1;
    ASSERT_EQ(setsockopt(s, WS_IPPROTO_IP, WS_IP_DONTFRAGMENT, &on, 4), 0);
    len = 4;
    ASSERT_EQ(getsockopt(s, WS_IPPROTO_IP, WS_IP_DONTFRAGMENT, &v, &len), 0);
    EXPECT_EQ(v, 1);

    len = 4;
    ASSERT_EQ(getsockopt(s, WS_SOL_SOCKET, WS_SO_TYPE, &v, &len), 0);
    EXPECT_EQ(v, WS_SOCK_STREAM);

    struct Refused {
        int level, name, error;
    };
    for (const Refused& r : {Refused{WS_SOL_SOCKET, 0x7777, WSAENOPROTOOPT},
                             Refused{WS_SOL_SOCKET, WS_SO_MAX_MSG_SIZE, WSAENOPROTOOPT},
                             Refused{0x1234, 1, WSAENOPROTOOPT}}) {
        len = 4;
        EXPECT_EQ(getsockopt(s, r.level, r.name, &v, &len), SOCKET_ERROR);
        EXPECT_EQ(WSAGetLastError(), r.error) << r.level << "/" << r.name;
    }
    len = 2;
    EXPECT_EQ(getsockopt(s, WS_SOL_SOCKET, WS_SO_RCVBUF, &v, &len), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEFAULT);
}

TEST_F(Engine, DatagramsCarryTheSenderAndReportTruncation) {
    SOCKET rx = track(WSASocketW(WS_AF_INET, WS_SOCK_DGRAM, WS_IPPROTO_UDP, nullptr, 0, 0));
    SOCKET tx = track(WSASocketW(WS_AF_INET, WS_SOCK_DGRAM, WS_IPPROTO_UDP, nullptr, 0, 0));
    ASSERT_NE(rx, INVALID_SOCKET);
    WsAddr any = WsAddr::loop4(0);
    ASSERT_EQ(bind(rx, any.bytes, any.len), 0);
    ASSERT_EQ(bind(tx, any.bytes, any.len), 0);
    WsAddr to = local_name(rx);
    char msg[100];
    std::memset(msg, 'u', sizeof msg);
    WSABUF b{sizeof msg, msg};
    std::uint32_t n = 0;
    ASSERT_EQ(WSASendTo(tx, &b, 1, &n, 0, to.bytes, to.len, nullptr, nullptr), 0) << WSAGetLastError();
    EXPECT_EQ(n, sizeof msg);

    char in[200];
    WSABUF rb{sizeof in, in};
    WsAddr from;
    from.len = sizeof from.bytes;
    std::uint32_t flags = 0;
    ASSERT_EQ(WSARecvFrom(rx, &rb, 1, &n, &flags, from.bytes, &from.len, nullptr, nullptr), 0);
    EXPECT_EQ(n, sizeof msg);
    EXPECT_EQ(from.port(), local_name(tx).port());
    EXPECT_EQ(from.family(), WS_AF_INET);

    ASSERT_EQ(WSASendTo(tx, &b, 1, &n, 0, to.bytes, to.len, nullptr, nullptr), 0);
    WSABUF small{10, in};
    EXPECT_EQ(WSARecvFrom(rx, &small, 1, &n, &flags, from.bytes, &from.len, nullptr, nullptr), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEMSGSIZE);
}

TEST_F(Engine, Ipv6LoopbackEndToEnd) {
    SOCKET probe = WSASocketW(WS_AF_INET6, WS_SOCK_STREAM, WS_IPPROTO_TCP, nullptr, 0, 0);
    if (probe == INVALID_SOCKET) GTEST_SKIP() << "no IPv6 here";
    WsAddr lo = WsAddr::loop6(0);
    const bool have = bind(probe, lo.bytes, lo.len) == 0;
    closesocket(probe);
    if (!have) GTEST_SKIP() << "::1 is not configured";

    auto [c, a] = pair(true);
    WsAddr peer;
    peer.len = sizeof peer.bytes;
    ASSERT_EQ(getpeername(a, peer.bytes, &peer.len), 0);
    EXPECT_EQ(peer.family(), WS_AF_INET6);
    EXPECT_EQ(peer.len, 28);
    char buf[8];
    OVERLAPPED ov{};
    WSABUF b{sizeof buf, buf};
    std::uint32_t got = 0, flags = 0;
    ASSERT_EQ(WSARecv(a, &b, 1, &got, &flags, &ov, nullptr), SOCKET_ERROR);
    ASSERT_EQ(send_all(c, "six", 3), 3);
    Done d = next();
    EXPECT_EQ(d.ov, &ov);
    EXPECT_EQ(d.bytes, 3u);
}

TEST_F(Engine, ArgumentsAreCheckedBeforeAnythingHappens) {
    SOCKET s = tcp();
    char buf[4];
    WSABUF two[2] = {{4, buf}, {4, buf}};
    std::uint32_t n = 0, flags = 0;
    EXPECT_EQ(WSARecv(s, two, 2, &n, &flags, nullptr, nullptr), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
    EXPECT_EQ(WSASend(s, two, 1, &n, 0x1000, nullptr, nullptr), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEOPNOTSUPP);
    EXPECT_EQ(WSASocketW(99, WS_SOCK_STREAM, 0, nullptr, 0, 0), INVALID_SOCKET);
    EXPECT_EQ(WSAGetLastError(), WSAEAFNOSUPPORT);
    unsigned char bad[16] = {7, 0};
    EXPECT_EQ(bind(s, bad, 16), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEAFNOSUPPORT);
    EXPECT_EQ(bind(s, bad, 1), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEFAULT);
    std::uint32_t arg = 1;
    EXPECT_EQ(ioctlsocket(s, FIONBIO_, &arg), SOCKET_ERROR) << "there is no non-blocking mode to switch";
    // Overlapped I/O on a socket without a port has nowhere to complete.
    SOCKET lone = track(WSASocketW(WS_AF_INET, WS_SOCK_STREAM, 0, nullptr, 0, 0));
    OVERLAPPED ov{};
    EXPECT_EQ(WSARecv(lone, two, 1, &n, &flags, &ov, nullptr), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
}

TEST(SocketErrors, KernelAndResolverErrorsBecomeWinsockNumbers) {
    struct Row {
        int err;
        bool shut;
        int ws;
    };
    for (const Row& r : {Row{ECONNRESET, false, 10054}, Row{ECONNREFUSED, false, 10061},
                         Row{EPIPE, false, 10054}, Row{EPIPE, true, 10058}, Row{EAGAIN, false, 10035},
                         Row{EADDRINUSE, false, 10048}, Row{ETIMEDOUT, false, 10060}, Row{ENOTCONN, false, 10057},
                         Row{ECANCELED, false, 995}, Row{EBADF, false, 10038}})
        EXPECT_EQ(winsock_error_from_errno(r.err, r.shut), r.ws) << std::strerror(r.err);
    EXPECT_EQ(winsock_error_from_errno(EDOM) & ~kUnmappedErrnoBit, EDOM) << "an unmapped errno is kept";
    EXPECT_EQ(GetSystemErrorMessage(static_cast<std::uint32_t>(winsock_error_from_errno(EDOM))), "Unknown error");
    EXPECT_EQ(winsock_error_from_gai(EAI_NONAME), 11001);
    EXPECT_EQ(winsock_error_from_gai(EAI_AGAIN), 11002);
    EXPECT_EQ(winsock_error_from_gai(EAI_FAIL), 11003);
    EXPECT_EQ(GetSystemErrorMessage(10061), std::strerror(ECONNREFUSED));
}

// Several connections echo messages with overlapped operations only; a
// receive is issued sometimes before and sometimes after its data arrives,
// so both the at-once and the queued path run against the poller. A lost
// wake-up shows as a completion that never comes.
TEST_F(Engine, OverlappedPingPongLosesNoWakeUp) {
    constexpr int kPairs = 8, kRounds = 2000;
    struct Side {
        SOCKET s = INVALID_SOCKET;
        bool client = false;
        OVERLAPPED rov{}, sov{};
        char rbuf[64]{};
        char sbuf[8]{};
        int rounds = 0;
    };
    std::vector<Side> sides(2 * kPairs);
    for (int i = 0; i < kPairs; ++i) {
        auto [c, a] = pair();
        sides[2 * i].s = c;
        sides[2 * i].client = true;
        sides[2 * i + 1].s = a;
    }
    auto post_recv = [](Side& sd) {
        WSABUF b{sizeof sd.rbuf, sd.rbuf};
        std::uint32_t n = 0, flags = 0;
        return WSARecv(sd.s, &b, 1, &n, &flags, &sd.rov, nullptr) == 0 || WSAGetLastError() == WSA_IO_PENDING;
    };
    auto post_send = [](Side& sd) {
        WSABUF b{sizeof sd.sbuf, sd.sbuf};
        std::uint32_t n = 0;
        return WSASend(sd.s, &b, 1, &n, 0, &sd.sov, nullptr) == 0 || WSAGetLastError() == WSA_IO_PENDING;
    };
    // The client's receive follows its first send.
    for (auto& sd : sides) ASSERT_TRUE(sd.client ? post_send(sd) : post_recv(sd));
    int finished = 0;
    bool first[2 * kPairs] = {};
    while (finished < kPairs) {
        Done d = next();
        ASSERT_FALSE(d.timed_out) << "a completion was lost; " << finished << " pairs done";
        ASSERT_TRUE(d.ok) << d.error;
        Side* sd = nullptr;
        for (auto& x : sides)
            if (d.ov == &x.rov || d.ov == &x.sov) sd = &x;
        ASSERT_NE(sd, nullptr);
        const std::size_t idx = static_cast<std::size_t>(sd - sides.data());
        if (d.ov == &sd->sov) {
            ASSERT_EQ(d.bytes, 8u);
            if (sd->client && !first[idx]) {
                first[idx] = true;
                ASSERT_TRUE(post_recv(*sd));
            }
            continue;
        }
        ASSERT_EQ(d.bytes, 8u) << "messages of 8 bytes arrive whole on loopback";
        if (sd->client) {
            if (++sd->rounds == kRounds) {
                ++finished;
                continue;
            }
            // Alternate: receive first, or send first and receive after.
            if (sd->rounds % 2) {
                ASSERT_TRUE(post_recv(*sd));
                ASSERT_TRUE(post_send(*sd));
            } else {
                ASSERT_TRUE(post_send(*sd));
                ASSERT_TRUE(post_recv(*sd));
            }
        } else {
            ASSERT_TRUE(post_recv(*sd));
            ASSERT_TRUE(post_send(*sd));
        }
    }
    // The servers' last receives are still queued on their records.
    for (auto& sd : sides) closesocket(sd.s);
}

// Interest in readiness is armed only while something waits, per
// direction: a receive and a send waiting on one socket at once must each
// be woken by its own readiness, whichever comes first.
TEST_F(Engine, ReceiveAndSendWaitingTogetherAreEachWokenByTheirReadiness) {
    auto [c, a] = pair();
    const std::uint32_t small = 64 * 1024;
    ASSERT_EQ(setsockopt(c, WS_SOL_SOCKET, WS_SO_SNDBUF, &small, 4), 0);
    ASSERT_EQ(setsockopt(a, WS_SOL_SOCKET, WS_SO_RCVBUF, &small, 4), 0);
    // More than the two buffers hold: the send stays queued until the
    // peer reads.
    std::vector<char> big(8u << 20, 'x');
    char rbuf[16];
    OVERLAPPED rov{}, sov{};
    WSABUF rb{sizeof rbuf, rbuf};
    std::uint32_t n = 0, flags = 0;
    ASSERT_EQ(WSARecv(c, &rb, 1, &n, &flags, &rov, nullptr), SOCKET_ERROR);
    ASSERT_EQ(WSAGetLastError(), WSA_IO_PENDING);
    WSABUF sb{static_cast<std::uint32_t>(big.size()), big.data()};
    ASSERT_EQ(WSASend(c, &sb, 1, &n, 0, &sov, nullptr), SOCKET_ERROR);
    ASSERT_EQ(WSAGetLastError(), WSA_IO_PENDING);
    EXPECT_EQ(pending_operation_count(c), 2u);

    // The peer talks back while the send is stuck: the receive completes
    // alone.
    ASSERT_EQ(send_all(a, "ping", 4), 4);
    Done d = next();
    ASSERT_FALSE(d.timed_out) << "the receive was not woken while a send waited";
    EXPECT_EQ(d.ov, &rov);
    EXPECT_EQ(d.bytes, 4u);
    EXPECT_EQ(pending_operation_count(c), 1u);

    // The peer drains the stream: the send completes whole.
    std::vector<char> sink(1 << 20);
    std::size_t got = 0;
    while (got < big.size()) {
        const int r = recv_some(a, sink.data(), static_cast<std::uint32_t>(sink.size()));
        ASSERT_GT(r, 0) << "stream ended after " << got;
        got += static_cast<std::size_t>(r);
    }
    d = next();
    ASSERT_FALSE(d.timed_out) << "the send was not woken when the peer read";
    EXPECT_EQ(d.ov, &sov);
    EXPECT_EQ(d.bytes, big.size());
    EXPECT_EQ(pending_operation_count(c), 0u);
}

// A blocking send stuck on a full stream must not hold up receives of the
// same socket, blocking or overlapped, nor the peer's close reaching them.
TEST_F(Engine, BlockedSendLeavesTheReceiveSideFree) {
    auto [c, a] = pair();
    std::vector<char> big(16u << 20, 'x');
    std::atomic<int> sent{0};
    std::thread sender([&] { sent = send_all(c, big.data(), static_cast<std::uint32_t>(big.size())); });
    // The sender fills the buffers and waits.
    const auto until = std::chrono::steady_clock::now() + 10s;
    while (pending_operation_count(c) == 0 && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(1ms);
    ASSERT_EQ(pending_operation_count(c), 1u) << "the send never had to wait";

    ASSERT_EQ(send_all(a, "abc", 3), 3);
    char buf[8];
    EXPECT_EQ(recv_some(c, buf, sizeof buf), 3);
    OVERLAPPED rov{};
    WSABUF rb{sizeof buf, buf};
    std::uint32_t n = 0, flags = 0;
    const int r = WSARecv(c, &rb, 1, &n, &flags, &rov, nullptr);
    ASSERT_TRUE(r == SOCKET_ERROR && WSAGetLastError() == WSA_IO_PENDING);
    ASSERT_EQ(shutdown(a, SD_SEND), 0);
    Done d = next();
    ASSERT_FALSE(d.timed_out) << "the peer's close did not reach the receive";
    EXPECT_EQ(d.ov, &rov);
    EXPECT_EQ(d.bytes, 0u);

    // Closing the peer ends the stuck send with an error rather than never.
    closesocket(a);
    sender.join();
    EXPECT_LT(sent.load(), 0);
}

TEST_F(Engine, ClosingEverythingLeavesNoDescriptorBehind) {
    // The engine's epoll descriptor comes with the first socket and stays.
    ASSERT_EQ(closesocket(WSASocketW(WS_AF_INET, WS_SOCK_STREAM, 0, nullptr, 0, 0)), 0);
    const int before = open_descriptors();
    {
        std::vector<SOCKET> made;
        for (int i = 0; i < 16; ++i) {
            auto [c, a] = pair();
            made.push_back(c);
            made.push_back(a);
        }
        for (SOCKET s : owned) closesocket(s);
        owned.clear();
    }
    EXPECT_EQ(open_descriptors(), before);
}

} // namespace
