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

struct SimOptions {
    SimModuleConfig module;
    SimTransport transport = SimTransport::Tcp;
    uint16_t port = 0;  // 0: an ephemeral port
    std::vector<SimFault> faults;
    bool help = false;
};

inline constexpr const char* kSimUsage =
    "usage: tessaline-sim [--serial HEX] [--model N] [--address N] [--transport tcp|pty]\n"
    "                     [--port N] [--heartbeat-ms N] [--version X.Y.Z] [--build N]\n"
    "                     [--fault DIR:UNIT:N:ACTION[:ARG]]...\n"
    "  DIR in|out  UNIT byte|packet  ACTION drop|delay:MS|corrupt[:ARG]|disconnect|silent\n"
    "  tcp: prints \"listening on 127.0.0.1:PORT\"; pty: prints the serial port path.\n"
    "  Runs until SIGINT or SIGTERM.\n";

// The program's defaults: a module that sends a heartbeat every second.
SimOptions DefaultSimOptions();

// Parses the arguments after the program name into `options` (starting from its contents).
// Returns "" on success, else a one-line error message naming the bad option.
std::string ParseSimOptions(const std::vector<std::string>& arguments, SimOptions* options);

}  // namespace sim::tessaline
