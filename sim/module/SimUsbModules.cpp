#include "SimUsbModules.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fstream>

#include "SimReport.h"
#include "SimSystemEntity.h"
#include "aVersion.h"

namespace sim::tessaline {

namespace {

const char kFirmware[] = "--firmware";
const char kAddress[] = "--address";
const char kSubModule[] = "--submodule";
const char kReport[] = "--report";
const char kUpgradeTo[] = "--upgrade-to";
const char kBlockSize[] = "--block-size";
const char kByteArray[] = "--byte-array";
const char kFlash[] = "--flash";
const char kUpgradeFault[] = "--upgrade-fault";
const char kLoaderSerial[] = "--loader-serial";

std::vector<std::string> sSplit(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t at = text.find(separator); at != std::string::npos;
         at = text.find(separator, start)) {
        parts.push_back(text.substr(start, at - start));
        start = at + 1;
    }
    parts.push_back(text.substr(start));
    return parts;
}

bool sNumber(const std::string& text, int base, uint64_t limit, uint64_t* value) {
    if (text.empty() || !std::isxdigit(static_cast<unsigned char>(text[0]))) return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long parsed = std::strtoull(text.c_str(), &end, base);
    if (errno != 0 || *end != '\0' || parsed > limit) return false;
    *value = parsed;
    return true;
}

// A serial text read as a serial number: 1 to 8 hex digits, else 0.
uint32_t sSerialNumber(const std::string& text) {
    uint64_t value = 0;
    if (text.size() > 8 || !sNumber(text, 16, 0xFFFFFFFF, &value)) return 0;
    return static_cast<uint32_t>(value);
}

bool sModuleAddress(const std::string& text, uint8_t* address) {
    uint64_t value = 0;
    if (!sNumber(text, 10, 254, &value) || value == 0 || value % 2 != 0) return false;
    *address = static_cast<uint8_t>(value);
    return true;
}

// "X.Y.Z" (each 0 to 255) and a decimal build.
bool sFirmware(const std::string& version, const std::string& build, uint32_t* packed,
               uint32_t* buildNumber) {
    const std::vector<std::string> parts = sSplit(version, '.');
    uint64_t numbers[3] = {};
    if (parts.size() != 3) return false;
    for (int i = 0; i < 3; ++i)
        if (!sNumber(parts[i], 10, 255, &numbers[i])) return false;
    uint64_t b = 0;
    if (!sNumber(build, 10, 0xFFFFFFFF, &b)) return false;
    *packed = aVersion_Pack(static_cast<uint8_t>(numbers[0]), static_cast<uint8_t>(numbers[1]),
                            static_cast<uint8_t>(numbers[2]));
    *buildNumber = static_cast<uint32_t>(b);
    return true;
}

// The images of a module that was never built: nothing written.
bool sWriteEmptyImages(const std::string& path) {
    bool written = true;
    for (const std::string& file : {path, path + ".loader"}) {
        std::ofstream out(file, std::ios::trunc);
        out.close();
        written = written && static_cast<bool>(out);
    }
    return written;
}

}  // namespace

SimUsbModules::~SimUsbModules() {
    Finish();
}

const std::vector<std::string>& SimUsbModules::OptionNames() {
    static const std::vector<std::string> names = {kFirmware,     kAddress,     kSubModule, kReport,
                                                   kUpgradeTo,    kBlockSize,   kByteArray, kFlash,
                                                   kUpgradeFault, kLoaderSerial};
    return names;
}

const char* SimUsbModules::Usage() {
    return "module options:\n"
           "  --firmware SERIAL:X.Y.Z:BUILD         firmware version and build of a module\n"
           "  --address SERIAL:N                    its address on its network (default 2)\n"
           "  --submodule SERIAL:ADDRESS:SUB:MODEL  a module (serial number SUB in hex) on the\n"
           "                                        I2C network of module SERIAL, a router\n"
           "  --report FILE                         what the modules saw, written at the end\n"
           "firmware upgrade, per module or sub-module (SERIAL may be a --submodule's SUB):\n"
           "  --upgrade-to SERIAL:X.Y.Z:BUILD       version and build after the reboot\n"
           "  --block-size SERIAL:N                 block size in PREPARE replies (default 256)\n"
           "  --byte-array SERIAL                   offers the byte-array path, pooled packets\n"
           "  --flash SERIAL:FILE                   flash image (and FILE.loader) at the end\n"
           "  --upgrade-fault SERIAL:KIND[:N]       bad-sum[:N] | refuse-prepare | no-return |\n"
           "                                        lose-load\n"
           "  --loader-serial SERIAL:HEX            serial number of its loader (USB serial\n"
           "                                        string too), e.g. the default DEADDEAD\n";
}

