// The collector's own thread. The library's helper thread (one layer up)
// creates it and starts it at Initialize; the collection policy supplies
// the procedure it runs. This block is all the two share, so the collector
// side never needs to see the helper's class.
#pragma once
#include <atomic>
#include <cstdint>

namespace gc_detail {

struct collector_thread_control {
    std::atomic<bool> running{false};         // the thread has started its procedure
    std::atomic<bool> terminated{false};      // the owner is stopping: the procedure returns
    std::atomic<bool> app_terminating{false}; // the program is ending: shorter policy intervals
    std::atomic<bool> request_pending{false};
    std::atomic<int> requested_generation{0};
    std::atomic<std::uint64_t> checks{0};     // policy checks run so far

    // A collection request (the last generation asked wins), then a wake-up.
    void request(int generation) noexcept;
    // Reads and clears a pending request.
    bool take_request(int& generation) noexcept;
    // Sleeps up to ms milliseconds; returns early on a request, on stop or
    // on a wake() since the count was read (wake_count(), taken before
    // whatever may wake it is armed).
    void wait(unsigned ms) noexcept { wait(ms, wake_count()); }
    void wait(unsigned ms, std::uint32_t seen) noexcept;
    std::uint32_t wake_count() const noexcept { return wakes_.load(std::memory_order_acquire); }
    // Ends a wait early. Takes no lock: allocating threads call it.
    void wake() noexcept;
    // Sets terminated and wakes the procedure.
    void stop() noexcept;

private:
    std::atomic<std::uint32_t> wakes_{0};
};

using collector_thread_proc = void (*)(collector_thread_control& control);

// The procedure started at the helper's Initialize; set it before then.
// Null restores the default, which collects each request as it arrives.
void set_collector_thread_proc(collector_thread_proc fn) noexcept;
collector_thread_proc get_collector_thread_proc() noexcept;
void default_collector_thread_proc(collector_thread_control& control);

// The live helper's block (null while no helper exists).
collector_thread_control* current_collector_thread() noexcept;
void set_current_collector_thread(collector_thread_control* control) noexcept;

} // namespace gc_detail
