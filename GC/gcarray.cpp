#include "GC/gcarray.h"

namespace gc_detail {

void throw_array_bounds() { throw Sysutils::ERangeError("gc_array access: Index out of bounds"); }

void throw_bad_array_size(long long n) {
    throw Sysutils::EInvalidOperation("gcnew_array cannot allocate array of " + UnicodeString(std::to_string(n)) +
                                      " elements");
}

void throw_array_out_of_memory() { throw Sysutils::EOutOfMemory("Failed to allocate memory"); }

void* allocate_array_block(std::size_t bytes) {
    try {
        return arena::allocate(bytes);
    } catch (const Sysutils::EOutOfMemory&) {
        throw_array_out_of_memory();
    }
}

} // namespace gc_detail
