#include "SimI2CRouter.h"

#include <algorithm>

namespace sim::tessaline {

namespace {

constexpr uint8_t kEntityIndex = 0;
constexpr uint8_t kPullupSelector = 1;
constexpr uint8_t kNak = 0x80;
constexpr uint8_t kReadBit = 0x01;

}  // namespace

struct SimI2CRouter::State {
    struct Sub {
        std::shared_ptr<SimModule> module;
        uint64_t token = 0;
        SimFrameParser parser;        // the sub-module's output, split into packets
        std::vector<uint8_t> memory;  // what I2C writes stored
    };

    Routing routing;
    std::mutex mutex;             // guards everything below
    SimModule* router = nullptr;  // null once the owner is gone
    std::map<uint8_t, Sub> subs;
    std::vector<uint8_t> writes;
    std::optional<uint8_t> speed;
    std::optional<bool> pullup;
    uint64_t forwarded = 0, returned = 0, dropped = 0;

    bool RoutingOn() const { return routing && routing(); }

    void HandleRequest(SimModule& module, const SimPacket& packet);
    void HandleRoute(const SimPacket& packet);
    void FromSub(uint8_t address, const uint8_t* bytes, size_t length);
};

void SimI2CRouter::State::HandleRequest(SimModule& module, const SimPacket& packet) {
    const std::vector<uint8_t>& p = packet.payload;
    if (p.size() < 4) return;
    const uint8_t index = p[1];
    const uint8_t target = p[2];
    SimPacket reply{packet.address, {kI2CCommand, index, target}};

    // Pull-up: 8, index, 1, on.
    if (p.size() == 4 && target == kPullupSelector) {
        reply.payload.push_back(p[3]);
        if (index != kEntityIndex) {
            reply.payload.push_back(kNak | aErrInvalidEntity);
        } else {
            std::lock_guard<std::mutex> lock(mutex);
            pullup = p[3] != 0;
            reply.payload.push_back(0);
        }
        module.Send(reply);
        return;
    }
    if (p.size() < 5) return;

    const bool read = (target & kReadBit) != 0;
    const uint8_t address = target & static_cast<uint8_t>(~kReadBit);
    const uint8_t length = p[3];
    aErr status = aErrNone;
    std::vector<uint8_t> data;
    {
        std::lock_guard<std::mutex> lock(mutex);
        speed = p[4];
        if (!read) writes.push_back(address);
        auto sub = subs.find(address);
        if (index != kEntityIndex) {
            status = aErrInvalidEntity;
        } else if (length > kI2CMaxTransfer || (!read && p.size() != 5u + length)) {
            status = aErrSize;
        } else if (sub == subs.end()) {
            status = aErrNotFound;
        } else if (read) {
            data = sub->second.memory;
            data.resize(length, 0);
        } else {
            sub->second.memory.assign(p.begin() + 5, p.end());
        }
    }
    if (status != aErrNone) {
        reply.payload.push_back(0);
        reply.payload.push_back(kNak | static_cast<uint8_t>(status));
    } else if (read) {
        reply.payload.push_back(length);
        reply.payload.push_back(0);
        reply.payload.insert(reply.payload.end(), data.begin(), data.end());
    } else {
        reply.payload.push_back(0);
        reply.payload.push_back(0);
    }
    module.Send(reply);
}

void SimI2CRouter::State::HandleRoute(const SimPacket& packet) {
    const bool on = RoutingOn();
    std::shared_ptr<SimModule> target;
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto sub = subs.find(packet.address);
        if (!on || sub == subs.end()) {
            ++dropped;
            return;
        }
        target = sub->second.module;
        ++forwarded;
    }
    const std::vector<uint8_t> wire = ToWire(packet);
    target->Receive(wire.data(), wire.size());
}

void SimI2CRouter::State::FromSub(uint8_t address, const uint8_t* bytes, size_t length) {
    const bool on = RoutingOn();
    std::vector<SimPacket> packets;
    SimModule* to = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto sub = subs.find(address);
        if (sub == subs.end()) return;
        for (size_t i = 0; i < length; ++i) {
            if (sub->second.parser.Feed(bytes[i]) == SimFrameParser::Result::Packet)
                packets.push_back(sub->second.parser.Packet());
        }
        if (!on || !router) return;
        to = router;
        returned += packets.size();
    }
    // The owner keeps the router alive while any sub-module is attached (its destructor
    // detaches them first, which waits for this sink call to end).
    for (const SimPacket& packet : packets) to->Send(packet);
}

SimI2CRouter::SimI2CRouter(std::shared_ptr<SimModule> router, Routing routing)
    : state_(std::make_shared<State>()), router_(std::move(router)) {
    state_->routing = std::move(routing);
    state_->router = router_.get();
    std::shared_ptr<State> state = state_;
    router_->SetRequestHandler(kI2CCommand, [state](SimModule& module, const SimPacket& packet) {
        state->HandleRequest(module, packet);
    });
    router_->SetRouteHandler(
        [state](SimModule&, const SimPacket& packet) { state->HandleRoute(packet); });
}

SimI2CRouter::~SimI2CRouter() {
    router_->SetRequestHandler(kI2CCommand, {});
    router_->SetRouteHandler({});
    std::map<uint8_t, State::Sub> subs;
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        subs.swap(state_->subs);
    }
    // Detach waits for a running sink call, which may need the state's mutex: not held here.
    for (auto& [address, sub] : subs) sub.module->Detach(sub.token);
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->router = nullptr;
}

aErr SimI2CRouter::AddSubModule(std::shared_ptr<SimModule> module) {
    if (!module) return aErrParam;
    const uint8_t address = module->Config().address;
    if (address == router_->Config().address || !IsModuleAddress(address)) return aErrParam;
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (state_->subs.count(address)) return aErrDuplicate;
        state_->subs[address].module = module;
    }
    std::shared_ptr<State> state = state_;
    const uint64_t token = module->Attach([state, address](const uint8_t* bytes, size_t length) {
        state->FromSub(address, bytes, length);
    });
    std::lock_guard<std::mutex> lock(state_->mutex);
    auto sub = state_->subs.find(address);
    if (sub != state_->subs.end()) sub->second.token = token;
    return aErrNone;
}

void SimI2CRouter::RemoveSubModule(uint8_t address) {
    State::Sub sub;
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        auto found = state_->subs.find(address);
        if (found == state_->subs.end()) return;
        sub = std::move(found->second);
        state_->subs.erase(found);
    }
    sub.module->Detach(sub.token);
}

std::vector<uint8_t> SimI2CRouter::Writes() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->writes;
}

std::optional<uint8_t> SimI2CRouter::LastSpeed() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->speed;
}

std::optional<bool> SimI2CRouter::Pullup() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->pullup;
}

uint64_t SimI2CRouter::Forwarded() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->forwarded;
}

uint64_t SimI2CRouter::Returned() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->returned;
}

uint64_t SimI2CRouter::Dropped() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->dropped;
}

}  // namespace sim::tessaline
