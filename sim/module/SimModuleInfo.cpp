#include "SimModuleInfo.h"

#include "SimSystemEntity.h"
#include "aError.h"

namespace sim::tessaline {

namespace {

constexpr uint8_t kErrorFlag = 0x80;

// Payload length of each request.
size_t sRequestLength(uint8_t subCode) {
    switch (subCode) {
        case kInfoBuild:
            return 2;
        case kInfoHasUEI:
            return 6;
        case kInfoClassQuantity:
            return 3;
        case kInfoSubClassQuantity:
        case kInfoEntityGroup:
            return 4;
        default:
            return 0;
    }
}

uint8_t sFind(const std::map<uint8_t, uint8_t>& map, uint8_t key) {
    auto found = map.find(key);
    return found == map.end() ? 0 : found->second;
}

}  // namespace

std::shared_ptr<SimModuleInfo> SimModuleInfo::Install(SimModule& module) {
    auto info = std::make_shared<SimModuleInfo>();
    module.SetRequestHandler(kModuleInfoCommand, [info](SimModule& m, const SimPacket& packet) {
        info->Handle(m, packet);
    });
    return info;
}

void SimModuleInfo::SetClass(uint8_t command, SimClassInfo info) {
    SetClass(command, Describe([info] { return info; }));
}

void SimModuleInfo::SetClass(uint8_t command, Describe describe) {
    std::lock_guard<std::mutex> lock(mutex_);
    classes_[command] = std::move(describe);
}

void SimModuleInfo::RemoveClass(uint8_t command) {
    std::lock_guard<std::mutex> lock(mutex_);
    classes_.erase(command);
}

uint64_t SimModuleInfo::Requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

bool SimModuleInfo::Lookup(uint8_t command, SimClassInfo* info) const {
    Describe describe;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = classes_.find(command);
        if (found == classes_.end()) return false;
        describe = found->second;
    }
    // Described without the lock: the description may ask another object of the module.
    *info = describe();
    return true;
}

uint8_t SimModuleInfo::HasUEIStatus(const SimClassInfo* info, uint8_t option, uint8_t index,
                                    uint8_t flags) {
    if (!info || index >= info->count) return aErrInvalidEntity;
    auto found = info->options.find(option);
    if (found == info->options.end()) return aErrInvalidOption;
    const uint8_t wanted = flags & (kSimAccessGet | kSimAccessSet);
    if ((found->second & wanted) != wanted) return aErrMode;
    return aErrNone;
}

void SimModuleInfo::Handle(SimModule& module, const SimPacket& packet) {
    const std::vector<uint8_t>& p = packet.payload;
    if (p.size() < 2) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++requests_;
    }
    const uint8_t subCode = p[1];
    const size_t expected = sRequestLength(subCode);
    if (expected == 0 || p.size() != expected) {
        const aErr code = expected == 0 ? aErrUnimplemented : aErrSize;
        module.Send(SimPacket{packet.address,
                              {kModuleInfoCommand, static_cast<uint8_t>(subCode | kErrorFlag),
                               static_cast<uint8_t>(code)}});
        return;
    }

    SimPacket reply{packet.address, p};
    SimClassInfo info;
    const bool known = subCode != kInfoBuild && Lookup(p[2], &info);
    switch (subCode) {
        case kInfoBuild: {
            const uint32_t build = module.Config().firmwareBuild;
            reply.payload = {kModuleInfoCommand,
                             kInfoBuild,
                             static_cast<uint8_t>(build >> 24),
                             static_cast<uint8_t>(build >> 16),
                             static_cast<uint8_t>(build >> 8),
                             static_cast<uint8_t>(build)};
            break;
        }
        case kInfoHasUEI:
            // The reply echoes command, option and index and puts the status in place of flags.
            reply.payload[5] = HasUEIStatus(known ? &info : nullptr, p[3], p[4], p[5]);
            break;
        case kInfoClassQuantity:
            reply.payload.push_back(known ? info.count : 0);
            break;
        case kInfoSubClassQuantity:
            reply.payload.push_back(known ? sFind(info.subClassCounts, p[3]) : 0);
            break;
        case kInfoEntityGroup:
            reply.payload.push_back(known ? sFind(info.groups, p[3]) : 0);
            break;
    }
    module.Send(reply);
}

}  // namespace sim::tessaline
