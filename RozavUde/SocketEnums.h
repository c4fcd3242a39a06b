// The socket enumerations. Their values are the Winsock constants of the
// same meaning, so they are what the library's public interface speaks;
// the platform layer (platform/inet) translates them to Linux constants at
// each call.
#pragma once

namespace System::Net::Sockets {

namespace AddressFamily {
enum Enum {
    Unknown = -1,
    Unspecified = 0,
    Unix = 1,
    InterNetwork = 2,
    ImpLink = 3,
    Pup = 4,
    Chaos = 5,
    NS = 6,
    Ipx = 6,
    Iso = 7,
    Osi = 7,
    Ecma = 8,
    DataKit = 9,
    Ccitt = 10,
    Sna = 11,
    DecNet = 12,
    DataLink = 13,
    Lat = 14,
    HyperChannel = 15,
    AppleTalk = 16,
    NetBios = 17,
    VoiceView = 18,
    FireFox = 19,
    Banyan = 21,
    Atm = 22,
    InterNetworkV6 = 23,
    Cluster = 24,
    Ieee12844 = 25,
    Irda = 26,
    NetworkDesigners = 28,
    Max = 29,
    Bluetooth = 32,
};
} // namespace AddressFamily

namespace ProtocolFamily {
enum Enum {
    Unknown = -1,
    Unspecified = 0,
    Unix = 1,
    InterNetwork = 2,
    ImpLink = 3,
    Pup = 4,
    Chaos = 5,
    NS = 6,
    Ipx = 6,
    Iso = 7,
    Osi = 7,
    Ecma = 8,
    DataKit = 9,
    Ccitt = 10,
    Sna = 11,
    DecNet = 12,
    DataLink = 13,
    Lat = 14,
    HyperChannel = 15,
    AppleTalk = 16,
    NetBios = 17,
    VoiceView = 18,
    FireFox = 19,
    Banyan = 21,
    Atm = 22,
    InterNetworkV6 = 23,
    Cluster = 24,
    Ieee12844 = 25,
    Irda = 26,
    NetworkDesigners = 28,
    Max = 29,
};
} // namespace ProtocolFamily

// Sequential: the enumerator names are the type's text form.
namespace SocketType {
enum Enum { Unknown = 0, Stream = 1, Datagram = 2, Raw = 3, Rdm = 4, Seqpacket = 5 };
} // namespace SocketType

namespace ProtocolType {
enum Enum {
    Unknown = -1,
    IP = 0,
    IPv6HopByHopOptions = 0,
    Unspecified = 0,
    Icmp = 1,
    Igmp = 2,
    Ggp = 3,
    IPv4 = 4,
    Tcp = 6,
    Pup = 12,
    Udp = 17,
    Idp = 22,
    IPv6 = 41,
    IPv6RoutingHeader = 43,
    IPv6FragmentHeader = 44,
    IPSecEncapsulatingSecurityPayload = 50,
    IPSecAuthenticationHeader = 51,
    IcmpV6 = 58,
    IPv6NoNextHeader = 59,
    IPv6DestinationOptions = 60,
    ND = 77,
    Raw = 255,
    Ipx = 1000,
    Spx = 1256,
    SpxII = 1257,
};
} // namespace ProtocolType

// A bit set handed unchanged to the send and receive calls (MSG_ flags).
namespace SocketFlags {
enum Enum {
    None = 0,
    OutOfBand = 0x1,
    Peek = 0x2,
    DontRoute = 0x4,
    MaxIOVectorLength = 0x10,
    Truncated = 0x100,
    ControlDataTruncated = 0x200,
    Broadcast = 0x400,
    Multicast = 0x800,
    Partial = 0x8000,
};
} // namespace SocketFlags

// Sequential: the enumerator names are the type's text form.
namespace SocketShutdown {
enum Enum { Receive = 0, Send = 1, Both = 2 };
} // namespace SocketShutdown

namespace SocketOptionLevel {
enum Enum { IP = 0, Tcp = 6, Udp = 17, IPv6 = 41, Socket = 0xFFFF };
} // namespace SocketOptionLevel

// Names of several levels share numbers; the level tells them apart.
namespace SocketOptionName {
enum Enum {
    // socket level
    Debug = 0x1,
    AcceptConnection = 0x2,
    ReuseAddress = 0x4,
    KeepAlive = 0x8,
    DontRoute = 0x10,
    Broadcast = 0x20,
    UseLoopback = 0x40,
    Linger = 0x80,
    OutOfBandInline = 0x100,
    DontLinger = ~Linger,          // -129
    ExclusiveAddressUse = ~ReuseAddress,
    SendBuffer = 0x1001,
    ReceiveBuffer = 0x1002,
    SendLowWater = 0x1003,
    ReceiveLowWater = 0x1004,
    SendTimeout = 0x1005,
    ReceiveTimeout = 0x1006,
    Error = 0x1007,
    Type = 0x1008,
    MaxMessageSize = 0x2003,
    UpdateAcceptContext = 0x700B,
    UpdateConnectContext = 0x7010,
    MaxConnections = 0x7FFFFFFF,
    // IP level
    IPOptions = 1,
    HeaderIncluded = 2,
    TypeOfService = 3,
    IpTimeToLive = 4,
    MulticastInterface = 9,
    MulticastTimeToLive = 10,
    MulticastLoopback = 11,
    AddMembership = 12,
    DropMembership = 13,
    DontFragment = 14,
    AddSourceMembership = 15,
    DropSourceMembership = 16,
    BlockSource = 17,
    UnblockSource = 18,
    PacketInformation = 19,
    HopLimit = 21,
    IPv6Only = 27,
    // TCP level
    NoDelay = 1,
    BsdUrgent = 2,
    Expedited = 2,
    // UDP level
    NoChecksum = 1,
    ChecksumCoverage = 20,
};
} // namespace SocketOptionName

// Win32 and Winsock error numbers. SocketError means "take the thread's
// last Winsock error"; any other Win32 number may appear as well.
namespace SocketError {
enum Enum {
    SocketError = -1,
    Success = 0,
    OperationAborted = 995,
    IOIncomplete = 996,
    IOPending = 997,
    Interrupted = 10004,
    AccessDenied = 10013,
    Fault = 10014,
    InvalidArgument = 10022,
    TooManyOpenSockets = 10024,
    WouldBlock = 10035,
    InProgress = 10036,
    AlreadyInProgress = 10037,
    NotSocket = 10038,
    DestinationAddressRequired = 10039,
    MessageSize = 10040,
    ProtocolType = 10041,
    ProtocolOption = 10042,
    ProtocolNotSupported = 10043,
    SocketNotSupported = 10044,
    OperationNotSupported = 10045,
    ProtocolFamilyNotSupported = 10046,
    AddressFamilyNotSupported = 10047,
    AddressAlreadyInUse = 10048,
    AddressNotAvailable = 10049,
    NetworkDown = 10050,
    NetworkUnreachable = 10051,
    NetworkReset = 10052,
    ConnectionAborted = 10053,
    ConnectionReset = 10054,
    NoBufferSpaceAvailable = 10055,
    IsConnected = 10056,
    NotConnected = 10057,
    Shutdown = 10058,
    TimedOut = 10060,
    ConnectionRefused = 10061,
    HostDown = 10064,
    HostUnreachable = 10065,
    ProcessLimit = 10067,
    SystemNotReady = 10091,
    VersionNotSupported = 10092,
    NotInitialized = 10093,
    Disconnecting = 10101,
    TypeNotFound = 10109,
    HostNotFound = 11001,
    TryAgain = 11002,
    NoRecovery = 11003,
    NoData = 11004,
};
} // namespace SocketError

} // namespace System::Net::Sockets
