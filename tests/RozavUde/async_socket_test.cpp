#include "RozavUde/AsyncSocket.h"


#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <random>
#include <thread>
#include <vector>

#include "GC/GarbageCollector.h"
#include "RozavUde/AsyncSocketResult.h"
#include "RozavUde/IPEndPoint.h"
#include "RozavUde/NetworkStartup.h"
#include "platform/error_text.h"
#include "rtl/Exception.h"
#include "tests/support.h"

using namespace System;
using namespace System::Net;
using namespace System::Net::Sockets;
using namespace std::chrono_literals;
using Sysutils::EInvalidOperation;
using Sysutils::ERangeError;
using testing::HasSubstr;
using testing_support::message_of;

namespace {

using steady = std::chrono::steady_clock;
using Socket = gc_disposable<TAsyncSocket>;

std::string text(int code) { return platform::GetSystemErrorMessage(static_cast<std::uint32_t>(code)); }

// Polls until `done` holds; false after ten seconds.
bool eventually(const std::function<bool()>& done) {
    for (auto deadline = steady::now() + 10s; steady::now() < deadline; std::this_thread::sleep_for(1ms))
        if (done()) return true;
    return done();
}

Socket tcp(AddressFamily::Enum family = AddressFamily::InterNetwork);

// Open descriptors once the sockets earlier tests dropped are finalized
// (and the engine's own epoll descriptor exists).
int open_descriptors() {
    tcp().Dispose();
    // Full collections that wait out a busy collector: a request that meets
    // one collects nothing, and a dropped socket would close during the
    // test instead.
    testing_support::settle();
    return testing_support::open_descriptors();
}

Socket tcp(AddressFamily::Enum family) {
    return gcnew<TAsyncSocket>(family, SocketType::Stream, ProtocolType::Tcp);
}

gc_ptr<TIPEndPoint> loopback(int port, bool v6 = false) {
    return gcnew<TIPEndPoint>(v6 ? TIPAddress::IPv6Loopback : TIPAddress::Loopback, port);
}

int port_of(const Socket& s) { return static_cast<TIPEndPoint*>(s->GetLocalEndPoint().get())->GetPort(); }

Socket listener(bool v6 = false) {
    Socket l = tcp(v6 ? AddressFamily::InterNetworkV6 : AddressFamily::InterNetwork);
    l->Bind(loopback(0, v6));
    l->Listen(64);
    return l;
}

// A port nobody listens on: the kernel picks it, then it is let go.
int closed_port() {
    Socket l = listener();
    const int port = port_of(l);
    l.Dispose();
    return port;
}

struct Pair {
    Socket client, server;
};

Pair connected(bool v6 = false) {
    Socket l = listener(v6);
    Pair p;
    p.client = tcp(v6 ? AddressFamily::InterNetworkV6 : AddressFamily::InterNetwork);
    p.client->Connect(loopback(port_of(l), v6));
    p.server = l->Accept();
    l.Dispose();
    return p;
}

gc_array<unsigned char> bytes(int n, unsigned char first = 0) {
    gc_array<unsigned char> a = gcnew_array<unsigned char>(n);
    for (int i = 0; i < n; ++i) a[i] = static_cast<unsigned char>(first + i);
    return a;
}

// The target of completion callbacks: counts them and runs a step.
class Probe : public TLockableObject {
public:
    std::atomic<int> calls{0};
    std::function<void(gc_ptr<TAsyncResult>)> step;
    void OnDone(gc_ptr<TAsyncResult> r) {
        calls.fetch_add(1);
        if (step) step(r);
    }
    TAsyncSocket::Callback callback() { return TAsyncSocket::Callback::Create<&Probe::OnDone>(gc_ptr<Probe>(this)); }
};

TEST(AsyncSocket, LocalEndPointReportsTheChosenPortAndIsCached) {
    Socket s = tcp();
    s->Bind(gcnew<TIPEndPoint>(TIPAddress::Any, 0));
    gc_ptr<TEndPoint> first = s->GetLocalEndPoint();
    EXPECT_NE(static_cast<TIPEndPoint*>(first.get())->GetPort(), 0);
    EXPECT_EQ(s->GetLocalEndPoint().get(), first.get()) << "the second call returns the cached object";
}

TEST(AsyncSocket, StateChecksOfBindListenAndConnect) {
    Socket s = tcp();
    EXPECT_EQ(message_of<EInvalidOperation>([&] { s->Listen(1); }),
              "Unable to listen on socket - socket must be bound to an endpoint first");
    s->Bind(loopback(0));
    EXPECT_EQ(message_of<EInvalidOperation>([&] { s->Bind(loopback(0)); }), "Socket had already been bound");
    s->Listen(1);
    EXPECT_EQ(message_of<EInvalidOperation>([&] { s->Listen(1); }), "Socket is already listening");
    EXPECT_EQ(message_of<EInvalidOperation>([&] { s->Connect(loopback(1)); }), "Socket must not be listening");
    EXPECT_THAT(message_of<EArgumentNull>([&] { s->Connect(nullptr); }), HasSubstr("remoteEndPoint"));
    Socket fresh = tcp();
    EXPECT_EQ(message_of<EInvalidOperation>([&] { fresh->Accept(); }), "Socket must be bound");
}

TEST(AsyncSocket, RefusedConnectReportsTheSystemTextAndLeavesTheSocketBound) {
    const int port = closed_port();
    Socket s = tcp();
    EXPECT_EQ(message_of<EAsyncSocketIoException>([&] { s->Connect(loopback(port)); }),
              "Connect failed: " + text(10061));
    EXPECT_FALSE(s->GetConnected());
    EXPECT_EQ(message_of<EInvalidOperation>([&] { s->Bind(loopback(0)); }), "Socket had already been bound");
}

TEST(AsyncSocket, BufferArgumentsAreCheckedAndOffsetsHonoured) {
    Pair p = connected();
    gc_array<unsigned char> sixteen = bytes(16);
    struct Case {
        gc_array<unsigned char> buffer;
        int offset, size;
        const char* needle;
    };
    const Case cases[] = {
        {gc_array<unsigned char>(), 0, 1, "buffer"},
        {sixteen, -1, 1, "offset"},
        {sixteen, 0, -1, "numBytes"},
        {sixteen, 10, 10, "Invalid offset on array length"},
    };
    for (const Case& c : cases) {
        EXPECT_THAT(message_of<EArgument>([&] { p.client->Send(c.buffer, c.offset, c.size); }), HasSubstr(c.needle));
        EXPECT_THAT(message_of<EArgument>([&] { p.server->Receive(c.buffer, c.offset, c.size); }),
                    HasSubstr(c.needle));
        EXPECT_THAT(message_of<EArgument>([&] {
                        p.server->BeginReceive(c.buffer, c.offset, c.size, SocketFlags::None,
                                               TAsyncSocket::Callback(), nullptr);
                    }),
                    HasSubstr(c.needle));
    }
    EXPECT_EQ(p.client->Send(sixteen, 10, 6), 6);
    gc_array<unsigned char> in = gcnew_array<unsigned char>(16);
    ASSERT_EQ(p.server->Receive(in, 16), 6);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(in[i], 10 + i) << "bytes 10 to 15 are sent";
}

TEST(AsyncSocket, DisposeClosesOnceAndLaterCallsSayClosed) {
    Pair p = connected();
    TAsyncSocket* raw = p.client.get();
    EXPECT_TRUE(raw->Shutdown(SocketShutdown::Send));
    raw->Dispose();
    raw->Dispose(); // nothing more happens
    EXPECT_FALSE(raw->GetOpen());
    EXPECT_FALSE(raw->GetConnected());
    EXPECT_EQ(message_of<EInvalidOperation>([&] { raw->Send(bytes(4), 4); }), "Socket is closed");
    EXPECT_EQ(message_of<EInvalidOperation>([&] { raw->Connect(loopback(1)); }), "Socket is closed");
    EXPECT_TRUE(raw->Shutdown(SocketShutdown::Both)) << "not connected: nothing to do";
    // The peer sees the close, not a reset.
    EXPECT_EQ(p.server->Receive(bytes(4), 4), 0);
    Socket unconnected = tcp();
    EXPECT_TRUE(unconnected->Shutdown(SocketShutdown::Both));
}

TEST(AsyncSocket, OptionsWithTheirRefusalsAndRanges) {
    Socket s = tcp();
    s->SetReceiveTimeout(-1);
    EXPECT_EQ(s->GetReceiveTimeout(), 0) << "-1 means no time-out, stored as 0";
    s->SetReceiveTimeout(250);
    EXPECT_EQ(s->GetReceiveTimeout(), 250);
    EXPECT_EQ(message_of<ERangeError>([&] { s->SetReceiveTimeout(-2); }),
              "SetReceiveTimeout: Argument val must be -1 or greater");
    EXPECT_THAT(message_of<ERangeError>([&] { s->SetSendTimeout(-2); }), HasSubstr("SetSendTimeout"));

    EXPECT_EQ(message_of<EInvalidOperation>(
                  [&] { s->GetSocketOption(SocketOptionLevel::Socket, SocketOptionName::Linger); }),
              "GetSocketOption: Invalid overload for getting Linger option.");
    EXPECT_EQ(message_of<EInvalidOperation>(
                  [&] { s->GetSocketOption(SocketOptionLevel::IP, SocketOptionName::AddMembership); }),
              "GetSocketOption: Invalid overload for getting multicast option.");
    gc_ptr<TObject> out;
    EXPECT_EQ(message_of<EInvalidOperation>(
                  [&] { s->GetSocketOption(SocketOptionLevel::Socket, SocketOptionName::KeepAlive, out); }),
              "GetSocketOption: Invalid overload for getting integer-typed option.");

    try {
        s->SetSocketOption(SocketOptionLevel::Socket, SocketOptionName::Linger,
                           gc_ptr<TObject>(gcnew<TLingerOption>(true, 65536)));
        ADD_FAILURE() << "linger time 65536 accepted";
    } catch (const EArgumentOutOfRange& e) {
        EXPECT_EQ(e.ParamName().ToUtf8(), "optionValue.LingerTime");
    }
    EXPECT_THAT(message_of<EArgument>([&] {
                    s->SetSocketOption(SocketOptionLevel::Socket, SocketOptionName::Linger,
                                       gc_ptr<TObject>(gcnew<TIPEndPoint>(TIPAddress::Any, 0)));
                }),
                HasSubstr("SetSocketOption: Invalid optionValue for LingerOption"));
    s->SetSocketOption(SocketOptionLevel::Socket, SocketOptionName::Linger,
                       gc_ptr<TObject>(gcnew<TLingerOption>(true, 9)));
    gc_ptr<TLingerOption> lin = s->GetLingerOpt();
    EXPECT_TRUE(lin->GetEnabled());
    EXPECT_EQ(lin->GetLingerTime(), 9);

    s->SetNoDelay(true);
    EXPECT_TRUE(s->GetNoDelay());
    s->SetReceiveBufferSize(128 * 1024);
    EXPECT_EQ(s->GetReceiveBufferSize(), 128 * 1024);
    s->SetDontFragment(true);
    EXPECT_TRUE(s->GetDontFragment());
    Socket v6 = tcp(AddressFamily::InterNetworkV6);
    EXPECT_EQ(message_of<EInvalidOperation>([&] { v6->GetDontFragment(); }),
              "Don't fragment is not valid on non InterNetwork address families");
    EXPECT_THAT(message_of<EAsyncSocketIoException>([&] { s->GetMaxMessageSize(); }),
                HasSubstr("GetSocketOption failed: "));
    s->SetSocketOption(SocketOptionLevel::Socket, SocketOptionName::MaxMessageSize, 1, true); // silent
}

TEST(AsyncSocket, BeginReceiveCompletesWithZeroWhenThePeerCloses) {
    Pair p = connected();
    gc_ptr<Probe> probe = gcnew<Probe>();
    std::atomic<int> got{-1};
    gc_ptr<TAsyncSocket> server = p.server;
    probe->step = [&, server](gc_ptr<TAsyncResult> r) { got = server->EndReceive(r); }; // does not block
    gc_ptr<TAsyncResult> r =
        p.server->BeginReceive(bytes(32), 0, 32, SocketFlags::None, probe->callback(), nullptr);
    p.client.Dispose();
    ASSERT_TRUE(eventually([&] { return got.load() != -1; })) << "no completion";
    EXPECT_EQ(got.load(), 0);
    EXPECT_EQ(probe->calls.load(), 1);
    EXPECT_TRUE(p.server->GetConnected()) << "a peer's close does not change the flag";
}

TEST(AsyncSocket, ResetPeerMakesEndReceiveRaiseTheResetText) {
    Pair p = connected();
    gc_ptr<Probe> probe = gcnew<Probe>();
    gc_ptr<TAsyncResult> r = p.server->BeginReceive(bytes(8), 0, 8, SocketFlags::None, probe->callback(), nullptr);
    p.client->SetSocketOption(SocketOptionLevel::Socket, SocketOptionName::Linger,
                              gc_ptr<TObject>(gcnew<TLingerOption>(true, 0)));
    // Closed without the shutdown Dispose does first, which would send the
    // peer an orderly end before the reset.
    ASSERT_EQ(platform::winsock::closesocket(p.client->GetHandle()), 0);
    ASSERT_TRUE(eventually([&] { return probe->calls.load() == 1; }));
    EXPECT_EQ(message_of<EAsyncSocketIoException>([&] { p.server->EndReceive(r); }),
              "Unable to receive: " + text(10054));
}

TEST(AsyncSocket, PendingReceiveNeverCallsBackAfterDisposeAndItsEndReturns) {
    Pair p = connected();
    gc_ptr<Probe> probe = gcnew<Probe>();
    gc_ptr<TAsyncResult> r = p.server->BeginReceive(bytes(8), 0, 8, SocketFlags::None, probe->callback(), nullptr);
    TAsyncSocket* raw = p.server.get();
    raw->Dispose();
    ASSERT_TRUE(eventually([&] { return r->GetIsCompleted(); })) << "the abort never arrived";
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(probe->calls.load(), 0);
    // The End of an operation cut off by Dispose raises the abort error
    // instead of waiting for ever.
    EXPECT_EQ(message_of<EAsyncSocketIoException>([&] { raw->EndReceive(r); }), "Unable to receive: " + text(995));
    EXPECT_EQ(message_of<EInvalidOperation>([&] { raw->EndReceive(r); }), "EndReceive had already been called");
}

TEST(AsyncSocket, AcceptPairsAndTheirRefusals) {
    Socket l = listener();
    gc_ptr<Probe> probe = gcnew<Probe>();
    gc_ptr<TAsyncResult> r = l->BeginAccept(probe->callback(), nullptr);
    EXPECT_EQ(message_of<EAsyncSocketIoException>([&] { l->BeginAccept(TAsyncSocket::Callback(), nullptr); }),
              "EndAccept must be called before another BeginAccept");
    Socket c = tcp();
    c->Connect(loopback(port_of(l)));
    ASSERT_TRUE(eventually([&] { return probe->calls.load() == 1; }));
    Socket a = l->EndAccept(r);
    EXPECT_TRUE(a->GetConnected());
    EXPECT_TRUE(a->GetBound());
    EXPECT_EQ(message_of<EInvalidOperation>([&] { l->EndAccept(r); }), "EndAccept had already been called");
    // The accepted socket carries data both ways.
    EXPECT_EQ(c->Send(bytes(3, 7), 3), 3);
    gc_array<unsigned char> in = gcnew_array<unsigned char>(3);
    EXPECT_EQ(a->Receive(in, 3), 3);
    EXPECT_EQ(in[2], 9);
    EXPECT_EQ(static_cast<TIPEndPoint*>(a->GetRemoteEndPoint().get())->GetPort(), port_of(c));

    Socket closed = tcp();
    EXPECT_EQ(message_of<EInvalidOperation>([&] { closed->BeginAccept(TAsyncSocket::Callback(), nullptr); }),
              "Socket must be listening");
}

TEST(AsyncSocket, ListenerKeepsAcceptingAfterAClientResets) {
    Socket l = listener();
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        Socket c = tcp();
        c->Connect(loopback(port_of(l)));
        if (round == 1) {
            // This client gives up before it is accepted.
            c->SetSocketOption(SocketOptionLevel::Socket, SocketOptionName::Linger,
                               gc_ptr<TObject>(gcnew<TLingerOption>(true, 0)));
            c.Dispose();
        }
        gc_ptr<Probe> probe = gcnew<Probe>();
        gc_ptr<TAsyncResult> r = l->BeginAccept(probe->callback(), nullptr);
        ASSERT_TRUE(eventually([&] { return probe->calls.load() == 1; }));
        Socket a = l->EndAccept(r);
        a.Dispose();
    }
}

