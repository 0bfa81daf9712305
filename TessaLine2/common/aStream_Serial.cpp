#include "aStream_Serial.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr uint16_t kSerialCheck = 0xBEEF;

constexpr speed_t kSpeeds[] = {B2400, B4800, B9600, B19200, B38400, B57600, B115200, B230400};

struct SerialState {
    uint16_t check = kSerialCheck;
    uint32_t baudIndex = 0;
    char path[aSERIAL_MAX_PATH + 1] = {};
    int fd = -1;
    termios original{};  // found at open, restored at close
    termios applied{};
};

// What an errno value means to this transport: the one place where errno is interpreted.
aErr sSerialError(int err) {
    switch (err) {
        case ENOENT:
            return aErrNotFound;
        case EACCES:
        case EPERM:
            return aErrPermission;
        case EAGAIN:
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
        case EINTR:
            return aErrNotReady;  // nothing waiting, or a call to repeat
        default:
            return aErrIO;
    }
}

SerialState* sState(void* ref) {
    auto* state = static_cast<SerialState*>(ref);
    return state && state->check == kSerialCheck ? state : nullptr;
}

speed_t sSpeed(uint32_t baudIndex) {
    return baudIndex < sizeof kSpeeds / sizeof kSpeeds[0] ? kSpeeds[baudIndex] : B0;
}

aErr sOpen(SerialState* state, bool parity, uint32_t dataBitsMode, uint32_t stopBitsMode) {
    // Opened non-blocking so that a modem line without carrier can't hold the open.
    state->fd = open(state->path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (state->fd < 0) {
        aErr err = sSerialError(errno);
        return err == aErrNotFound || err == aErrPermission ? err : aErrIO;
    }
    int flags = fcntl(state->fd, F_GETFL);
    if (flags < 0 || fcntl(state->fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return aErrIO;
    if (tcgetattr(state->fd, &state->original) != 0) return aErrIO;

    state->applied = aStream_SerialSettings(state->original, state->baudIndex, parity, dataBitsMode,
                                            stopBitsMode);
    if (tcsetattr(state->fd, TCSANOW, &state->applied) != 0) return aErrIO;
    if (tcflush(state->fd, TCIOFLUSH) != 0) {
        tcsetattr(state->fd, TCSANOW, &state->original);
        return aErrIO;
    }
    return aErrNone;
}

aErr sSerialGet(uint8_t* byte, void* ref) {
    SerialState* state = sState(ref);
    if (!state || !byte) return aErrParam;
    ssize_t n = read(state->fd, byte, 1);
    if (n == 1) return aErrNone;
    if (n == 0) return aErrNotReady;
    return sSerialError(errno) == aErrNotReady ? aErrNotReady : aErrIO;
}

aErr sSerialWrite(const uint8_t* bytes, size_t length, void* ref) {
    SerialState* state = sState(ref);
    if (!state || (!bytes && length > 0)) return aErrParam;
    if (length == 0) return aErrNone;
    if (write(state->fd, bytes, length) != static_cast<ssize_t>(length)) return aErrIO;
    int drained;
    do {
        drained = tcdrain(state->fd);
    } while (drained != 0 && errno == EINTR);
    return drained == 0 ? aErrNone : aErrIO;
}

aErr sSerialPut(const uint8_t* byte, void* ref) {
    return sSerialWrite(byte, 1, ref);
}

// True when the line has hung up and nothing is left to read: get then answers aErrNotReady for
// ever while poll() keeps reporting the descriptor ready. (A hung-up terminal also refuses to
// count its waiting bytes.)
bool sHungUp(const SerialState* state, short revents) {
    if (!(revents & POLLHUP)) return false;
    int waiting = 0;
    return ioctl(state->fd, FIONREAD, &waiting) != 0 || waiting == 0;
}

aErr sSerialWait(uint32_t msTimeout, void* ref) {
    SerialState* state = sState(ref);
    if (!state) return aErrParam;
    auto deadline = Clock::now() + milliseconds(msTimeout);
    for (;;) {
        auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
        if (left.count() < 0) left = milliseconds(0);
        pollfd poller{state->fd, POLLIN, 0};
        int ready = poll(&poller, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) return aErrTimeout;
        if (ready > 0 && sHungUp(state, poller.revents)) {
            std::this_thread::sleep_until(deadline);
            return aErrTimeout;
        }
        return aErrNone;  // a byte, or an error that get reports
    }
}

aErr sSerialDelete(void* ref) {
    SerialState* state = sState(ref);
    if (!state) return aErrParam;
    tcsetattr(state->fd, TCSANOW, &state->original);
    close(state->fd);
    state->check = 0;
    delete state;
    return aErrNone;
}

}  // namespace

aErr aStream_CreateSerial(const char* portName, uint32_t baudIndex, bool parity,
                          uint32_t dataBitsMode, uint32_t stopBitsMode, aStreamRef* stream) {
    if (!stream) return aErrResource;
    *stream = nullptr;
    if (!portName || dataBitsMode > 1 || stopBitsMode > 1) return aErrResource;
    if (strlen(portName) > aSERIAL_MAX_PATH) return aErrResource;

    auto* state = new (std::nothrow) SerialState;
    if (!state) return aErrResource;
    state->baudIndex = baudIndex;
    memcpy(state->path, portName, strlen(portName) + 1);

    aErr err = sOpen(state, parity, dataBitsMode, stopBitsMode);
    if (err != aErrNone) {
        if (state->fd >= 0) close(state->fd);
        delete state;
        return err;
    }
    aStreamRef created = aStream_Create(sSerialGet, sSerialPut, sSerialWrite, sSerialDelete, state);
    if (!created) {
        sSerialDelete(state);  // restores the settings found at open
        return aErrResource;
    }
    aStream_SetWait(created, sSerialWait);
    *stream = created;
    return aErrNone;
}

termios aStream_SerialSettings(const termios& found, uint32_t baudIndex, bool parity,
                               uint32_t dataBitsMode, uint32_t stopBitsMode) {
    termios raw = found;
    raw.c_iflag = IGNBRK | (parity ? IGNPAR : 0);
    raw.c_oflag = 0;
    raw.c_lflag = 0;
    raw.c_cflag = CREAD | CLOCAL | (parity ? PARENB : 0) | (dataBitsMode == 0 ? CS8 : CS7) |
                  (stopBitsMode == 1 ? CSTOPB : 0);
    raw.c_cc[VMIN] = 0;  // a read returns at once when nothing is waiting
    raw.c_cc[VTIME] = 0;
    cfsetispeed(&raw, sSpeed(baudIndex));
    cfsetospeed(&raw, sSpeed(baudIndex));
    return raw;
}