SimUsbModules::Entry* SimUsbModules::Find(const std::string& serial) {
    for (auto& entry : entries_)
        if (entry->serial == serial) return entry.get();
    return nullptr;
}

SimUsbModules::Upgradable* SimUsbModules::FindUpgradable(const std::string& serial) {
    if (Entry* entry = Find(serial)) return &entry->upgrade;
    for (auto& entry : entries_) {
        for (SubEntry& sub : entry->subModules)
            if (sub.upgrade.serial == serial) return &sub.upgrade;
    }
    return nullptr;
}

std::string SimUsbModules::Configure(const sim::usb::UsbSimOptions& options) {
    entries_.clear();
    subFirmware_.clear();
    reportPath_.clear();
    for (const sim::usb::UsbDeviceConfig& device : options.modules) {
        auto entry = std::make_unique<Entry>();
        entry->serial = device.serial;
        entry->config.serialNumber = sSerialNumber(device.serial);
        entry->config.model = static_cast<uint8_t>(device.productId & 0xFF);
        entry->upgrade.serial = device.serial;
        entries_.push_back(std::move(entry));
    }
    // Modules first, then their networks (which take the router's firmware), then the firmware
    // of sub-modules named by their serial number; the upgrade options once every sub-module
    // they may name is known.
    for (const char* pass : {kAddress, kFirmware, kSubModule, kUpgradeTo, kBlockSize, kByteArray,
                             kFlash, kUpgradeFault, kLoaderSerial, kReport}) {
        for (const auto& [name, value] : options.extra) {
            if (name != pass) continue;
            const std::string error = TakeOption(name, value);
            if (!error.empty()) return name + ": " + error;
        }
    }
    for (auto& entry : entries_) {
        for (SubEntry& sub : entry->subModules) {
            auto firmware = subFirmware_.find(sub.config.serialNumber);
            if (firmware == subFirmware_.end()) continue;
            sub.config.firmwareVersion = firmware->second.first;
            sub.config.firmwareBuild = firmware->second.second;
        }
    }
    return "";
}

std::string SimUsbModules::TakeUpgradeOption(const std::string& name, const std::string& value) {
    // SERIAL, then the rest after the first colon (a file name may hold colons of its own).
    const size_t colon = value.find(':');
    const std::string serial = value.substr(0, colon);
    const std::string rest = colon == std::string::npos ? "" : value.substr(colon + 1);
    Upgradable* target = FindUpgradable(serial);
    if (name == kByteArray) {
        if (colon != std::string::npos) return "expected SERIAL, got \"" + value + "\"";
        if (!target) return "no module \"" + serial + "\"";
        target->options.byteArray = true;
        return "";
    }
    static const std::map<std::string, const char*> kForms = {{kUpgradeTo, "SERIAL:X.Y.Z:BUILD"},
                                                              {kBlockSize, "SERIAL:N"},
                                                              {kFlash, "SERIAL:FILE"},
                                                              {kUpgradeFault, "SERIAL:KIND[:N]"},
                                                              {kLoaderSerial, "SERIAL:HEX"}};
    if (colon == std::string::npos)
        return std::string("expected ") + kForms.at(name) + ", got \"" + value + "\"";
    if (!target) return "no module \"" + serial + "\"";
    SimUpgradeOptions& options = target->options;
    if (name == kUpgradeTo) {
        if (!ParseUpgradeTo(rest, &options.newFirmwareVersion, &options.newFirmwareBuild))
            return "bad version or build in \"" + value + "\"";
    } else if (name == kBlockSize) {
        if (!ParseBlockSize(rest, &options.blockSize))
            return "block size must be 1 to 65535, got \"" + rest + "\"";
    } else if (name == kFlash) {
        if (rest.empty()) return "needs a file name";
        options.flashPath = rest;
    } else if (name == kLoaderSerial) {
        options.loaderSerialNumber = sSerialNumber(rest);
        if (options.loaderSerialNumber == 0)
            return "serial number must be 1 to 8 hex digits, not 0, got \"" + rest + "\"";
    } else if (!ParseUpgradeFault(rest, &options)) {
        return "unknown fault \"" + rest +
               "\" (bad-sum[:N], refuse-prepare, no-return or lose-load)";
    }
    return "";
}

