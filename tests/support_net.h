// Loopback helpers for tests that use real TCP connections: free ports,
// plain POSIX peers whose every byte the test controls, deadlines, and the
// process's descriptor and thread counts.
#pragma once
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/loopback_port.h"
#include "tests/support.h"

namespace testing_support {

// Polls until pred holds or the time is up; false on time-out, so that a
// caller can fail with its own message instead of hanging.
inline bool WaitUntil(const std::function<bool()>& pred, int timeoutMs, int stepMs = 5) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (pred()) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(stepMs));
    }
}

inline double SecondsSince(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

inline int CountThreads() { return directory_entries("/proc/self/task"); }

// A plain TCP peer on loopback. Blocking calls take deadlines.
class RawPeer {
public:
    RawPeer() = default;
    explicit RawPeer(int fd) : fd_(fd) {}
    ~RawPeer() { Close(); }
    RawPeer(RawPeer&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
    RawPeer& operator=(RawPeer&& o) noexcept {
        if (this != &o) {
            Close();
            fd_ = o.fd_;
            o.fd_ = -1;
        }
        return *this;
    }

    bool Connect(int port) {
        Close();
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(std::uint16_t(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    bool SendBytes(const void* p, std::size_t n) {
        const char* c = static_cast<const char*>(p);
        while (n > 0) {
            const ssize_t k = ::send(fd_, c, n, MSG_NOSIGNAL);
            if (k < 0 && errno == EINTR) continue; // the collector's stop signal
            if (k <= 0) return false;
            c += k;
            n -= std::size_t(k);
        }
        return true;
    }
    bool SendInt32(std::int32_t v) {
        unsigned char b[4];
        for (int i = 0; i < 4; ++i) b[i] = static_cast<unsigned char>(std::uint32_t(v) >> (8 * i));
        return SendBytes(b, 4);
    }
    // Bytes read within the time (stops early once `atLeast` have come);
    // -1 once the peer has closed and nothing was read.
    long Receive(int timeoutMs, long atLeast = 1) {
        long total = 0;
        char buf[65536];
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (total < atLeast) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            pollfd p{fd_, POLLIN, 0};
            // A poll or recv cut short by the collector's stop signal is
            // not the end of the stream.
            const int r = ::poll(&p, 1, int(left.count()));
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) break;
            const ssize_t k = ::recv(fd_, buf, sizeof buf, 0);
            if (k == 0) return total > 0 ? total : -1;
            if (k < 0 && errno == EINTR) continue;
            if (k < 0) break;
            total += k;
        }
        return total;
    }
    // True when the peer's close (end of stream or reset) arrives in time;
    // data on the way is read and dropped.
    bool WaitForClose(int timeoutMs) {
        char buf[65536];
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd p{fd_, POLLIN, 0};
            const int r = ::poll(&p, 1, int(left.count()));
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) return false;
            const ssize_t k = ::recv(fd_, buf, sizeof buf, 0);
            if (k < 0 && errno == EINTR) continue;
            if (k <= 0) return true;
        }
    }
    void ShutdownSend() { ::shutdown(fd_, SHUT_WR); }
    // Closes with a reset instead of the orderly end.
    void Reset() {
        linger l{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        Close();
    }
    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    int fd() const { return fd_; }

private:
    int fd_ = -1;
};

// A plain listening socket on 127.0.0.1 for tests of the client side.
class RawListener {
public:
    RawListener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(fd_, 64);
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~RawListener() { ::close(fd_); }
    RawListener(const RawListener&) = delete;
    RawListener& operator=(const RawListener&) = delete;
    int port() const { return port_; }
    // The next connection, or an empty peer after the time.
    RawPeer Accept(int timeoutMs) {
        pollfd p{fd_, POLLIN, 0};
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        int r;
        while ((r = ::poll(&p, 1, timeoutMs)) < 0 && errno == EINTR) {
            timeoutMs = int(std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now())
                                .count());
            if (timeoutMs < 0) timeoutMs = 0;
        }
        if (r <= 0) return RawPeer();
        return RawPeer(::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC));
    }

private:
    int fd_ = -1;
    int port_ = 0;
};

} // namespace testing_support
