#include "SimModule.h"

#include <algorithm>

namespace sim::tessaline {

SimModule::SimModule(SimModuleConfig config) : config_(std::move(config)) {
    input_ = std::thread([this] { InputLoop(); });
    output_ = std::thread([this] { OutputLoop(); });
    timer_ = std::thread([this] { TimerLoop(); });
}

SimModule::~SimModule() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    inputReady_.notify_all();
    outputReady_.notify_all();
    timerChanged_.notify_all();
    stopping_.notify_all();
    input_.join();
    output_.join();
    timer_.join();
}

// --- Transport side -------------------------------------------------------------------------

uint64_t SimModule::Attach(Sink sink, DisconnectHandler onDisconnect) {
    std::lock_guard<std::mutex> attach(attachMutex_);
    uint64_t token;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        token = nextToken_++;
    }
    // The sink is in place before anything can be queued for the new attachment.
    {
        std::lock_guard<std::mutex> sinkLock(sinkMutex_);
        sink_ = std::move(sink);
        sinkAttachment_ = token;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        attachment_ = token;
        onDisconnect_ = std::move(onDisconnect);
        outbox_.clear();
        nextHeartbeat_ = Clock::now() + config_.heartbeatInterval;
        NotifyIfIdleLocked();
    }
    timerChanged_.notify_all();
    return token;
}

void SimModule::Detach(uint64_t token) {
    std::lock_guard<std::mutex> attach(attachMutex_);
    DisconnectHandler released;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (token == 0 || attachment_ != token) return;
        attachment_ = 0;
        released = std::move(onDisconnect_);
        onDisconnect_ = nullptr;
        outbox_.clear();
        NotifyIfIdleLocked();
    }
    Sink sink;
    {
        std::lock_guard<std::mutex> sinkLock(sinkMutex_);
        sink = std::move(sink_);
        sink_ = nullptr;
        sinkAttachment_ = 0;
    }
    timerChanged_.notify_all();
}

bool SimModule::IsAttached() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return attachment_ != 0;
}

void SimModule::Receive(const uint8_t* bytes, size_t length) {
    if (!bytes || length == 0) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stats_.bytesReceived += length;
        // Once a transport was attached, bytes that come while none is belong to a transport
        // that is gone (the module hung up on it): they are tagged so that they are never read.
        const uint64_t tag = attachment_ != 0 || nextToken_ == 1 ? attachment_ : kGoneTransport;
        inbox_.push_back(InputItem{std::vector<uint8_t>(bytes, bytes + length), tag});
    }
    inputReady_.notify_one();
}

// --- Module side ----------------------------------------------------------------------------

aErr SimModule::Send(const SimPacket& packet) {
    if (!IsModuleAddress(packet.address)) return aErrParam;
    if (packet.payload.size() > kMaxPayload) return aErrSize;
    return Queue(ToWire(packet), true);
}

aErr SimModule::SendRaw(const std::vector<uint8_t>& bytes) {
    if (bytes.empty()) return aErrNone;
    return Queue(bytes, false);
}

aErr SimModule::Queue(std::vector<uint8_t> bytes, bool isPacket) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (attachment_ == 0) return aErrConnection;
        QueueLocked(std::move(bytes), isPacket);
    }
    return aErrNone;
}

void SimModule::QueueLocked(std::vector<uint8_t> bytes, bool isPacket) {
    outbox_.push_back(Chunk{std::move(bytes), isPacket, attachment_});
    outputReady_.notify_one();
}

void SimModule::NotifyIfIdleLocked() const {
    if (inbox_.empty() && !inputBusy_ && outbox_.empty() && !outputBusy_) idle_.notify_all();
}

void SimModule::SetRequestHandler(uint8_t command, PacketHandler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (handler) {
        requestHandlers_[command] = std::move(handler);
    } else {
        requestHandlers_.erase(command);
    }
}

