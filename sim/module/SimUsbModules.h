#pragma once
// The modules behind usb-sim: every emulated USB module (--module, --node) is answered by a
// complete simulated family module (SimDevice: system entity, module information, echo) through
// SimUsbBehaviour. The serial number is the serial text read as hexadecimal (0 when it is not 1
// to 8 hex digits), the model the low byte of the product identifier. Options of its own:
//   --firmware SERIAL:X.Y.Z:BUILD         firmware version and build of module SERIAL
//   --address SERIAL:N                    its address on its network (even, 2..254; default 2)
//   --submodule SERIAL:ADDRESS:SUB:MODEL  a module with serial number SUB (hex) and MODEL at
//                                         ADDRESS on the I2C network of module SERIAL, which
//                                         becomes a routing module; the sub-module reports
//                                         SERIAL's address as its router and has SERIAL's
//                                         firmware unless --firmware SUB:... says otherwise
//   --report FILE                         when the command has ended, one line per module and
//                                         sub-module (SimReport.h)
// Every module and sub-module answers the firmware-upgrade command set (SimUpgrade.h); these
// options change it for one of them (SimUpgradeOptions in SimCommandLine.h):
//   --upgrade-to SERIAL:X.Y.Z:BUILD       what it reports after rebooting into new firmware
//   --block-size SERIAL:N                 block size in PREPARE replies (1..65535; 256)
//   --byte-array SERIAL                   the byte-array data path and pooled packets offered
//   --flash SERIAL:FILE                   when the command has ended, FILE receives its flash
//                                         image and FILE.loader its loader memory
//   --upgrade-fault SERIAL:KIND[:N]       bad-sum[:N] (the loader's next N sums), refuse-prepare,
//                                         no-return, lose-load
// SERIAL is the serial text of a --module or --node exactly as given there; for the upgrade
// options also the SUB text of a --submodule exactly as given there.
//
// Restarts (LOAD, REBOOT): a module on the bus leaves it and comes back after the behaviour's
// downtime (SimUsbBehaviour); with no-return it stays away after LOAD. A sub-module leaves its
// router's I2C network and is put back at its address (SimSubModuleRestarts); the router's link
// stays up.
//
// Threads: Configure, Behaviour and Finish are called by the launcher on its main thread.

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "SimCommandLine.h"
#include "SimDevice.h"
#include "SimUpgrade.h"
#include "SimUsbBehaviour.h"
#include "sim/usb/UsbSimLauncher.h"

namespace sim::tessaline {

class SimUsbModules {
  public:
    SimUsbModules() = default;
    ~SimUsbModules();  // Finish()
    SimUsbModules(const SimUsbModules&) = delete;
    SimUsbModules& operator=(const SimUsbModules&) = delete;

    // The option names above and their usage lines.
    static const std::vector<std::string>& OptionNames();
    static const char* Usage();

    // Takes the modules of `options` with the simulator's options applied (they are built by
    // Behaviour). "" on success, else a one-line message naming the bad option.
    std::string Configure(const sim::usb::UsbSimOptions& options);

    // The behaviour that answers the emulated device `config`, its module built on the first
    // call (null for a device Configure did not see).
    std::shared_ptr<sim::usb::UsbDeviceBehaviour> Behaviour(
        const sim::usb::UsbDeviceConfig& config);

    // Stops sub-module restarts, releases every module from its port (before the bus goes) and
    // writes the flash images and the report asked for. Safe to call more than once (only the
    // first call does anything). "" on success, else a one-line message naming each file that
    // could not be written.
    std::string Finish();

    // The report lines: the modules in command-line order, each followed by its sub-modules.
    std::vector<std::string> ReportLines() const;

    // The module with serial text `serial`, and its I2C network (null when it has none or was
    // not built yet).
    SimDevice* Device(const std::string& serial);
    SimRoutedNetwork* Network(const std::string& serial);
    // The upgrade options of the module or sub-module with serial text `serial` (null when there
    // is none), and its upgrade command set (null until built).
    const SimUpgradeOptions* UpgradeOptions(const std::string& serial);
    SimUpgrade* Upgrade(const std::string& serial);

  private:
    struct Upgradable {
        std::string serial;  // the serial text it is named by
        SimUpgradeOptions options;
        std::shared_ptr<SimUpgrade> upgrade;  // once built
    };
    struct SubEntry {
        SimModuleConfig config;
        Upgradable upgrade;
    };
    struct Entry {
        std::string serial;
        SimModuleConfig config;
        Upgradable upgrade;
        std::vector<SubEntry> subModules;
        SimDevice device;                                   // a module without sub-modules
        std::unique_ptr<SimRoutedNetwork> network;          // a routing module
        std::unique_ptr<SimSubModuleRestarts> subRestarts;  // destroyed before the network
        std::shared_ptr<SimUsbBehaviour> behaviour;
    };

    Entry* Find(const std::string& serial);
    Upgradable* FindUpgradable(const std::string& serial);
    std::string TakeOption(const std::string& name, const std::string& value);
    std::string TakeUpgradeOption(const std::string& name, const std::string& value);
    void Build(Entry& entry);
    // Installs the upgrade command set on a module reached over the bus.
    void InstallOnBusModule(Entry& entry, SimDevice& device);

    std::vector<std::unique_ptr<Entry>> entries_;
    std::map<uint32_t, std::pair<uint32_t, uint32_t>> subFirmware_;  // sub serial -> version, build
    std::string reportPath_;
    bool finished_ = false;
};

}  // namespace sim::tessaline
