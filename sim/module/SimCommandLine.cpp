#include "SimCommandLine.h"

#include <arpa/inet.h>

#include <algorithm>
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

// "ADDRESS:SERIAL:MODEL": an even address (decimal), a non-zero serial number (hex), a model.
bool sSubModule(const std::string& text, SimSubModuleOption* sub) {
    const size_t first = text.find(':');
    const size_t second = first == std::string::npos ? first : text.find(':', first + 1);
    if (second == std::string::npos) return false;
    uint64_t address = 0, serial = 0, model = 0;
    if (!sNumber(text.substr(0, first), 10, 254, &address) ||
        !IsModuleAddress(static_cast<uint8_t>(address)) ||
        !sNumber(text.substr(first + 1, second - first - 1), 16, 0xFFFFFFFF, &serial) ||
        serial == 0 || !sNumber(text.substr(second + 1), 10, 255, &model)) {
        return false;
    }
    *sub = SimSubModuleOption{static_cast<uint8_t>(address), static_cast<uint32_t>(serial),
                              static_cast<uint8_t>(model)};
    return true;
}

}  // namespace

bool ParseUpgradeTo(const std::string& text, uint32_t* version, uint32_t* build) {
    const size_t colon = text.find(':');
    uint64_t number = 0;
    uint32_t packed = 0;
    if (colon == std::string::npos || !sVersion(text.substr(0, colon), &packed) ||
        !sNumber(text.substr(colon + 1), 10, 0xFFFFFFFF, &number)) {
        return false;
    }
    *version = packed;
    *build = static_cast<uint32_t>(number);
    return true;
}

bool ParseBlockSize(const std::string& text, uint16_t* size) {
    uint64_t number = 0;
    if (!sNumber(text, 10, 65535, &number) || number == 0) return false;
    *size = static_cast<uint16_t>(number);
    return true;
}

bool ParseUpgradeFault(const std::string& text, SimUpgradeOptions* options) {
    const size_t colon = text.find(':');
    const std::string kind = text.substr(0, colon);
    if (kind == "bad-sum") {
        uint64_t count = 1;
        if (colon != std::string::npos &&
            (!sNumber(text.substr(colon + 1), 10, 0xFFFFFFFF, &count) || count == 0)) {
            return false;
        }
        options->badSums =
            static_cast<uint32_t>(std::min<uint64_t>(options->badSums + count, 0xFFFFFFFF));
        return true;
    }
    if (colon != std::string::npos) return false;
    if (kind == "refuse-prepare") {
        options->refusePrepare = true;
    } else if (kind == "no-return") {
        options->noReturn = true;
    } else if (kind == "lose-load") {
        options->loseLoad = true;
    } else {
        return false;
    }
    return true;
}

SimUpgradeConfig MakeUpgradeConfig(const SimUpgradeOptions& options) {
    SimUpgradeConfig config;
    config.blockSize = options.blockSize;
    config.byteArrayData = options.byteArray;
    config.pooledPackets = options.byteArray;
    config.newFirmwareVersion = options.newFirmwareVersion;
    config.newFirmwareBuild = options.newFirmwareBuild;
    config.loaderSerialNumber = options.loaderSerialNumber;
    if (options.refusePrepare) config.prepareStatus = 1;
    if (options.loseLoad) {
        // Neither before the restart nor from the loader afterwards.
        config.answerLoad = false;
        config.loaderAnnounceDelay = std::chrono::milliseconds(0);
    }
    return config;
}

std::shared_ptr<SimUpgrade> InstallUpgrade(SimDevice& device, const SimUpgradeOptions& options,
                                           bool subModule) {
    SimUpgradeConfig config = MakeUpgradeConfig(options);
    if (subModule) config = SubModuleUpgradeConfig(config);
    std::shared_ptr<SimUpgrade> upgrade = SimUpgrade::Install(device, config);
    if (options.badSums > 0) upgrade->CorruptLoaderSums(options.badSums);
    return upgrade;
}

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
        if (option == "--busy") {
            options->busy = true;
            continue;
        }
        if (option == "--discovery") {
            options->discovery = true;
            continue;
        }
        if (option == "--byte-array") {
            options->upgrade.byteArray = true;
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
        } else if (option == "--bind") {
            in_addr address{};
            good = inet_pton(AF_INET, value.c_str(), &address) == 1;
            if (good) options->bindAddress = value;
        } else if (option == "--report") {
            good = !value.empty();
            options->reportPath = value;
        } else if (option == "--submodule") {
            SimSubModuleOption sub;
            good = sSubModule(value, &sub);
            if (good) options->subModules.push_back(sub);
        } else if (option == "--fault") {
            SimFault fault;
            good = ParseFault(value, &fault);
            if (good) options->faults.push_back(fault);
        } else if (option == "--upgrade-to") {
            good = ParseUpgradeTo(value, &options->upgrade.newFirmwareVersion,
                                  &options->upgrade.newFirmwareBuild);
        } else if (option == "--block-size") {
            good = ParseBlockSize(value, &options->upgrade.blockSize);
        } else if (option == "--flash") {
            good = !value.empty();
            if (good) options->upgrade.flashPath = value;
        } else if (option == "--upgrade-fault") {
            good = ParseUpgradeFault(value, &options->upgrade);
        } else {
            return "unknown option " + option;
        }
        if (!good) return "bad value for " + option + ": " + value;
    }
    return "";
}

}  // namespace sim::tessaline
