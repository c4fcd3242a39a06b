#include "GC/collector_thread.h"

#include <chrono>

#include "GC/collector.h"

namespace gc_detail {

namespace {
std::atomic<collector_thread_proc> g_proc{nullptr};
std::atomic<collector_thread_control*> g_current{nullptr};
} // namespace

void collector_thread_control::request(int generation) noexcept {
    requested_generation.store(generation, std::memory_order_relaxed);
    {
        std::lock_guard<std::mutex> g(m_);
        request_pending.store(true, std::memory_order_release);
    }
    cv_.notify_all();
}

bool collector_thread_control::take_request(int& generation) noexcept {
    if (!request_pending.exchange(false, std::memory_order_acq_rel)) return false;
    generation = requested_generation.load(std::memory_order_relaxed);
    return true;
}

void collector_thread_control::wait(unsigned ms) noexcept {
    std::unique_lock<std::mutex> g(m_);
    cv_.wait_for(g, std::chrono::milliseconds(ms), [this] {
        return request_pending.load(std::memory_order_acquire) || terminated.load(std::memory_order_acquire);
    });
}

void collector_thread_control::stop() noexcept {
    {
        std::lock_guard<std::mutex> g(m_);
        terminated.store(true, std::memory_order_release);
    }
    cv_.notify_all();
}

void default_collector_thread_proc(collector_thread_control& c) {
    while (!c.terminated.load(std::memory_order_acquire)) {
        c.wait(1000);
        int generation;
        if (c.take_request(generation)) collect(generation);
    }
}

void set_collector_thread_proc(collector_thread_proc fn) noexcept { g_proc.store(fn); }
collector_thread_proc get_collector_thread_proc() noexcept {
    collector_thread_proc p = g_proc.load();
    return p ? p : &default_collector_thread_proc;
}

collector_thread_control* current_collector_thread() noexcept { return g_current.load(); }
void set_current_collector_thread(collector_thread_control* c) noexcept { g_current.store(c); }

} // namespace gc_detail
