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
// SERIAL is the serial text of a --module or --node exactly as given there.
//
// Threads: Configure, Behaviour and Finish are called by the launcher on its main thread.

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "SimDevice.h"
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

    // Releases every module from its port (before the bus goes) and writes the report when one
    // was asked for. Safe to call more than once. False when the report could not be written.
    bool Finish();

    // The report lines: the modules in command-line order, each followed by its sub-modules.
    std::vector<std::string> ReportLines() const;

    // The module with serial text `serial`, and its I2C network (null when it has none or was
    // not built yet).
    SimDevice* Device(const std::string& serial);
    SimRoutedNetwork* Network(const std::string& serial);

  private:
    struct Entry {
        std::string serial;
        SimModuleConfig config;
        std::vector<SimModuleConfig> subModules;
        SimDevice device;                           // a module without sub-modules
        std::unique_ptr<SimRoutedNetwork> network;  // a routing module
        std::shared_ptr<SimUsbBehaviour> behaviour;
    };

    Entry* Find(const std::string& serial);
    std::string TakeOption(const std::string& name, const std::string& value);
    void Build(Entry& entry);

    std::vector<std::unique_ptr<Entry>> entries_;
    std::map<uint32_t, std::pair<uint32_t, uint32_t>> subFirmware_;  // sub serial -> version, build
    std::string reportPath_;
    bool finished_ = false;
};

}  // namespace sim::tessaline