TEST(AsyncSocket, DisposingAListenerWithAPendingAcceptLeavesNoDescriptor) {
    const int before = open_descriptors();
    {
        Socket l = listener();
        gc_ptr<TAsyncResult> r = l->BeginAccept(TAsyncSocket::Callback(), nullptr);
        TAsyncSocket* raw = l.get();
        raw->Dispose();
        EXPECT_EQ(message_of<EAsyncSocketIoException>([&] { raw->EndAccept(r); }), "Unable to accept: " + text(995));
        Socket again = listener();
        gc_ptr<TAsyncResult> r2 = again->BeginAccept(TAsyncSocket::Callback(), nullptr);
        again.Dispose();
    }
    EXPECT_TRUE(eventually([&] { return open_descriptors() == before; }))
        << open_descriptors() << " descriptors, " << before << " before";
}

TEST(AsyncSocket, FailedAsynchronousConnectLeavesTheSocketUnconnected) {
    const int port = closed_port();
    Socket s = tcp();
    gc_ptr<Probe> probe = gcnew<Probe>();
    gc_ptr<TAsyncResult> r = s->BeginConnect(loopback(port), probe->callback(), nullptr);
    ASSERT_TRUE(eventually([&] { return probe->calls.load() == 1; }));
    EXPECT_EQ(message_of<EAsyncSocketIoException>([&] { s->EndConnect(r); }), "Unable to connect: " + text(10061));
    EXPECT_FALSE(s->GetConnected());
    EXPECT_TRUE(s->GetBound()) << "the implicit bind stays";

    Socket l = listener();
    Socket ok = tcp();
    gc_ptr<Probe> p2 = gcnew<Probe>();
    gc_ptr<TAsyncResult> r2 = ok->BeginConnect(loopback(port_of(l)), p2->callback(), nullptr);
    EXPECT_EQ(message_of<EInvalidOperation>([&] { ok->BeginConnect(loopback(1), TAsyncSocket::Callback(), nullptr); }),
              "Socket is already connecting");
    ASSERT_TRUE(eventually([&] { return p2->calls.load() == 1; }));
    ok->EndConnect(r2);
    EXPECT_TRUE(ok->GetConnected());
}

