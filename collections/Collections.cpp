// The non-template parts of the managed collections: hashing, the size
// rules and the exceptions, kept out of line so that every instantiation
// shares them.
#include <string>

#include "collections/GcDictionary.h"
#include "collections/GcList.h"

namespace gc_detail {

std::uint32_t compute_hash(const void* data, unsigned length) {
    const auto* p = static_cast<const signed char*>(data);
    std::uint32_t h = 0x811C9DC5u;
    for (unsigned i = 0; i < length; ++i) {
        // Bytes are sign-extended: 0x80 and above mix in as 0xFFFFFF80 and up.
        h = (h ^ static_cast<std::uint32_t>(static_cast<std::int32_t>(p[i]))) * 16777619u;
    }
    h += h << 13;
    h ^= h >> 7;
    h += h << 3;
    h ^= h >> 17;
    h += h << 5;
    return h;
}

int list_capacity_after(int count, int length) {
    if (count >= length) {
        if (length == 0) return 32;
        // Eight times 2^28 or more no longer fits an int element count;
        // report the size that was wanted.
        if (length >= (1 << 28)) throw_bad_array_size(static_cast<long long>(length) * 8);
        return length * 8;
    }
    if (count >= 33 && count < length / 16) return length > 511 ? length / 16 : 32;
    return length;
}

void throw_list_index_negative() { throw Sysutils::ERangeError("GcList index cannot be less than 0"); }
void throw_list_index_out_of_bounds() { throw Sysutils::ERangeError("GcList index out of bounds"); }
void throw_list_insert_negative() { throw Sysutils::ERangeError("GcList Insert index cannot be less than 0"); }
void throw_list_insert_out_of_bounds() { throw Sysutils::ERangeError("GcList Insert index out of bounds"); }
void throw_list_remove_negative() { throw Sysutils::ERangeError("GcList RemoveAt index cannot be less than 0"); }
void throw_list_remove_out_of_bounds() { throw Sysutils::ERangeError("GcList RemoveAt index out of bounds"); }

void throw_copy_to_null_array() { throw System::EArgumentNull("array"); }
void throw_copy_to_count() { throw System::EArgument("invalid count - out of bounds", "count"); }
void throw_copy_to_array_index() { throw System::EArgument("arrayIndex out of bounds", "arrayIndex"); }
void throw_copy_to_index() { throw System::EArgument("index out of bounds", "index"); }

void throw_collection_changed() {
    throw Sysutils::EInvalidOperation("Enumeration failed - collection was changed while enumerating");
}
void throw_invalid_enumerator() {
    throw Sysutils::EInvalidOperation("Enumerable object returned an invalid enumerator (null)");
}
void throw_not_comparable() { throw System::ENotSupported(); }

namespace {
constexpr int kDictionarySizes[] = {257,      1031,     4099,      16411,     65537,     262147,
                                    1048583,  4194319,  16777259,  67108879,  268435459, 1073741827};
}

int next_dictionary_size(int n) {
    for (int size : kDictionarySizes)
        if (size > n) return size;
    return 0;
}

int dictionary_threshold(int buckets) { return static_cast<int>(static_cast<long long>(buckets) * 3 / 4); }

void throw_key_already_exists() { throw System::Collections::EKeyAlreadyExists(); }
void throw_key_not_found() { throw System::Collections::EKeyNotFound(); }

} // namespace gc_detail
