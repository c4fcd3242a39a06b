#include "RozavUde/Dns.h"

#include "RozavUde/IPEndPoint.h"
#include "RozavUde/NetworkStartup.h"
#include "RozavUde/SocketAddress.h"
#include "RozavUde/SocketException.h"
#include "RozavUde/ThreadPoolGlobals.h"
#include "platform/resolver.h"

namespace System::Net {

using namespace Sockets;

TClass TIPHostEntry::StaticClass() {
    static const TMetaClass cls = TClassBuilder<TIPHostEntry, TLockableObject>("TIPHostEntry", "System.Net").Build();
    return &cls;
}

namespace {
gc_ptr<TIPHostEntry> make_entry(const UnicodeString& name, const gc_array<gc_ptr<TIPAddress>>& addresses) {
    gc_ptr<TIPHostEntry> e = gcnew<TIPHostEntry>();
    e->SetHostName(name);
    e->SetAliases(gcnew_array<UnicodeString>(0));
    e->SetAddressList(addresses);
    return e;
}

void check_name_length(const UnicodeString& hostName) {
    const int n = hostName.Length();
    if (n > TDns::MaxHostName || (n == TDns::MaxHostName && hostName[n - 1] != u'.'))
        throw EArgumentOutOfRange("Host name must not be more than 255 characters long", "hostName");
}
// The failure of an asynchronous lookup, kept until End raises it: an owned
// copy, since the exception itself is gone once the pool thread's handler
// has left.
class TResolveFailure : public TLockableObject {
public:
    explicit TResolveFailure(const Exception& e) : failure(e) {}
    Exception failure;
};
} // namespace

bool TDns::IsWildcard(const gc_ptr<TIPAddress>& address) {
    return address->Equals(gc_ptr<TObject>(TIPAddress::Any)) || address->Equals(gc_ptr<TObject>(TIPAddress::IPv6Any));
}

gc_array<gc_ptr<TIPAddress>> TDns::GetHostAddresses(UnicodeString hostNameOrAddress) {
    if (hostNameOrAddress.IsEmpty()) throw EArgumentNull("hostNameOrAddress");
    gc_ptr<TIPAddress> address;
    if (TIPAddress::TryParse(hostNameOrAddress, address)) {
        if (IsWildcard(address)) throw EArgument("Invalid IP address", "hostNameOrAddress");
        gc_array<gc_ptr<TIPAddress>> one = gcnew_array<gc_ptr<TIPAddress>>(1);
        one[0] = address;
        return one;
    }
    return InternalGetHostByName(hostNameOrAddress, true)->GetAddressList();
}

gc_ptr<TIPHostEntry> TDns::GetHostEntry(UnicodeString hostNameOrAddress) {
    if (hostNameOrAddress.IsEmpty()) throw EArgumentNull("hostNameOrAddress");
    gc_ptr<TIPAddress> address;
    if (TIPAddress::TryParse(hostNameOrAddress, address)) {
        if (IsWildcard(address)) throw EArgument("Invalid IP address", "hostNameOrAddress");
        return InternalGetHostByAddress(address, true);
    }
    return InternalGetHostByName(hostNameOrAddress, true);
}

gc_ptr<TIPHostEntry> TDns::GetHostEntry(const gc_ptr<TIPAddress>& address) {
    if (!address) throw EArgumentNull("address");
    if (IsWildcard(address)) throw EArgument("Invalid IP address", "address");
    return InternalGetHostByAddress(address, true);
}

UnicodeString TDns::GetHostName() {
    std::string name;
    if (const int err = platform::local_host_name(name)) throw ESocketException(err);
    return UnicodeString(name);
}

gc_ptr<TIPHostEntry> TDns::InternalGetHostByName(UnicodeString hostName, bool includeIPv6) {
    check_name_length(hostName);
    // The platform resolver answers for both families; this port has no
    // IPv4-only resolver to fall back to, so includeIPv6 only matters to
    // which records are kept (see TryGetAddrInfo).
    (void)includeIPv6;
    return GetAddrInfoW(hostName);
}

gc_ptr<TIPHostEntry> TDns::GetAddrInfoW(UnicodeString name) {
    gc_ptr<TIPHostEntry> entry;
    const SocketError::Enum err = TryGetAddrInfo(name, entry);
    if (err != SocketError::Success) throw ESocketException(err);
    return entry;
}

SocketError::Enum TDns::TryGetAddrInfo(UnicodeString name, gc_ptr<TIPHostEntry>& hostinfo) {
    platform::name_lookup found;
    const int err = platform::resolve_name(name.ToUtf8(), found);
    if (err != 0) {
        hostinfo = make_entry(name, gcnew_array<gc_ptr<TIPAddress>>(0));
        return static_cast<SocketError::Enum>(err);
    }
    const bool ipv6 = TSocket::GetOSSupportsIPv6();
    int kept = 0;
    for (const auto& a : found.addresses)
        if (a.size == TSocketAddress::IPv4AddressSize || ipv6) ++kept;
    gc_array<gc_ptr<TIPAddress>> list = gcnew_array<gc_ptr<TIPAddress>>(kept);
    int i = 0;
    for (const auto& a : found.addresses) {
        const bool isV6 = a.size == TSocketAddress::IPv6AddressSize;
        if (isV6 && !ipv6) continue;
        gc_ptr<TSocketAddress> sa =
            gcnew<TSocketAddress>(isV6 ? AddressFamily::InterNetworkV6 : AddressFamily::InterNetwork, a.size);
        for (int k = 2; k < a.size; ++k) sa->SetItem(k, a.designed[k]);
        list[i++] = TIPEndPoint::Create(sa)->GetAddress();
    }
    hostinfo = make_entry(UnicodeString(found.canonical_name), list);
    return SocketError::Success;
}

UnicodeString TDns::TryGetNameInfo(const gc_ptr<TIPAddress>& addr, SocketError::Enum& errorCode) {
    gc_ptr<TSocketAddress> sa = gcnew<TIPEndPoint>(addr, 0)->Serialize();
    std::string name;
    const int err = platform::resolve_address(sa->GetBuffer().data(), sa->GetSize(), name);
    errorCode = static_cast<SocketError::Enum>(err);
    return err == 0 ? UnicodeString(name) : UnicodeString();
}

gc_ptr<TIPHostEntry> TDns::InternalGetHostByAddress(const gc_ptr<TIPAddress>& address, bool includeIPv6) {
    (void)includeIPv6;
    SocketError::Enum err = SocketError::Success;
    const UnicodeString name = TryGetNameInfo(address, err);
    if (err != SocketError::Success) throw ESocketException(err);
    // A name without a forward record still answers: the name, no addresses.
    gc_ptr<TIPHostEntry> entry;
    TryGetAddrInfo(name, entry);
    return entry;
}

gc_ptr<TIPHostEntry> TDns::GetUnresolveAnswer(const gc_ptr<TIPAddress>& address) {
    gc_array<gc_ptr<TIPAddress>> one = gcnew_array<gc_ptr<TIPAddress>>(1);
    one[0] = address;
    return make_entry(address->ToString(), one);
}

TDns::TResolveAsyncResult::TResolveAsyncResult(const UnicodeString& hostName, const gc_ptr<TObject>& myObject,
                                               bool includeIPv6, const gc_ptr<TObject>& myState,
                                               MulticastDelegate<TIocpCompletionEvent> myCallBack)
    : TContextAwareResult(myObject, myState, myCallBack), hostName(hostName), includeIPv6(includeIPv6) {}

TDns::TResolveAsyncResult::TResolveAsyncResult(const gc_ptr<TIPAddress>& address, const gc_ptr<TObject>& myObject,
                                               bool includeIPv6, const gc_ptr<TObject>& myState,
                                               MulticastDelegate<TIocpCompletionEvent> myCallBack)
    : TContextAwareResult(myObject, myState, myCallBack), address(address), includeIPv6(includeIPv6) {}

gc_ptr<TAsyncResult> TDns::BeginGetHostAddresses(UnicodeString hostNameOrAddress,
                                                 MulticastDelegate<TIocpCompletionEvent> requestCallback,
                                                 gc_ptr<TObject> state) {
    return HostResolutionBeginHelper(hostNameOrAddress, true, true, true, true, requestCallback, state);
}

gc_array<gc_ptr<TIPAddress>> TDns::EndGetHostAddresses(gc_ptr<TAsyncResult> asyncResult) {
    return HostResolutionEndHelper(asyncResult)->GetAddressList();
}

gc_ptr<TAsyncResult> TDns::BeginGetHostEntry(UnicodeString hostNameOrAddress,
                                             MulticastDelegate<TIocpCompletionEvent> requestCallback,
                                             gc_ptr<TObject> stateObject) {
    return HostResolutionBeginHelper(hostNameOrAddress, false, true, true, true, requestCallback, stateObject);
}

gc_ptr<TAsyncResult> TDns::BeginGetHostEntry(const gc_ptr<TIPAddress>& address,
                                             MulticastDelegate<TIocpCompletionEvent> requestCallback,
                                             gc_ptr<TObject> stateObject) {
    return HostResolutionBeginHelper(address, true, true, requestCallback, stateObject);
}

gc_ptr<TIPHostEntry> TDns::EndGetHostEntry(gc_ptr<TAsyncResult> asyncResult) {
    return HostResolutionEndHelper(asyncResult);
}

gc_ptr<TAsyncResult> TDns::HostResolutionBeginHelper(UnicodeString hostName, bool justReturnParsedIp,
                                                     bool flowContext, bool includeIPv6, bool throwOnIPAny,
                                                     MulticastDelegate<TIocpCompletionEvent> requestCallback,
                                                     gc_ptr<TObject> state) {
    if (hostName.IsEmpty()) throw EArgumentNull("hostName");
    gc_ptr<TIPAddress> address;
    gc_ptr<TResolveAsyncResult> result;
    if (TIPAddress::TryParse(hostName, address)) {
        if (throwOnIPAny && IsWildcard(address))
            throw EArgument("Invalid IP address or host name", "hostNameOrAddress");
        result = gcnew<TResolveAsyncResult>(address, gc_ptr<TObject>(), includeIPv6, state, requestCallback);
        if (justReturnParsedIp) {
            // Complete before returning, without the pool.
            result->StartPostingAsyncOp();
            result->InvokeCallback(gc_ptr<TObject>(GetUnresolveAnswer(address)));
            result->FinishPostingAsyncOp();
            return result;
        }
    } else {
        result = gcnew<TResolveAsyncResult>(hostName, gc_ptr<TObject>(), includeIPv6, state, requestCallback);
    }
    Queue(result, flowContext);
    return result;
}

gc_ptr<TAsyncResult> TDns::HostResolutionBeginHelper(const gc_ptr<TIPAddress>& address, bool flowContext,
                                                     bool includeIPv6,
                                                     MulticastDelegate<TIocpCompletionEvent> requestCallback,
                                                     gc_ptr<TObject> state) {
    if (!address) throw EArgumentNull("address");
    if (IsWildcard(address)) throw EArgument("Invalid IP address", "address");
    gc_ptr<TResolveAsyncResult> result =
        gcnew<TResolveAsyncResult>(address, gc_ptr<TObject>(), includeIPv6, state, requestCallback);
    Queue(result, flowContext);
    return result;
}

void TDns::Queue(const gc_ptr<TResolveAsyncResult>& result, bool flowContext) {
    if (flowContext) result->StartPostingAsyncOp();
    TClosure<void(gc_ptr<TObject>)> work;
    work.code = [](void*, gc_ptr<TObject> context) { ResolveCallback(context); };
    work.self = nullptr;
    gc_ptr<InvokePtrImplBaseBase> item =
        gcnew<InvokePtrImpl1<void(gc_ptr<TObject>), gc_ptr<TObject>>>(work, gc_ptr<TObject>(result));
    // An empty pool raises ENullReference, a disposed one EObjectDisposed.
    Threading::Global::g_ThreadPool->QueueUserWorkItem(item);
    result->FinishPostingAsyncOp();
}

void TDns::ResolveCallback(gc_ptr<TObject> context) {
    gc_ptr<TResolveAsyncResult> result(context);
    gc_ptr<TObject> outcome;
    // Any failure, not only ESocketException, completes the result: one
    // that escaped would leave End waiting for ever.
    try {
        if (result->address) outcome = InternalGetHostByAddress(result->address, result->includeIPv6);
        else outcome = InternalGetHostByName(result->hostName, result->includeIPv6);
    } catch (const Exception& e) {
        outcome = gcnew<TResolveFailure>(e);
    } catch (const std::exception& e) {
        outcome = gcnew<TResolveFailure>(Exception(UnicodeString(e.what())));
    } catch (...) {
        outcome = gcnew<TResolveFailure>(Exception("Unknown exception in name resolution"));
    }
    // Outside the handlers: what the caller's callback throws is not the
    // lookup's failure.
    result->InvokeCallback(outcome);
}

gc_ptr<TIPHostEntry> TDns::HostResolutionEndHelper(gc_ptr<TAsyncResult> asyncResult) {
    if (!asyncResult) throw EArgumentNull("asyncResult");
    auto* result = dynamic_cast<TResolveAsyncResult*>(asyncResult.get());
    if (!result) throw EArgument("Invalid async result", "asyncResult");
    if (result->GetEndCalled())
        throw Sysutils::EInvalidOperation("Invalid end call - EndResolve (end call has already been called)");
    result->InternalWaitForCompletion();
    result->SetEndCalled(true);
    const gc_ptr<TObject> outcome = result->GetResult();
    if (const auto* failure = dynamic_cast<const TResolveFailure*>(outcome.get())) throw EAsyncException(failure->failure);
    return gc_ptr<TIPHostEntry>(outcome);
}

} // namespace System::Net
