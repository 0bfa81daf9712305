#include "SimCommandLine.h"

#include <cerrno>
#include <cstdlib>

#include "aVersion.h"

namespace sim::tessaline {

namespace {

bool sNumber(const std::string& text, int base, uint64_t limit, uint64_t* value) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long parsed = strtoull(text.c_str(), &end, base);
    if (errno != 0 || *end != '\0' || parsed > limit) return false;
    *value = parsed;
    return true;
}

// "X.Y.Z", each part 0 to 255.
bool sVersion(const std::string& text, uint32_t* packed) {
    uint64_t parts[3];
    size_t start = 0;
    for (int i = 0; i < 3; ++i) {
        size_t dot = i < 2 ? text.find('.', start) : text.size();
        if (dot == std::string::npos) return false;
        if (!sNumber(text.substr(start, dot - start), 10, 255, &parts[i])) return false;
        start = dot + 1;
    }
    *packed = aVersion_Pack(static_cast<uint8_t>(parts[0]), static_cast<uint8_t>(parts[1]),
                            static_cast<uint8_t>(parts[2]));
    return true;
}

}  // namespace

SimOptions DefaultSimOptions() {
    SimOptions options;
    options.module.heartbeatInterval = std::chrono::milliseconds(1000);
    return options;
}

std::string ParseSimOptions(const std::vector<std::string>& arguments, SimOptions* options) {
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& option = arguments[i];
        if (option == "--help" || option == "-h") {
            options->help = true;
            continue;
        }
        if (i + 1 >= arguments.size()) return "missing value for " + option;
        const std::string& value = arguments[++i];
        uint64_t number = 0;
        bool good = true;
        if (option == "--serial") {
            std::string hex =
                value.rfind("0x", 0) == 0 || value.rfind("0X", 0) == 0 ? value.substr(2) : value;
            good = sNumber(hex, 16, 0xFFFFFFFF, &number) && number != 0;
            options->module.serialNumber = static_cast<uint32_t>(number);
        } else if (option == "--model") {
            good = sNumber(value, 10, 255, &number);
            options->module.model = static_cast<uint8_t>(number);
        } else if (option == "--address") {
            good =
                sNumber(value, 10, 254, &number) && IsModuleAddress(static_cast<uint8_t>(number));
            options->module.address = static_cast<uint8_t>(number);
        } else if (option == "--transport") {
            good = value == "tcp" || value == "pty";
            options->transport = value == "pty" ? SimTransport::Pty : SimTransport::Tcp;
        } else if (option == "--port") {
            good = sNumber(value, 10, 65535, &number);
            options->port = static_cast<uint16_t>(number);
        } else if (option == "--heartbeat-ms") {
            good = sNumber(value, 10, 3600000, &number);
            options->module.heartbeatInterval = std::chrono::milliseconds(number);
        } else if (option == "--version") {
            good = sVersion(value, &options->module.firmwareVersion);
        } else if (option == "--build") {
            good = sNumber(value, 10, 0xFFFFFFFF, &number);
            options->module.firmwareBuild = static_cast<uint32_t>(number);
        } else if (option == "--fault") {
            SimFault fault;
            good = ParseFault(value, &fault);
            if (good) options->faults.push_back(fault);
        } else {
            return "unknown option " + option;
        }
        if (!good) return "bad value for " + option + ": " + value;
    }
    return "";
}

}  // namespace sim::tessaline
