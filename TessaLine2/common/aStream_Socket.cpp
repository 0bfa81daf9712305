#include "aStream_Socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr uint16_t kSocketCheck = 0xDEAD;
constexpr milliseconds kReconnectPause{10};  // lets the peer see the reset before we call again
constexpr milliseconds kRetryPause{60};
constexpr int kMaxRetries = 10;

struct SocketState {
    uint16_t check = kSocketCheck;
    uint16_t port = 0;  // host order
    sockaddr_in address{};
    std::atomic<int> fd{-1};  // -1 while closed, never 0 (that is standard input)
    std::atomic<bool> connected{false};
    std::mutex lock;  // held around each socket call and every replacement of the descriptor
};

// What an errno value means to this transport: the one place where errno is interpreted.
enum class Fault { WouldBlock, Interrupted, Lost, Refused, Other };

Fault sClassify(int err) {
    switch (err) {
        case EAGAIN:
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
        case EINPROGRESS:
            return Fault::WouldBlock;
        case EINTR:
            return Fault::Interrupted;
        case ECONNRESET:
        case ENOTCONN:
        case ETIMEDOUT:
        case EPIPE:
            return Fault::Lost;
        case ECONNREFUSED:
            return Fault::Refused;
        default:
            return Fault::Other;
    }
}

SocketState* sState(void* ref) {
    auto* state = static_cast<SocketState*>(ref);
    return state && state->check == kSocketCheck ? state : nullptr;
}

// Lock held.
void sClose(SocketState* state) {
    state->connected = false;
    int fd = state->fd.exchange(-1);
    if (fd >= 0) close(fd);
}

bool sApplyOptions(int fd) {
    int on = 1;
    timeval noTimeout{};
    linger resetOnClose{1, 0};
    int flags = fcntl(fd, F_GETFL);
    return setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0 &&
           setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &noTimeout, sizeof noTimeout) == 0 &&
           setsockopt(fd, SOL_SOCKET, SO_LINGER, &resetOnClose, sizeof resetOnClose) == 0 &&
           flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// (Re-)establishes the connection. Lock held.
aErr sConnect(SocketState* state) {
    if (state->fd >= 0) {
        sClose(state);
        std::this_thread::sleep_for(kReconnectPause);
    }
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return aErrIO;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&state->address), sizeof state->address) !=
        0) {
        Fault fault = sClassify(errno);
        close(fd);
        return fault == Fault::Other || fault == Fault::Interrupted ? aErrIO : aErrConnection;
    }
    if (!sApplyOptions(fd)) {
        close(fd);
        return aErrIO;
    }
    state->fd = fd;
    state->connected = true;
    return aErrNone;
}

