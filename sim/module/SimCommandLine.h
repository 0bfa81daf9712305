#pragma once
// Options of the stand-alone simulator program `tessaline-sim`, and the firmware-upgrade options
// it shares with `usb-sim` (SimUsbModules.h).

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "SimFaults.h"
#include "SimModule.h"
#include "SimUpgrade.h"

namespace sim::tessaline {

enum class SimTransport { Tcp, Pty };

// A sub-module on the simulated module's I2C network (which makes the module a router).
struct SimSubModuleOption {
    uint8_t address = 0;
    uint32_t serialNumber = 0;
    uint8_t model = 0;
};

// The firmware-upgrade far end of one module as the options set it.
struct SimUpgradeOptions {
    uint32_t newFirmwareVersion = 0;  // --upgrade-to X.Y.Z:BUILD; 0: unchanged by a reboot
    uint32_t newFirmwareBuild = 0;
    uint16_t blockSize = 256;  // --block-size N (1..65535), announced in PREPARE replies
    bool byteArray = false;    // --byte-array: option 10 and pooled packets offered
    std::string flashPath;     // --flash FILE: flash image (and FILE.loader) at the end
    // --upgrade-fault KIND[:N], repeatable:
    uint32_t badSums = 0;             // bad-sum[:N] the loader's next N (default 1) SUM replies
                                      // are wrong (the firmware phase; the loader block's is right)
    bool refusePrepare = false;       // refuse-prepare: every PREPARE answers status 1
    bool noReturn = false;            // no-return: after LOAD the module never comes back
    bool loseLoad = false;            // lose-load: the LOAD reply is never sent
    uint32_t loaderSerialNumber = 0;  // the loader's serial number; 0: the module's own
};

// "X.Y.Z:BUILD" (each part 0 to 255, a decimal build) into a packed version and a build.
bool ParseUpgradeTo(const std::string& text, uint32_t* version, uint32_t* build);
// A block size, 1 to 65535.
bool ParseBlockSize(const std::string& text, uint16_t* size);
// "KIND[:N]" added to `options`; false (nothing changed) for an unknown kind, an N where the kind
// takes none, or an N that is not 1 to 4294967295.
bool ParseUpgradeFault(const std::string& text, SimUpgradeOptions* options);

// The upgrade configuration for `options` (the bad sums are set on the installed upgrade with
// CorruptLoaderSums). A sub-module's comes from SubModuleUpgradeConfig of it.
SimUpgradeConfig MakeUpgradeConfig(const SimUpgradeOptions& options);

// Installs the upgrade command set configured by `options` on `device`: a module reached
// directly, or (`subModule`) one behind a router (SubModuleUpgradeConfig).
std::shared_ptr<SimUpgrade> InstallUpgrade(SimDevice& device, const SimUpgradeOptions& options,
                                           bool subModule);

struct SimOptions {
    SimModuleConfig module;
    std::vector<SimSubModuleOption> subModules;
    bool busy = false;  // the system entity refuses every request with aErrBusy
    SimTransport transport = SimTransport::Tcp;
    uint16_t port = 0;  // 0: an ephemeral port
    // tcp: the local IPv4 address to listen on; the TCP/IP discovery responder (UDP 9888, group
    // 232.2.2.2) answers on that address's interface, or on every non-loopback one for 0.0.0.0.
    std::string bindAddress = "127.0.0.1";
    bool discovery = false;
    std::string reportPath;  // written at the end (SimReport.h); empty: none
    std::vector<SimFault> faults;
    SimUpgradeOptions upgrade;  // the module's own (sub-modules have the defaults)
    bool help = false;
};

inline constexpr const char* kSimUsage =
    "usage: tessaline-sim [--serial HEX] [--model N] [--address N] [--transport tcp|pty]\n"
    "                     [--port N] [--heartbeat-ms N] [--version X.Y.Z] [--build N]\n"
    "                     [--fault DIR:UNIT:N:ACTION[:ARG]]...\n"
    "                     [--submodule ADDRESS:SERIAL:MODEL]... [--busy]\n"
    "                     [--bind IPV4] [--discovery] [--report FILE]\n"
    "                     [--upgrade-to X.Y.Z:BUILD] [--block-size N] [--byte-array]\n"
    "                     [--flash FILE] [--upgrade-fault KIND[:N]]...\n"
    "  DIR in|out  UNIT byte|packet  ACTION drop|delay:MS|corrupt[:ARG]|disconnect|silent\n"
    "  --submodule puts a module (serial number in hex) on the I2C network behind this one.\n"
    "  --bind: tcp listens on that local address; --discovery answers TCP/IP discovery there.\n"
    "  --report FILE: at the end, one line per module: routing state and I2C writes seen.\n"
    "  Firmware upgrade: --upgrade-to is what the module runs after its reboot, --block-size\n"
    "  what PREPARE announces (default 256), --byte-array offers the byte-array data path,\n"
    "  --flash FILE receives the flash at the end (and FILE.loader the loader memory).\n"
    "  KIND bad-sum[:N] (the loader's next N sums) | refuse-prepare | no-return | lose-load.\n"
    "  tcp: prints \"listening on ADDRESS:PORT\"; pty: prints the serial port path.\n"
    "  Runs until SIGINT or SIGTERM.\n";

// The program's defaults: a module that sends a heartbeat every second.
SimOptions DefaultSimOptions();

// Parses the arguments after the program name into `options` (starting from its contents).
// Returns "" on success, else a one-line error message naming the bad option.
std::string ParseSimOptions(const std::vector<std::string>& arguments, SimOptions* options);

}  // namespace sim::tessaline
