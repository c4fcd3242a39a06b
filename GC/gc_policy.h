// When collections run. The collector's thread polls a policy object every
// millisecond: the desktop/server policy collects young objects when the
// heap has grown and escalates to older generations as survivors pile up;
// the embedded policy always collects everything.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace gc_detail {

struct collector_thread_control;

// The collector thread's procedure: writes the mode to the debugger output,
// then every millisecond hands a pending request to the policy and runs its
// check, until the owner stops it; while the heap does not change it sleeps
// longer (up to collector_idle_wait_ms), woken by a request or by threads
// allocating again. The thread is not scanned and does not wait at the stop
// barrier.
inline constexpr unsigned collector_idle_wait_ms = 128;
void GcThreadProc(collector_thread_control& control);

// What a policy acts on; the defaults are the collector's own. Tests pass
// their own to drive a policy step by step.
struct gc_policy_services {
    std::uint64_t (*collect)(int generation); // live bytes after it, or collect_busy
    std::uint64_t (*allocated_bytes)();       // live managed bytes now
    std::uint32_t (*tick_count)();            // milliseconds, wrapping
};
gc_policy_services default_policy_services() noexcept;

class TAsyncGcManager {
public:
    // appTerminating: the owner's flag; once set, the policies collect at
    // shorter intervals.
    TAsyncGcManager(const std::atomic<bool>& appTerminating, const gc_policy_services& services) noexcept
        : appTerminating_(appTerminating), services_(services) {}
    virtual ~TAsyncGcManager() = default;
    TAsyncGcManager(const TAsyncGcManager&) = delete;
    TAsyncGcManager& operator=(const TAsyncGcManager&) = delete;

    // The periodic check: collects when the policy says so.
    virtual void Check() = 0;

    void Request(int generation) noexcept {
        requestedGeneration_ = generation;
        requestPending_ = true;
    }

protected:
    bool TakeRequest(int& generation) noexcept {
        if (!requestPending_) return false;
        requestPending_ = false;
        generation = requestedGeneration_;
        return true;
    }
    bool AppTerminating() const noexcept { return appTerminating_.load(std::memory_order_acquire); }

    const std::atomic<bool>& appTerminating_;
    gc_policy_services services_;
    std::int32_t requestedGeneration_ = 0;
    bool requestPending_ = false;
};

// Desktop / server: generation 1 when the heap grew by 2 MiB plus a quarter
// of the live bytes (at most 25 MiB more); generation 2 next when young
// collections left more than the last older one by the same measure of its
// size; generation 3 next when a generation-2 collection left that much
// more than the last full one; generation 3 at least every 30 s (3 s once
// the program is ending).
class TAsyncGcManagerFull : public TAsyncGcManager {
public:
    TAsyncGcManagerFull(const std::atomic<bool>& appTerminating,
                        const gc_policy_services& services = default_policy_services()) noexcept;
    void Check() override;

    int NextGeneration() const noexcept { return nextGeneration_; }

private:
    void CollectGeneration(int generation);

    float liveAfterAny_;
    float liveAfter2_;
    float liveAfter3_;
    std::uint32_t lastTick_;
    std::int32_t nextGeneration_ = 1;
};

// Embedded: every collection is a full one, when the heap grew by 64 KiB
// and either by 256 KiB or by 5 %, on request, and at least every 30 s
// (500 ms once the program is ending).
class TAsyncGcManagerEmbedded : public TAsyncGcManager {
public:
    TAsyncGcManagerEmbedded(const std::atomic<bool>& appTerminating,
                            const gc_policy_services& services = default_policy_services()) noexcept;
    void Check() override;

private:
    void CollectAll();

    std::uint64_t lastLive_;
    std::uint32_t lastTick_;
};

// Durations of the collections the policies ran (nanoseconds from the start
// of a collection to the end of its finalizers and destructors: the longest
// a mutator can wait at the stop barrier), kept for the last 65 536.
struct gc_pause_log {
    static void record(int generation, std::uint64_t nanoseconds) noexcept;
    // Copies up to max entries, oldest first; returns how many.
    static std::size_t snapshot(std::uint64_t* out, std::size_t max) noexcept;
    static std::uint64_t total_count() noexcept;
    // Collections of one generation (1 to 3) recorded so far.
    static std::uint64_t count(int generation) noexcept;
    static void reset() noexcept;
};

} // namespace gc_detail
