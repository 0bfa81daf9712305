#pragma once
// A routing module's I2C network: the I2C entity (command 8, index 0) of the router and the
// sub-modules on its bus, reached by the host through the router's link.
//
// I2C entity, wire behaviour (payload bytes):
//   read    8, index, address | 1, length, speed   -> 8, index, address | 1, length, 0, data
//   write   8, index, address, length, speed, data -> 8, index, address, 0, 0
//   pull-up 8, index, 1, on                        -> 8, index, 1, on, 0
//   A transfer to an address where no sub-module sits is not acknowledged: the status byte
//   (payload byte 4) is 0x80 | aErrNotFound. A length above 23 gives 0x80 | aErrSize, an index
//   other than 0 gives 0x80 | aErrInvalidEntity. A write stores its data as the sub-module's
//   I2C memory; a read returns the first `length` bytes of it (zeros past its end).
//
// Routing: while the router routes to the host (`routing()` true; the router's system entity
// option 20, routeToMe), a packet the host sends to a sub-module's address is handed to that
// sub-module, and every packet the sub-module sends is sent on to the host from the router, with
// the sub-module's address. While routing is off, packets for sub-modules are dropped (counted)
// and the sub-modules' output is discarded.
//
// Lifetime and threads: the object owns the sub-modules' attachments and keeps the router alive;
// its destructor detaches the sub-modules and removes its handlers from the router. Requests
// are served on the router's input thread, sub-module output on the sub-module's output thread;
// every member is thread-safe.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "SimModule.h"
#include "aError.h"

namespace sim::tessaline {

inline constexpr uint8_t kI2CCommand = 8;
inline constexpr uint8_t kI2CMaxTransfer = 23;

class SimI2CRouter {
  public:
    // Tells whether the router routes its network to the host right now.
    using Routing = std::function<bool()>;

    SimI2CRouter(std::shared_ptr<SimModule> router, Routing routing);
    ~SimI2CRouter();
    SimI2CRouter(const SimI2CRouter&) = delete;
    SimI2CRouter& operator=(const SimI2CRouter&) = delete;

    // Puts `module` on the bus at its configured address and attaches it (replacing any other
    // transport of it). aErrParam for a null module or the router's own address; aErrDuplicate
    // when a sub-module already sits at that address.
    aErr AddSubModule(std::shared_ptr<SimModule> module);
    // Takes the sub-module at `address` off the bus (detached).
    void RemoveSubModule(uint8_t address);

    // --- Observations ---------------------------------------------------------------------
    // Addresses of the I2C writes received, in order (probes included).
    std::vector<uint8_t> Writes() const;
    // The speed byte of the last transfer; the pull-up state last set.
    std::optional<uint8_t> LastSpeed() const;
    std::optional<bool> Pullup() const;
    // Packets handed to sub-modules, packets sent on from them, and packets for sub-module
    // addresses dropped because routing was off or no sub-module sits there.
    uint64_t Forwarded() const;
    uint64_t Returned() const;
    uint64_t Dropped() const;

  private:
    struct State;
    std::shared_ptr<State> state_;
    std::shared_ptr<SimModule> router_;
};

}  // namespace sim::tessaline
