#include "SimTcpServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace sim::tessaline {

namespace {

aErr sBindError(int err) {
    switch (err) {
        case EACCES:
        case EPERM:
            return aErrPermission;
        case EADDRINUSE:
            return aErrBusy;
        default:
            return aErrIO;
    }
}

}  // namespace

SimTcpServer::SimTcpServer(std::shared_ptr<SimModule> module) : module_(std::move(module)) {}

SimTcpServer::~SimTcpServer() {
    Stop();
}

aErr SimTcpServer::Start(uint16_t port, uint32_t bindAddress) {
    std::lock_guard<std::mutex> life(lifecycle_);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (running_) return aErrBusy;
        port_ = port;
        bindAddress_ = bindAddress;
    }
    if (!module_) return aErrParam;
    int wake[2];
    if (pipe2(wake, O_NONBLOCK | O_CLOEXEC) != 0) return aErrResource;
    wakeRead_ = wake[0];
    wakeWrite_ = wake[1];
    aErr err = OpenListener();
    if (err == aErrNone) {
        try {
            thread_ = std::thread([this] { Run(); });
        } catch (...) {
            CloseListener();
            err = aErrResource;
        }
    }
    if (err != aErrNone) {
        close(wakeRead_);
        close(wakeWrite_);
        wakeRead_ = wakeWrite_ = -1;
        return err;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = true;
    return aErrNone;
}

void SimTcpServer::Stop() {
    std::lock_guard<std::mutex> life(lifecycle_);
    if (Post(Kind::Stop) == aErrNotReady) return;
    thread_.join();
    std::lock_guard<std::mutex> lock(mutex_);
    close(wakeRead_);
    close(wakeWrite_);
    wakeRead_ = wakeWrite_ = -1;
}

uint16_t SimTcpServer::Port() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return port_;
}

void SimTcpServer::StopListening() {
    Post(Kind::StopListening);
}

aErr SimTcpServer::StartListening() {
    return Post(Kind::StartListening);
}

bool SimTcpServer::IsListening() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return listening_;
}

void SimTcpServer::DropConnection() {
    Post(Kind::Drop);
}

bool SimTcpServer::IsConnected() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connected_;
}

uint64_t SimTcpServer::ConnectionCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connections_;
}

bool SimTcpServer::WaitForConnection(uint64_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return connected_ && connections_ >= count; });
}

// --- Requests -------------------------------------------------------------------------------

aErr SimTcpServer::Post(Kind kind) {
    auto done = std::make_shared<std::pair<bool, aErr>>(false, aErrNone);
    std::unique_lock<std::mutex> lock(mutex_);
    if (!running_) return aErrNotReady;
    // Asked from the server thread itself: nothing may wait for it there.
    const bool own = std::this_thread::get_id() == thread_.get_id();
    requests_.push_back(Request{kind, 0, own ? nullptr : done});
    Wake();
    if (own) return aErrNone;
    changed_.wait(lock, [&] { return done->first; });
    return done->second;
}

void SimTcpServer::PostAsync(Kind kind, uint64_t connection) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!running_) return;
    requests_.push_back(Request{kind, connection, nullptr});
    Wake();
}

// mutex_ held, so that the descriptor can't be closed under the write.
void SimTcpServer::Wake() {
    const uint8_t byte = 1;
    // A full pipe already holds a wake-up: nothing is lost when this write fails.
    [[maybe_unused]] ssize_t n = write(wakeWrite_, &byte, 1);
}

bool SimTcpServer::CarryRequests() {
    uint8_t drain[64];
    while (read(wakeRead_, drain, sizeof drain) > 0) {
    }
    for (;;) {
        Request request;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (requests_.empty()) return true;
            request = requests_.front();
            requests_.pop_front();
        }
        aErr result = aErrNone;
        bool keepRunning = true;
        switch (request.kind) {
            case Kind::Drop: {
                uint64_t current;
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    current = currentConnection_;
                }
                if (request.connection == 0 || request.connection == current) CloseConnection(true);
                break;
            }
            case Kind::StopListening:
                // A module that stops listening has gone away (restarted, switched off): its host
                // sees the connection reset, not an orderly end it could mistake for silence.
                if (connFd_ >= 0) {
                    const linger reset = {1, 0};
                    setsockopt(connFd_, SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
                }
                CloseConnection(true);
                CloseListener();
                break;
            case Kind::StartListening:
                result = listenFd_ >= 0 ? aErrNone : OpenListener();
                break;
            case Kind::Stop:
                CloseConnection(true);
                CloseListener();
                keepRunning = false;
                break;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (request.done) *request.done = {true, result};
            if (!keepRunning) {
                // Requests that came after the stop find the server gone.
                running_ = false;
                for (Request& late : requests_) {
                    if (late.done) *late.done = {true, aErrNotReady};
                }
                requests_.clear();
            }
        }
        changed_.notify_all();
        if (!keepRunning) return false;
    }
}