std::string SimUsbModules::TakeOption(const std::string& name, const std::string& value) {
    if (name == kUpgradeTo || name == kBlockSize || name == kByteArray || name == kFlash ||
        name == kUpgradeFault || name == kLoaderSerial) {
        return TakeUpgradeOption(name, value);
    }
    const std::vector<std::string> parts = sSplit(value, ':');
    if (name == kReport) {
        if (value.empty()) return "needs a file name";
        reportPath_ = value;
        return "";
    }
    if (name == kAddress) {
        Entry* entry = parts.size() == 2 ? Find(parts[0]) : nullptr;
        if (parts.size() != 2) return "expected SERIAL:N, got \"" + value + "\"";
        if (!entry) return "no module \"" + parts[0] + "\"";
        if (!sModuleAddress(parts[1], &entry->config.address))
            return "address must be even, 2 to 254, got \"" + parts[1] + "\"";
        return "";
    }
    if (name == kFirmware) {
        if (parts.size() != 3) return "expected SERIAL:X.Y.Z:BUILD, got \"" + value + "\"";
        uint32_t version = 0, build = 0;
        if (!sFirmware(parts[1], parts[2], &version, &build))
            return "bad version or build in \"" + value + "\"";
        if (Entry* entry = Find(parts[0])) {
            entry->config.firmwareVersion = version;
            entry->config.firmwareBuild = build;
            return "";
        }
        const uint32_t serial = sSerialNumber(parts[0]);
        if (serial == 0) return "no module \"" + parts[0] + "\"";
        subFirmware_[serial] = {version, build};
        return "";
    }
    // --submodule SERIAL:ADDRESS:SUB:MODEL
    if (parts.size() != 4) return "expected SERIAL:ADDRESS:SUB:MODEL, got \"" + value + "\"";
    Entry* router = Find(parts[0]);
    if (!router) return "no module \"" + parts[0] + "\"";
    SimModuleConfig sub;
    uint64_t model = 0;
    sub.serialNumber = sSerialNumber(parts[2]);
    if (FindUpgradable(parts[2])) return "a module \"" + parts[2] + "\" exists already";
    if (!sModuleAddress(parts[1], &sub.address) || sub.address == router->config.address)
        return "address must be even, 2 to 254, and not the router's, got \"" + parts[1] + "\"";
    if (sub.serialNumber == 0) return "serial number must be 1 to 8 hex digits, not 0";
    if (!sNumber(parts[3], 10, 255, &model)) return "model must be 0 to 255";
    for (const SubEntry& other : router->subModules)
        if (other.config.address == sub.address) return "two modules at address " + parts[1];
    sub.model = static_cast<uint8_t>(model);
    sub.firmwareVersion = router->config.firmwareVersion;
    sub.firmwareBuild = router->config.firmwareBuild;
    SubEntry entry;
    entry.config = sub;
    entry.upgrade.serial = parts[2];
    router->subModules.push_back(std::move(entry));
    return "";
}

void SimUsbModules::InstallOnBusModule(Entry& entry, SimDevice& device) {
    entry.behaviour = std::make_shared<SimUsbBehaviour>(device.module);
    entry.upgrade.upgrade = InstallUpgrade(device, entry.upgrade.options, false);
    if (!entry.upgrade.options.noReturn) return;
    // The handler lives in the module, which the behaviour owns: no strong reference back.
    std::weak_ptr<SimUsbBehaviour> behaviour = entry.behaviour;
    entry.upgrade.upgrade->SetLeavingHandler([behaviour](SimUpgradeEvent event) {
        if (event != SimUpgradeEvent::LoaderStarted) return;
        if (auto device = behaviour.lock()) device->SetReturnsAfterRestart(false);
    });
}

