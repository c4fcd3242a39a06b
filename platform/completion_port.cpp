#include "platform/completion_port.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "platform/before_blocking.h"
#include "platform/system.h"

namespace platform {

namespace {

struct packet {
    std::uint32_t bytes;
    std::uint32_t error;
    std::uintptr_t key;
    OVERLAPPED* overlapped;
};

// A thread asleep on the port, on its own stack. The poster hands the packet
// over directly and wakes exactly this thread.
struct waiter {
    waiter* next;
    std::atomic<std::uint32_t> state; // 0 waiting, 1 packet handed over, 2 port closed
    packet pkt;
};

constexpr std::uint32_t kMagic = 0x50434F49; // "IOCP"
constexpr std::uint32_t kInitialRing = 256;

void futex_wake_one(std::atomic<std::uint32_t>* word) noexcept {
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

// Waits while *word == 0, up to an absolute CLOCK_MONOTONIC deadline (null:
// for ever). Returns false on time-out.
bool futex_wait_zero(std::atomic<std::uint32_t>* word, const timespec* deadline) noexcept {
    while (word->load(std::memory_order_acquire) == 0) {
        long r = syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), FUTEX_WAIT_BITSET_PRIVATE, 0u, deadline,
                         nullptr, FUTEX_BITSET_MATCH_ANY);
        if (r == -1 && errno == ETIMEDOUT) return word->load(std::memory_order_acquire) != 0;
    }
    return true;
}

std::atomic<handle_associator> g_associator{nullptr};

} // namespace

struct completion_port {
    std::uint32_t magic = kMagic;
    std::mutex lock;
    bool closed = false;
    std::uint32_t concurrency;
    std::uint32_t active = 0;  // threads running a packet of this port
    std::uint32_t refs = 0;    // threads inside a wait or holding a running slot
    std::uint32_t sleeping = 0;
    waiter* waiters = nullptr; // stack: the last to wait is woken first
    packet* ring;
    std::uint32_t capacity;
    std::uint32_t head = 0;    // next packet out
    std::uint32_t count = 0;

    explicit completion_port(std::uint32_t conc) : concurrency(conc) {
        ring = static_cast<packet*>(std::malloc(sizeof(packet) * kInitialRing));
        capacity = ring ? kInitialRing : 0;
    }
    ~completion_port() {
        magic = 0;
        std::free(ring);
    }

    bool push(const packet& p) noexcept {
        if (count == capacity) {
            // Grows only when the queue is longer than ever before: the
            // steady state reuses the ring.
            const std::uint32_t ncap = capacity ? capacity * 2 : kInitialRing;
            auto* n = static_cast<packet*>(std::malloc(sizeof(packet) * ncap));
            if (!n) return false;
            for (std::uint32_t i = 0; i < count; ++i) n[i] = ring[(head + i) % capacity];
            std::free(ring);
            ring = n;
            capacity = ncap;
            head = 0;
        }
        ring[(head + count) % capacity] = p;
        ++count;
        return true;
    }
    packet pop() noexcept {
        packet p = ring[head];
        head = (head + 1) % capacity;
        --count;
        return p;
    }
    void unlink(waiter* w) noexcept {
        for (waiter** pp = &waiters; *pp; pp = &(*pp)->next)
            if (*pp == w) {
                *pp = w->next;
                return;
            }
    }
};

namespace {

// The port a thread is running a packet of: its slot counts against the
// concurrency value until the thread waits on the port again or ends.
struct running_slot {
    completion_port* port = nullptr;
    ~running_slot();
};
thread_local running_slot t_slot;

// The port whose queue holds packets this thread kept for itself (see
// post_own_completion); null when it keeps none.
thread_local completion_port* t_kept = nullptr;

// Hands queued packets to sleeping threads while running slots are free.
// Called under the port lock; wakes under it (rare paths only).
void dispatch_locked(completion_port* p) noexcept {
    while (p->count && p->waiters && p->active < p->concurrency) {
        waiter* w = p->waiters;
        p->waiters = w->next;
        --p->sleeping;
        w->pkt = p->pop();
        ++p->active;
        ++p->refs; // the slot the woken thread will hold
        w->state.store(1, std::memory_order_release);
        futex_wake_one(&w->state);
    }
}

// Drops a reference under the lock; true when the caller must free the port.
bool release_locked(completion_port* p) noexcept { return --p->refs == 0 && p->closed; }

// Gives the thread's running slot back (it waits again, moves to another
// port, or ends).
void release_slot(running_slot& slot) noexcept {
    completion_port* p = slot.port;
    if (!p) return;
    slot.port = nullptr;
    if (t_kept == p) {
        t_kept = nullptr;
        t_before_blocking = nullptr;
    }
    bool free_it;
    {
        std::lock_guard<std::mutex> g(p->lock);
        --p->active;
        dispatch_locked(p);
        free_it = release_locked(p);
    }
    if (free_it) delete p;
}

running_slot::~running_slot() { release_slot(*this); }

bool valid(completion_port* p) noexcept { return p && p->magic == kMagic; }

void fill(const packet& pk, std::uint32_t* bytes, std::uintptr_t* key, OVERLAPPED** ov) noexcept {
    if (bytes) *bytes = pk.bytes;
    if (key) *key = pk.key;
    if (ov) *ov = pk.overlapped;
}

} // namespace

