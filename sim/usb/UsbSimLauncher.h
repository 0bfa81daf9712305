#pragma once
// The usb-sim launcher: builds an emulated bus from command-line options and runs a command
// under it, returning the command's exit status.
//
//   usb-sim [--module SERIAL:MODEL[:high|full]]... [--node SERIAL:MODEL]... [--busy SERIAL]...
//           [--imx] -- COMMAND [ARGS...]
//
// --module  a module reached through libusb; SERIAL is its serial-number string exactly as the
//           device reports it, MODEL its model number (decimal or 0x-hex, 0..255), which is the
//           low byte of the product identifier; full speed (64-byte packets) unless ":high".
// --node    a module bound to the kernel driver: visible to libusb (its interface cannot be
//           claimed) and reached through "/dev/tessaline.%08X"; SERIAL is 1 to 8 hex digits and
//           the device reports it as eight upper-case digits.
// --busy    the module with this serial refuses to have its interface claimed (EBUSY).
// --imx     an i.MX boot ROM in serial-download mode on USB HID (0x1FC9:0x0130).
//
// Which behaviour answers each device is decided by the factories given to RunUsbSim, so other
// simulators reuse the launcher with their own devices, and with options of their own
// (UsbSimBehaviours::extraOptions; those of usb-sim's modules: sim/module/SimUsbModules.h).
//
// The bus only works when this process runs under umockdev's preload library: without it the
// launcher re-executes itself through umockdev-wrapper. Exit status: the command's, 128 + signal
// when it was killed, 125 when the launcher fails, 126 / 127 when the command cannot be run /
// is not found.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "UsbBehaviour.h"
#include "UsbDescriptors.h"

namespace sim::usb {

constexpr int kLauncherFailure = 125;

struct UsbSimOptions {
    std::vector<UsbDeviceConfig> modules;  // in command-line order, --module and --node alike
    std::vector<std::string> busy;         // serial texts of modules refusing claims
    bool imx = false;
    // Options of the simulator's own ("--name", "VALUE"), in command-line order.
    std::vector<std::pair<std::string, std::string>> extra;
    std::vector<std::string> command;
};

// Parses the arguments after the program name. On failure returns nothing and sets `error`.
// `extraNames` are further options ("--name VALUE") that the simulator takes; they are collected
// in `extra` unchecked.
std::optional<UsbSimOptions> ParseUsbSimOptions(const std::vector<std::string>& args,
                                                std::string& error);
std::optional<UsbSimOptions> ParseUsbSimOptions(const std::vector<std::string>& args,
                                                const std::vector<std::string>& extraNames,
                                                std::string& error);

// The usage text, ending with a line feed.
const char* UsbSimUsage();

// Whether an LD_PRELOAD value loads umockdev's preload library.
bool IsUmockdevPreloaded(const char* ldPreload);

class EmulatedUsbBus;

// Decide what answers each device. They get the bus too, so that a behaviour can change it
// later (for instance a boot ROM that leaves and a module that appears in its place).
struct UsbSimBehaviours {
    std::function<std::shared_ptr<UsbDeviceBehaviour>(EmulatedUsbBus&, const UsbDeviceConfig&)>
        module;
    std::function<std::shared_ptr<HidReportBehaviour>(EmulatedUsbBus&)> imx;
    // The simulator's own options ("--name VALUE") and their usage lines (ending with a line
    // feed), printed after the launcher's usage.
    std::vector<std::string> extraOptions;
    std::string extraUsage;
    // Called with the parsed options before the bus is built; a non-empty result is an error
    // message, and the launcher fails.
    std::function<std::string(const UsbSimOptions&)> configure;
    // Called once the command has ended, while the bus and its devices still exist.
    std::function<void()> finished;
};

// The whole launcher: parse, re-execute under umockdev-wrapper if needed, build the bus, run the
// command, return its status.
int RunUsbSim(int argc, char** argv, const UsbSimBehaviours& behaviours);

}  // namespace sim::usb
