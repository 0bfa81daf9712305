#pragma once
// Shared pieces of the black-box tests: console lines, and a tessaline-sim on the far side of a
// veth pair in the test's private network.

#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "NetNamespace.h"
#include "Process.h"

namespace e2e {

using testsupport::PrivateNetwork;

const std::string kBinDir = UPDATER_BIN_DIR;
const std::string kVersionLine = "Updater (Version: 2.11.2 Apr 29 2025)";

inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// A tessaline-sim on far side 0, listening and answering discovery at the far address; stopped
// with SIGTERM (which writes its report, when it has one) when the object goes.
class FarSim {
  public:
    FarSim(const PrivateNetwork& net, std::vector<std::string> options) {
        std::vector<std::string> argv = {kBinDir + "/tessaline-sim", "--bind",
                                         PrivateNetwork::FarAddress(0), "--discovery"};
        argv.insert(argv.end(), options.begin(), options.end());
        argv = net.FarCommand(0, argv);
        const std::string line = process_.Start(argv);
        if (line.rfind("listening on " + PrivateNetwork::FarAddress(0) + ":", 0) != 0) {
            process_.Stop();
            throw std::runtime_error("tessaline-sim did not start: [" + line + "]");
        }
    }
    FarSim(const FarSim&) = delete;
    FarSim& operator=(const FarSim&) = delete;

    // Ends the simulator; true when it ended by itself on SIGTERM.
    bool Stop() { return process_.Stop() == 0; }

  private:
    testsupport::BackgroundProcess process_;
};

}  // namespace e2e
