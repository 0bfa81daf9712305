#pragma once
// A simulated TessaLine module: the module's side of the link wire protocol, independent of the
// transport that carries it.
//
// Bytes from the host go in through Receive(); bytes for the host come out through the sink of
// the front end that is attached (TCP, pty, in-process pipe, USB). The module
//  - splits the host's bytes into packets (SimFrameParser),
//  - answers identify probes (0xAD, length 0) with an empty packet from its own address,
//  - records force-route commands (0xAF, payload 1 or 0),
//  - sends heartbeats (payload 0x00, x) at a configurable interval while a transport is attached
//    and checks the host's answers (0x00, x + 2),
//  - hands every other packet to a handler: request handlers by command byte (payload byte 0)
//    for packets addressed to the module, a route handler for packets addressed to any other
//    module behind it. Packets nobody handles are recorded.
// Fault injection (SimFaults.h) sits between the wire and the framing in both directions.
//
// Threads: the module runs three threads of its own. The input thread parses and dispatches
// (handlers run there, one at a time, with no lock of the module held, so they may call any
// member); the output thread delivers queued bytes to the sink, in order, applying delays; the
// timer thread sends heartbeats and runs scheduled tasks. Every public member is thread-safe.
// Receive() and Send() only queue and return at once, so they may be called from a transport's
// callback thread (umockdev's worker, for one).

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "SimFaults.h"
#include "SimFraming.h"
#include "aError.h"

namespace sim::tessaline {

struct SimModuleConfig {
    uint32_t serialNumber = 0x00C0FFEE;
    uint8_t model = 0;
    uint8_t address = 2;  // the module's own address on its network (even, non-zero)
    uint32_t firmwareVersion = 0x2B000002;  // packed version (2.11.2), for the system entity
    uint32_t firmwareBuild = 1;
    std::chrono::milliseconds heartbeatInterval{0};  // 0: no heartbeats
    uint8_t heartbeatValue = kHeartbeatUp;           // x of the heartbeat (0 "HB UP", 1 "HB DOWN")
    size_t receivedLogLimit = 100000;                // packets kept by Received(); oldest dropped
};

// Counters of what the module saw and did, for tests.
struct SimModuleStats {
    uint64_t bytesReceived = 0;   // from the transport, before faults
    uint64_t bytesDelivered = 0;  // handed to the sink, after faults
    uint64_t packetsReceived = 0;
    uint64_t framingErrors = 0;  // bytes dropped by the parser
    uint64_t probesAnswered = 0;
    uint64_t malformedLinkCommands = 0;  // 0xAD with a payload, 0xAF not of length 1 and 0/1
    uint64_t heartbeatsSent = 0;
    uint64_t heartbeatAnswers = 0;            // answers that matched a heartbeat sent
    uint64_t unexpectedHeartbeatAnswers = 0;  // (0x00, y) with no heartbeat y - 2 outstanding
    uint64_t unhandledPackets = 0;
};

class SimModule {
  public:
    // Delivers bytes to the host. Called on the output thread only, never concurrently.
    using Sink = std::function<void(const uint8_t* bytes, size_t length)>;
    // Closes the transport (the module hangs up). Called without any lock of the module held,
    // on whichever thread asked for the disconnect; it must not wait for the module's threads.
    using DisconnectHandler = std::function<void()>;
    // A packet addressed to this module (request handlers) or to another module (route
    // handler). Runs on the input thread, which reads nothing else meanwhile, so it should
    // return promptly (timed behaviour belongs in Schedule); `packet` is valid during the call.
    using PacketHandler = std::function<void(SimModule& module, const SimPacket& packet)>;

    explicit SimModule(SimModuleConfig config = {});
    ~SimModule();
    SimModule(const SimModule&) = delete;
    SimModule& operator=(const SimModule&) = delete;

    // --- Transport side -------------------------------------------------------------------

    // Connects a transport: output goes to `sink` from now on, and Disconnect() calls
    // `onDisconnect`. Replaces an earlier attachment (as Detach would). The framing starts in
    // step. Returns a token for Detach.
    uint64_t Attach(Sink sink, DisconnectHandler onDisconnect = {});

    // Disconnects the attachment `token` if it is still the current one: no sink call is running
    // when this returns, and output queued but not delivered is dropped (it was meant for that
    // transport). Never call it from inside the sink.
    void Detach(uint64_t token);

    bool IsAttached() const;

    // Bytes from the host, in order. Queues and returns at once. Before the first Attach bytes
    // are read as from a transport (tests may drive the core without one); after it, bytes that
    // come while no transport is attached are ignored: they belong to one the module hung up on.
    void Receive(const uint8_t* bytes, size_t length);

    // --- Module side (handlers, tests) ----------------------------------------------------

    // Queues one packet for the host. aErrParam for an address that is not a module address,
    // aErrSize for a payload above kMaxPayload, aErrConnection when no transport is attached
    // (the packet is lost, as it would be on a module with no host).
    aErr Send(const SimPacket& packet);

    // Queues bytes without framing (to put a broken packet on the wire). Counted as bytes only.
    aErr SendRaw(const std::vector<uint8_t>& bytes);

    // Installs (or, with an empty function, removes) the handler of requests whose payload
    // begins with `command`, addressed to this module.
    void SetRequestHandler(uint8_t command, PacketHandler handler);

