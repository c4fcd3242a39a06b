#include "platform/socket_engine.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/before_blocking.h"
#include "platform/kernel_objects.h"

namespace platform {
namespace winsock {

namespace {

enum op_kind : std::uint8_t {
    K_RECV = 1,
    K_RECVFROM,
    K_SEND,
    K_SENDTO,
    K_ACCEPT,   // blocking accept: the new descriptor comes back as the byte count
    K_ACCEPTEX, // into a pre-created socket
    K_CONNECT,
};
constexpr std::uint8_t K_SYNC = 0x80; // a blocked caller waits on hEvent (a futex word)

constexpr std::uint32_t kFdBits = 20;
constexpr std::uint32_t kFdMask = (1u << kFdBits) - 1;
constexpr std::uint32_t kGenMask = 0x7FF; // never all ones: no handle equals INVALID_SOCKET

// Two locks per socket, so that a long send (a blocking send copies
// megabytes) never holds up the receive of the same connection: `mu`
// guards the receive side and everything else, `smu` the send side. fd,
// gen, port and key change only under both, so either lock keeps them
// valid for its holder.
struct sock_state {
    std::mutex mu;
    std::mutex smu;
    int fd = -1;
    std::uint32_t gen = 0;
    int family = 0, type = 0, protocol = 0; // Linux values
    completion_port* port = nullptr;
    std::uintptr_t key = 0;
    OVERLAPPED* rq_head = nullptr; // receives and accepts (mu)
    OVERLAPPED* rq_tail = nullptr;
    OVERLAPPED* sq_head = nullptr; // sends and connects (smu)
    OVERLAPPED* sq_tail = nullptr;
    // Whether each queue holds anything, readable under the other lock.
    std::atomic<bool> in_wanted{false};
    std::atomic<bool> out_wanted{false};
    // Interest armed in epoll (one-shot: the kernel disarms on each event);
    // under amu, a lower bound of what the kernel has armed except between
    // an event and the poller's reset, after which the poller drives the
    // queues itself.
    std::mutex amu;
    std::uint32_t armed = 0;
    bool registered = false;
    std::atomic<bool> send_shut{false};
    std::atomic<std::uint32_t> rcv_timeout_ms{0}; // 0: none
    std::atomic<std::uint32_t> snd_timeout_ms{0};
};

// One record per descriptor number for the life of the process, so an
// event or a call racing with a close never touches freed memory.
constexpr std::size_t kChunkSlots = 1024;
constexpr std::size_t kChunks = (std::size_t{1} << kFdBits) / kChunkSlots;
struct chunk {
    sock_state slots[kChunkSlots];
};
std::atomic<chunk*> g_table[kChunks];

sock_state* slot_of(int fd, bool create) noexcept {
    if (fd < 0 || static_cast<std::uint32_t>(fd) > kFdMask) return nullptr;
    std::atomic<chunk*>& c = g_table[static_cast<std::size_t>(fd) / kChunkSlots];
    chunk* p = c.load(std::memory_order_acquire);
    if (!p) {
        if (!create) return nullptr;
        auto* n = new (std::nothrow) chunk;
        if (!n) return nullptr;
        if (c.compare_exchange_strong(p, n, std::memory_order_acq_rel)) p = n;
        else delete n;
    }
    return &p->slots[static_cast<std::size_t>(fd) % kChunkSlots];
}

SOCKET handle_of(const sock_state* s) noexcept {
    return ((s->gen & kGenMask) << kFdBits) | static_cast<std::uint32_t>(s->fd);
}

int g_epoll = -1;
std::once_flag g_engine_once;

void fail(int err) noexcept { SetLastError(static_cast<std::uint32_t>(err)); }

// Locks the record of an open socket (its send side with `send_side`);
// null (WSAENOTSOCK) otherwise.
sock_state* lock_socket(SOCKET h, std::unique_lock<std::mutex>& g, bool send_side = false) noexcept {
    if (h == INVALID_SOCKET) {
        fail(WSAENOTSOCK);
        return nullptr;
    }
    const int fd = static_cast<int>(h & kFdMask);
    sock_state* s = slot_of(fd, false);
    if (!s) {
        fail(WSAENOTSOCK);
        return nullptr;
    }
    g = std::unique_lock<std::mutex>(send_side ? s->smu : s->mu);
    if (s->fd != fd || (s->gen & kGenMask) != (h >> kFdBits)) {
        g.unlock();
        fail(WSAENOTSOCK);
        return nullptr;
    }
    return s;
}

void futex_wake(std::atomic<std::uint32_t>* w) noexcept {
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(w), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

// The poller wakes blocked callers after letting go of the socket's lock,
// which they want at once (see hold_wakes for the port's sleepers).
thread_local bool t_poller = false;
constexpr int kHeldWakes = 32;
thread_local std::atomic<std::uint32_t>* t_held[kHeldWakes];
thread_local int t_held_count = 0;

void wake_blocked(std::atomic<std::uint32_t>* w) noexcept {
    if (t_poller && t_held_count < kHeldWakes) t_held[t_held_count++] = w;
    else futex_wake(w);
}

void flush_wakes() noexcept {
    for (int i = 0; i < t_held_count; ++i) futex_wake(t_held[i]);
    t_held_count = 0;
    flush_held_wakes();
}

// Arms epoll for what the queues wait for (the caller holds either lock
// of the socket). Interest is level-triggered and one-shot, armed only
// while an operation is queued: a busy stream whose operations find their
// data at once wakes no poller per arriving segment, and arming checks the
// socket's current state, so readiness that came before it is not lost.
void arm(sock_state* s) noexcept {
    std::lock_guard<std::mutex> a(s->amu);
    std::uint32_t want = 0;
    if (s->in_wanted.load(std::memory_order_seq_cst)) want |= EPOLLIN | EPOLLRDHUP;
    if (s->out_wanted.load(std::memory_order_seq_cst)) want |= EPOLLOUT;
    if ((want & ~s->armed) == 0) return;
    want |= s->armed;
    epoll_event ev{};
    ev.events = want | EPOLLONESHOT;
    ev.data.u64 = handle_of(s);
    if (s->registered) {
        if (epoll_ctl(g_epoll, EPOLL_CTL_MOD, s->fd, &ev) < 0 && errno == ENOENT) s->registered = false;
    }
    if (!s->registered) {
        if (epoll_ctl(g_epoll, EPOLL_CTL_ADD, s->fd, &ev) < 0) return;
        s->registered = true;
    }
    s->armed = want;
}

void note_queue(std::atomic<bool>& wanted, const OVERLAPPED* head) noexcept {
    wanted.store(head != nullptr, std::memory_order_seq_cst);
}

// Finishes a dequeued operation: a blocked caller is woken, an overlapped
// one goes to the port (`at_once`: on the thread that issued it).
void complete(sock_state* s, OVERLAPPED* ov, std::uint32_t bytes, int err, bool at_once = false) noexcept {
    if (ov->engine.kind & K_SYNC) {
        ov->Internal = static_cast<std::uint32_t>(err);
        ov->InternalHigh = bytes;
        auto* w = static_cast<std::atomic<std::uint32_t>*>(ov->hEvent);
        w->store(1, std::memory_order_release);
        // The record may be gone once the word is set; a wake on a stale
        // address is harmless.
        wake_blocked(w);
    } else if (at_once) {
        post_own_completion(s->port, bytes, s->key, ov, static_cast<std::uint32_t>(err));
    } else {
        post_io_completion(s->port, bytes, s->key, ov, static_cast<std::uint32_t>(err));
    }
}

void enqueue(OVERLAPPED*& head, OVERLAPPED*& tail, OVERLAPPED* ov) noexcept {
    ov->engine.next = nullptr;
    if (tail) tail->engine.next = ov;
    else head = ov;
    tail = ov;
}

OVERLAPPED* dequeue(OVERLAPPED*& head, OVERLAPPED*& tail) noexcept {
    OVERLAPPED* ov = head;
    head = ov->engine.next;
    if (!head) tail = nullptr;
    return ov;
}

bool unlink(OVERLAPPED*& head, OVERLAPPED*& tail, OVERLAPPED* ov) noexcept {
    OVERLAPPED* prev = nullptr;
    for (OVERLAPPED* p = head; p; prev = p, p = p->engine.next) {
        if (p != ov) continue;
        if (prev) prev->engine.next = p->engine.next;
        else head = p->engine.next;
        if (tail == p) tail = prev;
        return true;
    }
    return false;
}

bool is_recv_side(std::uint8_t kind) noexcept {
    kind &= static_cast<std::uint8_t>(~K_SYNC);
    return kind == K_RECV || kind == K_RECVFROM || kind == K_ACCEPT || kind == K_ACCEPTEX;
}

bool would_block(int e) noexcept { return e == EAGAIN || e == EWOULDBLOCK; }

void write_addresses(int fd, const sockaddr_storage& remote, socklen_t rlen, const overlapped_engine_area& a) {
    // AcceptEx output: local address at the start of the first area,
    // remote at the start of the second.
    if (!a.buffer) return;
    sockaddr_storage local{};
    socklen_t llen = sizeof local;
    int room = static_cast<int>(a.done); // local area length
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &llen) == 0)
        to_winsock_address(reinterpret_cast<sockaddr*>(&local), llen, a.buffer, &room);
    room = static_cast<int>(a.address_size); // remote area length
    to_winsock_address(reinterpret_cast<const sockaddr*>(&remote), rlen, a.buffer + a.done, &room);
}

// Puts a new connection into the pre-created socket `target`: its handle
// then stands for the connection.
int deliver_accepted(int newfd, SOCKET target) noexcept {
    std::unique_lock<std::mutex> tg;
    sock_state* t = lock_socket(target, tg);
    if (!t) return WSAEINVAL;
    std::lock_guard<std::mutex> ts(t->smu);
    {
        std::lock_guard<std::mutex> a(t->amu);
        if (t->registered) epoll_ctl(g_epoll, EPOLL_CTL_DEL, t->fd, nullptr);
        t->registered = false;
        t->armed = 0;
    }
    if (::dup3(newfd, t->fd, O_CLOEXEC) < 0) return winsock_error_from_errno(errno);
    t->send_shut = false;
    if (t->rq_head || t->sq_head) arm(t);
    return 0;
}

// Tries the operation once (a send until every byte is out). False when it
// would block; otherwise *bytes and *err hold its outcome.
bool try_op(sock_state* s, OVERLAPPED* ov, std::uint32_t* bytes, int* err) noexcept {
    overlapped_engine_area& a = ov->engine;
    const int flags = linux_msg_flags(a.flags);
    *err = 0;
    switch (a.kind & static_cast<std::uint8_t>(~K_SYNC)) {
    case K_RECV:
    case K_RECVFROM: {
        const bool dgram = s->type != SOCK_STREAM;
        const bool waitall = (a.flags & WS_MSG_WAITALL) && !dgram;
        for (;;) {
            ssize_t n;
            sockaddr_storage from{};
            socklen_t flen = sizeof from;
            if (a.length == 0 && !dgram) {
                // A zero-byte receive completes when data is there (or the
                // peer has closed): it tells readiness without reading.
                char probe;
                n = ::recv(s->fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
                if (n > 0) n = 0;
            } else if (dgram) {
                n = ::recvfrom(s->fd, a.buffer, a.length, (flags & ~MSG_WAITALL) | MSG_DONTWAIT | MSG_TRUNC,
                               reinterpret_cast<sockaddr*>(&from), &flen);
            } else {
                n = ::recvfrom(s->fd, a.buffer + a.done, a.length - a.done, (flags & ~MSG_WAITALL) | MSG_DONTWAIT,
                               reinterpret_cast<sockaddr*>(&from), &flen);
            }
            if (n < 0) {
                if (errno == EINTR) continue;
                if (would_block(errno)) return false; // a waitall receive keeps what it has
                *err = winsock_error_from_errno(errno);
                *bytes = a.done;
                return true;
            }
            if (dgram && static_cast<std::size_t>(n) > a.length) {
                n = a.length;
                *err = WSAEMSGSIZE;
            }
            if ((a.kind & static_cast<std::uint8_t>(~K_SYNC)) == K_RECVFROM && a.address && a.address_len)
                to_winsock_address(reinterpret_cast<sockaddr*>(&from), flen, a.address, a.address_len);
            a.done += static_cast<std::uint32_t>(n);
            if (waitall && n > 0 && a.done < a.length) continue;
            *bytes = a.done;
            return true;
        }
    }
    case K_SEND:
    case K_SENDTO: {
        sockaddr_storage to{};
        socklen_t tlen = 0;
        const bool with_to = (a.kind & static_cast<std::uint8_t>(~K_SYNC)) == K_SENDTO && a.address;
        if (with_to && !to_linux_address(a.address, a.address_size, &to, &tlen, err)) {
            *bytes = 0;
            return true;
        }
        do {
            const ssize_t n = ::sendto(s->fd, a.buffer + a.done, a.length - a.done, flags | MSG_NOSIGNAL | MSG_DONTWAIT,
                                       with_to ? reinterpret_cast<sockaddr*>(&to) : nullptr, tlen);
            if (n < 0) {
                if (errno == EINTR) continue;
                if (would_block(errno)) return false;
                *err = winsock_error_from_errno(errno, s->send_shut);
                *bytes = a.done;
                return true;
            }
            a.done += static_cast<std::uint32_t>(n);
        } while (a.done < a.length && s->type == SOCK_STREAM);
        *bytes = a.done;
        return true;
    }
    case K_CONNECT: {
        int so_error = 0;
        socklen_t l = sizeof so_error;
        if (::getsockopt(s->fd, SOL_SOCKET, SO_ERROR, &so_error, &l) < 0) so_error = errno;
        if (so_error) {
            *err = winsock_error_from_errno(so_error);
            *bytes = 0;
            return true;
        }
        sockaddr_storage peer{};
        socklen_t pl = sizeof peer;
        if (::getpeername(s->fd, reinterpret_cast<sockaddr*>(&peer), &pl) < 0) {
            if (errno == ENOTCONN) return false; // an early event; still connecting
            *err = winsock_error_from_errno(errno);
        }
        *bytes = 0;
        return true;
    }
    case K_ACCEPT:
    case K_ACCEPTEX: {
        for (;;) {
            sockaddr_storage remote{};
            socklen_t rlen = sizeof remote;
            const int nfd = ::accept4(s->fd, reinterpret_cast<sockaddr*>(&remote), &rlen, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (nfd < 0) {
                if (would_block(errno)) return false;
                // A connection that died in the backlog is not the
                // listener's failure: take the next one.
                if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) continue;
                *err = winsock_error_from_errno(errno);
                *bytes = 0;
                return true;
            }
            if ((a.kind & static_cast<std::uint8_t>(~K_SYNC)) == K_ACCEPT) {
                *bytes = static_cast<std::uint32_t>(nfd);
                return true;
            }
            *err = deliver_accepted(nfd, a.accept_socket);
            if (*err == 0) write_addresses(nfd, remote, rlen, a);
            ::close(nfd);
            *bytes = 0;
            return true;
        }
    }
    default:
        *err = WSAEINVAL;
        *bytes = 0;
        return true;
    }
}

void drive(sock_state* s, OVERLAPPED*& head, OVERLAPPED*& tail, std::atomic<bool>& wanted) noexcept {
    while (OVERLAPPED* ov = head) {
        std::uint32_t bytes = 0;
        int err = 0;
        if (!try_op(s, ov, &bytes, &err)) break;
        dequeue(head, tail);
        complete(s, ov, bytes, err);
    }
    note_queue(wanted, head);
}

void poller_main() noexcept {
    epoll_event events[256];
    t_poller = true;
    hold_wakes(true);
    for (;;) {
        const int n = epoll_wait(g_epoll, events, 256, -1);
        if (n < 0) continue; // EINTR (the collector's stop signal)
        for (int i = 0; i < n; ++i) {
            const SOCKET h = static_cast<SOCKET>(events[i].data.u64);
            const std::uint32_t e = events[i].events;
            {
                std::unique_lock<std::mutex> g;
                sock_state* s = lock_socket(h, g);
                if (!s) continue; // closed since
                {
                    // The event disarmed the descriptor; whatever was
                    // queued before this is driven below.
                    std::lock_guard<std::mutex> a(s->amu);
                    s->armed = 0;
                }
                if (e & (EPOLLIN | EPOLLRDHUP | EPOLLERR | EPOLLHUP)) drive(s, s->rq_head, s->rq_tail, s->in_wanted);
                arm(s);
            }
            flush_wakes();
            if (e & (EPOLLOUT | EPOLLERR | EPOLLHUP)) {
                {
                    std::unique_lock<std::mutex> g;
                    sock_state* s = lock_socket(h, g, true);
                    if (!s) continue;
                    drive(s, s->sq_head, s->sq_tail, s->out_wanted);
                    arm(s);
                }
                flush_wakes();
            }
        }
    }
}

bool associate_handle(void* file, completion_port* port, std::uintptr_t key) noexcept {
    return associate_with_port(static_cast<SOCKET>(reinterpret_cast<std::uintptr_t>(file)), port, key);
}

bool start_engine() noexcept {
    std::call_once(g_engine_once, [] {
        g_epoll = epoll_create1(EPOLL_CLOEXEC);
        if (g_epoll < 0) return;
        set_handle_associator(&associate_handle);
        std::thread(poller_main).detach();
    });
    return g_epoll >= 0;
}

// Takes a new non-blocking descriptor into the engine.
SOCKET adopt(int fd, int family, int type, int protocol) noexcept {
    sock_state* s = slot_of(fd, true);
    if (!s) {
        ::close(fd);
        fail(static_cast<std::uint32_t>(fd) > kFdMask ? WSAEMFILE : WSAENOBUFS);
        return INVALID_SOCKET;
    }
    std::lock_guard<std::mutex> g(s->mu);
    std::lock_guard<std::mutex> gs(s->smu);
    s->fd = fd;
    s->family = family;
    s->type = type;
    s->protocol = protocol;
    s->port = nullptr;
    s->key = 0;
    s->rq_head = s->rq_tail = s->sq_head = s->sq_tail = nullptr;
    s->in_wanted = false;
    s->out_wanted = false;
    s->send_shut = false;
    s->rcv_timeout_ms = 0;
    s->snd_timeout_ms = 0;
    // Registered with epoll when an operation first has to wait.
    std::lock_guard<std::mutex> a(s->amu);
    s->registered = false;
    s->armed = 0;
    return handle_of(s);
}

// Waits for a queued synchronous operation; the caller holds `g`, which
// is released during the wait and held again on return.
void wait_sync(sock_state* s, std::unique_lock<std::mutex>& g, OVERLAPPED* ov, std::uint32_t timeout_ms,
               OVERLAPPED*& head, OVERLAPPED*& tail) noexcept {
    auto* w = static_cast<std::atomic<std::uint32_t>*>(ov->hEvent);
    g.unlock();
    before_blocking();
    timespec deadline{};
    if (timeout_ms) {
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        deadline.tv_sec += timeout_ms / 1000;
        deadline.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000L;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_nsec -= 1000000000L;
            ++deadline.tv_sec;
        }
    }
    while (w->load(std::memory_order_acquire) == 0) {
        const long r = syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(w), FUTEX_WAIT_BITSET_PRIVATE, 0u,
                               timeout_ms ? &deadline : nullptr, nullptr, FUTEX_BITSET_MATCH_ANY);
        if (r == -1 && errno == ETIMEDOUT) break;
    }
    g.lock();
    if (w->load(std::memory_order_acquire) == 0) {
        // Timed out: still queued, since completion happens under the lock.
        unlink(head, tail, ov);
        note_queue(&head == &s->rq_head ? s->in_wanted : s->out_wanted, head);
        ov->Internal = WSAETIMEDOUT;
        ov->InternalHigh = ov->engine.done;
    }
}

// Runs an operation described by `ov` on a locked socket. Overlapped:
// the Winsock return convention. Synchronous: blocks; returns the byte
// count or SOCKET_ERROR.
int issue(sock_state* s, std::unique_lock<std::mutex>& g, OVERLAPPED* ov, std::uint32_t* out_bytes) noexcept {
    const bool sync = ov->engine.kind & K_SYNC;
    const bool recv_side = is_recv_side(ov->engine.kind);
    OVERLAPPED*& head = recv_side ? s->rq_head : s->sq_head;
    OVERLAPPED*& tail = recv_side ? s->rq_tail : s->sq_tail;
    if (!sync && !s->port) {
        fail(WSAEINVAL); // overlapped I/O needs a completion port here
        return SOCKET_ERROR;
    }
    if (!head) {
        std::uint32_t bytes = 0;
        int err = 0;
        if (try_op(s, ov, &bytes, &err)) {
            if (err) {
                if (out_bytes) *out_bytes = bytes;
                fail(err);
                return SOCKET_ERROR;
            }
            if (out_bytes) *out_bytes = bytes;
            if (!sync) complete(s, ov, bytes, 0, true);
            SetLastError(0);
            return sync ? static_cast<int>(bytes) : 0;
        }
    }
    enqueue(head, tail, ov);
    note_queue(recv_side ? s->in_wanted : s->out_wanted, head);
    arm(s);
    if (!sync) {
        fail(WSA_IO_PENDING);
        return SOCKET_ERROR;
    }
    wait_sync(s, g, ov, recv_side ? s->rcv_timeout_ms.load() : s->snd_timeout_ms.load(), head, tail);
    const int err = static_cast<int>(ov->Internal);
    if (out_bytes) *out_bytes = static_cast<std::uint32_t>(ov->InternalHigh);
    if (err) {
        fail(err);
        return SOCKET_ERROR;
    }
    SetLastError(0);
    return static_cast<int>(ov->InternalHigh);
}

void init_op(OVERLAPPED* ov, std::uint8_t kind, char* buf, std::uint32_t len, std::uint32_t flags) noexcept {
    ov->Internal = 0;
    ov->InternalHigh = 0;
    overlapped_engine_area& a = ov->engine;
    a.next = nullptr;
    a.buffer = buf;
    a.length = len;
    a.done = 0;
    a.flags = flags;
    a.accept_socket = INVALID_SOCKET;
    a.address = nullptr;
    a.address_len = nullptr;
    a.address_size = 0;
    a.kind = kind;
}

// A blocked caller's operation record and wake-up word.
struct sync_op {
    OVERLAPPED ov{};
    std::atomic<std::uint32_t> word{0};
    sync_op() { ov.hEvent = &word; }
};

int data_call(SOCKET h, WSABUF* buffers, std::uint32_t count, std::uint32_t* transferred, std::uint32_t flags,
              OVERLAPPED* overlapped, std::uint8_t kind, const void* to, int tolen, void* from,
              std::int32_t* fromlen) noexcept {
    if (!buffers || count != 1) {
        fail(WSAEINVAL);
        return SOCKET_ERROR;
    }
    if (linux_msg_flags(flags) < 0) {
        fail(WSAEOPNOTSUPP);
        return SOCKET_ERROR;
    }
    if (buffers[0].len && !buffers[0].buf) {
        fail(WSAEFAULT);
        return SOCKET_ERROR;
    }
    std::unique_lock<std::mutex> g;
    sock_state* s = lock_socket(h, g, kind == K_SEND || kind == K_SENDTO);
    if (!s) return SOCKET_ERROR;
    sync_op local;
    OVERLAPPED* ov = overlapped ? overlapped : &local.ov;
    if (overlapped) overlapped->hEvent = nullptr;
    init_op(ov, overlapped ? kind : static_cast<std::uint8_t>(kind | K_SYNC), buffers[0].buf, buffers[0].len, flags);
    if (to) {
        ov->engine.address = const_cast<void*>(to);
        ov->engine.address_size = tolen;
    }
    if (from) {
        ov->engine.address = from;
        ov->engine.address_len = fromlen;
    }
    std::uint32_t bytes = 0;
    const int r = issue(s, g, ov, &bytes);
    if (transferred && (r != SOCKET_ERROR || !overlapped)) *transferred = bytes;
    if (!overlapped) return r == SOCKET_ERROR ? SOCKET_ERROR : 0;
    return r;
}

} // namespace

