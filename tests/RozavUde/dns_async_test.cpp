#include "RozavUde/Dns.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "RozavUde/SocketException.h"
#include "platform/error_text.h"
#include "tests/support.h"

using namespace System;
using namespace System::Net;
using namespace System::Net::Sockets;
using testing::HasSubstr;
using testing_support::message_of;

namespace {

constexpr int kDeadlineMs = 10000;

// Records the completions it is called back with.
struct TCallbackProbe : TLockableObject {
    std::atomic<int> calls{0};
    std::atomic<bool> completedWhenCalled{false};
    gc_ptr<TAsyncResult> seen;
    void OnDone(gc_ptr<TAsyncResult> r) {
        seen = r;
        completedWhenCalled = r->GetIsCompleted();
        calls.fetch_add(1);
    }
    MulticastDelegate<TIocpCompletionEvent> Callback() {
        return MulticastDelegate<TIocpCompletionEvent>::Create<&TCallbackProbe::OnDone>(this);
    }
    // Fails the test instead of hanging when the callback never comes.
    bool WaitForCalls(int n) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDeadlineMs);
        while (calls.load() < n) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }
};

// End blocks; the result's handle bounds the wait first.
void AwaitCompletion(const gc_ptr<TAsyncResult>& r) {
    ASSERT_TRUE(r->GetAsyncWaitHandle()->WaitOne(kDeadlineMs)) << "lookup did not complete within the deadline";
}

std::string host_not_found_text() { return "SocketException: " + platform::GetSystemErrorMessage(11001); }

} // namespace

TEST(DnsAsync, LiteralCompletesBeforeBeginReturns) {
    gc_ptr<TCallbackProbe> probe = gcnew<TCallbackProbe>();
    gc_ptr<TObject> state = gcnew<TLockableObject>();
    gc_ptr<TAsyncResult> r = TDns::BeginGetHostAddresses("127.0.0.1", probe->Callback(), state);
    EXPECT_TRUE(r->GetIsCompleted());
    EXPECT_TRUE(r->GetAsyncState() == state);
    ASSERT_TRUE(probe->WaitForCalls(1)) << "callback never ran";
    EXPECT_TRUE(probe->completedWhenCalled);
    EXPECT_TRUE(probe->seen == r);
    gc_array<gc_ptr<TIPAddress>> list = TDns::EndGetHostAddresses(r);
    ASSERT_EQ(list.Length(), 1);
    EXPECT_TRUE(list[0]->Equals(gc_ptr<TObject>(TIPAddress::Loopback)));
    EXPECT_EQ(probe->calls.load(), 1);
}

TEST(DnsAsync, NamesAndAddressesAreLookedUpOnThePool) {
    gc_ptr<TCallbackProbe> probe = gcnew<TCallbackProbe>();
    gc_ptr<TAsyncResult> byName = TDns::BeginGetHostAddresses("localhost", probe->Callback(), nullptr);
    AwaitCompletion(byName);
    gc_array<gc_ptr<TIPAddress>> list = TDns::EndGetHostAddresses(byName);
    ASSERT_GT(list.Length(), 0);
    for (const auto& a : list) EXPECT_TRUE(TIPAddress::IsLoopback(a)) << a->ToString();

    gc_ptr<TAsyncResult> reverse = TDns::BeginGetHostEntry(TIPAddress::Loopback, probe->Callback(), nullptr);
    AwaitCompletion(reverse);
    EXPECT_EQ(TDns::EndGetHostEntry(reverse)->GetHostName(), TDns::GetHostEntry(TIPAddress::Loopback)->GetHostName());

    gc_ptr<TAsyncResult> literal = TDns::BeginGetHostEntry(UnicodeString("127.0.0.1"), probe->Callback(), nullptr);
    AwaitCompletion(literal);
    EXPECT_FALSE(TDns::EndGetHostEntry(literal)->GetHostName().IsEmpty());
    EXPECT_TRUE(probe->WaitForCalls(3)) << "a callback did not run";
}

TEST(DnsAsync, EveryFailureOfTheLookupReachesEnd) {
    const std::string tooLong(256, 'a');
    struct Case {
        std::string name;
        std::string message;
    };
    const Case cases[] = {
        {"no-such-host.invalid", host_not_found_text()},
        // Not a socket failure: it must still complete the result.
        {tooLong, "Host name must not be more than 255 characters long"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name.substr(0, 30));
        for (bool entry : {false, true}) {
            gc_ptr<TCallbackProbe> probe = gcnew<TCallbackProbe>();
            gc_ptr<TAsyncResult> r = entry ? TDns::BeginGetHostEntry(UnicodeString(c.name), probe->Callback(), nullptr)
                                           : TDns::BeginGetHostAddresses(c.name, probe->Callback(), nullptr);
            AwaitCompletion(r);
            EXPECT_THAT(message_of<EAsyncException>([&] {
                            if (entry) TDns::EndGetHostEntry(r);
                            else TDns::EndGetHostAddresses(r);
                        }),
                        HasSubstr(c.message));
            EXPECT_TRUE(probe->WaitForCalls(1));
        }
    }
}

TEST(DnsAsync, EndRefusesEmptyForeignAndRepeatedResults) {
    EXPECT_THAT(message_of<EArgumentNull>([] { TDns::EndGetHostEntry(gc_ptr<TAsyncResult>()); }),
                HasSubstr("'asyncResult'"));
    gc_ptr<TAsyncResult> foreign = gcnew<TAsyncResult>(gc_ptr<TObject>(), gc_ptr<TObject>());
    EXPECT_EQ(message_of<EArgument>([&] { TDns::EndGetHostAddresses(foreign); }),
              "Invalid value for argument 'asyncResult' - Invalid async result");
    gc_ptr<TAsyncResult> r = TDns::BeginGetHostEntry(UnicodeString("10.9.8.7"), {}, nullptr);
    (void)r;
    gc_ptr<TAsyncResult> once = TDns::BeginGetHostAddresses("10.9.8.7", {}, nullptr);
    TDns::EndGetHostAddresses(once);
    EXPECT_EQ(message_of<Sysutils::EInvalidOperation>([&] { TDns::EndGetHostAddresses(once); }),
              "Invalid end call - EndResolve (end call has already been called)");
    AwaitCompletion(r);
}

TEST(DnsAsync, BeginRefusesEmptyTextsAndWildcardsAtOnce) {
    EXPECT_THAT(message_of<EArgumentNull>([] { TDns::BeginGetHostAddresses("", {}, nullptr); }),
                HasSubstr("'hostName'"));
    for (const char* wildcard : {"0.0.0.0", "::"}) {
        EXPECT_EQ(message_of<EArgument>([&] { TDns::BeginGetHostAddresses(wildcard, {}, nullptr); }),
                  "Invalid value for argument 'hostNameOrAddress' - Invalid IP address or host name");
        EXPECT_EQ(message_of<EArgument>([&] { TDns::BeginGetHostEntry(UnicodeString(wildcard), {}, nullptr); }),
                  "Invalid value for argument 'hostNameOrAddress' - Invalid IP address or host name");
    }
    EXPECT_THAT(message_of<EArgumentNull>([] { TDns::BeginGetHostEntry(gc_ptr<TIPAddress>(), {}, nullptr); }),
                HasSubstr("'address'"));
    EXPECT_EQ(message_of<EArgument>([] { TDns::BeginGetHostEntry(TIPAddress::IPv6Any, {}, nullptr); }),
              "Invalid value for argument 'address' - Invalid IP address");
}
