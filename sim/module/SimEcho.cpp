#include "SimEcho.h"

namespace sim::tessaline {

std::shared_ptr<SimEcho> SimEcho::Install(SimModule& module) {
    auto echo = std::make_shared<SimEcho>();
    module.SetRequestHandler(
        kEchoCommand, [echo](SimModule& m, const SimPacket& packet) { echo->Handle(m, packet); });
    return echo;
}

void SimEcho::SetMangled(bool mangled) {
    std::lock_guard<std::mutex> lock(mutex_);
    mangled_ = mangled;
}

uint64_t SimEcho::Echoes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return echoes_;
}

void SimEcho::Handle(SimModule& module, const SimPacket& packet) {
    SimPacket reply = packet;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++echoes_;
        if (mangled_) reply.payload.back() ^= 0xFF;
    }
    module.Send(reply);
}

}  // namespace sim::tessaline