void SimModule::SetRouteHandler(PacketHandler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    routeHandler_ = std::move(handler);
}

void SimModule::Schedule(std::chrono::milliseconds delay, std::function<void()> task) {
    if (!task) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        tasks_.emplace(Clock::now() + delay, std::move(task));
    }
    timerChanged_.notify_all();
}

SimModuleConfig SimModule::Config() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return config_;
}

void SimModule::UpdateConfig(const std::function<void(SimModuleConfig&)>& change) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto interval = config_.heartbeatInterval;
        change(config_);
        if (config_.heartbeatInterval != interval)
            nextHeartbeat_ = Clock::now() + config_.heartbeatInterval;
    }
    timerChanged_.notify_all();
}

// --- Faults ---------------------------------------------------------------------------------

void SimModule::InjectFault(const SimFault& fault) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.Arm(fault);
}

void SimModule::ClearFaults() {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.Clear();
}

size_t SimModule::PendingFaults() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return faults_.Pending();
}

void SimModule::SetSilent(bool silent) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        silent_ = silent;
    }
    timerChanged_.notify_all();
}

bool SimModule::IsSilent() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return silent_;
}

void SimModule::Disconnect() {
    uint64_t token;
    DisconnectHandler handler;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        token = attachment_;
        handler = onDisconnect_;
    }
    if (token == 0) return;
    Detach(token);
    if (handler) handler();
}

bool SimModule::Pause(std::chrono::milliseconds delay) {
    std::unique_lock<std::mutex> lock(mutex_);
    return !stopping_.wait_for(lock, delay, [this] { return stop_; });
}

void SimModule::ApplyLoss(const SimFaultEffect& effect) {
    if (effect.goSilent) SetSilent(true);
    if (effect.disconnect) Disconnect();
}

// --- Observations ---------------------------------------------------------------------------

SimModuleStats SimModule::Stats() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stats_;
}

std::vector<SimPacket> SimModule::Received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return {received_.begin(), received_.end()};
}

void SimModule::ClearReceived() {
    std::lock_guard<std::mutex> lock(mutex_);
    received_.clear();
}

std::vector<bool> SimModule::ForceRouteHistory() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return forceRoute_;
}

std::optional<bool> SimModule::ForceRoute() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (forceRoute_.empty()) return std::nullopt;
    return forceRoute_.back();
}

std::vector<uint8_t> SimModule::HeartbeatAnswers() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return heartbeatAnswers_;
}

std::vector<SimPacket> SimModule::Unhandled() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return unhandled_;
}

bool SimModule::WaitIdle(std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return idle_.wait_for(lock, timeout, [this] {
        return inbox_.empty() && !inputBusy_ && outbox_.empty() && !outputBusy_;
    });
}

// --- Input thread ---------------------------------------------------------------------------

void SimModule::InputLoop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        inputReady_.wait(lock, [this] { return stop_ || !inbox_.empty(); });
        if (stop_) return;
        InputItem item = std::move(inbox_.front());
        inbox_.pop_front();
        inputBusy_ = true;
        lock.unlock();

        // Each connection starts in step: nothing of a packet cut off with the old one remains.
        if (item.attachment != parserAttachment_) {
            parserAttachment_ = item.attachment;
            parser_.Reset();
            EndPacket();
        }
        for (uint8_t byte : item.bytes) ProcessByte(byte, item.attachment);

        lock.lock();
        inputBusy_ = false;
        NotifyIfIdleLocked();
    }
}