// --- Server thread --------------------------------------------------------------------------

void SimTcpServer::Run() {
    for (;;) {
        pollfd fds[3];
        nfds_t count = 0;
        fds[count++] = {wakeRead_, POLLIN, 0};
        int listenAt = -1, connAt = -1;
        if (connFd_ < 0 && listenFd_ >= 0) {
            listenAt = static_cast<int>(count);
            fds[count++] = {listenFd_, POLLIN, 0};
        }
        if (connFd_ >= 0) {
            short events = POLLIN;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (!toHost_.empty()) events |= POLLOUT;
            }
            connAt = static_cast<int>(count);
            fds[count++] = {connFd_, events, 0};
        }
        if (poll(fds, count, -1) < 0) continue;  // EINTR

        if (fds[0].revents != 0) {
            if (!CarryRequests()) return;
            continue;  // the descriptors may have changed
        }
        if (listenAt >= 0 && fds[listenAt].revents != 0) Accept();
        if (connAt >= 0 && (fds[connAt].revents & POLLOUT) != 0) FlushConnection();
        if (connAt >= 0 && connFd_ >= 0 && (fds[connAt].revents & (POLLIN | POLLHUP | POLLERR)))
            ReadConnection();
    }
}

aErr SimTcpServer::OpenListener() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return aErrIO;
    int on = 1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        address.sin_addr.s_addr = htonl(bindAddress_);
        address.sin_port = htons(port_);
    }
    socklen_t length = sizeof address;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, 8) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        aErr err = sBindError(errno);
        close(fd);
        return err;
    }
    listenFd_ = fd;
    std::lock_guard<std::mutex> lock(mutex_);
    port_ = ntohs(address.sin_port);
    listening_ = true;
    return aErrNone;
}

void SimTcpServer::CloseListener() {
    if (listenFd_ >= 0) close(listenFd_);
    listenFd_ = -1;
    std::lock_guard<std::mutex> lock(mutex_);
    listening_ = false;
}

void SimTcpServer::Accept() {
    int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;  // the host gave up in the meantime
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    connFd_ = fd;
    uint64_t id;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        id = nextConnection_++;
        currentConnection_ = id;
        toHost_.clear();
    }
    auto sink = [this, id](const uint8_t* bytes, size_t length) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (currentConnection_ != id) return;
        toHost_.insert(toHost_.end(), bytes, bytes + length);
        Wake();
    };
    token_ = module_->Attach(sink, [this, id] { PostAsync(Kind::Drop, id); });
    {
        std::lock_guard<std::mutex> lock(mutex_);
        connected_ = true;
        ++connections_;
    }
    changed_.notify_all();
}

void SimTcpServer::ReadConnection() {
    uint8_t buffer[4096];
    for (;;) {
        ssize_t n = recv(connFd_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) {
            module_->Receive(buffer, static_cast<size_t>(n));
            return;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        CloseConnection(false);  // the host closed or reset the connection
        return;
    }
}

void SimTcpServer::FlushConnection() {
    bool broken = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        while (!toHost_.empty()) {
            ssize_t n = send(connFd_, toHost_.data(), toHost_.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                toHost_.erase(toHost_.begin(), toHost_.begin() + n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            broken = !(n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK));
            break;
        }
    }
    if (broken) CloseConnection(false);
}

void SimTcpServer::CloseConnection(bool flush) {
    if (connFd_ < 0) return;
    module_->Detach(token_);  // no sink call runs from here on
    token_ = 0;
    if (flush) FlushConnection();
    if (connFd_ < 0) return;  // the flush found the connection broken and closed it
    {
        std::lock_guard<std::mutex> lock(mutex_);
        currentConnection_ = 0;
        connected_ = false;
        toHost_.clear();
    }
    close(connFd_);
    connFd_ = -1;
    changed_.notify_all();
}

}  // namespace sim::tessaline
