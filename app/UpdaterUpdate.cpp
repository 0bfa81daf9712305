// The update command: installs a stored or given BIRD file into a running module, directly or
// through a routing module, and records the transfer in the device's settings.

#include "UpdaterUpdate.h"

#include <chrono>
#include <list>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Log.h"
#include "SystemClass.h"
#include "UpdateServerRequest.h"
#include "Updater.h"
#include "UpdaterDiscovery.h"
#include "UpdaterEntity.h"
#include "aTime.h"

using Quillmet::TessaLine::Module;
using Quillmet::TessaLine::SystemClass;
using Quillmet::TessaLine::UpdaterEntity;

namespace {

constexpr auto INFO = UpdaterDisplayInterface::LEVEL_INFO;
constexpr auto ERROR = UpdaterDisplayInterface::LEVEL_ERROR;
constexpr uint8_t kAnyModel = 0;
constexpr uint8_t kEntityIndex = 0;

uint64_t sNowMs() {
    using namespace std::chrono;
    return uint64_t(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// The build number in the server's answer; 0 (with a debug line) when it is not a number.
uint32_t sBuildFromText(const std::string& text) {
    size_t end = 0;
    unsigned long value = 0;
    try {
        value = std::stoul(text, &end, 10);
    } catch (const std::exception&) {
        end = 0;
    }
    if (end == 0 || text.find('-') != std::string::npos || value > UINT32_MAX) {
        Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", text.c_str());
        return 0;
    }
    return uint32_t(value);
}

// A build number kept in the settings as "<build>.bird"; 0 when absent or not a positive number.
uint32_t sStoredBuild(KeyValueStore& settings, const char* key) {
    const int32_t value = settings.GetInt(key, 0);
    return value > 0 ? uint32_t(value) : 0;
}

// Connects `module` to the module `serial`: over USB, else over TCP/IP when USB does not show it.
aErr sConnectDirect(Module& module, uint32_t serial) {
    aErr err = module.connect(USB, serial);
    if (err == aErrNotFound) err = module.connect(TCPIP, serial);
    return err;
}

// The network address of the module `serial` behind `routerSerial`, found by routed discovery;
// 0 after printing why there is none.
uint8_t sRoutedAddress(Updater& updater, UpdaterDisplayInterface& display, uint32_t routerSerial,
                       uint32_t serial) {
    const std::list<DeviceInfo> devices = updater.Discover_TLNetwork_Devices(routerSerial, INVALID);
    if (devices.empty()) {
        display.message(ERROR, "Unable to find modules on Network");
        return 0;
    }
    uint16_t address = 0;
    for (const DeviceInfo& device : devices)
        if (device.spec.serialNumber == serial) address = device.network_address;
    if (address == 0 || address > UINT8_MAX) {
        display.message(ERROR,
                        "Module address required for indirect firmware update, could not find "
                        "serial number [0x%08X] on network",
                        serial);
        return 0;
    }
    return uint8_t(address);
}

// The router of a routed update: connected and routing its network to the host for as long as
// the object lives, so that the module behind it answers.
class RouterConnection {
  public:
    explicit RouterConnection(UpdaterDisplayInterface& display) : display_(display) {}
    ~RouterConnection() {
        if (!routing_) return;
        SystemClass system;
        system.init(&router_, kEntityIndex);
        system.routeToMe(0);
    }
    RouterConnection(const RouterConnection&) = delete;
    RouterConnection& operator=(const RouterConnection&) = delete;

    // Connects to the router `routerSerial` (USB, else TCP/IP) and switches routing on. False
    // when the router could not be reached (after printing so); a set-up or routing error
    // otherwise ends up in `err`.
    bool Open(uint32_t routerSerial, aErr& err) {
        err = _disableWeave(router_, display_);
        if (err != aErrNone) return true;
        err = sConnectDirect(router_, routerSerial);
        if (err != aErrNone) {
            display_.message(ERROR, "Failed to connect to link module [%08X]", routerSerial);
            return false;
        }
        SystemClass system;
        system.init(&router_, kEntityIndex);
        err = system.routeToMe(1);
        routing_ = err == aErrNone;
        if (!routing_) display_.message(ERROR, "Error %d on route to me", int(err));
        return true;
    }
    Module& Router() { return router_; }

  private:
    UpdaterDisplayInterface& display_;
    Module router_{0, kAnyModel};
    bool routing_ = false;
};

// After the loader started, the module may come back as a new USB device: reconnect to it.
void sReconnectAfterLoad(Module& module, uint32_t serial) {
    module.disconnect();
    for (int attempt = 0; attempt < kLoaderReconnectAttempts; ++attempt) {
        if (module.discoverAndConnect(USB, serial) == aErrNone && module.isConnected()) return;
        aTime_MSSleep(kLoaderReconnectDelayMs);
    }
}

// One firmware block, up to kFirmwareBlockAttempts times.
aErr sTransferFirmwareBlock(UpdaterDisplayInterface& display, UpdaterEntity& entity,
                            const BirdBlock& block, uint32_t number, uint32_t count) {
    aErr err = aErrNone;
    for (int attempt = 0; attempt < kFirmwareBlockAttempts; ++attempt) {
        display.message(INFO, "Transferring firmware block %u of %u, %d bytes", number, count,
                        int(block.length));
        if (attempt > 0) display.message(INFO, "  Retry %d", attempt);
        uint16_t blockSize = 0;
        err = entity.TransferPrepare(block.data, block.length, block.flags, blockSize);
        if (err != aErrNone) {
            Log::log(DEBUG_Updater, "Error firmware transfer init: [%d, %s].\n", int(err),
                     aError_GetErrorText(err));
            return err;
        }
        err = entity.FirmwareTransfer(block.data, block.length, blockSize, display);
        if (err == aErrNone) return err;
        Log::log(DEBUG_Updater, "Error firmware transfer [%d, %s].\n", int(err),
                 aError_GetErrorText(err));
    }
    return err;
}

}  // namespace

bool _validate_birdfile(UpdaterDisplayInterface& display, const BirdFile& bird, Module& module,
                        uint32_t serial) {
    Log::log(DEBUG_Updater, "UpdateFirmware() Connecting to device\n");
    if (bird.blockCount == 0) return false;
    if (!bird.hasSerialOffsets && !bird.ValidateSerialNumber(serial)) return false;

    SystemClass system;
    system.init(&module, kEntityIndex);
    uint32_t moduleSerial = 0;
    aErr err = system.getSerialNumber(&moduleSerial);
    if (err != aErrNone || moduleSerial != serial) {
        Log::log(DEBUG_Updater, "Bird serial number and connected device don't match (%d).\n",
                 int(err));
        return false;
    }
    uint8_t model = 0;
    err = system.getModel(&model);
    const char* modelName = aDefs_GetModelName(model);
    if (err != aErrNone || !bird.ValidateModel(modelName)) {
        display.message(ERROR, "Connected device model and Bird file model do not match [%s] (%d)",
                        modelName, int(err));
        return false;
    }
    return true;
}

aErr _transfer_loader(UpdaterDisplayInterface& display, Module& module, const BirdFile& bird) {
    UpdaterEntity entity;
    entity.init(&module, kEntityIndex, true, false);
    aErr err = entity.LoaderInit();
    if (err != aErrNone) {
        Log::log(DEBUG_Updater, "Error starting loader [%d, %s].\n", int(err),
                 aError_GetErrorText(err));
        return err;
    }
    display.message(INFO, "Transferring loader to device");
    display.display_progress(true);
    const std::vector<BirdBlock> blocks = bird.FindBlocks(BirdFile::BLOCK_LOADER);
    int transferred = 0;
    uint32_t total = 0;
    for (const BirdBlock& block : blocks) {
        display.message(INFO, "Transferring loader block %d of %d, %d bytes", transferred + 1,
                        int(blocks.size()), int(block.length));
        uint16_t blockSize = 0;
        err = entity.TransferPrepare(block.data, block.length, block.flags, blockSize);
        if (err != aErrNone && err != aErrTimeout) {
            Log::log(DEBUG_Updater, "Error Preparing transfer [%d, %s].\n", int(err),
                     aError_GetErrorText(err));
            break;
        }
        err = entity.LoaderTransfer(block.data, block.length);
        if (err != aErrNone) {
            Log::log(DEBUG_Updater, "Error loader transfer [%d, %s].\n", int(err),
                     aError_GetErrorText(err));
            continue;
        }
        total += block.length;
        ++transferred;
    }
    display.message(INFO, "Transferred %d blocks, %d total bytes", transferred, int(total));
    display.display_progress(false);
    if (err != aErrNone) return err;

    display.message(INFO, "Starting Load on Device");
    err = entity.LoaderStart();
    if (err == aErrTimeout) {
        Log::log(DEBUG_Updater,
                 "Timeout on LoaderStart. Usually indicates this is an iMX Load ignore err.\n");
        return aErrNone;
    }
    if (err != aErrNone)
        display.message(ERROR, "Error starting loader [%d, %s]", int(err),
                        aError_GetErrorText(err));
    return err;
}

aErr _transfer_firmware(UpdaterDisplayInterface& display, Module& module, const BirdFile& bird,
                        bool routed, bool ueiBytes) {
    UpdaterEntity entity;
    entity.init(&module, kEntityIndex, true, routed);
    if (ueiBytes && entity.CheckUEIDataSupport() == aErrNone) entity.CheckPooledPacketsSupport();

    Log::log(DEBUG_Updater, "Transferring firmware to device %s\n", bird.path.c_str());
    const std::vector<BirdBlock> blocks = bird.FindBlocks(BirdFile::BLOCK_FIRMWARE);
    aErr err = aErrNone;
    int transferred = 0;
    uint32_t total = 0;
    for (size_t n = 0; n < blocks.size(); ++n) {
        err = sTransferFirmwareBlock(display, entity, blocks[n], uint32_t(n + 1),
                                     uint32_t(blocks.size()));
        if (err != aErrNone) {
            Log::log(DEBUG_Updater, "Error firmware transfer block failed.\n");
            break;
        }
        total += blocks[n].length;
        ++transferred;
    }
    display.message(INFO, "Transferred %d blocks, %d total bytes", transferred, int(total));
    if (err != aErrNone) return err;
    return entity.LoaderReboot(display);
}

BirdFile Updater::load_bird(const char* label, const std::string& birdFile, uint32_t serial,
                            uint32_t build, bool downloadIfMissing) {
    std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, store_path, "load_bird");
    if (!store) return BirdFile();
    if (!birdFile.empty()) {
        display.message(INFO, "%s from Birdfile: %s", label, birdFile.c_str());
        return BirdFile(birdFile);
    }
    UpdaterStoreItem device = store->AddDevice(serial);
    display.message(INFO, "%s firmware with build: %u", label, build);
    const std::string fileName = std::to_string(build) + ".bird";
    try {
        return device.ReadBirdFile(fileName.c_str());
    } catch (const std::runtime_error&) {
        if (!downloadIfMissing) throw std::runtime_error("Error reading birdfile");
    }
    display.message(INFO, "Downloading firmware build %u", build);
    Download_Firmware(serial, std::to_string(build), false, false);
    return device.ReadBirdFile(fileName.c_str());
}

uint32_t Updater::choose_build(uint32_t serial, UpdaterStoreItem& device) {
    std::string latest, firmware;
    UpdateServerRequest::QueryBuild(serial, latest, firmware, server_url.c_str());
    uint32_t build = sBuildFromText(latest);
    if (build != 0) {
        const std::string fileName = std::to_string(build) + ".bird";
        try {
            device.ReadBirdFile(fileName.c_str());
        } catch (const std::runtime_error&) {
            display.message(INFO,
                            "New firmware is available.  Updater will proceed if valid "
                            "firmware is found locally.");
            build = 0;
        }
    }
    if (build == 0) {
        build = sStoredBuild(device.settings, "LATEST_DOWNLOAD");
        if (build != 0) display.message(INFO, "Updating with the Latest Download");
    }
    if (build == 0) {
        build = sStoredBuild(device.settings, "LATEST_TRANSFER");
        if (build != 0) display.message(INFO, "Updating with the Latest Transfer");
    }
    if (build == 0) {
        device.settings.GetString("LAST_TRANSFER_VERSION");
        display.message(ERROR, "Could not find valid build for this device.");
    }
    return build;
}

bool Updater::Update_Firmware(uint32_t serial, uint32_t build, const std::string& birdFile,
                              uint8_t moduleAddress, uint32_t routerSerial, bool override) {
    if (serial == 0) {
        display.message(ERROR, "Update command must specify the specific device");
        return false;
    }
    std::unique_ptr<UpdaterStore> store =
        _createUpdaterStore(display, store_path, "Update_Firmware");
    if (!store) return false;
    UpdaterStoreItem device;
    store->FindDevice(serial, &device);
    const uint64_t startMs = sNowMs();

    if (birdFile.empty() && build == 0) {
        build = choose_build(serial, device);
        if (build == 0) return false;
    }

    BirdFile bird;
    try {
        bird = load_bird("Updating", birdFile, serial, build, false);
    } catch (const std::runtime_error&) {
        display.message(ERROR, "Failed to load bird file");
        return false;
    }
    if (bird.hasSerialOffsets) {
        Log::log(DEBUG_Updater, "Setting serial number into firmware... ");
        if (!bird.ReplaceSerialNumber(serial)) {
            Log::log(DEBUG_Updater, "Error: Unable to modify serial number in bird.\n");
            return false;
        }
        Log::log(DEBUG_Updater, " Serial Number inserted into firmware.\n");
    }

    Module module(moduleAddress, kAnyModel);
    aErr err = _disableWeave(module, display);
    // Held until the flow ends, so that the router keeps routing to the host while the module
    // behind it restarts into its loader and into the new firmware.
    std::unique_ptr<RouterConnection> router;
    if (err == aErrNone && routerSerial != 0) {
        if (moduleAddress == 0) {
            const uint8_t address = sRoutedAddress(*this, display, routerSerial, serial);
            if (address == 0) return false;
            module.setModuleAddress(address);
        }
        router = std::make_unique<RouterConnection>(display);
        if (!router->Open(routerSerial, err)) return false;
        if (err == aErrNone) {
            err = module.connectThroughLinkModule(&router->Router());
            if (err != aErrNone)
                display.message(ERROR, "Failed to connect to module [%08X]", serial);
        }
    } else if (err == aErrNone) {
        err = sConnectDirect(module, serial);
        if (err != aErrNone) display.message(ERROR, "Failed to connect to module [%08X]", serial);
    }

    if (err == aErrNone && !override && !_validate_birdfile(display, bird, module, serial)) {
        display.message(ERROR, "Birdfile failed validation");
        return false;
    }
    if (err == aErrNone) {
        err = _transfer_loader(display, module, bird);
        if (err == aErrNone && !module.isConnected()) sReconnectAfterLoad(module, serial);
    }
    if (err == aErrNone)
        err = _transfer_firmware(display, module, bird, routerSerial != 0, uei_bytes_load);
    if (err != aErrNone) {
        Log::log(DEBUG_Updater, "Failed _transfer_firmware(): %d\n", int(err));
        return false;
    }
    record_transfer(*store, device, serial,
                    birdFile.empty() ? std::to_string(build) + ".bird" : birdFile);
    Log::log(DEBUG_Updater, "Updating device firmware: \n");
    display.message(INFO, "Update time: %.4f sec", double(sNowMs() - startMs) / 1000.0);
    return true;
}

void Updater::record_transfer(UpdaterStore& store, UpdaterStoreItem& device, uint32_t serial,
                              const std::string& fileName) {
    // A device seen for the first time (a file given with -f) gets its folder, so that the record
    // lands in the store and never in the current directory.
    if (!device.IsValid()) {
        try {
            device = store.AddDevice(serial);
        } catch (const std::exception& e) {
            Log::log(DEBUG_Updater, "Could not record the transfer: %s\n", e.what());
            return;
        }
    }
    device.settings.Add("LATEST_TRANSFER", fileName);
    device.settings.Add("LAST_TRANSFER_DATE", CurrentTimeText());
    device.settings.Save();
}