TEST(AsyncSocket, SendAndReceiveFromCheckTheirEndpoint) {
    Socket u = gcnew<TAsyncSocket>(AddressFamily::InterNetwork, SocketType::Datagram, ProtocolType::Udp);
    u->Bind(loopback(0));
    gc_ptr<TEndPoint> v6 = gc_ptr<TEndPoint>(loopback(1, true));
    EXPECT_THAT(message_of<EArgument>([&] {
                    u->BeginReceiveFrom(bytes(8), 0, 8, SocketFlags::None, v6, TAsyncSocket::Callback(), nullptr);
                }),
                HasSubstr("Invalid endPoint address family (endPoint address family not similar to socket's)"));
    gc_ptr<TEndPoint> none;
    EXPECT_THAT(message_of<EArgumentNull>([&] {
                    u->BeginSendTo(bytes(8), 0, 8, SocketFlags::None, none, TAsyncSocket::Callback(), nullptr);
                }),
                HasSubstr("endPoint"));

    // A datagram there and back, the sender reported to both forms.
    Socket tx = gcnew<TAsyncSocket>(AddressFamily::InterNetwork, SocketType::Datagram, ProtocolType::Udp);
    tx->Bind(loopback(0));
    gc_ptr<Probe> probe = gcnew<Probe>();
    gc_ptr<TEndPoint> from = gc_ptr<TEndPoint>(gcnew<TIPEndPoint>(TIPAddress::Any, 0));
    gc_ptr<TAsyncResult> r = u->BeginReceiveFrom(bytes(64), 0, 64, SocketFlags::None, from, probe->callback(), nullptr);
    EXPECT_EQ(tx->SendTo(bytes(5), 5, SocketFlags::None, u->GetLocalEndPoint()), 5);
    ASSERT_TRUE(eventually([&] { return probe->calls.load() == 1; }));
    EXPECT_EQ(u->EndReceiveFrom(r, from), 5);
    EXPECT_EQ(static_cast<TIPEndPoint*>(from.get())->GetPort(), port_of(tx));

    gc_ptr<TEndPoint> sender = gc_ptr<TEndPoint>(gcnew<TIPEndPoint>(TIPAddress::Any, 0));
    gc_ptr<Probe> sent = gcnew<Probe>();
    gc_ptr<TAsyncResult> s = tx->BeginSendTo(bytes(7), 0, 7, SocketFlags::None, u->GetLocalEndPoint(),
                                             sent->callback(), nullptr);
    ASSERT_TRUE(eventually([&] { return sent->calls.load() == 1; }));
    EXPECT_EQ(tx->EndSendTo(s), 7);
    EXPECT_EQ(u->ReceiveFrom(bytes(64), 64, SocketFlags::None, sender), 7);
    EXPECT_EQ(static_cast<TIPEndPoint*>(sender.get())->GetPort(), port_of(tx));
}

