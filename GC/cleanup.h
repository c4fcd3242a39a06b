// Collector-internal: running the finalizers of the finalization queue and
// the destructors of the destroy list, in batches that any number of
// threads take from one index.
#pragma once

#include "GC/collector_state.h"

namespace gc_detail {

void run_finalize_batches();
void run_destroy_batches();
// Runs the whole queue, then the whole destroy list (the workers take long
// lists); the destroy list is empty afterwards.
void finalize_and_destroy();

} // namespace gc_detail