int WSAGetLastError() noexcept { return static_cast<int>(GetLastError()); }
void WSASetLastError(int error) noexcept { SetLastError(static_cast<std::uint32_t>(error)); }

SOCKET WSASocketW(int af, int type, int protocol, void*, std::uint32_t, std::uint32_t) noexcept {
    if (!start_engine()) {
        fail(WSAENOBUFS);
        return INVALID_SOCKET;
    }
    const int family = linux_family(af);
    if (family < 0 || family == AF_UNSPEC) {
        fail(WSAEAFNOSUPPORT);
        return INVALID_SOCKET;
    }
    if (type != WS_SOCK_STREAM && type != WS_SOCK_DGRAM && type != WS_SOCK_RAW) {
        fail(WSAESOCKTNOSUPPORT);
        return INVALID_SOCKET;
    }
    const int fd = ::socket(family, type | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol < 0 ? 0 : protocol);
    if (fd < 0) {
        fail(winsock_error_from_errno(errno));
        return INVALID_SOCKET;
    }
    if (family == AF_INET6) {
        const int one = 1;
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    }
    return adopt(fd, family, type, protocol);
}

int closesocket(SOCKET h) noexcept {
    std::unique_lock<std::mutex> g;
    sock_state* s = lock_socket(h, g);
    if (!s) return SOCKET_ERROR;
    std::lock_guard<std::mutex> gs(s->smu);
    {
        std::lock_guard<std::mutex> a(s->amu);
        if (s->registered) epoll_ctl(g_epoll, EPOLL_CTL_DEL, s->fd, nullptr);
        s->registered = false;
        s->armed = 0;
    }
    s->in_wanted = false;
    s->out_wanted = false;
    while (s->rq_head) {
        OVERLAPPED* ov = dequeue(s->rq_head, s->rq_tail);
        complete(s, ov, 0, (ov->engine.kind & K_SYNC) ? WSAEINTR : WSA_OPERATION_ABORTED);
    }
    while (s->sq_head) {
        OVERLAPPED* ov = dequeue(s->sq_head, s->sq_tail);
        complete(s, ov, ov->engine.done, (ov->engine.kind & K_SYNC) ? WSAEINTR : WSA_OPERATION_ABORTED);
    }
    ::close(s->fd);
    s->fd = -1;
    ++s->gen;
    s->port = nullptr;
    return 0;
}