TEST(AsyncSocket, Ipv6LoopbackEndToEnd) {
    if (!TSocket::GetOSSupportsIPv6()) GTEST_SKIP() << "no IPv6 here";
    Socket l;
    try {
        l = listener(true);
    } catch (const EAsyncSocketIoException& e) {
        GTEST_SKIP() << "::1 is not usable: " << e.Message().ToUtf8();
    }
    Socket c = tcp(AddressFamily::InterNetworkV6);
    gc_ptr<Probe> acc = gcnew<Probe>();
    gc_ptr<TAsyncResult> ar = l->BeginAccept(acc->callback(), nullptr);
    c->Connect(loopback(port_of(l), true)); // binds the IPv6 wildcard first
    ASSERT_TRUE(eventually([&] { return acc->calls.load() == 1; }));
    Socket a = l->EndAccept(ar);
    EXPECT_EQ(a->GetRemoteEndPoint()->GetAddressFamily(), AddressFamily::InterNetworkV6);
    gc_ptr<Probe> rx = gcnew<Probe>();
    gc_array<unsigned char> in = gcnew_array<unsigned char>(16);
    gc_ptr<TAsyncResult> rr = a->BeginReceive(in, 0, 16, SocketFlags::None, rx->callback(), nullptr);
    EXPECT_EQ(c->Send(bytes(6, 40), 6), 6);
    ASSERT_TRUE(eventually([&] { return rx->calls.load() == 1; }));
    EXPECT_EQ(a->EndReceive(rr), 6);
    EXPECT_EQ(in[5], 45);
}

