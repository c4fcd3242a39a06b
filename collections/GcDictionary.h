// A managed hash map with separate chaining. Bucket counts are primes from a
// fixed list; the table grows to the next one when the count reaches three
// quarters of the bucket count and never shrinks. Like the list it does not
// lock, and changing it during an enumeration fails the next step.
#pragma once
#include <concepts>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "collections/GcList.h"
#include "rtl/UnicodeString.h"

namespace gc_detail {

// The first bucket count of the prime list greater than n; 0 when none is.
int next_dictionary_size(int n);
// The count at which a table of `buckets` grows: three quarters, truncated.
int dictionary_threshold(int buckets);

[[noreturn]] void throw_key_already_exists();
[[noreturn]] void throw_key_not_found();

// The default comparer's hash: integers are their own hash (64-bit ones
// folded, so a value below 2^32 still hashes to itself), managed pointers
// hash their target's address, strings their UTF-16 bytes.
template <class K>
int default_key_hash(const K& key) {
    if constexpr (std::is_integral_v<K> || std::is_enum_v<K>) {
        const auto v = static_cast<std::uint64_t>(key);
        if constexpr (sizeof(K) > 4) return static_cast<int>(static_cast<std::uint32_t>(v ^ (v >> 32)));
        else return static_cast<int>(static_cast<std::uint32_t>(v));
    } else if constexpr (is_managed_pointer_v<K>) {
        return static_cast<int>(static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(key.target) >> 3));
    } else if constexpr (std::is_same_v<K, UnicodeString>) {
        return static_cast<int>(compute_hash(key.data(), static_cast<unsigned>(key.Length()) * 2u));
    } else if constexpr (std::is_trivially_copyable_v<K> && std::has_unique_object_representations_v<K>) {
        return static_cast<int>(compute_hash(&key, sizeof(K)));
    } else {
        // Such keys need a comparer of their own.
        throw_not_comparable();
    }
}

template <class K>
bool default_key_equals(const K& a, const K& b) {
    if constexpr (is_managed_pointer_v<K>) return a.target == b.target;
    else if constexpr (std::equality_comparable<K>) return a == b;
    else throw_not_comparable();
}

} // namespace gc_detail

namespace System::Collections {

template <class K, class V>
class TKeyValuePair : public TLockableObject {
public:
    TKeyValuePair() = default;
    TKeyValuePair(const K& key, const V& value) : Key(key), Value(value) {}
    K Key{};
    V Value{};
};

template <class K>
class TIEqualityComparer : public TLockableObject {
public:
    using TLockableObject::Equals;
    using TLockableObject::GetHashCode;
    virtual bool Equals(const K& a, const K& b) = 0;
    virtual int GetHashCode(const K& key) = 0;
};

template <class K, class V>
class TIDictionary : public TICollection<gc_ptr<TKeyValuePair<K, V>>> {
    using base = TICollection<gc_ptr<TKeyValuePair<K, V>>>;
public:
    using base::Add;
    using base::Remove;
    virtual bool ContainsKey(const K& key) = 0;
    virtual bool ContainsValue(const V& value) = 0;
    virtual void Add(const K& key, const V& value) = 0;
    virtual bool TryGetValue(const K& key, V& value) = 0;
    virtual bool Remove(const K& key) = 0;
    virtual V& ItemRef(const K& key) = 0;
};

template <class K, class V>
class TGcDictionary : public TIDictionary<K, V> {
public:
    using TPair = TKeyValuePair<K, V>;
    using TPairPtr = gc_ptr<TPair>;

    class TGcDictionaryCell : public TLockableObject {
    public:
        TGcDictionaryCell(const K& k, const V& v) : key(k), value(v) {}
        K key;
        V value;
        gc_ptr<TGcDictionaryCell> next;
    };
    using TCellPtr = gc_ptr<TGcDictionaryCell>;

    class TEqualityComparer : public TIEqualityComparer<K> {
    public:
        bool Equals(const K& a, const K& b) override { return gc_detail::default_key_equals(a, b); }
        int GetHashCode(const K& key) override { return gc_detail::default_key_hash(key); }
    };

    // Buckets in index order, each chain from head to tail; a fresh pair
    // per cell.
    class TEnumerator : public TIEnumerator<TPairPtr> {
    public:
        TEnumerator(TGcDictionary* dict, const gc_ptr<TGcDictionary>& keep)
            : dict_(dict), keep_(keep), buckets_(dict->buckets_), version_(dict->version_) {}

        TPairPtr* GetCurrent() override { return current_ ? &current_ : nullptr; }
        bool MoveNext() override {
            if (dict_->version_ != version_) gc_detail::throw_collection_changed();
            TCellPtr c = cell_ ? cell_->next : TCellPtr();
            const int n = buckets_.Length();
            while (!c && bucket_ < n) c = buckets_.data()[bucket_++];
            cell_ = c;
            if (!c) {
                current_ = nullptr;
                return false;
            }
            current_ = gcnew<TPair>(c->key, c->value);
            return true;
        }
        void Reset() override {
            if (dict_->version_ != version_) gc_detail::throw_collection_changed();
            bucket_ = 0;
            cell_ = nullptr;
            current_ = nullptr;
        }

    private:
        TGcDictionary* dict_;
        gc_ptr<TGcDictionary> keep_;
        gc_array<TCellPtr> buckets_;
        std::uint32_t version_;
        int bucket_ = 0;
        TCellPtr cell_;
        TPairPtr current_;
    };

