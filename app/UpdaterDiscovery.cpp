// The discover command: modules reached directly over USB and TCP/IP, and the modules on the I2C
// network behind a routing module. Discovery only reads from the modules.

#include "UpdaterDiscovery.h"

#include <vector>

#include "I2CClass.h"
#include "Log.h"
#include "SystemClass.h"
#include "aDiscovery.h"
#include "aVersion.h"

using Quillmet::TessaLine::aWeaveConfig;
using Quillmet::TessaLine::I2CClass;
using Quillmet::TessaLine::Module;
using Quillmet::TessaLine::SystemClass;

const uint32_t kDiscoveryInterface = Quillmet::TessaLine::aWeaveLoopbackInterface;

namespace {

constexpr auto ERROR = UpdaterDisplayInterface::LEVEL_ERROR;

// Every module is first reached at the usual address of a module at the near end; networking
// mode learns the real one on connect.
constexpr uint8_t kNearModuleAddress = 2;
constexpr uint8_t kAnyModel = 0;
constexpr uint8_t kSystemIndex = 0;
constexpr uint8_t kI2CIndex = 0;
constexpr uint8_t kRoutedI2CSpeed = 3;
constexpr uint8_t kFirstNetworkAddress = 2;
constexpr uint8_t kLastNetworkAddress = 252;
constexpr uint8_t kBuildRequest = 0xFF;
constexpr uint8_t kBuildReplyLength = 6;

// Connects to a directly reached module and reads its build and version into `device`.
void sQueryDirectDevice(DeviceInfo& device, UpdaterDisplayInterface& display) {
    device.model_name = aDefs_GetModelName(device.spec.model);
    Module module(kNearModuleAddress, kAnyModel);
    // A module that could not be set up or connected is listed with the reason; it was never
    // queried, so it must not look like a module that answered.
    aErr err = _disableWeave(module, display);
    if (err == aErrNone) err = module.connectFromSpec(device.spec);
    if (err != aErrNone) {
        device.error = err;
        return;
    }
    device.build = _get_build_number(module);
    device.error = _get_version(module, device);
    module.disconnect();
}

// Probes the network address `address` behind `router` and, when a module answers with its
// serial number, returns it described as reached through the router.
bool sQueryRoutedDevice(Module& router, I2CClass& bus, const linkSpec& routerSpec,
                        uint32_t routerSerial, uint8_t address, UpdaterDisplayInterface& display,
                        DeviceInfo* device) {
    Log::log(DEBUG_Updater, "Searching Address 0x%02x\n", address);
    const uint8_t probe[2] = {0, 0};
    if (bus.write(address, sizeof(probe), probe) != aErrNone) return false;

    Log::log(DEBUG_Updater, "Attempt Connect on address: 0x%02x\n", address);
    Module module(address, false, kAnyModel);
    _disableWeave(module, display);  // the router's configuration is taken over on connect
    if (module.connectThroughLinkModule(&router) != aErrNone) return false;
    SystemClass system;
    system.init(&module, kSystemIndex);
    uint32_t serial = 0;
    if (system.getSerialNumber(&serial) != aErrNone) {
        module.disconnect();
        return false;
    }
    Log::log(DEBUG_Updater, "Got Serial [0x%08X]\n", serial);

    device->spec = routerSpec;
    device->spec.serialNumber = serial;
    device->spec.router = router.getModuleAddress();
    device->spec.routerSerialNumber = routerSerial;
    device->network_address = address;
    device->build = _get_build_number(module);
    device->error = _get_version(module, *device);
    uint8_t model = 0;
    const aErr modelErr = system.getModel(&model);
    if (modelErr == aErrNone) {
        device->spec.model = model;
        device->model_name = aDefs_GetModelName(model);
    } else {
        device->error = modelErr;
    }
    module.disconnect();
    return true;
}

}  // namespace

// --- Helpers ----------------------------------------------------------------------------------

bool _discovered_device(const linkSpec* spec, bool* success, void* list) {
    auto* devices = static_cast<std::list<DeviceInfo>*>(list);
    DeviceInfo device;
    device.spec = *spec;
    devices->push_back(device);
    *success = true;
    return true;
}

bool _discovered_link(const linkSpec* spec, bool* success, void* context) {
    auto* wanted = static_cast<DiscoveredLinkContext*>(context);
    *success = true;
    if (spec->serialNumber != wanted->serial) return true;
    Log::log(DEBUG_NetworkLink, "NETWORK: Found device [%08X] via link type [%d]\n",
             spec->serialNumber, static_cast<int>(spec->type));
    wanted->type = spec->type;
    return false;
}