int bind(SOCKET h, const void* name, int namelen) noexcept {
    sockaddr_storage ss;
    socklen_t len;
    int err;
    if (!to_linux_address(name, namelen, &ss, &len, &err)) {
        fail(err);
        return SOCKET_ERROR;
    }
    std::unique_lock<std::mutex> g;
    sock_state* s = lock_socket(h, g);
    if (!s) return SOCKET_ERROR;
    if (::bind(s->fd, reinterpret_cast<sockaddr*>(&ss), len) < 0) {
        fail(winsock_error_from_errno(errno));
        return SOCKET_ERROR;
    }
    return 0;
}

int listen(SOCKET h, int backlog) noexcept {
    std::unique_lock<std::mutex> g;
    sock_state* s = lock_socket(h, g);
    if (!s) return SOCKET_ERROR;
    if (::listen(s->fd, backlog) < 0) {
        fail(winsock_error_from_errno(errno));
        return SOCKET_ERROR;
    }
    return 0;
}

int shutdown(SOCKET h, int how) noexcept {
    int lhow;
    switch (how) {
    case SD_RECEIVE: lhow = SHUT_RD; break;
    case SD_SEND: lhow = SHUT_WR; break;
    case SD_BOTH: lhow = SHUT_RDWR; break;
    default: fail(WSAEINVAL); return SOCKET_ERROR;
    }
    std::unique_lock<std::mutex> g;
    sock_state* s = lock_socket(h, g);
    if (!s) return SOCKET_ERROR;
    if (::shutdown(s->fd, lhow) < 0) {
        fail(winsock_error_from_errno(errno));
        return SOCKET_ERROR;
    }
    if (how != SD_RECEIVE) s->send_shut = true;
    return 0;
}

