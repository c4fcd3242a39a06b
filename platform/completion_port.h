// The library's I/O completion port: a queue of completion packets that
// any number of threads wait on. Waiters are released last-in first-out, so
// the thread that waited last (its stack and caches still warm) gets the
// next packet, and no more than the concurrency value of threads run
// packets of the port at once.
#pragma once
#include <cstdint>

#include "platform/kernel_objects.h"

namespace platform {

struct OVERLAPPED;

// Per-operation area of the socket engine. It lives inside the caller's
// OVERLAPPED, which stays in place until the completion has been delivered,
// so queueing an operation allocates nothing.
struct overlapped_engine_area {
    OVERLAPPED* next;          // link in a socket's receive or send queue
    char* buffer;              // the caller's bytes
    std::uint32_t length;      // bytes asked for
    std::uint32_t done;        // bytes moved so far (a send completes whole)
    std::uint32_t flags;       // Winsock message flags
    std::uint32_t accept_socket; // AcceptEx: the pre-created socket
    void* address;             // Winsock socket address (send-to target, receive-from sender)
    std::int32_t* address_len; // receive-from: the caller's size slot
    std::int32_t address_size; // send-to: size of the target address
    std::uint8_t kind;         // what the operation is
    std::uint8_t pad[3];
};

// The Win32 fields keep their meaning (status and byte count of a finished
// operation are written into Internal and InternalHigh); the engine's area
// follows them.
struct OVERLAPPED {
    std::uintptr_t Internal;
    std::uintptr_t InternalHigh;
    std::uint32_t Offset;
    std::uint32_t OffsetHigh;
    void* hEvent;
    overlapped_engine_area engine;
};

struct completion_port;

inline constexpr std::uint32_t ERROR_ABANDONED_WAIT_0 = 735; // port closed under a waiter
inline constexpr std::uint32_t ERROR_OPERATION_ABORTED = 995;
inline void* const INVALID_HANDLE_VALUE = reinterpret_cast<void*>(~std::uintptr_t{0});

// With `file` = INVALID_HANDLE_VALUE and no `existing` port: a new port whose
// concurrency value is `concurrency` (0 = the processor count). Otherwise
// `file` is a socket handle (the SOCKET value cast to a pointer) to associate
// with `existing` under `key`; the port is returned, or null with
// ERROR_INVALID_HANDLE / ERROR_INVALID_PARAMETER.
completion_port* CreateIoCompletionPort(void* file, completion_port* existing, std::uintptr_t key,
                                        std::uint32_t concurrency) noexcept;

// Waits up to `timeout_ms` (INFINITE for ever) for one packet.
// - true: a successful packet (*overlapped may be null for a posted packet);
// - false with *overlapped set: a failed operation, GetLastError() its error;
// - false with *overlapped null: WAIT_TIMEOUT (258), ERROR_ABANDONED_WAIT_0
//   when the port was closed during the wait, ERROR_INVALID_HANDLE.
bool GetQueuedCompletionStatus(completion_port* port, std::uint32_t* bytes, std::uintptr_t* key,
                               OVERLAPPED** overlapped, std::uint32_t timeout_ms) noexcept;

bool PostQueuedCompletionStatus(completion_port* port, std::uint32_t bytes, std::uintptr_t key,
                                OVERLAPPED* overlapped) noexcept;

// A packet carrying an error (0 for success), as the I/O engine delivers
// finished operations. Writes status and bytes into the OVERLAPPED first.
bool post_io_completion(completion_port* port, std::uint32_t bytes, std::uintptr_t key, OVERLAPPED* overlapped,
                        std::uint32_t error) noexcept;

// The same for an operation that finished at once on the thread that issued
// it. When that thread is running a packet of this port (a completion
// callback issuing its next operation), the packet is queued without waking
// another thread: the issuing thread takes it when it waits on the port
// again, which saves a hand-over to a sleeping thread and back per
// operation. Should the thread block first (any wait of the platform layer,
// see before_blocking.h), the packet goes to a sleeping thread then.
bool post_own_completion(completion_port* port, std::uint32_t bytes, std::uintptr_t key, OVERLAPPED* overlapped,
                         std::uint32_t error) noexcept;

// While held (the I/O engine's poller, which posts under a socket's lock
// that the woken thread is about to want), the wake-ups of threads that
// this thread's posts hand packets to wait for flush_held_wakes(). The
// packets themselves are handed over at once and in order.
void hold_wakes(bool on) noexcept;
void flush_held_wakes() noexcept;

// Closes the port: waiters return ERROR_ABANDONED_WAIT_0 and queued packets
// are dropped. The memory goes once the last thread has left the port.
bool CloseCompletionPort(completion_port* port) noexcept;

// The I/O engine that owns a kind of handle registers how to associate one
// with a port; CreateIoCompletionPort asks it. Returns false (and sets the
// last error) for a handle it does not know.
using handle_associator = bool (*)(void* file, completion_port* port, std::uintptr_t key) noexcept;
void set_handle_associator(handle_associator fn) noexcept;

// Packets queued and threads asleep on the port: for tests and benchmarks.
std::uint32_t queued_packet_count(completion_port* port) noexcept;
std::uint32_t waiting_thread_count(completion_port* port) noexcept;

} // namespace platform
