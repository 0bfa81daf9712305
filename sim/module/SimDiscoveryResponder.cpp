#include "SimDiscoveryResponder.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace sim::tessaline {

namespace {

constexpr uint8_t kRequestMark = 1;
constexpr size_t kModelByte = 12;

aErr sSocketError(int err) {
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

// The addresses (network order) of the interfaces to join on: the one given, or every IPv4
// interface that is up and not a loopback interface.
std::vector<in_addr> sJoinAddresses(const std::string& interfaceAddress, aErr* err) {
    std::vector<in_addr> addresses;
    *err = aErrNone;
    if (!interfaceAddress.empty()) {
        in_addr address{};
        if (inet_pton(AF_INET, interfaceAddress.c_str(), &address) != 1) {
            *err = aErrParam;
            return addresses;
        }
        addresses.push_back(address);
        return addresses;
    }
    ifaddrs* interfaces = nullptr;
    if (getifaddrs(&interfaces) != 0) {
        *err = aErrIO;
        return addresses;
    }
    for (const ifaddrs* entry = interfaces; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET) continue;
        if ((entry->ifa_flags & IFF_UP) == 0 || (entry->ifa_flags & IFF_LOOPBACK) != 0) continue;
        sockaddr_in in{};
        memcpy(&in, entry->ifa_addr, sizeof in);
        addresses.push_back(in.sin_addr);
    }
    freeifaddrs(interfaces);
    if (addresses.empty()) *err = aErrNotFound;
    return addresses;
}

// A UDP socket on port 9888 (shared), in the group on every address of `joinOn`. -1 and `*err`
// on failure.
int sOpenSocket(const std::vector<in_addr>& joinOn, aErr* err) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *err = sSocketError(errno);
        return -1;
    }
    const int on = 1, off = 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(kDiscoveryRequestPort);
    bool good = setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
                setsockopt(fd, IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof off) == 0 &&
                bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    for (size_t i = 0; good && i < joinOn.size(); ++i) {
        ip_mreq membership{};
        inet_pton(AF_INET, kDiscoveryGroup, &membership.imr_multiaddr);
        membership.imr_interface = joinOn[i];
        good = setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) == 0;
    }
    if (!good) {
        *err = sSocketError(errno);
        close(fd);
        return -1;
    }
    *err = aErrNone;
    return fd;
}

}  // namespace

std::vector<uint8_t> SimDiscoveryReply(uint32_t serialNumber, uint8_t address, uint16_t tcpPort,
                                       uint8_t model) {
    std::vector<uint8_t> reply(kDiscoveryDatagramSize, 0);
    reply[1] = address;
    reply[2] = static_cast<uint8_t>(tcpPort);
    reply[3] = static_cast<uint8_t>(tcpPort >> 8);
    for (int i = 0; i < 4; ++i) reply[4 + i] = static_cast<uint8_t>(serialNumber >> (8 * i));
    reply[kModelByte] = model;
    return reply;
}

SimDiscoveryResponder::SimDiscoveryResponder(std::shared_ptr<SimModule> module, uint16_t tcpPort)
    : module_(std::move(module)), tcpPort_(tcpPort) {}

SimDiscoveryResponder::~SimDiscoveryResponder() {
    Stop();
}

aErr SimDiscoveryResponder::Start(const std::string& interfaceAddress) {
    std::lock_guard<std::mutex> life(lifecycle_);
    if (thread_.joinable()) return aErrBusy;
    if (!module_) return aErrParam;
    aErr err = aErrNone;
    const std::vector<in_addr> joinOn = sJoinAddresses(interfaceAddress, &err);
    if (err != aErrNone) return err;
    const int fd = sOpenSocket(joinOn, &err);
    if (fd < 0) return err;
    int wake[2];
    if (pipe2(wake, O_NONBLOCK | O_CLOEXEC) != 0) {
        close(fd);
        return aErrResource;
    }
    try {
        thread_ = std::thread([this, fd, wake] { Run(fd, wake[0]); });
    } catch (...) {
        close(fd);
        close(wake[0]);
        close(wake[1]);
        return aErrResource;
    }
    socket_ = fd;
    wakeRead_ = wake[0];
    wakeWrite_ = wake[1];
    return aErrNone;
}

void SimDiscoveryResponder::Stop() {
    std::lock_guard<std::mutex> life(lifecycle_);
    if (!thread_.joinable()) return;
    const uint8_t byte = 1;
    [[maybe_unused]] ssize_t n = write(wakeWrite_, &byte, 1);
    thread_.join();
    close(socket_);
    close(wakeRead_);
    close(wakeWrite_);
    socket_ = wakeRead_ = wakeWrite_ = -1;
}

void SimDiscoveryResponder::SetReplyLength(size_t length) {
    std::lock_guard<std::mutex> lock(mutex_);
    replyLength_ = std::min(length, kDiscoveryDatagramSize);
}

void SimDiscoveryResponder::SetSilent(bool silent) {
    std::lock_guard<std::mutex> lock(mutex_);
    silent_ = silent;
}

uint64_t SimDiscoveryResponder::Requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

uint64_t SimDiscoveryResponder::Replies() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return replies_;
}

uint64_t SimDiscoveryResponder::Ignored() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return ignored_;
}

void SimDiscoveryResponder::Run(int socketFd, int wakeFd) {
    for (;;) {
        pollfd fds[2] = {{wakeFd, POLLIN, 0}, {socketFd, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) continue;  // EINTR
        if (fds[0].revents != 0) return;
        if ((fds[1].revents & POLLIN) == 0) continue;
        // One byte more than a request, so that a longer datagram shows as such.
        uint8_t datagram[kDiscoveryDatagramSize + 1];
        sockaddr_in sender{};
        socklen_t senderLength = sizeof sender;
        const ssize_t length = recvfrom(socketFd, datagram, sizeof datagram, MSG_DONTWAIT,
                                        reinterpret_cast<sockaddr*>(&sender), &senderLength);
        if (length < 0) continue;
        Answer(socketFd, datagram, length, &sender);
    }
}

void SimDiscoveryResponder::Answer(int socketFd, const uint8_t* datagram, ssize_t length,
                                   const void* senderAddress) {
    size_t replyLength = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (length != static_cast<ssize_t>(kDiscoveryDatagramSize) || datagram[0] != kRequestMark) {
            ++ignored_;
            return;
        }
        ++requests_;
        if (silent_) return;
        replyLength = replyLength_;
    }
    const SimModuleConfig config = module_->Config();
    const std::vector<uint8_t> reply =
        SimDiscoveryReply(config.serialNumber, config.address, tcpPort_, config.model);
    sockaddr_in to{};
    memcpy(&to, senderAddress, sizeof to);
    to.sin_port = htons(kDiscoveryReplyPort);
    if (sendto(socketFd, reply.data(), replyLength, 0, reinterpret_cast<sockaddr*>(&to),
               sizeof to) == static_cast<ssize_t>(replyLength)) {
        std::lock_guard<std::mutex> lock(mutex_);
        ++replies_;
    }
}

}  // namespace sim::tessaline
