#pragma once
// Complete simulated family modules, assembled from the core and its request handlers: every
// module answers its system entity (SimSystemEntity), module-information requests (SimModuleInfo)
// and the echo command (SimEcho); a routing module adds its I2C network with sub-modules behind
// it (SimI2CRouter). Several devices may run at once, each with its own configuration (serial
// number, model, address); a front end (pipe, TCP, pty, USB) attaches to `module` as usual.

#include <memory>
#include <vector>

#include "SimEcho.h"
#include "SimI2CRouter.h"
#include "SimModule.h"
#include "SimModuleInfo.h"
#include "SimSystemEntity.h"

namespace sim::tessaline {

struct SimDevice {
    std::shared_ptr<SimModule> module;
    std::shared_ptr<SimSystemEntity> system;
    std::shared_ptr<SimModuleInfo> info;
    std::shared_ptr<SimEcho> echo;
};

// A module with `config` and the handlers every family module has. Its module-information
// catalogue lists the system class (command 3, one entity, the system entity's options).
SimDevice MakeSimDevice(const SimModuleConfig& config);

// A routing module and the sub-modules on its I2C network. The router routes the network to the
// host while its system entity's routeToMe (option 20) is on.
class SimRoutedNetwork {
  public:
    explicit SimRoutedNetwork(const SimModuleConfig& routerConfig);
    ~SimRoutedNetwork();  // the sub-modules leave the bus first
    SimRoutedNetwork(const SimRoutedNetwork&) = delete;
    SimRoutedNetwork& operator=(const SimRoutedNetwork&) = delete;

    SimDevice& Router() { return router_; }
    SimI2CRouter& Bus() { return *bus_; }

    // Adds a complete device with `config` to the bus at `config.address`; its system entity
    // names the router (option 2). Null when the address is the router's or already taken.
    SimDevice* AddSubModule(const SimModuleConfig& config);
    const std::vector<std::unique_ptr<SimDevice>>& SubModules() const { return subs_; }

  private:
    SimDevice router_;
    std::vector<std::unique_ptr<SimDevice>> subs_;
    std::unique_ptr<SimI2CRouter> bus_;  // destroyed first
};

}  // namespace sim::tessaline
