// The end of the collector's life: the program's exit procedure, the
// settling collections, and the state flags the rest of the library reads.
#pragma once

namespace gc_detail {

class gc_finalizer {
public:
    // The program's exit procedure: ends the thread pools, then Terminate.
    // Does nothing once terminated or after a fatal error.
    static void ExitProc();
    // Runs once: stops the marking workers and the collector's thread,
    // destroys the library settings, then collects until the heap settles.
    static void Terminate();
    static bool IsTerminated() noexcept;
    // A fatal error was reported: exit and unload leave the heap alone.
    static bool IsAbnormalTermination() noexcept;

    // What the layers above the collector contribute to the shutdown; each
    // is installed by that layer's start-up.
    using hook = void (*)();
    static void SetThreadPoolsTerminator(hook fn) noexcept; // ExitProc, first
    static void SetHelperThreadTerminator(hook fn) noexcept; // stops the helper and collector threads
    static void SetSettingsDestroyer(hook fn) noexcept;

    // Start-up clears the flags.
    static void Reset() noexcept;
};

} // namespace gc_detail
