// Kernel objects and waits: events (manual and auto reset, optionally named
// within the process), semaphores, and the handles that stand for threads
// and processes, with the Win32 wait semantics the library is written
// against. Handles are reference counted: CloseHandle drops one reference,
// DuplicateHandle adds one; an object lives while a handle or a waiter
// holds it.
#pragma once
#include <cstdint>

namespace platform {

struct kernel_object;
using HANDLE = kernel_object*;

inline constexpr std::uint32_t INFINITE = 0xFFFFFFFFu;
inline constexpr std::uint32_t WAIT_OBJECT_0 = 0;
inline constexpr std::uint32_t WAIT_ABANDONED_0 = 0x80;
inline constexpr std::uint32_t WAIT_TIMEOUT = 258;
inline constexpr std::uint32_t WAIT_FAILED = 0xFFFFFFFFu;
inline constexpr std::uint32_t MAXIMUM_WAIT_OBJECTS = 64;

// Win32 error numbers the layer reports through GetLastError.
inline constexpr std::uint32_t ERROR_SUCCESS = 0;
inline constexpr std::uint32_t ERROR_FILE_NOT_FOUND = 2;
inline constexpr std::uint32_t ERROR_INVALID_HANDLE = 6;
inline constexpr std::uint32_t ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr std::uint32_t ERROR_INVALID_PARAMETER = 87;
inline constexpr std::uint32_t ERROR_ALREADY_EXISTS = 183;
inline constexpr std::uint32_t ERROR_TOO_MANY_POSTS = 298;
inline constexpr std::uint32_t ERROR_INVALID_HANDLE_TYPE = 1168; // name taken by another kind of object

std::uint32_t GetLastError() noexcept;
void SetLastError(std::uint32_t code) noexcept;

// A null or empty name creates an unnamed object. A name that exists
// already returns that object with ERROR_ALREADY_EXISTS (the other
// arguments are ignored); a name held by an object of another kind fails
// with ERROR_INVALID_HANDLE_TYPE. Names compare exactly.
HANDLE CreateEventW(bool manual_reset, bool initial_state, const char16_t* name) noexcept;
HANDLE OpenEventW(const char16_t* name) noexcept; // null, ERROR_FILE_NOT_FOUND when absent
bool SetEvent(HANDLE h) noexcept;
bool ResetEvent(HANDLE h) noexcept;

HANDLE CreateSemaphoreW(std::int32_t initial, std::int32_t maximum, const char16_t* name) noexcept;
// Fails with ERROR_TOO_MANY_POSTS when the count would pass the maximum.
bool ReleaseSemaphore(HANDLE h, std::int32_t count, std::int32_t* previous) noexcept;

// Waits. An auto-reset event or a semaphore is consumed by the wait that
// it satisfies; a wait-all consumes all of its objects at once, only when
// every one is signalled. Returns WAIT_OBJECT_0 + index, WAIT_TIMEOUT or
// WAIT_FAILED (bad handle, count 0 or above 64).
std::uint32_t WaitForSingleObject(HANDLE h, std::uint32_t timeout_ms) noexcept;
std::uint32_t WaitForMultipleObjects(std::uint32_t count, const HANDLE* handles, bool wait_all,
                                     std::uint32_t timeout_ms) noexcept;
// Signals one object (event set, semaphore released by 1) and waits on
// another as one step with respect to other waiters.
std::uint32_t SignalObjectAndWait(HANDLE to_signal, HANDLE to_wait, std::uint32_t timeout_ms,
                                  bool alertable) noexcept;

bool CloseHandle(HANDLE h) noexcept;
bool DuplicateHandle(HANDLE source, HANDLE* target) noexcept;

// Threads blocked on h right now (0 for an invalid handle). For callers and
// tests that must know a waiter has gone to sleep before they signal.
std::uint32_t WaitingThreadCount(HANDLE h) noexcept;

// A handle that becomes signalled (manual) when the object it stands for
// ends: used for thread and process handles. The owner signals it.
HANDLE CreateCompletionHandle() noexcept;
void SignalCompletionHandle(HANDLE h) noexcept;

// Around fork: the layer's lock is held across it, so the child's state
// is whole and its lock free.
void kernel_objects_fork_prepare() noexcept;
void kernel_objects_fork_parent() noexcept;
void kernel_objects_fork_child() noexcept;

} // namespace platform
