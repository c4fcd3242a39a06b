#include "platform/kernel_objects.h"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "platform/before_blocking.h"
#include "platform/system.h"

// All object state lives under one lock. That makes a wait-all trivially
// atomic (every object's state is checked and consumed in one critical
// section) and keeps the signal path to "change state, walk this object's
// wait list". Each waiter sleeps on its own condition variable, linked into
// every object it waits for by a wait block on its stack, so a signal wakes
// only the waiters it satisfies, and nothing on the set/wait path allocates.

namespace platform {

enum class object_kind : std::uint8_t { event, semaphore, completion };

struct waiter;

struct wait_block {
    wait_block* prev;
    wait_block* next;
    waiter* owner;
    kernel_object* object;
    std::uint32_t index;
};

struct waiter {
    std::condition_variable cv;
    std::uint32_t count = 0;
    bool wait_all = false;
    bool done = false;          // satisfied; its blocks are already unlinked
    std::uint32_t result = 0;   // index that satisfied a wait-any
    waiter* wake_next = nullptr;
    // Set while a signaller still has to notify the cv outside the lock; the
    // waiter must not leave (and destroy the cv) before it drops.
    std::atomic<bool> wake_pending{false};
    wait_block blocks[MAXIMUM_WAIT_OBJECTS];
};

struct kernel_object {
    object_kind kind;
    bool manual_reset = false;  // events; completion handles are always manual
    bool signalled = false;     // events and completion handles
    std::int32_t count = 0;     // semaphores
    std::int32_t maximum = 0;
    std::uint32_t handles = 1;  // open handles; 0 means closed, kept alive by waiters
    wait_block* head = nullptr; // waiters, oldest first
    wait_block* tail = nullptr;
    std::u16string name;
};

namespace {

thread_local std::uint32_t t_last_error = ERROR_SUCCESS;

struct registry {
    std::mutex lock;
    // Handles are checked against this before they are touched, so a stale
    // or garbage handle fails instead of crashing.
    std::unordered_set<kernel_object*> live;
    std::unordered_map<std::u16string, kernel_object*> names;
};

// Never destroyed: threads may still signal or wait during static teardown.
registry& reg() {
    static registry* r = new registry;
    return *r;
}

using clock_type = std::chrono::steady_clock; // CLOCK_MONOTONIC

bool is_signalled(const kernel_object* o) {
    return o->kind == object_kind::semaphore ? o->count > 0 : o->signalled;
}

void consume(kernel_object* o) {
    if (o->kind == object_kind::semaphore) --o->count;
    else if (o->kind == object_kind::event && !o->manual_reset) o->signalled = false;
}

kernel_object* lookup(registry& r, HANDLE h) {
    if (h == nullptr) return nullptr;
    auto it = r.live.find(h);
    return it == r.live.end() ? nullptr : *it;
}

// Frees an object nobody can reach any more: no handle and no waiter.
void maybe_free(kernel_object* o) {
    if (o->handles == 0 && o->head == nullptr) delete o;
}

void link(wait_block* b) {
    kernel_object* o = b->object;
    b->next = nullptr;
    b->prev = o->tail;
    if (o->tail) o->tail->next = b;
    else o->head = b;
    o->tail = b;
}

void unlink(wait_block* b) {
    kernel_object* o = b->object;
    if (b->prev) b->prev->next = b->next;
    else o->head = b->next;
    if (b->next) b->next->prev = b->prev;
    else o->tail = b->prev;
}

// Waiters satisfied under the lock, notified once it is released so that
// they do not wake only to block on it.
struct wake_list {
    waiter* first = nullptr;

