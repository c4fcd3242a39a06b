// An insertion-ordered list of raw pointers with a hash index from pointer
// to node: membership tests and removal take constant time, and a walk may
// remove the element it stands on. The count is kept with atomic updates so
// that it can be read without the lock; everything else is done under it.
#pragma once
#include <atomic>
#include <list>
#include <unordered_map>
#include <vector>

#include "core/CritSectEx.h"

namespace System::Threading {

template <class T>
class TLockableHashedList;

template <class T>
class TLockableHashedList<T*> {
public:
    TLockableHashedList() = default;
    TLockableHashedList(const TLockableHashedList&) = delete;
    TLockableHashedList& operator=(const TLockableHashedList&) = delete;

    FastCriticalSection::CritSectEx& Lock() noexcept { return lock_; }

    // The operations below expect the caller to hold Lock().
    bool Contains(T* item) const { return index_.find(item) != index_.end(); }
    // Appends an absent item; false when it was listed already.
    bool Add(T* item) {
        if (Contains(item)) return false;
        items_.push_back(item);
        index_.emplace(item, std::prev(items_.end()));
        count_.fetch_add(1, std::memory_order_relaxed);
        return true;
    }
    bool Remove(T* item) {
        auto it = index_.find(item);
        if (it == index_.end()) return false;
        items_.erase(it->second);
        index_.erase(it);
        count_.fetch_sub(1, std::memory_order_relaxed);
        return true;
    }
    void Clear() {
        items_.clear();
        index_.clear();
        count_.store(0, std::memory_order_relaxed);
    }
    // Calls f(item) in list order; f may remove the item it is given.
    template <class F>
    void ForEach(F&& f) {
        for (auto it = items_.begin(); it != items_.end();) {
            T* item = *it++;
            f(item);
        }
    }
    std::vector<T*> Snapshot() const { return std::vector<T*>(items_.begin(), items_.end()); }

    // Readable without the lock.
    int Count() const noexcept { return count_.load(std::memory_order_relaxed); }

private:
    FastCriticalSection::CritSectEx lock_;
    std::list<T*> items_;
    std::unordered_map<T*, typename std::list<T*>::iterator> index_;
    std::atomic<int> count_{0};
};

} // namespace System::Threading
