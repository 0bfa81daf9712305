#include "SimReport.h"

#include <cstdio>
#include <fstream>

namespace sim::tessaline {

std::string SimReportLine(const SimDevice& device, const SimI2CRouter* bus) {
    char head[96];
    std::snprintf(head, sizeof head, "%08X route-to-host %s route-to-me-sets %u",
                  device.module->Config().serialNumber, device.system->RouteToHost() ? "on" : "off",
                  device.system->SetCount(kSysRouteToMe));
    std::string line = head;
    if (!bus) return line;
    std::string writes;
    for (uint8_t address : bus->Writes())
        writes += (writes.empty() ? "" : ",") + std::to_string(address);
    return line + " i2c-writes " + (writes.empty() ? "-" : writes);
}

bool SimWriteReport(const std::string& path, const std::vector<std::string>& lines) {
    std::ofstream out(path, std::ios::trunc);
    for (const std::string& line : lines) out << line << '\n';
    out.close();
    return static_cast<bool>(out);
}

}  // namespace sim::tessaline