linkType _discover_link_type(uint32_t serial) {
    DiscoveredLinkContext context;
    context.serial = serial;
    for (linkType type : {USB, TCPIP}) {
        aDiscovery_EnumerateModules(type, _discovered_link, &context, kDiscoveryInterface);
        if (context.type != INVALID) break;
    }
    return context.type;
}

uint32_t _get_build_number(Module& module) {
    Quillmet::TessaLine::Link* link = module.getLink();
    if (!link) return 0;
    const uint8_t address = module.getModuleAddress();
    const uint8_t request = kBuildRequest;
    if (link->sendPacket(address, Quillmet::TessaLine::kModuleInfoCommand, 1, &request) != aErrNone)
        return 0;
    const uint8_t match[2] = {Quillmet::TessaLine::kModuleInfoCommand, kBuildRequest};
    uint8_t length = sizeof(match);
    uint8_t reply[28] = {};
    if (link->receivePacket(address, match, &length, reply) != aErrNone) return 0;
    if (length != kBuildReplyLength) return 0;
    return static_cast<uint32_t>(reply[2]) << 24 | static_cast<uint32_t>(reply[3]) << 16 |
           static_cast<uint32_t>(reply[4]) << 8 | reply[5];
}

aErr _get_version(Module& module, DeviceInfo& info) {
    SystemClass system;
    system.init(&module, kSystemIndex);
    uint32_t version = 0;
    aErr err = system.getVersion(&version);
    if (err != aErrNone) return err;
    info.version_major = static_cast<uint8_t>(aVersion_ParseMajor(version));
    info.version_minor = static_cast<uint8_t>(aVersion_ParseMinor(version));
    info.version_patch = aVersion_ParsePatch(version);
    uint8_t address = 0;
    err = system.getModule(&address);
    if (err != aErrNone) return err;
    info.spec.module = address;
    err = system.getRouter(&address);
    if (err != aErrNone) return err;
    info.spec.router = address;
    return aErrNone;
}

aErr _disableWeave(Module& module, UpdaterDisplayInterface& display) {
    aWeaveConfig config;
    config.enabled = false;
    config.fallback = false;
    config.localOnly = true;
    const aErr err = module.setConfig(config);
    if (err != aErrNone) display.message(ERROR, "Failed to SET network configuration");
    return err;
}

// --- Operations -------------------------------------------------------------------------------

std::list<DeviceInfo> Updater::Discover_Devices(linkType type) {
    const std::vector<linkType> types =
        type == INVALID ? std::vector<linkType>{USB, TCPIP} : std::vector<linkType>{type};
    std::list<DeviceInfo> devices;
    for (linkType each : types)
        aDiscovery_EnumerateModules(each, _discovered_device, &devices, kDiscoveryInterface);
    for (DeviceInfo& device : devices) sQueryDirectDevice(device, display);
    return devices;
}

std::list<DeviceInfo> Updater::Discover_TLNetwork_Devices(uint32_t routerSerial, linkType type) {
    std::list<DeviceInfo> devices;
    if (type == INVALID) type = _discover_link_type(routerSerial);
    linkSpec* found = aDiscovery_FindModule(type, routerSerial, kDiscoveryInterface);
    if (!found) return devices;

    Module router(kNearModuleAddress, kAnyModel);
    _disableWeave(router, display);
    aErr err = router.connectFromSpec(*found);
    aLinkSpec_Destroy(&found);
    if (err != aErrNone) {
        display.message(ERROR, "Error %d on connectFromSpec", static_cast<int>(err));
        return devices;
    }
    SystemClass routerSystem;
    routerSystem.init(&router, kSystemIndex);
    err = routerSystem.routeToMe(1);
    if (err != aErrNone) {
        display.message(ERROR, "Error %d on route to me", static_cast<int>(err));
        router.disconnect();
        return devices;
    }
    I2CClass bus;
    bus.init(&router, kI2CIndex);
    bus.setSpeed(kRoutedI2CSpeed);

    linkSpec routerSpec{};
    router.getLinkSpecifier(&routerSpec);
    const uint8_t routerAddress = router.getModuleAddress();
    for (unsigned address = kFirstNetworkAddress; address <= kLastNetworkAddress; address += 2) {
        if (address == routerAddress) continue;
        DeviceInfo device;
        if (sQueryRoutedDevice(router, bus, routerSpec, routerSerial, static_cast<uint8_t>(address),
                               display, &device))
            devices.push_back(device);
    }
    routerSystem.routeToMe(0);
    router.disconnect();
    return devices;
}
