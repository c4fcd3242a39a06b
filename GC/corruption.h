// Collector-internal: where a corrupt heap was detected. The number is part
// of the report text ("Managed Memory is corrupt (detected at gcptr line N)"),
// so each place keeps its number.
#pragma once

namespace gc_detail {

enum class corruption_site : int {
    registration_header = 1281, // registering an object whose header is not a fresh block's
    reference_target = 1308,    // a root or member pointing at no managed object
    worker_marking = 2680,      // a marking worker met corruption
};

// Writes the report and throws EManagedMemoryCorrupt.
[[noreturn]] void corrupt(corruption_site site);

} // namespace gc_detail
