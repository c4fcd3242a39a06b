// The collector's public face.
#pragma once
#include <cstddef>
#include <cstdint>

#include "GC/gcptr.h"

namespace gc_detail {

class TGarbageCollector {
public:
    static constexpr int GC_GENERATION_COUNT = 3;

    // Generation 1, 2 or 3; asks for a collection and returns.
    static void Collect(int generation);
    // Live managed bytes (the cached figure while a collection runs), plus
    // the bytes waiting for finalization when asked.
    static std::uint64_t GetAllocatedBytes(bool includeFinalizationQueue = false) noexcept;
    static bool IsObjectManaged(const void* address) noexcept;
    static std::size_t UnsafeGetManagedObjectSize(const void* address) noexcept;
    static std::size_t GetManagedObjectSize(const pointer_base& p) noexcept;
    static void SuppressFinalize(const pointer_base& p);
    static void ReRegisterForFinalize(const pointer_base& p);
    static void SetCustomDestructor(const pointer_base& p, object_thunk destroy);
};

} // namespace gc_detail

namespace System { using gc_detail::TGarbageCollector; }
