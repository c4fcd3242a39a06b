// The per-object monitor lock record that an object header points to once
// the object has been locked for the first time.
#pragma once
#include <atomic>
#include <cstdint>

#include "core/CritSectEx.h"

namespace gc_detail {

struct monitor_lock_record {
    FastCriticalSection::CritSectEx cs;
    std::int32_t recursion = 0;
    std::atomic<platform::thread_id_t> owner{0};
};

} // namespace gc_detail