namespace {
int name_call(SOCKET h, void* name, int* namelen, bool peer) noexcept {
    if (!name || !namelen) {
        fail(WSAEFAULT);
        return SOCKET_ERROR;
    }
    std::unique_lock<std::mutex> g;
    sock_state* s = lock_socket(h, g);
    if (!s) return SOCKET_ERROR;
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    const int r = peer ? ::getpeername(s->fd, reinterpret_cast<sockaddr*>(&ss), &len)
                       : ::getsockname(s->fd, reinterpret_cast<sockaddr*>(&ss), &len);
    if (r < 0) {
        fail(winsock_error_from_errno(errno));
        return SOCKET_ERROR;
    }
    if (!peer) {
        // Linux names an unbound socket with the wildcard and port 0;
        // Winsock refuses.
        const bool unbound = (ss.ss_family == AF_INET && reinterpret_cast<sockaddr_in&>(ss).sin_port == 0) ||
                             (ss.ss_family == AF_INET6 && reinterpret_cast<sockaddr_in6&>(ss).sin6_port == 0);
        if (unbound && s->type != SOCK_RAW) {
            fail(WSAEINVAL);
            return SOCKET_ERROR;
        }
    }
    if (!to_winsock_address(reinterpret_cast<sockaddr*>(&ss), len, name, namelen)) {
        fail(WSAEFAULT);
        return SOCKET_ERROR;
    }
    return 0;
}
} // namespace

