#pragma once
// Options of the stand-alone simulator program `tessaline-sim`.

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "SimFaults.h"
#include "SimModule.h"

namespace sim::tessaline {

enum class SimTransport { Tcp, Pty };

// A sub-module on the simulated module's I2C network (which makes the module a router).
struct SimSubModuleOption {
    uint8_t address = 0;
    uint32_t serialNumber = 0;
    uint8_t model = 0;
};

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
    bool help = false;
};

inline constexpr const char* kSimUsage =
    "usage: tessaline-sim [--serial HEX] [--model N] [--address N] [--transport tcp|pty]\n"
    "                     [--port N] [--heartbeat-ms N] [--version X.Y.Z] [--build N]\n"
    "                     [--fault DIR:UNIT:N:ACTION[:ARG]]...\n"
    "                     [--submodule ADDRESS:SERIAL:MODEL]... [--busy]\n"
    "                     [--bind IPV4] [--discovery] [--report FILE]\n"
    "  DIR in|out  UNIT byte|packet  ACTION drop|delay:MS|corrupt[:ARG]|disconnect|silent\n"
    "  --submodule puts a module (serial number in hex) on the I2C network behind this one.\n"
    "  --bind: tcp listens on that local address; --discovery answers TCP/IP discovery there.\n"
    "  --report FILE: at the end, one line per module: routing state and I2C writes seen.\n"
    "  tcp: prints \"listening on ADDRESS:PORT\"; pty: prints the serial port path.\n"
    "  Runs until SIGINT or SIGTERM.\n";

// The program's defaults: a module that sends a heartbeat every second.
SimOptions DefaultSimOptions();

// Parses the arguments after the program name into `options` (starting from its contents).
// Returns "" on success, else a one-line error message naming the bad option.
std::string ParseSimOptions(const std::vector<std::string>& arguments, SimOptions* options);

}  // namespace sim::tessaline
