// Argument checks and error texts shared by the socket's blocking and
// Begin/End operations, so both raise the same messages.
#pragma once
#include <cstdint>

#include "GC/gcarray.h"
#include "core/Exceptions.h"
#include "platform/error_text.h"
#include "rtl/UnicodeString.h"

namespace System::Net::Sockets::detail {

inline UnicodeString system_text(int error) {
    return UnicodeString(platform::GetSystemErrorMessage(static_cast<std::uint32_t>(error)));
}

inline void validate_buffer(const gc_array<unsigned char>& buffer, int offset, int size) {
    if (!buffer) throw EArgumentNull("buffer");
    if (offset < 0) throw EArgumentOutOfRange("Argument needs a non-negative number", "offset");
    if (size < 0) throw EArgumentOutOfRange("Argument needs a non-negative number", "numBytes");
    if (buffer.Length() - offset < size) throw EArgument("Invalid offset on array length", "offset");
}

} // namespace System::Net::Sockets::detail