int getsockname(SOCKET h, void* name, int* namelen) noexcept { return name_call(h, name, namelen, false); }
int getpeername(SOCKET h, void* name, int* namelen) noexcept { return name_call(h, name, namelen, true); }

int WSAConnect(SOCKET h, const void* name, int namelen, void*, void*, void*, void*) noexcept {
    sockaddr_storage ss;
    socklen_t len;
    int err;
    if (!to_linux_address(name, namelen, &ss, &len, &err)) {
        fail(err);
        return SOCKET_ERROR;
    }
    std::unique_lock<std::mutex> g;
    sock_state* s = lock_socket(h, g, true);
    if (!s) return SOCKET_ERROR;
    if (::connect(s->fd, reinterpret_cast<sockaddr*>(&ss), len) == 0) return 0;
    if (errno != EINPROGRESS) {
        fail(winsock_error_from_errno(errno));
        return SOCKET_ERROR;
    }
    sync_op local;
    init_op(&local.ov, K_CONNECT | K_SYNC, nullptr, 0, 0);
    if (!s->sq_head) {
        std::uint32_t bytes;
        if (try_op(s, &local.ov, &bytes, &err)) {
            if (err) {
                fail(err);
                return SOCKET_ERROR;
            }
            return 0;
        }
    }
    enqueue(s->sq_head, s->sq_tail, &local.ov);
    note_queue(s->out_wanted, s->sq_head);
    arm(s);
    wait_sync(s, g, &local.ov, s->snd_timeout_ms, s->sq_head, s->sq_tail);
    if (local.ov.Internal) {
        fail(static_cast<int>(local.ov.Internal));
        return SOCKET_ERROR;
    }
    return 0;
}

SOCKET accept(SOCKET h, void* addr, int* addrlen) noexcept {
    int family, type, protocol;
    int nfd;
    {
        std::unique_lock<std::mutex> g;
        sock_state* s = lock_socket(h, g);
        if (!s) return INVALID_SOCKET;
        family = s->family;
        type = s->type;
        protocol = s->protocol;
        sync_op local;
        init_op(&local.ov, K_ACCEPT | K_SYNC, nullptr, 0, 0);
        std::uint32_t bytes = 0;
        if (issue(s, g, &local.ov, &bytes) == SOCKET_ERROR) return INVALID_SOCKET;
        nfd = static_cast<int>(bytes);
    }
    if (addr && addrlen) {
        sockaddr_storage ss{};
        socklen_t len = sizeof ss;
        if (::getpeername(nfd, reinterpret_cast<sockaddr*>(&ss), &len) == 0)
            to_winsock_address(reinterpret_cast<sockaddr*>(&ss), len, addr, addrlen);
    }
    return adopt(nfd, family, type, protocol);
}

int WSASend(SOCKET h, WSABUF* buffers, std::uint32_t count, std::uint32_t* sent, std::uint32_t flags,
            OVERLAPPED* overlapped, void*) noexcept {
    return data_call(h, buffers, count, sent, flags, overlapped, K_SEND, nullptr, 0, nullptr, nullptr);
}

int WSARecv(SOCKET h, WSABUF* buffers, std::uint32_t count, std::uint32_t* received, std::uint32_t* flags,
            OVERLAPPED* overlapped, void*) noexcept {
    return data_call(h, buffers, count, received, flags ? *flags : 0, overlapped, K_RECV, nullptr, 0, nullptr,
                     nullptr);
}