void SimModule::ProcessByte(uint8_t byte, uint64_t attachment) {
    SimFaultEffect byteEffect;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stop_) return;
        // Bytes of a transport the module has hung up on are never read; a silent module
        // ignores everything.
        if (silent_ || (attachment != 0 && attachment != attachment_)) {
            parserStale_ = true;
            return;
        }
        byteEffect = faults_.NextByte(SimDirection::ToModule);
    }
    if (parserStale_) {
        parserStale_ = false;
        parser_.Reset();
        EndPacket();
    }
    if (byteEffect.delay.count() > 0 && !Pause(byteEffect.delay)) return;
    if (byteEffect.Lost()) {
        ApplyLoss(byteEffect);
        return;
    }
    byte ^= byteEffect.xorMask;

    if (parser_.Idle() && IsHostAddressByte(byte)) {
        SimFaultEffect packetEffect;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            packetEffect = faults_.NextPacket(SimDirection::ToModule);
        }
        if (packetEffect.delay.count() > 0 && !Pause(packetEffect.delay)) return;
        if (packetEffect.disconnect || packetEffect.goSilent) {
            ApplyLoss(packetEffect);
            return;
        }
        inPacket_ = true;
        dropPacket_ = packetEffect.drop;
        corruptPacket_ = std::move(packetEffect.corruptions);
        packetByte_ = 0;
    }
    if (inPacket_) {
        for (const auto& corruption : corruptPacket_) {
            if (corruption.offset == packetByte_) byte ^= corruption.xorMask;
        }
        ++packetByte_;
    }

    switch (parser_.Feed(byte)) {
        case SimFrameParser::Result::NeedMore:
            return;
        case SimFrameParser::Result::FramingError: {
            EndPacket();
            std::lock_guard<std::mutex> lock(mutex_);
            ++stats_.framingErrors;
            return;
        }
        case SimFrameParser::Result::Packet: {
            const bool drop = dropPacket_;
            EndPacket();
            if (!drop) HandlePacket(parser_.Packet());
            return;
        }
    }
}

void SimModule::EndPacket() {
    inPacket_ = false;
    dropPacket_ = false;
    corruptPacket_.clear();
    packetByte_ = 0;
}

void SimModule::HandlePacket(const SimPacket& packet) {
    uint8_t own;
    PacketHandler route;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++stats_.packetsReceived;
        received_.push_back(packet);
        while (received_.size() > config_.receivedLogLimit) received_.pop_front();
        own = config_.address;
        route = routeHandler_;
    }
    if (packet.address == kIdentifyProbe || packet.address == kForceRoute) {
        HandleLinkCommand(packet);
    } else if (packet.address != own) {
        if (route) {
            route(*this, packet);
        } else {
            std::lock_guard<std::mutex> lock(mutex_);
            ++stats_.unhandledPackets;
            unhandled_.push_back(packet);
        }
    } else if (packet.payload.size() == 2 && packet.payload[0] == kHeartbeatCommand) {
        HandleHeartbeatAnswer(packet.payload[1]);
    } else {
        Dispatch(packet);
    }
}

void SimModule::HandleLinkCommand(const SimPacket& packet) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (packet.address == kIdentifyProbe && packet.payload.empty()) {
        ++stats_.probesAnswered;
        if (attachment_ != 0) QueueLocked(ToWire(SimPacket{config_.address, {}}), true);
    } else if (packet.address == kForceRoute && packet.payload.size() == 1 &&
               packet.payload[0] <= 1) {
        forceRoute_.push_back(packet.payload[0] == 1);
    } else {
        ++stats_.malformedLinkCommands;
    }
}

void SimModule::HandleHeartbeatAnswer(uint8_t value) {
    std::lock_guard<std::mutex> lock(mutex_);
    heartbeatAnswers_.push_back(value);
    const uint8_t answered = static_cast<uint8_t>(value - kHeartbeatAnswerOffset);
    if (value >= kHeartbeatAnswerOffset && outstandingHeartbeats_[answered] > 0) {
        --outstandingHeartbeats_[answered];
        ++stats_.heartbeatAnswers;
    } else {
        ++stats_.unexpectedHeartbeatAnswers;
    }
}

void SimModule::Dispatch(const SimPacket& packet) {
    PacketHandler handler;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!packet.payload.empty()) {
            auto found = requestHandlers_.find(packet.payload[0]);
            if (found != requestHandlers_.end()) handler = found->second;
        }
        if (!handler) {
            ++stats_.unhandledPackets;
            unhandled_.push_back(packet);
            return;
        }
    }
    handler(*this, packet);
}