// True when the connection is over from the peer's side: it closed its side with nothing left
// to read, or it reset the connection (the peek then takes the pending error, which is why it
// counts here rather than being left for get). Lock held.
bool sPeerClosed(SocketState* state) {
    uint8_t byte;
    ssize_t n;
    do {
        n = recv(state->fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    return n == 0 || (n < 0 && sClassify(errno) == Fault::Lost);
}

aErr sSocketGet(uint8_t* byte, void* ref) {
    SocketState* state = sState(ref);
    if (!state || !byte) return aErrParam;
    std::lock_guard<std::mutex> guard(state->lock);
    if (!state->connected) return aErrConnection;

    bool reconnected = false;
    for (;;) {
        ssize_t n = recv(state->fd, byte, 1, MSG_PEEK | MSG_DONTWAIT);
        if (n > 0) break;
        if (n == 0) return aErrNotReady;  // the peer closed its side
        Fault fault = sClassify(errno);
        if (fault == Fault::Interrupted) continue;
        if (fault == Fault::WouldBlock) return aErrNotReady;
        if (fault != Fault::Lost || reconnected) return aErrConnection;
        aErr err = sConnect(state);
        if (err != aErrNone) return err;
        reconnected = true;
    }

    for (;;) {
        ssize_t n = recv(state->fd, byte, 1, MSG_DONTWAIT);
        if (n == 1) return aErrNone;
        if (n == 0) return aErrNotReady;
        switch (sClassify(errno)) {
            case Fault::Interrupted:
                continue;
            case Fault::WouldBlock:
                return aErrEOF;
            case Fault::Lost:
                return aErrNotReady;
            default:
                return aErrIO;
        }
    }
}

// One send attempt of the unsent rest under the lock. Returns aErrNone with `sent` advanced,
// aErrNotReady when the attempt counts as a retry, or the error that ends the write.
aErr sSendOnce(SocketState* state, const uint8_t* bytes, size_t length, size_t& sent) {
    std::lock_guard<std::mutex> guard(state->lock);
    if (!state->connected) return aErrConnection;
    // Bytes sent after the peer closed would vanish while reported as written: reconnect first.
    if (sent == 0 && sPeerClosed(state)) {
        aErr err = sConnect(state);
        if (err != aErrNone) return err;
    }
    for (;;) {
        ssize_t n = send(state->fd, bytes + sent, length - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            return aErrNone;
        }
        Fault fault = n == 0 ? Fault::WouldBlock : sClassify(errno);
        switch (fault) {
            case Fault::Interrupted:
                continue;
            case Fault::WouldBlock:
                return aErrNotReady;
            case Fault::Lost: {
                aErr err = sConnect(state);
                if (err != aErrNone) return err;
                // The head of the block went to the old connection; the new peer gets it whole.
                sent = 0;
                return aErrNotReady;
            }
            default:
                return aErrIO;
        }
    }
}

aErr sSocketWrite(const uint8_t* bytes, size_t length, void* ref) {
    SocketState* state = sState(ref);
    if (!state || (!bytes && length > 0)) return aErrParam;
    if (!state->connected) return aErrConnection;

    size_t sent = 0;
    int retries = 0;
    while (sent < length) {
        size_t before = sent;
        aErr err = sSendOnce(state, bytes, length, sent);
        if (err == aErrNone) {
            if (sent == length) break;
            if (sent > before) retries = 1;
        } else if (err == aErrNotReady) {
            ++retries;
        } else {
            return err;
        }
        if (retries >= kMaxRetries) return aErrBusy;
        std::this_thread::sleep_for(kRetryPause);
    }
    return aErrNone;
}

aErr sSocketPut(const uint8_t* byte, void* ref) {
    return sSocketWrite(byte, 1, ref);
}

// Waits in poll() for something get can report. A peer that has closed its side keeps the socket
// readable for ever while get answers aErrNotReady, so that case sleeps out the time instead.
aErr sSocketWait(uint32_t msTimeout, void* ref) {
    SocketState* state = sState(ref);
    if (!state) return aErrParam;
    if (!state->connected) return aErrNone;  // get reports it at once

    auto deadline = Clock::now() + milliseconds(msTimeout);
    for (;;) {
        auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        if (left.count() < 0) left = milliseconds(0);
        pollfd poller{state->fd.load(), POLLIN, 0};
        int ready = poll(&poller, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return ready == 0 ? aErrTimeout : aErrNone;
        if (!(poller.revents & POLLERR) && (poller.revents & (POLLIN | POLLHUP))) {
            bool closed;
            {
                std::lock_guard<std::mutex> guard(state->lock);
                closed = state->connected && sPeerClosed(state);
            }
            if (closed) {
                std::this_thread::sleep_until(deadline);
                return aErrTimeout;
            }
        }
        return aErrNone;
    }
}

aErr sSocketDelete(void* ref) {
    SocketState* state = sState(ref);
    if (!state) return aErrParam;
    {
        std::lock_guard<std::mutex> guard(state->lock);
        sClose(state);
        state->check = 0;
    }
    delete state;
    return aErrNone;
}

}  // namespace

aErr aStream_CreateSocket(uint32_t ipAddress, uint16_t port, aStreamRef* stream) {
    if (!stream) return aErrParam;
    *stream = nullptr;

    auto* state = new (std::nothrow) SocketState;
    if (!state) return aErrResource;
    state->port = port;
    state->address.sin_family = AF_INET;
    state->address.sin_port = htons(port);
    state->address.sin_addr.s_addr = ipAddress;

    aErr err;
    {
        std::lock_guard<std::mutex> guard(state->lock);
        err = sConnect(state);
    }
    if (err != aErrNone) {
        delete state;
        return aErrResource;
    }

    aStreamRef created = aStream_Create(sSocketGet, sSocketPut, sSocketWrite, sSocketDelete, state);
    if (!created) {
        sSocketDelete(state);
        return aErrResource;
    }
    aStream_SetWait(created, sSocketWait);
    *stream = created;
    return aErrNone;
}
