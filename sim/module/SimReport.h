#pragma once
// Reports of what simulated modules saw, written when a simulator program ends, so that a test
// that drives a program (usb-sim, tessaline-sim) can check the far end afterwards.
//
// One line per device:
//   "<serial %08X> route-to-host <on|off> route-to-me-sets <n>"
// and, for a routing module, " i2c-writes <a>,<b>,..." with the addresses of the I2C writes its
// bus received, in order, in decimal ("-" when none).

#include <string>
#include <vector>

#include "SimDevice.h"
#include "SimI2CRouter.h"

namespace sim::tessaline {

// The report line of `device`; `bus` is its I2C network when it is a routing module, else null.
std::string SimReportLine(const SimDevice& device, const SimI2CRouter* bus);

// Writes `lines` (each followed by a line feed) to `path`, replacing the file. False when the
// file can't be written.
bool SimWriteReport(const std::string& path, const std::vector<std::string>& lines);

}  // namespace sim::tessaline
