// Text of a Win32 or Winsock error number, as the library reports it.
#pragma once
#include <cstdint>
#include <string>

namespace platform {

// The errno that a Win32/Winsock error number stands for, or 0 when none.
int errno_of_system_error(std::uint32_t code) noexcept;
// Linux text of the matching errno (or resolver error); "Unknown error"
// for a number without a counterpart.
std::string GetSystemErrorMessage(std::uint32_t code);

} // namespace platform
