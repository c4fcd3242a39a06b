// Managed sequences: the enumerable interfaces, the growable TGcList and an
// enumerable view of a gc_array. Element slots live in a gc_array, so every
// store into one goes through the element's operator= and marks its card.
// None of these classes lock: a list shared between threads is guarded by a
// monitor held by its users.
#pragma once
#include <concepts>
#include <cstdint>
#include <type_traits>

#include "GC/gcarray.h"
#include "GC/gcptr.h"
#include "core/Exceptions.h"
#include "core/Objects.h"

namespace gc_detail {

// 32-bit hash of a byte range (FNV-1a over sign-extended bytes, then an
// avalanche); shared by the hashed containers.
std::uint32_t compute_hash(const void* data, unsigned length);

// Items-array length a list of `count` elements in an array of `length`
// slots should have after a change; `length` itself when it stays. Grows
// eightfold when full, shrinks sixteenfold below a sixteenth occupancy.
int list_capacity_after(int count, int length);

[[noreturn]] void throw_list_index_negative();
[[noreturn]] void throw_list_index_out_of_bounds();
[[noreturn]] void throw_list_insert_negative();
[[noreturn]] void throw_list_insert_out_of_bounds();
[[noreturn]] void throw_list_remove_negative();
[[noreturn]] void throw_list_remove_out_of_bounds();
[[noreturn]] void throw_copy_to_null_array();
[[noreturn]] void throw_copy_to_count();
[[noreturn]] void throw_copy_to_array_index();
[[noreturn]] void throw_copy_to_index();
[[noreturn]] void throw_collection_changed();
[[noreturn]] void throw_invalid_enumerator();
[[noreturn]] void throw_not_comparable();

// Element identity as IndexOf sees it: managed pointers by target address,
// other types by ==.
template <class T>
bool same_element(const T& a, const T& b) {
    if constexpr (is_managed_pointer_v<T>) return a.target == b.target;
    else if constexpr (std::equality_comparable<T>) return a == b;
    else throw_not_comparable();
}

} // namespace gc_detail

namespace System::Collections {

template <class T>
class TIEnumerator : public TLockableObject {
public:
    // The current element's slot; null before the first MoveNext and after
    // the end.
    virtual T* GetCurrent() = 0;
    virtual bool MoveNext() = 0;
    virtual void Reset() = 0;
};

template <class T>
class TIEnumerable : public TLockableObject {
public:
    virtual gc_ptr<TIEnumerator<T>> GetEnumerator() = 0;
};

template <class T>
class TICollection : public TIEnumerable<T> {
public:
    virtual int GetCount() = 0;
    virtual void Add(const T& item) = 0;
    virtual void Clear() = 0;
    virtual bool Contains(const T& item) = 0;
    virtual bool Remove(const T& item) = 0;
};

template <class T>
class TIList : public TICollection<T> {
public:
    virtual T GetItem(int index) = 0;
    virtual void SetItem(int index, const T& item) = 0;
    virtual T& ItemRef(int index) = 0;
    virtual int IndexOf(const T& item) = 0;
    virtual void Insert(int index, const T& item) = 0;
    virtual void RemoveAt(int index) = 0;
    virtual void CopyTo(const gc_array<T>& array) { CopyTo(0, array, 0, this->GetCount()); }
    virtual void CopyTo(const gc_array<T>& array, int arrayIndex) { CopyTo(0, array, arrayIndex, this->GetCount()); }
    virtual void CopyTo(int index, const gc_array<T>& array, int arrayIndex, int count) = 0;
};

// Indexed access to a container: reading yields the element, assigning
// stores it, both through the container's ItemRef (so a list index must be
// below the count and a dictionary key must exist). A temporary: it holds
// the container by raw pointer, kept alive by the expression it came from.
template <class C, class K, class V>
class gc_indexer {
public:
    gc_indexer(C* container, const K& key) : container_(container), key_(key) {}
    gc_indexer(const gc_indexer&) = default;

    operator V() const { return container_->ItemRef(key_); }
    V get() const { return container_->ItemRef(key_); }
    const gc_indexer& operator=(const V& value) const {
        container_->ItemRef(key_) = value;
        return *this;
    }
    const gc_indexer& operator=(const gc_indexer& other) const { return operator=(other.get()); }
    // For managed-pointer values: (*list)[i]->Member.
    auto operator->() const { return container_->ItemRef(key_).operator->(); }

private:
    C* container_;
    K key_;
};

template <class T>
class TGcList : public TIList<T> {
public:
    class TEnumerator : public TIEnumerator<T> {
    public:
        TEnumerator(TGcList* list, const gc_ptr<TGcList>& keep)
            : list_(list), keep_(keep), items_(list->items_), version_(list->version_) {}

        T* GetCurrent() override { return current_ < 0 ? nullptr : &items_.data()[current_]; }
        bool MoveNext() override {
            if (list_->version_ != version_) gc_detail::throw_collection_changed();
            if (next_ < list_->count_) {
                // AdjustCapacity may also be called on its own, without a
                // version change: follow the list to its current array.
                if (items_.data() != list_->items_.data()) items_ = list_->items_;
                current_ = next_++;
                return true;
            }
            next_ = list_->count_ + 1;
            current_ = -1;
            return false;
        }
        void Reset() override {
            if (list_->version_ != version_) gc_detail::throw_collection_changed();
            next_ = 0;
            current_ = -1;
        }

