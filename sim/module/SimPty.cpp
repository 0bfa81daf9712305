#include "SimPty.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace sim::tessaline {

namespace {

void sCloseFd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

}  // namespace

SimPty::SimPty(std::shared_ptr<SimModule> module) : module_(std::move(module)) {}

SimPty::~SimPty() {
    Close();
}

aErr SimPty::Open() {
    std::lock_guard<std::mutex> life(lifecycle_);
    if (!module_) return aErrParam;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (open_) return aErrBusy;
    }
    // A line hung up by the module leaves its thread to be collected.
    if (thread_.joinable()) thread_.join();

    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) return aErrResource;
    char name[256];
    int slave = -1;
    int wake[2] = {-1, -1};
    termios settings{};
    aErr err = aErrNone;
    if (grantpt(master) != 0 || unlockpt(master) != 0 ||
        ptsname_r(master, name, sizeof name) != 0) {
        err = aErrIO;
    } else if ((slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC)) < 0) {
        err = aErrIO;
    } else if (tcgetattr(slave, &settings) != 0) {
        err = aErrIO;
    } else {
        // Raw before the first byte: an echoing line would send the module's output back to it.
        cfmakeraw(&settings);
        if (tcsetattr(slave, TCSANOW, &settings) != 0) err = aErrIO;
    }
    const int flags = err == aErrNone ? fcntl(master, F_GETFL) : -1;
    if (err == aErrNone && (flags < 0 || fcntl(master, F_SETFL, flags | O_NONBLOCK) != 0))
        err = aErrIO;
    if (err == aErrNone && pipe2(wake, O_NONBLOCK | O_CLOEXEC) != 0) err = aErrResource;
    if (err != aErrNone) {
        close(master);
        sCloseFd(slave);
        return err;
    }

    {
        std::lock_guard<std::mutex> lock(mutex_);
        master_ = master;
        slave_ = slave;
        wakeRead_ = wake[0];
        wakeWrite_ = wake[1];
        slavePath_ = name;
        hangUp_ = false;
        open_ = true;
    }
    auto sink = [this](const uint8_t* bytes, size_t length) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (master_ < 0) return;
        ssize_t n;
        do {
            n = write(master_, bytes, length);
        } while (n < 0 && errno == EINTR);
        // A full line (nobody reading) loses what it can't take, as a serial line would.
        const size_t written = n > 0 ? static_cast<size_t>(n) : 0;
        lost_ += length - written;
    };
    auto hangUp = [this] {
        std::lock_guard<std::mutex> lock(mutex_);
        hangUp_ = true;
        if (wakeWrite_ >= 0) {
            const uint8_t byte = 1;
            [[maybe_unused]] ssize_t n = write(wakeWrite_, &byte, 1);
        }
    };
    token_ = module_->Attach(sink, hangUp);
    try {
        thread_ = std::thread([this] { Run(); });
    } catch (...) {
        HangUp();
        return aErrResource;
    }
    return aErrNone;
}

void SimPty::Close() {
    std::lock_guard<std::mutex> life(lifecycle_);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (open_) {
            hangUp_ = true;
            const uint8_t byte = 1;
            [[maybe_unused]] ssize_t n = write(wakeWrite_, &byte, 1);
        }
    }
    if (thread_.joinable()) thread_.join();
}

bool SimPty::IsOpen() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return open_;
}

std::string SimPty::SlavePath() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return slavePath_;
}

uint64_t SimPty::BytesLost() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lost_;
}

void SimPty::Run() {
    int master, wake;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        master = master_;
        wake = wakeRead_;
    }
    std::vector<uint8_t> buffer(4096);
    for (;;) {
        pollfd fds[2] = {{wake, POLLIN, 0}, {master, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) continue;  // EINTR
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (hangUp_) break;
        }
        if (fds[0].revents != 0) {
            uint8_t drain[16];
            while (read(wake, drain, sizeof drain) > 0) {
            }
        }
        if (fds[1].revents == 0) continue;
        ssize_t n = read(master, buffer.data(), buffer.size());
        if (n > 0) {
            module_->Receive(buffer.data(), static_cast<size_t>(n));
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            break;  // the pseudo-terminal itself failed
        }
    }
    HangUp();
}

void SimPty::HangUp() {
    module_->Detach(token_);  // no sink call runs from here on
    token_ = 0;
    std::lock_guard<std::mutex> lock(mutex_);
    sCloseFd(master_);
    sCloseFd(slave_);
    sCloseFd(wakeRead_);
    sCloseFd(wakeWrite_);
    slavePath_.clear();
    open_ = false;
}

}  // namespace sim::tessaline