int WSASendTo(SOCKET h, WSABUF* buffers, std::uint32_t count, std::uint32_t* sent, std::uint32_t flags,
              const void* to, int tolen, OVERLAPPED* overlapped, void*) noexcept {
    if (!to) return data_call(h, buffers, count, sent, flags, overlapped, K_SEND, nullptr, 0, nullptr, nullptr);
    return data_call(h, buffers, count, sent, flags, overlapped, K_SENDTO, to, tolen, nullptr, nullptr);
}

int WSARecvFrom(SOCKET h, WSABUF* buffers, std::uint32_t count, std::uint32_t* received, std::uint32_t* flags,
                void* from, std::int32_t* fromlen, OVERLAPPED* overlapped, void*) noexcept {
    if (from && !fromlen) {
        fail(WSAEFAULT);
        return SOCKET_ERROR;
    }
    return data_call(h, buffers, count, received, flags ? *flags : 0, overlapped, K_RECVFROM, nullptr, 0, from,
                     fromlen);
}

bool AcceptEx(SOCKET listen_socket, SOCKET accept_socket, void* output, std::uint32_t receive_length,
              std::uint32_t local_length, std::uint32_t remote_length, std::uint32_t* received,
              OVERLAPPED* overlapped) noexcept {
    if (!overlapped || receive_length != 0) {
        fail(WSAEINVAL);
        return false;
    }
    if (listen_socket == accept_socket || descriptor_of(accept_socket) < 0) {
        fail(WSAEINVAL);
        return false;
    }
    std::unique_lock<std::mutex> g;
    sock_state* s = lock_socket(listen_socket, g);
    if (!s) return false;
    overlapped->hEvent = nullptr;
    init_op(overlapped, K_ACCEPTEX, static_cast<char*>(output), 0, 0);
    overlapped->engine.accept_socket = accept_socket;
    // The area lengths ride in otherwise unused fields of the record.
    overlapped->engine.done = output ? local_length : 0;
    overlapped->engine.address_size = output ? static_cast<std::int32_t>(remote_length) : 0;
    std::uint32_t bytes = 0;
    const int r = issue(s, g, overlapped, &bytes);
    if (r == 0 && received) *received = 0;
    return r == 0;
}

bool ConnectEx(SOCKET h, const void* name, int namelen, void* send_buffer, std::uint32_t send_length,
               std::uint32_t* sent, OVERLAPPED* overlapped) noexcept {
    if (!overlapped || (send_buffer && send_length)) {
        fail(WSAEINVAL);
        return false;
    }
    sockaddr_storage ss;
    socklen_t len;
    int err;
    if (!to_linux_address(name, namelen, &ss, &len, &err)) {
        fail(err);
        return false;
    }
    std::unique_lock<std::mutex> g;
    sock_state* s = lock_socket(h, g, true);
    if (!s) return false;
    if (!s->port) {
        fail(WSAEINVAL);
        return false;
    }
    overlapped->hEvent = nullptr;
    init_op(overlapped, K_CONNECT, nullptr, 0, 0);
    if (sent) *sent = 0;
    if (::connect(s->fd, reinterpret_cast<sockaddr*>(&ss), len) == 0) {
        complete(s, overlapped, 0, 0);
        return true;
    }
    if (errno != EINPROGRESS) {
        fail(winsock_error_from_errno(errno));
        return false;
    }
    // Arming checks the socket's state, so a connection that completed
    // before it is seen.
    enqueue(s->sq_head, s->sq_tail, overlapped);
    note_queue(s->out_wanted, s->sq_head);
    arm(s);
    fail(WSA_IO_PENDING);
    return false;
}

int WSAIoctl(SOCKET h, std::uint32_t code, void* in, std::uint32_t in_len, void* out, std::uint32_t out_len,
             std::uint32_t* returned, OVERLAPPED*, void*) noexcept {
    if (code == SIO_GET_EXTENSION_FUNCTION_POINTER) {
        if (descriptor_of(h) < 0) return SOCKET_ERROR;
        if (!in || in_len < sizeof(GUID) || !out || out_len < sizeof(void*)) {
            fail(WSAEFAULT);
            return SOCKET_ERROR;
        }
        void* fn = nullptr;
        if (std::memcmp(in, &WSAID_CONNECTEX, sizeof(GUID)) == 0) fn = reinterpret_cast<void*>(&ConnectEx);
        else if (std::memcmp(in, &WSAID_ACCEPTEX, sizeof(GUID)) == 0) fn = reinterpret_cast<void*>(&AcceptEx);
        if (!fn) {
            fail(WSAEINVAL);
            return SOCKET_ERROR;
        }
        std::memcpy(out, &fn, sizeof fn);
        if (returned) *returned = sizeof fn;
        return 0;
    }
    if (code == FIONREAD_) {
        if (!out || out_len < 4) {
            fail(WSAEFAULT);
            return SOCKET_ERROR;
        }
        std::uint32_t v = 0;
        if (ioctlsocket(h, code, &v) == SOCKET_ERROR) return SOCKET_ERROR;
        std::memcpy(out, &v, 4);
        if (returned) *returned = 4;
        return 0;
    }
    fail(WSAEOPNOTSUPP);
    return SOCKET_ERROR;
}

int ioctlsocket(SOCKET h, std::uint32_t cmd, std::uint32_t* arg) noexcept {
    std::unique_lock<std::mutex> g;
    sock_state* s = lock_socket(h, g);
    if (!s) return SOCKET_ERROR;
    if (cmd == FIONREAD_ && arg) {
        int n = 0;
        if (::ioctl(s->fd, FIONREAD, &n) < 0) {
            fail(winsock_error_from_errno(errno));
            return SOCKET_ERROR;
        }
        *arg = static_cast<std::uint32_t>(n);
        return 0;
    }
    // The sockets have no non-blocking mode to switch.
    fail(WSAEOPNOTSUPP);
    return SOCKET_ERROR;
}

bool associate_with_port(SOCKET h, completion_port* port, std::uintptr_t key) noexcept {
    std::unique_lock<std::mutex> g;
    sock_state* s = lock_socket(h, g);
    if (!s) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    if (s->port && s->port != port) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    std::lock_guard<std::mutex> gs(s->smu);
    s->port = port;
    s->key = key;
    return true;
}

