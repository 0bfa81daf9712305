#pragma once
// TCP front end: a SimModule reachable as a module's network port on 127.0.0.1.
//
// One host connection is served at a time; while one is open, further connections wait in the
// listen queue and are taken once it ends (the host closed or reset it, or the module dropped
// it). The module can hang up on demand (DropConnection, or SimModule::Disconnect) and can stop
// and restart listening on the same port, so that a host's reconnection can be tested from both
// sides. All socket work happens on the server's own thread; the other members post a request
// to it and wait until it has been carried out.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "SimModule.h"
#include "aError.h"

namespace sim::tessaline {

class SimTcpServer {
  public:
    static constexpr uint32_t kLoopbackAddress = 0x7F000001;  // 127.0.0.1

    explicit SimTcpServer(std::shared_ptr<SimModule> module);
    ~SimTcpServer();  // Stop()
    SimTcpServer(const SimTcpServer&) = delete;
    SimTcpServer& operator=(const SimTcpServer&) = delete;

    // Listens on 127.0.0.1:`port` (0: an ephemeral port) and starts serving. aErrBusy when
    // already started; aErrPermission, aErrBusy (port in use) or aErrIO when the port can't be
    // had; aErrResource when the thread can't start.
    // `bindAddress` (IPv4, host order) puts the port on another local address instead, for a
    // module reached over a network interface (its discovery replies come from that address).
    aErr Start(uint16_t port = 0, uint32_t bindAddress = kLoopbackAddress);

    // Closes the connection and the listening socket and ends the thread. Start may follow.
    void Stop();

    // The port listened on (kept across StopListening / StartListening); 0 before Start.
    uint16_t Port() const;

    // Closes the listening socket (new connections are refused) and resets the current
    // connection (not an orderly close), as when a module goes away.
    void StopListening();
    // Listens again on the same port. aErrNone when listening (also when it already was),
    // aErrNotReady before Start, otherwise the error of binding the port.
    aErr StartListening();
    bool IsListening() const;

    // The module hangs up on the current host connection (bytes already queued for the host
    // are sent first, as far as the socket takes them at once). No effect without one.
    void DropConnection();

    bool IsConnected() const;
    // Connections accepted since Start.
    uint64_t ConnectionCount() const;
    // Waits until at least `count` connections were accepted and one is open; true when that
    // happened within `timeout`.
    bool WaitForConnection(uint64_t count, std::chrono::milliseconds timeout) const;

  private:
    enum class Kind { Drop, StopListening, StartListening, Stop };
    struct Request {
        Kind kind;
        uint64_t connection;  // Drop: only this connection (0: whichever is open)
        std::shared_ptr<std::pair<bool, aErr>> done;  // null: nobody waits
    };

    void Run();
    // Hands a request to the server thread and waits for its result (aErrNotReady when the
    // server is not running). PostAsync returns at once.
    aErr Post(Kind kind);
    void PostAsync(Kind kind, uint64_t connection);
    // Carries out the queued requests; false when the thread is to end.
    bool CarryRequests();
    aErr OpenListener();
    void CloseListener();
    void Accept();
    void ReadConnection();
    void FlushConnection();
    void CloseConnection(bool flush);
    void Wake();  // mutex_ held

    const std::shared_ptr<SimModule> module_;
    std::mutex lifecycle_;  // serialises Start and Stop; taken before mutex_

    mutable std::mutex mutex_;  // guards the fields below
    mutable std::condition_variable changed_;
    std::deque<Request> requests_;
    bool running_ = false;
    uint16_t port_ = 0;
    uint32_t bindAddress_ = kLoopbackAddress;
    bool listening_ = false;
    bool connected_ = false;
    uint64_t connections_ = 0;
    uint64_t nextConnection_ = 1;
    uint64_t currentConnection_ = 0;  // the open connection the sink writes to; 0 when none
    std::vector<uint8_t> toHost_;     // module output not yet sent

    // Server-thread state.
    int wakeRead_ = -1, wakeWrite_ = -1;
    int listenFd_ = -1;
    int connFd_ = -1;
    uint64_t token_ = 0;
    std::thread thread_;
};

}  // namespace sim::tessaline