void set_handle_associator(handle_associator fn) noexcept { g_associator.store(fn, std::memory_order_release); }

completion_port* CreateIoCompletionPort(void* file, completion_port* existing, std::uintptr_t key,
                                        std::uint32_t concurrency) noexcept {
    if (file == INVALID_HANDLE_VALUE) {
        if (existing) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        auto* p = new (std::nothrow) completion_port(concurrency ? concurrency : processor_count());
        if (!p || !p->ring) {
            delete p;
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        return p;
    }
    if (!valid(existing)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    handle_associator fn = g_associator.load(std::memory_order_acquire);
    if (!fn) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return fn(file, existing, key) ? existing : nullptr;
}

bool GetQueuedCompletionStatus(completion_port* p, std::uint32_t* bytes, std::uintptr_t* key,
                               OVERLAPPED** overlapped, std::uint32_t timeout_ms) noexcept {
    if (overlapped) *overlapped = nullptr;
    if (!valid(p)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    // A thread runs packets of one port at a time, as it waits on one.
    if (t_slot.port && t_slot.port != p) release_slot(t_slot);
    waiter w;
    {
        std::unique_lock<std::mutex> g(p->lock);
        bool released = false;
        if (t_slot.port == p) {
            // Coming back for more: this thread no longer runs a packet.
            t_slot.port = nullptr;
            --p->active;
            --p->refs;
            released = true;
        }
        // What it kept is now in the queue it takes from.
        const bool kept = t_kept == p;
        if (kept) {
            t_kept = nullptr;
            t_before_blocking = nullptr;
        }
        if (p->closed) {
            const bool free_it = released && p->refs == 0;
            g.unlock();
            if (free_it) delete p;
            SetLastError(ERROR_INVALID_HANDLE);
            return false;
        }
        if (p->count && p->active < p->concurrency) {
            const packet pk = p->pop();
            ++p->active;
            ++p->refs;
            t_slot.port = p;
            // More than one kept packet: the others go to sleeping threads.
            if (kept) dispatch_locked(p);
            g.unlock();
            fill(pk, bytes, key, overlapped);
            if (pk.error) SetLastError(pk.error);
            return pk.error == 0;
        }
        if (timeout_ms == 0) {
            SetLastError(WAIT_TIMEOUT);
            return false;
        }
        w.next = p->waiters;
        w.state.store(0, std::memory_order_relaxed);
        p->waiters = &w;
        ++p->sleeping;
        ++p->refs;
    }

    timespec deadline{};
    if (timeout_ms != INFINITE) {
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        deadline.tv_sec += timeout_ms / 1000;
        deadline.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000L;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_nsec -= 1000000000L;
            ++deadline.tv_sec;
        }
    }
    futex_wait_zero(&w.state, timeout_ms == INFINITE ? nullptr : &deadline);

    bool free_it = false;
    std::uint32_t state;
    {
        std::lock_guard<std::mutex> g(p->lock);
        state = w.state.load(std::memory_order_acquire);
        if (state == 0) {
            // Timed out with nothing handed over; a packet handed over in
            // the meantime is taken instead.
            p->unlink(&w);
            --p->sleeping;
        }
        if (state == 1) t_slot.port = p; // the poster counted the slot for us
        free_it = release_locked(p);
    }
    if (free_it) delete p;
    if (state == 1) {
        fill(w.pkt, bytes, key, overlapped);
        if (w.pkt.error) SetLastError(w.pkt.error);
        return w.pkt.error == 0;
    }
    SetLastError(state == 2 ? ERROR_ABANDONED_WAIT_0 : WAIT_TIMEOUT);
    return false;
}

namespace {

// Hands the packets this thread kept to sleeping threads: it is about to
// block and cannot take them itself.
void hand_over_kept() noexcept {
    completion_port* p = t_kept;
    t_before_blocking = nullptr;
    t_kept = nullptr;
    if (!p) return;
    std::lock_guard<std::mutex> g(p->lock); // alive: the thread's running slot holds a reference
    dispatch_locked(p);
}

thread_local bool t_hold_wakes = false;
constexpr int kHeldWakes = 32;
thread_local std::atomic<std::uint32_t>* t_held[kHeldWakes];
thread_local int t_held_count = 0;

// Hands the packet to the thread that waited last, or queues it. A kept
// packet is queued without waking anyone: the posting thread takes it when
// it waits on the port again.
bool deliver(completion_port* p, const packet& pk, bool keep = false) noexcept {
    waiter* wake = nullptr;
    {
        std::lock_guard<std::mutex> g(p->lock);
        if (p->closed) {
            SetLastError(ERROR_INVALID_HANDLE);
            return false;
        }
        if (keep) {
            if (!p->push(pk)) {
                SetLastError(ERROR_NOT_ENOUGH_MEMORY);
                return false;
            }
            t_kept = p;
            t_before_blocking = &hand_over_kept;
            return true;
        }
        if (p->waiters && p->active < p->concurrency) {
            wake = p->waiters;
            p->waiters = wake->next;
            --p->sleeping;
            wake->pkt = pk;
            ++p->active;
            ++p->refs;
            wake->state.store(1, std::memory_order_release);
        } else if (!p->push(pk)) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return false;
        }
    }
    // After the unlock: the woken thread needs the lock at once. Its record
    // may be gone by now; a wake on a stale address is harmless.
    if (wake) {
        if (t_hold_wakes && t_held_count < kHeldWakes) t_held[t_held_count++] = &wake->state;
        else futex_wake_one(&wake->state);
    }
    return true;
}

} // namespace

namespace {
bool post_packet(completion_port* p, std::uint32_t bytes, std::uintptr_t key, OVERLAPPED* overlapped,
                 std::uint32_t error, bool keep) noexcept {
    if (!valid(p)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    overlapped->Internal = error;
    overlapped->InternalHigh = bytes;
    return deliver(p, packet{bytes, error, key, overlapped}, keep);
}
} // namespace

bool post_io_completion(completion_port* p, std::uint32_t bytes, std::uintptr_t key, OVERLAPPED* overlapped,
                        std::uint32_t error) noexcept {
    return post_packet(p, bytes, key, overlapped, error, false);
}

bool post_own_completion(completion_port* p, std::uint32_t bytes, std::uintptr_t key, OVERLAPPED* overlapped,
                         std::uint32_t error) noexcept {
    // Only a thread running a packet of this port comes back to it.
    return post_packet(p, bytes, key, overlapped, error, t_slot.port == p);
}

bool PostQueuedCompletionStatus(completion_port* p, std::uint32_t bytes, std::uintptr_t key,
                                OVERLAPPED* overlapped) noexcept {
    if (!valid(p)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    // A posted packet is delivered as it is: its OVERLAPPED is not touched.
    return deliver(p, packet{bytes, 0, key, overlapped});
}

void hold_wakes(bool on) noexcept {
    if (!on) flush_held_wakes();
    t_hold_wakes = on;
}

void flush_held_wakes() noexcept {
    for (int i = 0; i < t_held_count; ++i) futex_wake_one(t_held[i]);
    t_held_count = 0;
}

bool CloseCompletionPort(completion_port* p) noexcept {
    if (!valid(p)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    bool free_it;
    {
        std::lock_guard<std::mutex> g(p->lock);
        if (p->closed) {
            SetLastError(ERROR_INVALID_HANDLE);
            return false;
        }
        p->closed = true;
        while (waiter* w = p->waiters) {
            p->waiters = w->next;
            --p->sleeping;
            w->state.store(2, std::memory_order_release);
            futex_wake_one(&w->state);
        }
        p->count = 0;
        free_it = p->refs == 0;
    }
    if (free_it) delete p;
    return true;
}

std::uint32_t queued_packet_count(completion_port* p) noexcept {
    if (!valid(p)) return 0;
    std::lock_guard<std::mutex> g(p->lock);
    return p->count;
}

std::uint32_t waiting_thread_count(completion_port* p) noexcept {
    if (!valid(p)) return 0;
    std::lock_guard<std::mutex> g(p->lock);
    return p->sleeping;
}

} // namespace platform
