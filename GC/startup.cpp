// The collector starts before every other start-up routine of the library.
#include "GC/thread_table.h"

namespace gc_detail {
void collector_start() noexcept;
}

__attribute__((constructor(101))) static void norvane_gc_startup() {
    gc_detail::gc_init();
    gc_detail::collector_start();
}