    private:
        TGcList* list_;
        gc_ptr<TGcList> keep_;
        // Keeps the slot GetCurrent handed out valid even after the list
        // has replaced its array.
        gc_array<T> items_;
        int next_ = 0;
        std::uint32_t version_;
        int current_ = -1;
    };

    TGcList() : items_(gcnew_array<T>(32)) {}

    gc_ptr<TIEnumerator<T>> GetEnumerator() override {
        if (!self_) self_ = gc_ptr<TGcList>(this);
        return gcnew<TEnumerator>(this, self_);
    }

    int GetCount() override { return count_; }

    void Add(const T& item) override {
        // A copy: `item` may be a slot of this list that AdjustCapacity replaces.
        const T value = item;
        AdjustCapacity();
        items_.data()[count_] = value;
        ++count_;
        ++version_;
    }

    void Clear() override {
        items_ = gcnew_array<T>(32);
        count_ = 0;
        ++version_;
    }

    bool Contains(const T& item) override { return IndexOf(item) >= 0; }

    bool Remove(const T& item) override {
        const int i = IndexOf(item);
        if (i < 0) return false;
        RemoveAt(i);
        return true;
    }

    // Checked against the array's length only: slots past the count read
    // as the default value.
    T GetItem(int index) override { return items_[index]; }
    void SetItem(int index, const T& item) override { items_[index] = item; }

    T& ItemRef(int index) override {
        if (index < 0) gc_detail::throw_list_index_negative();
        if (index >= count_) gc_detail::throw_list_index_out_of_bounds();
        return items_.data()[index];
    }

    int IndexOf(const T& item) override {
        const T* p = items_.data();
        for (int i = 0; i < count_; ++i)
            if (gc_detail::same_element(p[i], item)) return i;
        return -1;
    }

    void Insert(int index, const T& item) override {
        if (index < 0) gc_detail::throw_list_insert_negative();
        if (index > count_) gc_detail::throw_list_insert_out_of_bounds();
        const T value = item;
        AdjustCapacity();
        T* p = items_.data();
        for (int i = count_ - 1; i >= index; --i) p[i + 1] = p[i];
        p[index] = value;
        ++count_;
        ++version_;
    }

    void RemoveAt(int index) override {
        if (index < 0) gc_detail::throw_list_remove_negative();
        if (index >= count_) gc_detail::throw_list_remove_out_of_bounds();
        T* p = items_.data();
        for (int i = index; i < count_ - 1; ++i) p[i] = p[i + 1];
        --count_;
        p[count_] = default_; // the vacated slot must not keep its element alive
        AdjustCapacity();
        ++version_;
    }

    using TIList<T>::CopyTo;
    void CopyTo(int index, const gc_array<T>& array, int arrayIndex, int count) override {
        if (!array) gc_detail::throw_copy_to_null_array();
        const int have = GetCount();
        if (static_cast<long long>(have) - index < count) gc_detail::throw_copy_to_count();
        if (count == 0) return;
        if (arrayIndex < 0 || arrayIndex >= array.Length()) gc_detail::throw_copy_to_array_index();
        if (index < 0 || index >= have) gc_detail::throw_copy_to_index();
        for (int i = 0; i < count; ++i) array[arrayIndex + i] = GetItem(index + i);
    }

    virtual void AdjustCapacity() {
        const int length = items_.Length();
        const int wanted = gc_detail::list_capacity_after(count_, length);
        if (wanted == length) return;
        gc_array<T> fresh = gcnew_array<T>(wanted);
        const T* src = items_.data();
        T* dst = fresh.data();
        for (int i = 0; i < count_; ++i) dst[i] = src[i];
        items_ = fresh;
    }

    // Slots in the items array.
    int GetCapacity() const { return items_.Length(); }

    gc_indexer<TGcList, int, T> operator[](int index) { return gc_indexer<TGcList, int, T>(this, index); }

protected:
    gc_ptr<TGcList> self_;
    gc_array<T> items_;
    std::int32_t count_ = 0;
    T default_{};
    std::uint32_t version_ = 0;
};

// Enumerates the for-each way: a null enumerator is an error, then
// MoveNext / GetCurrent until the end. `body` gets each element's slot.
template <class E, class F>
void gc_for_each(const gc_ptr<E>& enumerable, F&& body) {
    auto enumerator = enumerable->GetEnumerator();
    if (!enumerator) gc_detail::throw_invalid_enumerator();
    while (enumerator->MoveNext()) body(*enumerator->GetCurrent());
}

} // namespace System::Collections

namespace gc_detail {

// Makes a gc_array enumerable. No version check: an array never changes
// length.
template <class T>
class TStaticArray : public System::Collections::TIEnumerable<T> {
public:
    class TEnumerator : public System::Collections::TIEnumerator<T> {
    public:
        explicit TEnumerator(const gc_array<T>& array)
            : array_(array), base_(array.data()), length_(array.Length()) {}

        T* GetCurrent() override { return current_; }
        bool MoveNext() override {
            if (next_ < length_) {
                current_ = base_ + next_++;
                return true;
            }
            return false;
        }
        void Reset() override {
            next_ = 0;
            current_ = nullptr;
        }

    private:
        gc_array<T> array_;
        T* base_;
        int length_;
        int next_ = 0;
        T* current_ = nullptr;
    };

    explicit TStaticArray(const gc_array<T>& array) : array_(array) {}

    gc_ptr<System::Collections::TIEnumerator<T>> GetEnumerator() override { return gcnew<TEnumerator>(array_); }

private:
    gc_array<T> array_;
};

} // namespace gc_detail