// --- Output thread --------------------------------------------------------------------------

void SimModule::OutputLoop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        outputReady_.wait(lock, [this] { return stop_ || !outbox_.empty(); });
        if (stop_) return;
        Chunk chunk = std::move(outbox_.front());
        outbox_.pop_front();
        outputBusy_ = true;
        lock.unlock();

        Deliver(std::move(chunk));

        lock.lock();
        outputBusy_ = false;
        NotifyIfIdleLocked();
    }
}

void SimModule::Deliver(Chunk chunk) {
    SimFaultEffect packetEffect;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (silent_ || chunk.attachment != attachment_) return;
        if (chunk.isPacket) packetEffect = faults_.NextPacket(SimDirection::FromModule);
    }
    if (packetEffect.delay.count() > 0 && !Pause(packetEffect.delay)) return;
    if (packetEffect.Lost()) {
        ApplyLoss(packetEffect);
        return;
    }
    // A corruption beyond the end of the packet has nothing to change.
    for (const auto& corruption : packetEffect.corruptions) {
        if (corruption.offset < chunk.bytes.size())
            chunk.bytes[corruption.offset] ^= corruption.xorMask;
    }

    std::vector<uint8_t> pending;
    pending.reserve(chunk.bytes.size());
    for (uint8_t byte : chunk.bytes) {
        SimFaultEffect effect;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            effect = faults_.NextByte(SimDirection::FromModule);
        }
        if (effect.None()) {
            pending.push_back(byte);
            continue;
        }
        if (effect.delay.count() > 0) {
            // What precedes the delayed byte is already on its way.
            DeliverBytes(pending.data(), pending.size(), chunk.attachment);
            pending.clear();
            if (!Pause(effect.delay)) return;
        }
        if (effect.Lost()) {
            if (effect.disconnect || effect.goSilent) {
                DeliverBytes(pending.data(), pending.size(), chunk.attachment);
                ApplyLoss(effect);
                return;
            }
            continue;
        }
        pending.push_back(byte ^ effect.xorMask);
    }
    DeliverBytes(pending.data(), pending.size(), chunk.attachment);
}

void SimModule::DeliverBytes(const uint8_t* bytes, size_t length, uint64_t attachment) {
    if (length == 0) return;
    {
        std::lock_guard<std::mutex> sinkLock(sinkMutex_);
        if (sinkAttachment_ != attachment || !sink_) return;
        sink_(bytes, length);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    stats_.bytesDelivered += length;
}

// --- Timer thread ---------------------------------------------------------------------------

void SimModule::TimerLoop() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
        const auto now = Clock::now();
        const bool beating = config_.heartbeatInterval.count() > 0 && attachment_ != 0 && !silent_;
        if (beating && now >= nextHeartbeat_) {
            nextHeartbeat_ = now + config_.heartbeatInterval;
            const uint8_t x = config_.heartbeatValue;
            ++outstandingHeartbeats_[x];
            ++stats_.heartbeatsSent;
            QueueLocked(ToWire(SimPacket{config_.address, {kHeartbeatCommand, x}}), true);
            continue;
        }
        if (!tasks_.empty() && tasks_.begin()->first <= now) {
            auto task = std::move(tasks_.begin()->second);
            tasks_.erase(tasks_.begin());
            lock.unlock();
            task();
            lock.lock();
            continue;
        }
        auto wake = Clock::time_point::max();
        if (beating) wake = nextHeartbeat_;
        if (!tasks_.empty()) wake = std::min(wake, tasks_.begin()->first);
        if (wake == Clock::time_point::max()) {
            timerChanged_.wait(lock);
        } else {
            timerChanged_.wait_until(lock, wake);
        }
    }
}

}  // namespace sim::tessaline
