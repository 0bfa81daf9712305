#include "SimDevice.h"

namespace sim::tessaline {

SimDevice MakeSimDevice(const SimModuleConfig& config) {
    SimDevice device;
    device.module = std::make_shared<SimModule>(config);
    device.system = SimSystemEntity::Install(*device.module);
    device.info = SimModuleInfo::Install(*device.module);
    device.echo = SimEcho::Install(*device.module);
    std::shared_ptr<SimSystemEntity> system = device.system;
    device.info->SetClass(kSystemCommand, SimModuleInfo::Describe([system] {
                              SimClassInfo info;
                              info.options = system->Access();
                              return info;
                          }));
    return device;
}

SimRoutedNetwork::SimRoutedNetwork(const SimModuleConfig& routerConfig)
    : router_(MakeSimDevice(routerConfig)) {
    std::shared_ptr<SimSystemEntity> system = router_.system;
    bus_ =
        std::make_unique<SimI2CRouter>(router_.module, [system] { return system->RouteToHost(); });
    router_.info->SetClass(kI2CCommand, SimClassInfo{});
}

SimRoutedNetwork::~SimRoutedNetwork() {
    bus_.reset();
}

SimDevice* SimRoutedNetwork::AddSubModule(const SimModuleConfig& config) {
    auto device = std::make_unique<SimDevice>(MakeSimDevice(config));
    if (bus_->AddSubModule(device->module) != aErrNone) return nullptr;
    // A module on a router's network names that router as its own.
    device->system->SetValue(kSysRouter, router_.module->Config().address);
    subs_.push_back(std::move(device));
    return subs_.back().get();
}

}  // namespace sim::tessaline
