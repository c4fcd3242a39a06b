// Weak handles: table entries that refer to a managed object without
// keeping it alive. Short handles are cleared once their object is
// unreachable; handles that track resurrection only when it is destroyed.
#pragma once
#include <cstdint>

#include "GC/gcptr.h"
#include "rtl/TypInfo.h"

namespace gc_detail {

class TGCHandle {
public:
    // Bit 31 of a handle marks the table of handles that track resurrection.
    static constexpr std::uint32_t track_bit = 0x80000000u;

    static std::uint32_t InternalAlloc(const gc_ptr<System::TObject>& target, bool trackResurrection);
    static void InternalFree(std::uint32_t handle);
    // The entry's object, null once cleared.
    static gc_ptr<System::TObject> InternalGet(std::uint32_t handle);
    // Stores a new target and returns the previous one.
    static gc_ptr<System::TObject> InternalUpdate(std::uint32_t handle, const gc_ptr<System::TObject>& target);

    // Live handles in both tables (tests and leak checks).
    static std::uint32_t InternalCount() noexcept;
};

// Installs the clearing walk into the collector (start-up) and frees the
// tables (unload).
void weak_handles_start() noexcept;
void weak_handles_free() noexcept;

} // namespace gc_detail
