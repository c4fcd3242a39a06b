#include "RozavUde/SocketException.h"

#include <cstdint>

#include "platform/error_text.h"

namespace System::Net::Sockets {

namespace {
UnicodeString text_of(int code) {
    return "SocketException: " + UnicodeString(platform::GetSystemErrorMessage(static_cast<std::uint32_t>(code)));
}
} // namespace

ESocketException::ESocketException(int errorCode) : Exception(text_of(errorCode)) {}
ESocketException::ESocketException(SocketError::Enum errorCode) : Exception(text_of(static_cast<int>(errorCode))) {}
ESocketException::ESocketException(const UnicodeString& message) : Exception(message) {}

} // namespace System::Net::Sockets
