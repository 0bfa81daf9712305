#pragma once
// The echo command of a simulated module (command 23, 0x17): a request is answered with a packet
// carrying exactly the same payload, so that a host can test the link end to end.

#include <cstdint>
#include <memory>
#include <mutex>

#include "SimModule.h"

namespace sim::tessaline {

inline constexpr uint8_t kEchoCommand = 23;

class SimEcho {
  public:
    // Installs the handler of command 23 on `module`; the handler keeps the object alive.
    static std::shared_ptr<SimEcho> Install(SimModule& module);

    // While mangled, the echo's last payload byte is inverted (a faulty module, for tests of the
    // host's comparison).
    void SetMangled(bool mangled);
    uint64_t Echoes() const;

  private:
    void Handle(SimModule& module, const SimPacket& packet);

    mutable std::mutex mutex_;
    bool mangled_ = false;
    uint64_t echoes_ = 0;
};

}  // namespace sim::tessaline
