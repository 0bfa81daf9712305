#pragma once
// The TCP/IP discovery responder of a simulated module, as a networked module runs it beside its
// TCP port: it listens on UDP port 9888 in the multicast group 232.2.2.2 and answers every
// discovery request (16 bytes, byte 0 = 1) with one 16-byte datagram to the requester's address,
// port 9889:
//   byte 1      the module's address on its network
//   bytes 2..3  the module's TCP port, little-endian
//   bytes 4..7  the module's serial number, little-endian
//   byte 12     the module's model
//   all other bytes 0
// The host takes the reply's sender address as the module's IPv4 address, so the responder and
// the module's TCP port must be reachable at the same address. Serial number, address and model
// are read from the module's configuration when the request comes.
//
// Several responders may run in one network namespace (the port is shared; each gets every
// request). Each joins the group only on the interfaces it was started for and receives no
// datagram of groups joined elsewhere.
//
// Threads: one thread of its own receives and answers; every public member is thread-safe. The
// sockets are created by Start on the calling thread, so they belong to that thread's network
// namespace.

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "SimModule.h"
#include "aError.h"

namespace sim::tessaline {

inline constexpr uint16_t kDiscoveryRequestPort = 9888;
inline constexpr uint16_t kDiscoveryReplyPort = 9889;
inline constexpr const char* kDiscoveryGroup = "232.2.2.2";
inline constexpr size_t kDiscoveryDatagramSize = 16;

// The 16-byte reply of a module with this identity.
std::vector<uint8_t> SimDiscoveryReply(uint32_t serialNumber, uint8_t address, uint16_t tcpPort,
                                       uint8_t model);

class SimDiscoveryResponder {
  public:
    // Answers for `module`, whose TCP front end listens on `tcpPort`.
    SimDiscoveryResponder(std::shared_ptr<SimModule> module, uint16_t tcpPort);
    ~SimDiscoveryResponder();  // Stop()
    SimDiscoveryResponder(const SimDiscoveryResponder&) = delete;
    SimDiscoveryResponder& operator=(const SimDiscoveryResponder&) = delete;

    // Joins the group on the interface with IPv4 address `interfaceAddress` (dotted text), or,
    // when it is empty, on every IPv4 interface that is up and not a loopback interface, and
    // starts answering. aErrBusy when already started; aErrParam for an address that is not
    // IPv4 text; aErrNotFound when there is no interface to join on; aErrBusy (port taken
    // without sharing), aErrPermission or aErrIO when the socket can't be had; aErrResource when
    // the thread can't start.
    aErr Start(const std::string& interfaceAddress = "");
    // Stops answering and closes the socket. Start may follow.
    void Stop();

    // --- Faults ---------------------------------------------------------------------------
    // Sends only the first `length` bytes of each reply (at most 16): a short reply.
    void SetReplyLength(size_t length);
    // A silent responder receives requests (and counts them) but answers none.
    void SetSilent(bool silent);

    // --- Observations ---------------------------------------------------------------------
    // Valid requests received, and replies sent.
    uint64_t Requests() const;
    uint64_t Replies() const;
    // Datagrams received that are not requests (wrong length or first byte).
    uint64_t Ignored() const;

  private:
    void Run(int socketFd, int wakeFd);
    void Answer(int socketFd, const uint8_t* datagram, ssize_t length, const void* sender);

    const std::shared_ptr<SimModule> module_;
    const uint16_t tcpPort_;
    std::mutex lifecycle_;  // serialises Start and Stop; taken before mutex_

    mutable std::mutex mutex_;  // guards the fields below
    size_t replyLength_ = kDiscoveryDatagramSize;
    bool silent_ = false;
    uint64_t requests_ = 0;
    uint64_t replies_ = 0;
    uint64_t ignored_ = 0;

    int socket_ = -1;     // lifecycle_
    int wakeWrite_ = -1;  // lifecycle_
    int wakeRead_ = -1;   // lifecycle_
    std::thread thread_;  // lifecycle_
};

}  // namespace sim::tessaline
