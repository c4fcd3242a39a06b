// Collector-internal: marking. Card scan of old objects (young
// collections), then stacks, open construction scopes and root arrays; the
// work is handed out unit by unit so any number of threads can share it.
#pragma once
#include <cstddef>

#include "GC/collector_state.h"

namespace gc_detail {

// Traces everything an object refers to.
void trace_children(object_header* h, mark_stack& ms);
// Traces until the stack is empty.
void drain(mark_stack& ms);

// New mark values for the generations collected (k = oldest index).
void advance_epochs(int k) noexcept;
// The marking units shared among the threads marking (the workers or the
// collecting thread): blocks and overflow lists with dirty cards, thread records.
void run_card_phase(mark_stack& ms);
void run_root_phase(mark_stack& ms);
// Marks from the roots (world stopped); leaves the card tables ready for
// the next collection.
void mark_phase();
// What a pending finalizer can reach is marked too.
void keep_queue_reach(mark_stack& ms);

} // namespace gc_detail