    // Installs (or removes) the handler of packets addressed to modules other than this one.
    void SetRouteHandler(PacketHandler handler);

    // Runs `task` on the timer thread after `delay`. Tasks still pending at destruction are
    // dropped.
    void Schedule(std::chrono::milliseconds delay, std::function<void()> task);

    // The configuration, and a change of it made under the module's lock (a change of the
    // heartbeat interval restarts the heartbeat period). `change` must not call the module.
    SimModuleConfig Config() const;
    void UpdateConfig(const std::function<void(SimModuleConfig&)>& change);

    // --- Faults ---------------------------------------------------------------------------

    void InjectFault(const SimFault& fault);
    void ClearFaults();
    size_t PendingFaults() const;

    // A silent module ignores everything it receives and sends nothing, heartbeats included.
    void SetSilent(bool silent);
    bool IsSilent() const;

    // The module closes its transport: the attachment is detached and its disconnect handler
    // called. Nothing happens when no transport is attached.
    void Disconnect();

    // --- Observations ---------------------------------------------------------------------

    SimModuleStats Stats() const;
    // Every complete packet received from the host, oldest first (link commands included).
    std::vector<SimPacket> Received() const;
    void ClearReceived();
    // The force-route commands received, in order (true = on); the last one is the state.
    std::vector<bool> ForceRouteHistory() const;
    std::optional<bool> ForceRoute() const;
    // The second payload byte of every heartbeat answer received, in order.
    std::vector<uint8_t> HeartbeatAnswers() const;
    // The packets no handler took, oldest first.
    std::vector<SimPacket> Unhandled() const;

    // Waits until everything received has been processed and everything queued has been handed
    // to the sink (or dropped). True when that happened within `timeout`. Heartbeats and tasks
    // that are not yet due do not count.
    bool WaitIdle(std::chrono::milliseconds timeout) const;

  private:
    struct Chunk {
        std::vector<uint8_t> bytes;
        bool isPacket;        // framed packet (counts for packet faults) or raw bytes
        uint64_t attachment;  // the attachment it was queued for
    };
    struct InputItem {
        std::vector<uint8_t> bytes;
        uint64_t attachment;  // a change of attachment resets the framing
    };
    using Clock = std::chrono::steady_clock;
    static constexpr uint64_t kGoneTransport = UINT64_MAX;  // never a token

    void InputLoop();
    void ProcessByte(uint8_t byte, uint64_t attachment);
    void EndPacket();
    void HandlePacket(const SimPacket& packet);
    void HandleLinkCommand(const SimPacket& packet);
    void HandleHeartbeatAnswer(uint8_t value);
    void Dispatch(const SimPacket& packet);

    void OutputLoop();
    void Deliver(Chunk chunk);
    void DeliverBytes(const uint8_t* bytes, size_t length, uint64_t attachment);
    aErr Queue(std::vector<uint8_t> bytes, bool isPacket);
    void QueueLocked(std::vector<uint8_t> bytes, bool isPacket);
    void NotifyIfIdleLocked() const;

    void TimerLoop();

    // Waits `delay` unless the module is stopping; false when stopping.
    bool Pause(std::chrono::milliseconds delay);
    void ApplyLoss(const SimFaultEffect& effect);

    mutable std::mutex mutex_;  // guards everything below unless noted
    mutable std::condition_variable inputReady_, outputReady_, timerChanged_, idle_, stopping_;
    bool stop_ = false;
    SimModuleConfig config_;
    bool silent_ = false;
    SimFaultPlan faults_;

    uint64_t attachment_ = 0;  // current attachment token; 0 when none
    uint64_t nextToken_ = 1;
    DisconnectHandler onDisconnect_;

    std::deque<InputItem> inbox_;
    bool inputBusy_ = false;
    std::deque<Chunk> outbox_;
    bool outputBusy_ = false;

    Clock::time_point nextHeartbeat_;
    std::multimap<Clock::time_point, std::function<void()>> tasks_;

    std::map<uint8_t, PacketHandler> requestHandlers_;
    PacketHandler routeHandler_;

    SimModuleStats stats_;
    std::deque<SimPacket> received_;
    std::vector<bool> forceRoute_;
    std::vector<uint8_t> heartbeatAnswers_;
    uint32_t outstandingHeartbeats_[256] = {};  // by x: heartbeats sent and not yet answered
    std::vector<SimPacket> unhandled_;

    std::mutex attachMutex_;       // serialises Attach and Detach; taken before the two below
    std::mutex sinkMutex_;         // held around every sink call and every change of sink_
    Sink sink_;                    // guarded by sinkMutex_
    uint64_t sinkAttachment_ = 0;  // guarded by sinkMutex_

    // Input-thread state.
    SimFrameParser parser_;
    uint64_t parserAttachment_ = 0;
    bool parserStale_ = false;  // bytes were ignored while silent: start the next in step
    bool inPacket_ = false;     // a packet counted for faults is being parsed
    bool dropPacket_ = false;   // the packet being parsed is lost
    std::vector<SimFaultEffect::Corruption> corruptPacket_;  // its bytes to corrupt
    size_t packetByte_ = 0;                                  // wire offset in the packet

    std::thread input_, output_, timer_;
};

}  // namespace sim::tessaline