void SimUsbModules::Build(Entry& entry) {
    if (entry.subModules.empty()) {
        entry.device = MakeSimDevice(entry.config);
        InstallOnBusModule(entry, entry.device);
        return;
    }
    entry.network = std::make_unique<SimRoutedNetwork>(entry.config);
    entry.subRestarts = std::make_unique<SimSubModuleRestarts>(entry.network->Bus());
    for (SubEntry& sub : entry.subModules) {
        SimDevice* device = entry.network->AddSubModule(sub.config);
        if (!device) continue;
        // A module on a network names the module that routes it.
        device->system->SetValue(kSysRouter, entry.config.address);
        sub.upgrade.upgrade = InstallUpgrade(*device, sub.upgrade.options, true);
        entry.subRestarts->Watch(*sub.upgrade.upgrade, device->module,
                                 sub.upgrade.options.noReturn);
    }
    InstallOnBusModule(entry, entry.network->Router());
}

std::shared_ptr<sim::usb::UsbDeviceBehaviour> SimUsbModules::Behaviour(
    const sim::usb::UsbDeviceConfig& config) {
    Entry* entry = Find(config.serial);
    if (!entry) return nullptr;
    // Built only now: the modules' threads must not start before the bus exists.
    if (!entry->behaviour) Build(*entry);
    return entry->behaviour;
}

SimDevice* SimUsbModules::Device(const std::string& serial) {
    Entry* entry = Find(serial);
    if (!entry || !entry->behaviour) return nullptr;
    return entry->network ? &entry->network->Router() : &entry->device;
}

SimRoutedNetwork* SimUsbModules::Network(const std::string& serial) {
    Entry* entry = Find(serial);
    return entry ? entry->network.get() : nullptr;
}

const SimUpgradeOptions* SimUsbModules::UpgradeOptions(const std::string& serial) {
    Upgradable* upgradable = FindUpgradable(serial);
    return upgradable ? &upgradable->options : nullptr;
}

SimUpgrade* SimUsbModules::Upgrade(const std::string& serial) {
    Upgradable* upgradable = FindUpgradable(serial);
    return upgradable ? upgradable->upgrade.get() : nullptr;
}

std::vector<std::string> SimUsbModules::ReportLines() const {
    std::vector<std::string> lines;
    for (const auto& entry : entries_) {
        if (!entry->network) {
            if (entry->device.module) lines.push_back(SimReportLine(entry->device, nullptr));
            continue;
        }
        lines.push_back(SimReportLine(entry->network->Router(), &entry->network->Bus()));
        for (const auto& sub : entry->network->SubModules())
            lines.push_back(SimReportLine(*sub, nullptr));
    }
    return lines;
}

std::string SimUsbModules::Finish() {
    if (finished_) return "";
    finished_ = true;
    for (auto& entry : entries_) {
        if (entry->subRestarts) entry->subRestarts->Close();
        if (entry->behaviour) entry->behaviour->Release();
    }
    std::string problems;
    auto writeFlash = [&problems](const Upgradable& upgradable) {
        const std::string& path = upgradable.options.flashPath;
        if (path.empty()) return;
        // A module the host never reached has an empty flash and loader memory.
        const bool written =
            upgradable.upgrade ? upgradable.upgrade->WriteImages(path) : sWriteEmptyImages(path);
        if (!written) problems += (problems.empty() ? "cannot write " : ", ") + path;
    };
    for (auto& entry : entries_) {
        writeFlash(entry->upgrade);
        for (const SubEntry& sub : entry->subModules) writeFlash(sub.upgrade);
    }
    if (!reportPath_.empty() && !SimWriteReport(reportPath_, ReportLines()))
        problems += (problems.empty() ? "cannot write " : ", ") + reportPath_;
    return problems;
}

}  // namespace sim::tessaline
