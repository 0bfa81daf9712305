#pragma once
// The object through which main runs every command: one operation per command, each reporting
// to the display itself.

#include <cstdint>
#include <list>
#include <map>
#include <string>

#include "Fingerprint.h"
#include "UpdaterStore.h"
#include "UpdaterDisplayInterface.h"
#include "aDefs.h"
#include "aLinkSpec.h"

// One discovered module as listed by the discover command.
struct DeviceInfo {
    linkSpec spec{};
    uint16_t network_address = 0;  // address on the router's network (routed discovery only)
    uint32_t build = 0;            // 0 when it could not be read
    uint8_t version_major = 0;
    uint8_t version_minor = 0;
    uint32_t version_patch = 0;
    std::string model_name;
    int32_t error = 0;  // aErr of the first failed query, 0 when the module answered
};

class Updater {
public:
    Updater(const std::string& server_url, const std::string& store_path,
            UpdaterDisplayInterface& display);
    ~Updater() = default;
    Updater(const Updater&) = delete;
    Updater& operator=(const Updater&) = delete;

    void Set_UEIBytes_Load(bool on) { uei_bytes_load = on; }

    std::list<DeviceInfo> Discover_Devices(linkType type);
    std::list<DeviceInfo> Discover_TLNetwork_Devices(uint32_t routerSerial, linkType type);

    bool Update_Firmware(uint32_t serial, uint32_t build, const std::string& birdFile,
                         uint8_t moduleAddress, uint32_t routerSerial, bool override);

    // The image to install: `birdFile` when given, else <build>.bird from the device's store
    // folder (created when needed), downloaded first when missing and `downloadIfMissing`.
    // An empty BirdFile when the store cannot be opened. Throws std::runtime_error when the file
    // cannot be loaded ("Error reading birdfile" for a missing stored build), or the store
    // folder's error.
    BirdFile load_bird(const char* label, const std::string& birdFile, uint32_t serial,
                       uint32_t build, bool downloadIfMissing);

    std::map<std::string, std::string> Get_BuildList(uint32_t serial);
    std::map<std::string, std::string> Get_BuildListLocal(uint32_t serial);
    std::string Get_JWT(uint32_t serial);
    uint32_t Download_Firmware(uint32_t serial, const std::string& build, bool override, bool noCal);
    uint32_t Download_Firmware(const Fingerprint& fingerprint, const std::string& build,
                               bool override);

    bool Get_Fingerprint(Fingerprint& out, const std::string& port, uint32_t serial,
                         const std::string& birdFile, uint32_t baud, bool reset);
    bool Recover_Firmware(const std::string& port, uint32_t build, uint32_t baud, uint32_t serial,
                          const std::string& birdFile, bool override);

    const std::string& ServerUrl() const { return server_url; }
    const std::string& StorePath() const { return store_path; }

private:
    // Runs GetBuild on a worker thread while the spinner turns; true when the server delivered.
    bool fetch_build(uint32_t serial, const std::string& firmware, uint32_t build, bool noCal,
                     std::string& fileText);
    // Decodes and stores a downloaded file as <build>.bird and records it; the build, or 0.
    uint32_t store_download(UpdaterStoreItem& device, uint32_t build, const std::string& fileText);

    // The build the update installs when none was asked for (server's newest when stored,
    // else the latest download, else the latest transfer); 0 after printing that none exists.
    uint32_t choose_build(uint32_t serial, UpdaterStoreItem& device);

    // Records a successful transfer of `fileName` in the device's settings, creating the
    // device's store folder first when it has none.
    void record_transfer(UpdaterStore& store, UpdaterStoreItem& device, uint32_t serial,
                         const std::string& fileName);

    // Reports that a capability of this release is not built yet; every caller then fails.
    void not_built(const char* capability);

    std::string server_url;
    std::string store_path;
    UpdaterDisplayInterface& display;
    uint8_t recovery_chip = 0;  // 0 none, 1 i.MX, 2 NXP LPC (last fingerprint request)
    bool uei_bytes_load = false;
};