    TGcDictionary() : comparer_(gcnew<TEqualityComparer>()) { Clear(); }
    explicit TGcDictionary(const gc_ptr<TIEqualityComparer<K>>& comparer) : comparer_(comparer) {
        if (!comparer_) throw EArgumentNull("comparer");
        Clear();
    }

    gc_ptr<TIEnumerator<TPairPtr>> GetEnumerator() override {
        if (!self_) self_ = gc_ptr<TGcDictionary>(this);
        return gcnew<TEnumerator>(this, self_);
    }

    int GetCount() override { return count_; }

    void Add(const TPairPtr& pair) override { Add(pair->Key, pair->Value); }

    void Clear() override {
        const int size = gc_detail::next_dictionary_size(capacity_);
        // Allocated first: a failure leaves the table as it was.
        gc_array<TCellPtr> fresh = gcnew_array<TCellPtr>(size);
        bucketCount_ = size;
        count_ = 0;
        threshold_ = gc_detail::dictionary_threshold(size);
        buckets_ = fresh;
        ++version_;
    }

    // The key is present with an identical value.
    bool Contains(const TPairPtr& pair) override {
        const TGcDictionaryCell* c = Find(pair->Key);
        return c && gc_detail::same_element(c->value, pair->Value);
    }

    // By key alone.
    bool Remove(const TPairPtr& pair) override { return Remove(pair->Key); }

    bool ContainsKey(const K& key) override { return Find(key) != nullptr; }

    bool ContainsValue(const V& value) override {
        const TCellPtr* b = buckets_.data();
        for (int i = 0; i < bucketCount_; ++i)
            for (const TGcDictionaryCell* c = b[i].get(); c; c = c->next.get())
                if (gc_detail::same_element(c->value, value)) return true;
        return false;
    }

    void Add(const K& key, const V& value) override {
        TCellPtr& head = buckets_[BucketOf(key)];
        TGcDictionaryCell* last = nullptr;
        for (TGcDictionaryCell* c = head.get(); c; c = c->next.get()) {
            if (comparer_->Equals(c->key, key)) gc_detail::throw_key_already_exists();
            last = c;
        }
        TCellPtr cell = gcnew<TGcDictionaryCell>(key, value);
        if (last) last->next = cell;
        else head = cell;
        ++count_;
        ++version_;
        if (count_ >= threshold_) Rehash();
    }

    bool TryGetValue(const K& key, V& value) override {
        const TGcDictionaryCell* c = Find(key);
        if (!c) return false;
        value = c->value;
        return true;
    }

    bool Remove(const K& key) override {
        TCellPtr* link = &buckets_[BucketOf(key)];
        while (TGcDictionaryCell* c = link->get()) {
            if (comparer_->Equals(c->key, key)) {
                *link = c->next;
                --count_;
                ++version_;
                return true;
            }
            link = &c->next;
        }
        return false;
    }

    V& ItemRef(const K& key) override {
        TGcDictionaryCell* c = Find(key);
        if (!c) gc_detail::throw_key_not_found();
        return c->value;
    }

    gc_indexer<TGcDictionary, K, V> operator[](const K& key) { return gc_indexer<TGcDictionary, K, V>(this, key); }

    int GetBucketCount() const { return bucketCount_; }

protected:
    // The hash is taken unsigned: a negative hash still lands inside the
    // table, and non-negative ones get the same bucket as a signed
    // remainder would give them.
    int BucketOf(const K& key) { return BucketOf(key, bucketCount_); }
    int BucketOf(const K& key, int buckets) {
        const auto h = static_cast<std::uint32_t>(comparer_->GetHashCode(key));
        return static_cast<int>(h % static_cast<std::uint32_t>(buckets));
    }

    TGcDictionaryCell* Find(const K& key) {
        for (TGcDictionaryCell* c = buckets_[BucketOf(key)].get(); c; c = c->next.get())
            if (comparer_->Equals(c->key, key)) return c;
        return nullptr;
    }

    void Rehash() {
        const int size = gc_detail::next_dictionary_size(bucketCount_);
        if (size == 0) return; // the largest table: chains just get longer
        gc_array<TCellPtr> fresh = gcnew_array<TCellPtr>(size);
        // The comparer runs before any link changes, so a hash that throws
        // leaves the old table intact.
        std::vector<int> target;
        target.reserve(static_cast<std::size_t>(count_));
        TCellPtr* old = buckets_.data();
        for (int i = 0; i < bucketCount_; ++i)
            for (const TGcDictionaryCell* c = old[i].get(); c; c = c->next.get())
                target.push_back(BucketOf(c->key, size));
        // Appending at the tails keeps each chain in insertion order.
        std::vector<TGcDictionaryCell*> tails(static_cast<std::size_t>(size), nullptr);
        std::size_t k = 0;
        for (int i = 0; i < bucketCount_; ++i) {
            // Every cell stays reachable: from the old chain, from `c` and
            // `rest` on the stack, or from the new table.
            TCellPtr c = old[i];
            while (c) {
                TCellPtr rest = c->next;
                c->next = nullptr;
                const int b = target[k++];
                if (tails[b]) tails[b]->next = c;
                else fresh[b] = c;
                tails[b] = c.get();
                c = rest;
            }
        }
        buckets_ = fresh;
        bucketCount_ = size;
        threshold_ = gc_detail::dictionary_threshold(size);
    }

    gc_ptr<TGcDictionary> self_;
    gc_ptr<TIEqualityComparer<K>> comparer_;
    int capacity_ = 101;
    int bucketCount_ = 0;
    int count_ = 0;
    int threshold_ = 0;
    gc_array<TCellPtr> buckets_;
    std::uint32_t version_ = 0;
};

} // namespace System::Collections