    void flush() {
        waiter* w = first;
        first = nullptr;
        while (w) {
            waiter* next = w->wake_next;
            w->cv.notify_one();
            w->wake_pending.store(false, std::memory_order_release);
            w = next; // w may be gone from here on
        }
    }
};

// Marks w satisfied and unlinks all its blocks. w's blocks on `current`
// are adjacent (they were linked in one go), so the caller's cursor into
// that list is first moved past them.
void finish(waiter* w, wait_block*& cursor, const kernel_object* current, wake_list& wl) {
    while (cursor && cursor->owner == w) cursor = cursor->next;
    for (std::uint32_t i = 0; i < w->count; ++i) {
        wait_block* b = &w->blocks[i];
        unlink(b);
        if (b->object != current) maybe_free(b->object);
    }
    w->done = true;
    w->wake_pending.store(true, std::memory_order_relaxed);
    w->wake_next = wl.first;
    wl.first = w;
}

bool all_signalled(const waiter* w) {
    for (std::uint32_t i = 0; i < w->count; ++i)
        if (!is_signalled(w->blocks[i].object)) return false;
    return true;
}

// `o` has just become signalled: hand it to its waiters in arrival order
// for as long as it stays signalled. A wait-all that cannot complete does
// not hold the object back from the waiters behind it.
void satisfy_waiters(kernel_object* o, wake_list& wl) {
    wait_block* b = o->head;
    while (b && is_signalled(o)) {
        wait_block* next = b->next;
        waiter* w = b->owner;
        if (!w->wait_all) {
            w->result = b->index;
            consume(o);
            finish(w, next, o, wl);
        } else if (all_signalled(w)) {
            for (std::uint32_t i = 0; i < w->count; ++i) consume(w->blocks[i].object);
            w->result = 0;
            finish(w, next, o, wl);
        }
        b = next;
    }
}

// Signals `o` the way SignalObjectAndWait does; false with the error set.
bool signal_one(kernel_object* o, wake_list& wl) {
    switch (o->kind) {
    case object_kind::event:
        o->signalled = true;
        break;
    case object_kind::semaphore:
        if (o->count >= o->maximum) {
            SetLastError(ERROR_TOO_MANY_POSTS);
            return false;
        }
        ++o->count;
        break;
    case object_kind::completion:
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    satisfy_waiters(o, wl);
    return true;
}

// Checks and, if possible, satisfies a wait on the spot. Returns the
// WAIT_OBJECT_0 + index result or WAIT_TIMEOUT when it has to block.
std::uint32_t try_now(kernel_object* const* objs, std::uint32_t n, bool wait_all) {
    if (wait_all) {
        for (std::uint32_t i = 0; i < n; ++i)
            if (!is_signalled(objs[i])) return WAIT_TIMEOUT;
        for (std::uint32_t i = 0; i < n; ++i) consume(objs[i]);
        return WAIT_OBJECT_0;
    }
    for (std::uint32_t i = 0; i < n; ++i) {
        if (is_signalled(objs[i])) {
            consume(objs[i]);
            return WAIT_OBJECT_0 + i;
        }
    }
    return WAIT_TIMEOUT;
}

// Runs with the lock held by `lk` and objects already validated; `wl` holds
// wake-ups from a signal made in the same critical section.
std::uint32_t wait_locked(std::unique_lock<std::mutex>& lk, kernel_object* const* objs,
                          std::uint32_t n, bool wait_all, std::uint32_t timeout_ms, wake_list& wl) {
    std::uint32_t now_result = try_now(objs, n, wait_all);
    if (now_result != WAIT_TIMEOUT || timeout_ms == 0) {
        lk.unlock();
        wl.flush();
        return now_result;
    }

    if (t_before_blocking) {
        // Work this thread held back goes to others before it sleeps.
        lk.unlock();
        before_blocking();
        lk.lock();
        now_result = try_now(objs, n, wait_all);
        if (now_result != WAIT_TIMEOUT) {
            lk.unlock();
            wl.flush();
            return now_result;
        }
    }

    const bool infinite = timeout_ms == INFINITE;
    const auto deadline = clock_type::now() + std::chrono::milliseconds(infinite ? 0 : timeout_ms);

    waiter w;
    w.count = n;
    w.wait_all = wait_all;
    for (std::uint32_t i = 0; i < n; ++i) {
        wait_block* b = &w.blocks[i];
        b->owner = &w;
        b->object = objs[i];
        b->index = i;
        link(b);
    }
    if (wl.first) {
        lk.unlock();
        wl.flush();
        lk.lock();
    }

    {
        // Not a cancellation point: the waits are noexcept, so a
        // cancellation unwinding out of the condition wait would end the
        // process. A pending cancellation acts at the thread's next
        // cancellation point outside the library.
        int cancel_state;
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancel_state);
        while (!w.done) {
            if (infinite) {
                w.cv.wait(lk);
            } else if (w.cv.wait_until(lk, deadline) == std::cv_status::timeout && !w.done) {
                break;
            }
        }
        pthread_setcancelstate(cancel_state, nullptr);
    }

    if (w.done) {
        lk.unlock();
        while (w.wake_pending.load(std::memory_order_acquire)) yield_processor();
        return wait_all ? WAIT_OBJECT_0 : WAIT_OBJECT_0 + w.result;
    }
    for (std::uint32_t i = 0; i < n; ++i) {
        unlink(&w.blocks[i]);
        maybe_free(w.blocks[i].object);
    }
    return WAIT_TIMEOUT;
}

std::u16string_view name_of(const char16_t* name) {
    if (name == nullptr) return {};
    return std::u16string_view(name);
}

// Creates an object or opens the one holding `name`; null on failure.
HANDLE create_object(object_kind kind, const char16_t* name_ptr, void (*init)(kernel_object*, const void*),
                     const void* args) noexcept {
    registry& r = reg();
    std::u16string_view name = name_of(name_ptr);
    try {
        std::lock_guard<std::mutex> g(r.lock);
        if (!name.empty()) {
            auto it = r.names.find(std::u16string(name));
            if (it != r.names.end()) {
                kernel_object* o = it->second;
                if (o->kind != kind) {
                    SetLastError(ERROR_INVALID_HANDLE_TYPE);
                    return nullptr;
                }
                ++o->handles;
                SetLastError(ERROR_ALREADY_EXISTS);
                return o;
            }
        }
        auto* o = new kernel_object;
        o->kind = kind;
        init(o, args);
        r.live.insert(o);
        if (!name.empty()) {
            try {
                o->name = name;
                r.names.emplace(o->name, o);
            } catch (...) {
                r.live.erase(o);
                delete o;
                throw;
            }
        }
        SetLastError(ERROR_SUCCESS);
        return o;
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

} // namespace

std::uint32_t GetLastError() noexcept { return t_last_error; }
void SetLastError(std::uint32_t code) noexcept { t_last_error = code; }

HANDLE CreateEventW(bool manual_reset, bool initial_state, const char16_t* name) noexcept {
    struct args_t { bool manual, initial; } args{manual_reset, initial_state};
    return create_object(
        object_kind::event, name,
        [](kernel_object* o, const void* p) {
            auto* a = static_cast<const args_t*>(p);
            o->manual_reset = a->manual;
            o->signalled = a->initial;
        },
        &args);
}

HANDLE OpenEventW(const char16_t* name_ptr) noexcept {
    std::u16string_view name = name_of(name_ptr);
    if (name.empty()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    registry& r = reg();
    try {
        std::lock_guard<std::mutex> g(r.lock);
        auto it = r.names.find(std::u16string(name));
        if (it == r.names.end()) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return nullptr;
        }
        if (it->second->kind != object_kind::event) {
            SetLastError(ERROR_INVALID_HANDLE_TYPE);
            return nullptr;
        }
        ++it->second->handles;
        return it->second;
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

bool SetEvent(HANDLE h) noexcept {
    registry& r = reg();
    wake_list wl;
    {
        std::lock_guard<std::mutex> g(r.lock);
        kernel_object* o = lookup(r, h);
        if (!o || o->kind != object_kind::event) {
            SetLastError(ERROR_INVALID_HANDLE);
            return false;
        }
        if (!o->signalled) {
            o->signalled = true;
            satisfy_waiters(o, wl);
        }
    }
    wl.flush();
    return true;
}

bool ResetEvent(HANDLE h) noexcept {
    registry& r = reg();
    std::lock_guard<std::mutex> g(r.lock);
    kernel_object* o = lookup(r, h);
    if (!o || o->kind != object_kind::event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    o->signalled = false;
    return true;
}

HANDLE CreateSemaphoreW(std::int32_t initial, std::int32_t maximum, const char16_t* name) noexcept {
    if (maximum <= 0 || initial < 0 || initial > maximum) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    struct args_t { std::int32_t initial, maximum; } args{initial, maximum};
    return create_object(
        object_kind::semaphore, name,
        [](kernel_object* o, const void* p) {
            auto* a = static_cast<const args_t*>(p);
            o->count = a->initial;
            o->maximum = a->maximum;
        },
        &args);
}

bool ReleaseSemaphore(HANDLE h, std::int32_t count, std::int32_t* previous) noexcept {
    registry& r = reg();
    wake_list wl;
    {
        std::lock_guard<std::mutex> g(r.lock);
        kernel_object* o = lookup(r, h);
        if (!o || o->kind != object_kind::semaphore) {
            SetLastError(ERROR_INVALID_HANDLE);
            return false;
        }
        if (count <= 0) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return false;
        }
        if (static_cast<std::int64_t>(o->count) + count > o->maximum) {
            SetLastError(ERROR_TOO_MANY_POSTS);
            return false;
        }
        if (previous) *previous = o->count;
        o->count += count;
        satisfy_waiters(o, wl);
    }
    wl.flush();
    return true;
}

std::uint32_t WaitForSingleObject(HANDLE h, std::uint32_t timeout_ms) noexcept {
    return WaitForMultipleObjects(1, &h, false, timeout_ms);
}

std::uint32_t WaitForMultipleObjects(std::uint32_t count, const HANDLE* handles, bool wait_all,
                                     std::uint32_t timeout_ms) noexcept {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    registry& r = reg();
    std::unique_lock<std::mutex> lk(r.lock);
    for (std::uint32_t i = 0; i < count; ++i) {
        if (!lookup(r, handles[i])) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
    }
    if (wait_all) {
        // One object twice cannot be consumed "together" with itself.
        for (std::uint32_t i = 1; i < count; ++i)
            for (std::uint32_t j = 0; j < i; ++j)
                if (handles[i] == handles[j]) {
                    SetLastError(ERROR_INVALID_PARAMETER);
                    return WAIT_FAILED;
                }
    }
    wake_list wl;
    return wait_locked(lk, handles, count, wait_all, timeout_ms, wl);
}

std::uint32_t SignalObjectAndWait(HANDLE to_signal, HANDLE to_wait, std::uint32_t timeout_ms,
                                  bool alertable) noexcept {
    (void)alertable; // there are no APCs to deliver
    registry& r = reg();
    std::unique_lock<std::mutex> lk(r.lock);
    kernel_object* s = lookup(r, to_signal);
    kernel_object* w = lookup(r, to_wait);
    if (!s || !w) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    wake_list wl;
    if (!signal_one(s, wl)) return WAIT_FAILED;
    return wait_locked(lk, &w, 1, false, timeout_ms, wl);
}

bool CloseHandle(HANDLE h) noexcept {
    registry& r = reg();
    std::lock_guard<std::mutex> g(r.lock);
    kernel_object* o = lookup(r, h);
    if (!o) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    if (--o->handles == 0) {
        r.live.erase(o);
        if (!o->name.empty()) r.names.erase(o->name);
        maybe_free(o);
    }
    return true;
}

bool DuplicateHandle(HANDLE source, HANDLE* target) noexcept {
    registry& r = reg();
    std::lock_guard<std::mutex> g(r.lock);
    kernel_object* o = lookup(r, source);
    if (!o) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    if (target == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    ++o->handles;
    *target = o;
    return true;
}

std::uint32_t WaitingThreadCount(HANDLE h) noexcept {
    registry& r = reg();
    std::lock_guard<std::mutex> g(r.lock);
    kernel_object* o = lookup(r, h);
    if (!o) return 0;
    std::uint32_t n = 0;
    for (wait_block* b = o->head; b; b = b->next)
        if (!b->prev || b->prev->owner != b->owner) ++n; // one waiter's blocks are adjacent
    return n;
}

HANDLE CreateCompletionHandle() noexcept {
    return create_object(
        object_kind::completion, nullptr, [](kernel_object* o, const void*) { o->manual_reset = true; }, nullptr);
}

void SignalCompletionHandle(HANDLE h) noexcept {
    registry& r = reg();
    wake_list wl;
    {
        std::lock_guard<std::mutex> g(r.lock);
        kernel_object* o = lookup(r, h);
        if (!o || o->kind != object_kind::completion || o->signalled) return;
        o->signalled = true;
        satisfy_waiters(o, wl);
    }
    wl.flush();
}

void kernel_objects_fork_prepare() noexcept { reg().lock.lock(); }
void kernel_objects_fork_parent() noexcept { reg().lock.unlock(); }
void kernel_objects_fork_child() noexcept { reg().lock.unlock(); }

} // namespace platform
