// The exception of the address, name-resolution and socket operations.
#pragma once
#include "RozavUde/SocketEnums.h"
#include "rtl/Exception.h"

namespace System::Net::Sockets {

// Carries only its message. Built from an error number, the message is
// "SocketException: " and the system text of that number.
class ESocketException : public Exception {
public:
    explicit ESocketException(int errorCode);
    explicit ESocketException(SocketError::Enum errorCode);
    explicit ESocketException(const UnicodeString& message);
};

} // namespace System::Net::Sockets
