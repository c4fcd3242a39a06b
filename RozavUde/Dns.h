// Host names to addresses and back, on the platform's protocol-independent
// resolver: synchronously on the caller's thread, or asynchronously on the
// library's thread pool with the Begin/End pattern.
#pragma once
#include "GC/gcarray.h"
#include "RozavUde/IPAddress.h"
#include "RozavUde/IPHostEntry.h"
#include "RozavUde/ContextAwareResult.h"
#include "RozavUde/SocketEnums.h"

namespace System::Net {

class TDns {
public:
    static constexpr int HostNameBufferLength = 256;
    static constexpr int MaxHostName = 255;

    // A literal gives itself (the wildcards are refused); a name the
    // addresses of its lookup.
    static gc_array<gc_ptr<Sockets::TIPAddress>> GetHostAddresses(UnicodeString hostNameOrAddress);
    // A literal is looked up in reverse, a name forward.
    static gc_ptr<TIPHostEntry> GetHostEntry(UnicodeString hostNameOrAddress);
    static gc_ptr<TIPHostEntry> GetHostEntry(const gc_ptr<Sockets::TIPAddress>& address);
    static UnicodeString GetHostName();

    // One lookup on the pool: an address for a reverse lookup (or a
    // literal), otherwise the name.
    class TResolveAsyncResult : public TContextAwareResult {
    public:
        TResolveAsyncResult(const UnicodeString& hostName, const gc_ptr<TObject>& myObject, bool includeIPv6,
                            const gc_ptr<TObject>& myState, MulticastDelegate<TIocpCompletionEvent> myCallBack);
        TResolveAsyncResult(const gc_ptr<Sockets::TIPAddress>& address, const gc_ptr<TObject>& myObject,
                            bool includeIPv6, const gc_ptr<TObject>& myState,
                            MulticastDelegate<TIocpCompletionEvent> myCallBack);
        gc_ptr<Sockets::TIPAddress> address;
        UnicodeString hostName;
        bool includeIPv6;
    };

    static gc_ptr<TAsyncResult> BeginGetHostAddresses(UnicodeString hostNameOrAddress,
                                                      MulticastDelegate<TIocpCompletionEvent> requestCallback,
                                                      gc_ptr<TObject> state);
    static gc_array<gc_ptr<Sockets::TIPAddress>> EndGetHostAddresses(gc_ptr<TAsyncResult> asyncResult);
    static gc_ptr<TAsyncResult> BeginGetHostEntry(UnicodeString hostNameOrAddress,
                                                  MulticastDelegate<TIocpCompletionEvent> requestCallback,
                                                  gc_ptr<TObject> stateObject);
    static gc_ptr<TAsyncResult> BeginGetHostEntry(const gc_ptr<Sockets::TIPAddress>& address,
                                                  MulticastDelegate<TIocpCompletionEvent> requestCallback,
                                                  gc_ptr<TObject> stateObject);
    static gc_ptr<TIPHostEntry> EndGetHostEntry(gc_ptr<TAsyncResult> asyncResult);

    static gc_ptr<TAsyncResult> HostResolutionBeginHelper(UnicodeString hostName, bool justReturnParsedIp,
                                                          bool flowContext, bool includeIPv6, bool throwOnIPAny,
                                                          MulticastDelegate<TIocpCompletionEvent> requestCallback,
                                                          gc_ptr<TObject> state);
    static gc_ptr<TAsyncResult> HostResolutionBeginHelper(const gc_ptr<Sockets::TIPAddress>& address,
                                                          bool flowContext, bool includeIPv6,
                                                          MulticastDelegate<TIocpCompletionEvent> requestCallback,
                                                          gc_ptr<TObject> state);
    // The pool's work item. Every failure of the lookup completes the
    // result, so End never waits for a lookup that threw.
    static void ResolveCallback(gc_ptr<TObject> context);
    static gc_ptr<TIPHostEntry> HostResolutionEndHelper(gc_ptr<TAsyncResult> asyncResult);

    static gc_ptr<TIPHostEntry> InternalGetHostByName(UnicodeString hostName, bool includeIPv6 = true);
    static gc_ptr<TIPHostEntry> InternalGetHostByAddress(const gc_ptr<Sockets::TIPAddress>& address, bool includeIPv6);
    // Forward lookup without exception: on failure the entry holds the name
    // and no addresses.
    static Sockets::SocketError::Enum TryGetAddrInfo(UnicodeString name, gc_ptr<TIPHostEntry>& hostinfo);
    static gc_ptr<TIPHostEntry> GetAddrInfoW(UnicodeString name);
    // Reverse name without exception; empty with the error set on failure.
    static UnicodeString TryGetNameInfo(const gc_ptr<Sockets::TIPAddress>& addr, Sockets::SocketError::Enum& errorCode);
    static gc_ptr<TIPHostEntry> GetUnresolveAnswer(const gc_ptr<Sockets::TIPAddress>& address);

private:
    static bool IsWildcard(const gc_ptr<Sockets::TIPAddress>& address);
    static void Queue(const gc_ptr<TResolveAsyncResult>& result, bool flowContext);
};

} // namespace System::Net
