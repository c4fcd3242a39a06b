// Collector-internal: after marking, with the world running again but every
// record locked. Survivors are promoted (their list entries move one
// generation up), the dead go to the finalization queue or the destroy list.
#pragma once

#include "GC/collector_state.h"

namespace gc_detail {

// Generation 0's survivors become generation 1's pages.
void roll_young_pages() noexcept;
// Queued entries marked since they were queued are alive again; finalized
// ones go to the destroy list.
void process_finalization_queue();
// Sweeps the collected generations of every allocating thread.
void sweep();
// Objects on the destroy list that a newly queued finalizable object
// reaches are put back.
void revive_reached();
// Queued objects count as young for the next card scan.
void queue_counts_as_young() noexcept;

} // namespace gc_detail