// 64 sockets with receives and sends outstanding, disposed from other
// threads while collections run: every callback runs at most once, an
// operation cut off by Dispose never calls back, once the callbacks that
// were under way have finished nothing runs any more, and no descriptor is
// left.
TEST(AsyncSocketStress, DisposeUnderTrafficAndCollections) {
    constexpr int kPairs = 32;
    const int before = open_descriptors();
    std::atomic<int> duplicates{0}, aborted{0}, callbacks{0}, inflight{0};
    {
        struct Side {
            Socket socket;
        };
        std::vector<Side> sides(2 * kPairs);
        for (int i = 0; i < kPairs; ++i) {
            Pair p = connected();
            sides[2 * i].socket = p.client;
            sides[2 * i + 1].socket = p.server;
        }
        // One probe per operation: its count is the number of callbacks.
        std::function<void(int)> receive, send;
        auto make_probe = [&](int idx, bool is_receive) {
            gc_ptr<Probe> probe = gcnew<Probe>();
            Probe* raw = probe.get();
            probe->step = [&, idx, is_receive, raw](gc_ptr<TAsyncResult> r) {
                inflight.fetch_add(1);
                callbacks.fetch_add(1);
                if (raw->calls.load() > 1) duplicates.fetch_add(1);
                if (static_cast<TAsyncSocketResult*>(r.get())->GetErrorCode() == 995)
                    aborted.fetch_add(1);
                try {
                    TAsyncSocket* s = sides[idx].socket.get();
                    if (is_receive) {
                        if (s->EndReceive(r) > 0) receive(idx);
                    } else {
                        s->EndSend(r);
                        send(idx);
                    }
                } catch (const Exception&) {
                    // The socket went away under the operation.
                }
                inflight.fetch_sub(1);
            };
            return probe;
        };
        gc_array<unsigned char> payload = bytes(4096);
        receive = [&](int idx) {
            try {
                sides[idx].socket.get()->BeginReceive(gcnew_array<unsigned char>(4096), 0, 4096, SocketFlags::None,
                                                      make_probe(idx, true)->callback(), nullptr);
            } catch (const Exception&) {
            }
        };
        send = [&](int idx) {
            try {
                sides[idx].socket.get()->BeginSend(payload, 0, 4096, SocketFlags::None,
                                                   make_probe(idx, false)->callback(), nullptr);
            } catch (const Exception&) {
            }
        };
        for (int i = 0; i < 2 * kPairs; ++i) {
            receive(i);
            send(i);
        }
        std::atomic<bool> stop{false};
        std::thread collector([&] {
            for (int n = 0; !stop.load(); ++n) {
                TGarbageCollector::Collect(n % 4 == 3 ? 2 : 1);
                std::this_thread::sleep_for(2ms);
            }
        });
        std::this_thread::sleep_for(100ms); // traffic flows
        std::vector<int> order(2 * kPairs);
        for (int i = 0; i < 2 * kPairs; ++i) order[i] = i;
        std::shuffle(order.begin(), order.end(), std::mt19937(42));
        std::vector<std::thread> disposers;
        for (int t = 0; t < 2; ++t)
            disposers.emplace_back([&, t] {
                for (std::size_t k = static_cast<std::size_t>(t); k < order.size(); k += 2) {
                    Side& sd = sides[static_cast<std::size_t>(order[k])];
                    sd.socket.get()->Dispose();
                    std::this_thread::sleep_for(1ms);
                }
            });
        for (auto& t : disposers) t.join();
        // Callbacks that were under way finish; after that nothing starts,
        // whatever completions still arrive and collections run.
        std::this_thread::sleep_for(100ms);
        EXPECT_TRUE(eventually([&] { return inflight.load() == 0; }));
        const int settled = callbacks.load();
        std::this_thread::sleep_for(300ms);
        EXPECT_EQ(callbacks.load(), settled) << "a callback ran after every socket was disposed";
        EXPECT_EQ(inflight.load(), 0);
        stop = true;
        collector.join();
        receive = nullptr;
        send = nullptr;
    }
    EXPECT_GT(callbacks.load(), 2 * kPairs) << "traffic never flowed";
    EXPECT_EQ(duplicates.load(), 0);
    EXPECT_EQ(aborted.load(), 0) << "an operation cut off by Dispose called back";
    EXPECT_TRUE(eventually([&] { return open_descriptors() == before; }))
        << open_descriptors() << " descriptors, " << before << " before";
}

} // namespace