std::uint32_t pending_operation_count(SOCKET h) noexcept {
    std::unique_lock<std::mutex> g;
    sock_state* s = lock_socket(h, g);
    if (!s) return 0;
    std::lock_guard<std::mutex> gs(s->smu);
    std::uint32_t n = 0;
    for (OVERLAPPED* p = s->rq_head; p; p = p->engine.next) ++n;
    for (OVERLAPPED* p = s->sq_head; p; p = p->engine.next) ++n;
    return n;
}

int descriptor_of(SOCKET h) noexcept {
    std::unique_lock<std::mutex> g;
    sock_state* s = lock_socket(h, g);
    return s ? s->fd : -1;
}

// Options ------------------------------------------------------------------

namespace {

struct opt_map {
    int ws_level, ws_name, lx_level, lx_name;
};
// Options that are a plain integer (or a raw buffer of the same layout) on
// both sides.
constexpr opt_map kOptions[] = {
    {WS_SOL_SOCKET, WS_SO_DEBUG, SOL_SOCKET, SO_DEBUG},
    {WS_SOL_SOCKET, WS_SO_ACCEPTCONN, SOL_SOCKET, SO_ACCEPTCONN},
    {WS_SOL_SOCKET, WS_SO_REUSEADDR, SOL_SOCKET, SO_REUSEADDR},
    {WS_SOL_SOCKET, WS_SO_KEEPALIVE, SOL_SOCKET, SO_KEEPALIVE},
    {WS_SOL_SOCKET, WS_SO_DONTROUTE, SOL_SOCKET, SO_DONTROUTE},
    {WS_SOL_SOCKET, WS_SO_BROADCAST, SOL_SOCKET, SO_BROADCAST},
    {WS_SOL_SOCKET, WS_SO_OOBINLINE, SOL_SOCKET, SO_OOBINLINE},
    {WS_SOL_SOCKET, WS_SO_SNDBUF, SOL_SOCKET, SO_SNDBUF},
    {WS_SOL_SOCKET, WS_SO_RCVBUF, SOL_SOCKET, SO_RCVBUF},
    {WS_SOL_SOCKET, WS_SO_SNDLOWAT, SOL_SOCKET, SO_SNDLOWAT},
    {WS_SOL_SOCKET, WS_SO_RCVLOWAT, SOL_SOCKET, SO_RCVLOWAT},
    {WS_IPPROTO_IP, WS_IP_OPTIONS, IPPROTO_IP, IP_OPTIONS},
    {WS_IPPROTO_IP, WS_IP_HDRINCL, IPPROTO_IP, IP_HDRINCL},
    {WS_IPPROTO_IP, WS_IP_TOS, IPPROTO_IP, IP_TOS},
    {WS_IPPROTO_IP, WS_IP_TTL, IPPROTO_IP, IP_TTL},
    {WS_IPPROTO_IP, WS_IP_MULTICAST_IF, IPPROTO_IP, IP_MULTICAST_IF},
    {WS_IPPROTO_IP, WS_IP_MULTICAST_TTL, IPPROTO_IP, IP_MULTICAST_TTL},
    {WS_IPPROTO_IP, WS_IP_MULTICAST_LOOP, IPPROTO_IP, IP_MULTICAST_LOOP},
    {WS_IPPROTO_IP, WS_IP_ADD_MEMBERSHIP, IPPROTO_IP, IP_ADD_MEMBERSHIP},
    {WS_IPPROTO_IP, WS_IP_DROP_MEMBERSHIP, IPPROTO_IP, IP_DROP_MEMBERSHIP},
    {WS_IPPROTO_IP, WS_IP_PKTINFO, IPPROTO_IP, IP_PKTINFO},
    {WS_IPPROTO_IPV6, WS_IPV6_UNICAST_HOPS, IPPROTO_IPV6, IPV6_UNICAST_HOPS},
    {WS_IPPROTO_IPV6, WS_IPV6_MULTICAST_IF, IPPROTO_IPV6, IPV6_MULTICAST_IF},
    {WS_IPPROTO_IPV6, WS_IPV6_MULTICAST_HOPS, IPPROTO_IPV6, IPV6_MULTICAST_HOPS},
    {WS_IPPROTO_IPV6, WS_IPV6_MULTICAST_LOOP, IPPROTO_IPV6, IPV6_MULTICAST_LOOP},
    {WS_IPPROTO_IPV6, WS_IPV6_ADD_MEMBERSHIP, IPPROTO_IPV6, IPV6_ADD_MEMBERSHIP},
    {WS_IPPROTO_IPV6, WS_IPV6_DROP_MEMBERSHIP, IPPROTO_IPV6, IPV6_DROP_MEMBERSHIP},
    {WS_IPPROTO_IPV6, WS_IPV6_PKTINFO, IPPROTO_IPV6, IPV6_RECVPKTINFO},
    {WS_IPPROTO_IPV6, WS_IPV6_V6ONLY, IPPROTO_IPV6, IPV6_V6ONLY},
    {WS_IPPROTO_TCP, WS_TCP_NODELAY, IPPROTO_TCP, TCP_NODELAY},
    {WS_IPPROTO_TCP, WS_TCP_KEEPIDLE, IPPROTO_TCP, TCP_KEEPIDLE},
    {WS_IPPROTO_TCP, WS_TCP_KEEPCNT, IPPROTO_TCP, TCP_KEEPCNT},
    {WS_IPPROTO_TCP, WS_TCP_KEEPINTVL, IPPROTO_TCP, TCP_KEEPINTVL},
};

const opt_map* find_option(int level, int name) noexcept {
    for (const auto& m : kOptions)
        if (m.ws_level == level && m.ws_name == name) return &m;
    return nullptr;
}

// Windows reports the buffer size that was set; Linux doubles it for its
// own bookkeeping.
bool halves_on_read(int level, int name) noexcept {
    return level == WS_SOL_SOCKET && (name == WS_SO_SNDBUF || name == WS_SO_RCVBUF);
}

bool is_raw_option(int level, int name) noexcept {
    return (level == WS_IPPROTO_IP && (name == WS_IP_OPTIONS || name == WS_IP_ADD_MEMBERSHIP ||
                                       name == WS_IP_DROP_MEMBERSHIP)) ||
           (level == WS_IPPROTO_IPV6 && (name == WS_IPV6_ADD_MEMBERSHIP || name == WS_IPV6_DROP_MEMBERSHIP));
}

int put_int(void* optval, int* optlen, int v) noexcept {
    if (!optval || !optlen || *optlen < 4) {
        fail(WSAEFAULT);
        return SOCKET_ERROR;
    }
    std::memcpy(optval, &v, 4);
    *optlen = 4;
    return 0;
}

bool get_int_arg(const void* optval, int optlen, int* v) noexcept {
    if (!optval || optlen < 1) return false;
    // Windows takes a one-byte BOOL as well as a DWORD.
    *v = 0;
    std::memcpy(v, optval, static_cast<std::size_t>(optlen < 4 ? optlen : 4));
    if (optlen < 4) *v &= (1 << (8 * optlen)) - 1;
    return true;
}

} // namespace

