#include "GC/GarbageCollector.h"

#include "GC/collector.h"
#include "GC/collector_thread.h"
#include "GC/thread_table.h"

namespace gc_detail {

namespace {
// Requests go to the collector's thread while it runs; before it starts and
// after it stopped the caller collects.
void request_collection(int generation) {
    collector_thread_control* c = current_collector_thread();
    if (c && c->running.load(std::memory_order_acquire) && !c->terminated.load(std::memory_order_acquire)) {
        c->request(generation);
        platform::yield_processor();
        return;
    }
    collect(generation);
}

object_header* checked_target(const pointer_base& p) {
    if (!p.target) throw System::EArgumentNull("object");
    object_header* h = find_header(p.target);
    if (!h) {
        debug_report("Managed Memory is corrupt (detected at gcptr line 1308)");
        throw EManagedMemoryCorrupt();
    }
    if (!is_registered(h)) throw Sysutils::EInvalidOperation("Managed object has not been fully constructed");
    return h;
}
} // namespace

void TGarbageCollector::Collect(int generation) {
    if (generation < 1 || generation > GC_GENERATION_COUNT)
        throw System::EArgumentOutOfRange("GC::Collect invalid generation argument", "generation");
    request_collection(generation);
}

std::uint64_t TGarbageCollector::GetAllocatedBytes(bool includeQueue) noexcept { return allocated_bytes(includeQueue); }

bool TGarbageCollector::IsObjectManaged(const void* address) noexcept {
    return pointer_base::unsafe_get_pointer_node(address) != nullptr;
}

std::size_t TGarbageCollector::UnsafeGetManagedObjectSize(const void* address) noexcept {
    object_header* h = pointer_base::unsafe_get_pointer_node(address);
    return h ? object_size(h) : 0;
}

std::size_t TGarbageCollector::GetManagedObjectSize(const pointer_base& p) noexcept {
    return UnsafeGetManagedObjectSize(p.target);
}

void TGarbageCollector::SuppressFinalize(const pointer_base& p) { checked_target(p)->finalized = 1; }
void TGarbageCollector::ReRegisterForFinalize(const pointer_base& p) { checked_target(p)->finalized = 0; }

void TGarbageCollector::SetCustomDestructor(const pointer_base& p, object_thunk destroy) {
    object_header* h = checked_target(p);
    ensure_extension(h)->destroy = destroy;
    // The check byte follows the thunk, so the object stays fully managed.
    h->check = check_byte_for(destroy, object_size(h));
}

} // namespace gc_detail