int getsockopt(SOCKET h, int level, int name, void* optval, int* optlen) noexcept {
    std::unique_lock<std::mutex> g;
    sock_state* s = lock_socket(h, g);
    if (!s) return SOCKET_ERROR;
    if (!optlen || (!optval && *optlen)) {
        fail(WSAEFAULT);
        return SOCKET_ERROR;
    }
    if (level == WS_SOL_SOCKET) {
        switch (name) {
        case WS_SO_RCVTIMEO: return put_int(optval, optlen, static_cast<int>(s->rcv_timeout_ms));
        case WS_SO_SNDTIMEO: return put_int(optval, optlen, static_cast<int>(s->snd_timeout_ms));
        case WS_SO_TYPE: return put_int(optval, optlen, s->type);
        case WS_SO_ERROR: {
            int e = 0;
            socklen_t l = sizeof e;
            if (::getsockopt(s->fd, SOL_SOCKET, SO_ERROR, &e, &l) < 0) e = errno;
            return put_int(optval, optlen, winsock_error_from_errno(e));
        }
        case WS_SO_MAX_MSG_SIZE:
            if (s->type == SOCK_STREAM) break; // no message size on a stream
            return put_int(optval, optlen, s->family == AF_INET6 ? 65527 : 65507);
        case WS_SO_LINGER: {
            if (*optlen < 4) {
                fail(WSAEFAULT);
                return SOCKET_ERROR;
            }
            linger l{};
            socklen_t ll = sizeof l;
            if (::getsockopt(s->fd, SOL_SOCKET, SO_LINGER, &l, &ll) < 0) {
                fail(winsock_error_from_errno(errno));
                return SOCKET_ERROR;
            }
            const std::uint16_t w[2] = {static_cast<std::uint16_t>(l.l_onoff ? 1 : 0),
                                        static_cast<std::uint16_t>(l.l_linger)};
            std::memcpy(optval, w, 4);
            *optlen = 4;
            return 0;
        }
        default: break;
        }
    }
    if (level == WS_IPPROTO_IP && name == WS_IP_DONTFRAGMENT) {
        int v = 0;
        socklen_t l = sizeof v;
        if (::getsockopt(s->fd, IPPROTO_IP, IP_MTU_DISCOVER, &v, &l) < 0) {
            fail(winsock_error_from_errno(errno));
            return SOCKET_ERROR;
        }
        return put_int(optval, optlen, v == IP_PMTUDISC_DO ? 1 : 0);
    }
    const opt_map* m = find_option(level, name);
    if (!m) {
        fail(WSAENOPROTOOPT);
        return SOCKET_ERROR;
    }
    if (is_raw_option(level, name)) {
        socklen_t l = static_cast<socklen_t>(*optlen);
        if (::getsockopt(s->fd, m->lx_level, m->lx_name, optval, &l) < 0) {
            fail(winsock_error_from_errno(errno));
            return SOCKET_ERROR;
        }
        *optlen = static_cast<int>(l);
        return 0;
    }
    int v = 0;
    socklen_t l = sizeof v;
    if (::getsockopt(s->fd, m->lx_level, m->lx_name, &v, &l) < 0) {
        fail(winsock_error_from_errno(errno));
        return SOCKET_ERROR;
    }
    if (halves_on_read(level, name)) v /= 2;
    return put_int(optval, optlen, v);
}

int setsockopt(SOCKET h, int level, int name, const void* optval, int optlen) noexcept {
    std::unique_lock<std::mutex> g;
    sock_state* s = lock_socket(h, g);
    if (!s) return SOCKET_ERROR;
    if (optlen < 0 || (!optval && optlen)) {
        fail(WSAEFAULT);
        return SOCKET_ERROR;
    }
    int v = 0;
    if (level == WS_SOL_SOCKET) {
        switch (name) {
        case WS_SO_UPDATE_ACCEPT_CONTEXT:
        case WS_SO_UPDATE_CONNECT_CONTEXT:
            return 0; // the kernel keeps the context itself
        case WS_SO_RCVTIMEO:
        case WS_SO_SNDTIMEO:
            // Kept here: the descriptor is non-blocking, so the engine's
            // own waits apply them.
            if (!get_int_arg(optval, optlen, &v)) {
                fail(WSAEFAULT);
                return SOCKET_ERROR;
            }
            (name == WS_SO_RCVTIMEO ? s->rcv_timeout_ms : s->snd_timeout_ms) = static_cast<std::uint32_t>(v);
            return 0;
        case WS_SO_LINGER: {
            if (!optval || optlen < 4) {
                fail(WSAEFAULT);
                return SOCKET_ERROR;
            }
            std::uint16_t w[2];
            std::memcpy(w, optval, 4);
            const linger l{w[0] ? 1 : 0, w[1]};
            if (::setsockopt(s->fd, SOL_SOCKET, SO_LINGER, &l, sizeof l) < 0) {
                fail(winsock_error_from_errno(errno));
                return SOCKET_ERROR;
            }
            return 0;
        }
        default: break;
        }
    }
    if (level == WS_IPPROTO_IP && name == WS_IP_DONTFRAGMENT) {
        if (!get_int_arg(optval, optlen, &v)) {
            fail(WSAEFAULT);
            return SOCKET_ERROR;
        }
        const int mode = v ? IP_PMTUDISC_DO : IP_PMTUDISC_DONT;
        if (::setsockopt(s->fd, IPPROTO_IP, IP_MTU_DISCOVER, &mode, sizeof mode) < 0) {
            fail(winsock_error_from_errno(errno));
            return SOCKET_ERROR;
        }
        return 0;
    }
    const opt_map* m = find_option(level, name);
    if (!m || (level == WS_SOL_SOCKET && name == WS_SO_ACCEPTCONN)) {
        fail(WSAENOPROTOOPT);
        return SOCKET_ERROR;
    }
    int r;
    if (is_raw_option(level, name)) {
        r = ::setsockopt(s->fd, m->lx_level, m->lx_name, optval, static_cast<socklen_t>(optlen));
    } else {
        if (!get_int_arg(optval, optlen, &v)) {
            fail(WSAEFAULT);
            return SOCKET_ERROR;
        }
        r = ::setsockopt(s->fd, m->lx_level, m->lx_name, &v, sizeof v);
    }
    if (r < 0) {
        fail(winsock_error_from_errno(errno));
        return SOCKET_ERROR;
    }
    return 0;
}

} // namespace winsock
} // namespace platform
