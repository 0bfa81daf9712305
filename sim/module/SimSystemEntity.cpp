#include "SimSystemEntity.h"

#include <algorithm>

namespace sim::tessaline {

namespace {

constexpr uint8_t kOptionMask = 0x3F;
constexpr uint8_t kFlagMask = 0xC0;
constexpr uint8_t kGetFlag = 0x40;
constexpr uint8_t kSetFlag = 0x80;
constexpr uint8_t kSetReply = 0xC0;
constexpr uint8_t kIndexMask = 0x1F;
constexpr uint8_t kErrorFlag = 0x80;
constexpr uint8_t kEntityIndex = 0;
constexpr size_t kChunk = 24;
constexpr uint8_t kMore = 0x80;
constexpr uint8_t kSequenceMask = 0x7F;

SimOption sByte(uint8_t access, uint32_t value) {
    return SimOption{SimOptionKind::Byte, access, value, {}};
}
SimOption sInt(uint8_t access, uint32_t value) {
    return SimOption{SimOptionKind::Int, access, value, {}};
}
SimOption sCall() {
    return SimOption{SimOptionKind::Call, kSimAccessSet, 0, {}};
}
SimOption sBytes(std::vector<uint8_t> bytes) {
    return SimOption{SimOptionKind::Bytes, kSimAccessGet | kSimAccessSet, 0, std::move(bytes)};
}

void sPutInt(std::vector<uint8_t>& bytes, uint32_t value) {
    bytes.push_back(static_cast<uint8_t>(value >> 24));
    bytes.push_back(static_cast<uint8_t>(value >> 16));
    bytes.push_back(static_cast<uint8_t>(value >> 8));
    bytes.push_back(static_cast<uint8_t>(value));
}

uint32_t sGetInt(const std::vector<uint8_t>& bytes, size_t at) {
    return static_cast<uint32_t>(bytes[at]) << 24 | static_cast<uint32_t>(bytes[at + 1]) << 16 |
           static_cast<uint32_t>(bytes[at + 2]) << 8 | bytes[at + 3];
}

}  // namespace

std::map<uint8_t, SimOption> SimSystemEntity::Defaults() {
    constexpr uint8_t get = kSimAccessGet;
    constexpr uint8_t both = kSimAccessGet | kSimAccessSet;
    const std::vector<uint8_t> name{'T', 'e', 's', 's', 'a', 'L', 'i', 'n', 'e'};
    return {
        {kSysModule, sByte(get, 0)},
        {kSysRouter, sByte(both, 0)},
        {kSysHBInterval, sByte(both, 10)},
        {kSysLED, sByte(both, 0)},
        {kSysBootSlot, sByte(both, 0)},
        {kSysVersion, sInt(get, 0)},
        {kSysModel, sByte(get, 0)},
        {kSysSerialNumber, sInt(get, 0)},
        {kSysSave, sCall()},
        {kSysReset, sCall()},
        {kSysInputVoltage, sInt(get, 5000000)},  // microvolts
        {kSysHardwareOffset, sByte(get, 0)},
        {kSysBaseAddress, sByte(get, 0)},
        {kSysSoftwareOffset, sByte(both, 0)},
        {kSysRouterAddressSetting, sByte(get, 0)},
        {kSysRouteToMe, sByte(kSimAccessSet, 0)},
        {kSysInputCurrent, sInt(get, 120000)},  // microamperes
        {kSysUptime, sInt(get, 0)},
        {kSysMaximumTemperature, sInt(get, 41000)},  // millidegrees Celsius
        {kSysLogEvents, sCall()},
        {kSysUnregulatedVoltage, sInt(get, 5100000)},
        {kSysUnregulatedCurrent, sInt(get, static_cast<uint32_t>(-1500))},
        {kSysTemperature, sInt(get, 36500)},
        {kSysMinimumTemperature, sInt(get, static_cast<uint32_t>(-5000))},
        {kSysInputPowerSource, sByte(get, 1)},
        {kSysInputPowerBehavior, sByte(both, 0)},
        {kSysInputPowerBehaviorConfig, sBytes({0, 0, 0, 1, 0, 0, 0, 2})},  // words 1 and 2
        {kSysName, sBytes(name)},
        {kSysPowerLimit, sInt(get, 2500)},
        {kSysPowerLimitMax, sInt(both, 5000)},
        {kSysPowerLimitState, sInt(get, 0)},
        {kSysResetEntityToFactoryDefaults, sCall()},
        {kSysResetDeviceToFactoryDefaults, sCall()},
        {kSysLinkInterface, sByte(both, 0)},
        {kSysHardwareVersion, sInt(get, 0x00010000)},
        {kSysErrors, sInt(get, 0)},
        {kSysLEDMaxBrightness, sByte(both, 255)},
        {kSysBuild, sInt(get, 0)},
        {kSysProtocolFeatures, sInt(get, 0)},
    };
}

std::shared_ptr<SimSystemEntity> SimSystemEntity::Install(SimModule& module) {
    auto entity = std::make_shared<SimSystemEntity>();
    const uint8_t address = module.Config().address;
    entity->options_ = Defaults();
    entity->options_[kSysRouter].value = address;
    entity->options_[kSysBaseAddress].value = address;
    entity->options_[kSysRouterAddressSetting].value = address;
    entity->factory_ = entity->options_;
    module.SetRequestHandler(kSystemCommand, [entity](SimModule& m, const SimPacket& packet) {
        entity->Handle(m, packet);
    });
    return entity;
}

// --- Table ----------------------------------------------------------------------------------

bool SimSystemEntity::HasOption(uint8_t option) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return options_.count(option) != 0;
}

void SimSystemEntity::RemoveOption(uint8_t option) {
    std::lock_guard<std::mutex> lock(mutex_);
    options_.erase(option);
}

void SimSystemEntity::SetOption(uint8_t option, SimOption definition) {
    std::lock_guard<std::mutex> lock(mutex_);
    options_[option] = std::move(definition);
}

uint32_t SimSystemEntity::Value(uint8_t option) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = options_.find(option);
    return found == options_.end() ? 0 : found->second.value;
}

void SimSystemEntity::SetValue(uint8_t option, uint32_t value) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = options_.find(option);
    if (found != options_.end()) found->second.value = value;
}

std::vector<uint8_t> SimSystemEntity::BytesValue(uint8_t option) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = options_.find(option);
    return found == options_.end() ? std::vector<uint8_t>{} : found->second.bytes;
}

void SimSystemEntity::SetBytesValue(uint8_t option, std::vector<uint8_t> bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = options_.find(option);
    if (found != options_.end()) found->second.bytes = std::move(bytes);
}

std::map<uint8_t, uint8_t> SimSystemEntity::Access() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::map<uint8_t, uint8_t> access;
    for (const auto& [option, entry] : options_) access[option] = entry.access;
    return access;
}

// --- Behaviour and observations ---------------------------------------------------------------

void SimSystemEntity::SetBusy(bool busy) {
    std::lock_guard<std::mutex> lock(mutex_);
    busy_ = busy;
}

void SimSystemEntity::SetError(uint8_t option, aErr code) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (code == aErrNone) {
        forcedErrors_.erase(option);
    } else {
        forcedErrors_[option] = code;
    }
}

void SimSystemEntity::SetChangeHandler(ChangeHandler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    onChange_ = std::move(handler);
}

bool SimSystemEntity::RouteToHost() const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = options_.find(kSysRouteToMe);
    return found != options_.end() && found->second.value != 0;
}

uint32_t SimSystemEntity::SetCount(uint8_t option) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = setCounts_.find(option);
    return found == setCounts_.end() ? 0 : found->second;
}

uint64_t SimSystemEntity::Requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

// --- Requests -------------------------------------------------------------------------------

void SimSystemEntity::Handle(SimModule& module, const SimPacket& packet) {
    // Anything shorter than command, option and specifier, or without exactly one request flag,
    // is not a request to this entity.
    if (packet.payload.size() < 3) return;
    const uint8_t flags = packet.payload[1] & kFlagMask;
    if (flags != kGetFlag && flags != kSetFlag) return;
    const uint8_t option = packet.payload[1] & kOptionMask;
    const uint8_t replyOption = flags == kGetFlag ? option : option | kSetReply;
    const uint8_t index = packet.payload[2] & kIndexMask;

    aErr refusal = aErrNone;
    bool known = false;
    SimOption entry;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++requests_;
        auto found = options_.find(option);
        auto forced = forcedErrors_.find(option);
        known = found != options_.end();
        if (known) entry = found->second;
        if (busy_) {
            refusal = aErrBusy;
        } else if (index != kEntityIndex) {
            refusal = aErrInvalidEntity;
        } else if (forced != forcedErrors_.end()) {
            refusal = forced->second;
        } else if (!known) {
            refusal = aErrInvalidOption;
        } else if (!(entry.access & (flags == kGetFlag ? kSimAccessGet : kSimAccessSet))) {
            refusal = aErrMode;
        }
        if (refusal != aErrNone) transfer_ = BytesTransfer{};
    }
    if (refusal != aErrNone) {
        ErrorReply(module, packet.address, replyOption, index, refusal);
    } else if (flags == kGetFlag) {
        HandleGet(module, packet.address, option);
    } else if (entry.kind == SimOptionKind::Bytes) {
        HandleBytesChunk(module, packet, option);
    } else {
        HandleSet(module, packet, option);
    }
}

uint32_t SimSystemEntity::CurrentValue(const SimModule& module, uint8_t option,
                                       const SimOption& entry) const {
    switch (option) {
        case kSysModule:
            return module.Config().address;
        case kSysVersion:
            return module.Config().firmwareVersion;
        case kSysModel:
            return module.Config().model;
        case kSysSerialNumber:
            return module.Config().serialNumber;
        case kSysBuild:
            return module.Config().firmwareBuild;
        case kSysUptime:
            return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                             std::chrono::steady_clock::now() - started_)
                                             .count());
        default:
            return entry.value;
    }
}

void SimSystemEntity::HandleGet(SimModule& module, uint8_t address, uint8_t option) {
    SimOption entry;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        entry = options_[option];
    }
    if (entry.kind == SimOptionKind::Bytes) {
        // One packet per 24 bytes, the last without the more-follows bit; an empty value is one
        // packet with no data.
        size_t at = 0;
        uint8_t sequence = 0;
        do {
            const size_t count = std::min(kChunk, entry.bytes.size() - at);
            std::vector<uint8_t> chunk(entry.bytes.begin() + static_cast<long>(at),
                                       entry.bytes.begin() + static_cast<long>(at + count));
            at += count;
            chunk.push_back(static_cast<uint8_t>((sequence & kSequenceMask) |
                                                 (at < entry.bytes.size() ? kMore : 0)));
            Reply(module, address, option, chunk);
            ++sequence;
        } while (at < entry.bytes.size());
        return;
    }
    const uint32_t value = CurrentValue(module, option, entry);
    std::vector<uint8_t> bytes;
    if (entry.kind == SimOptionKind::Int) {
        sPutInt(bytes, value);
    } else {
        bytes.push_back(static_cast<uint8_t>(value));
    }
    Reply(module, address, option, bytes);
}

void SimSystemEntity::HandleSet(SimModule& module, const SimPacket& packet, uint8_t option) {
    const uint8_t replyOption = option | kSetReply;
    const std::vector<uint8_t> value(packet.payload.begin() + 3, packet.payload.end());
    bool accepted = false;
    ChangeHandler onChange;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        SimOption& entry = options_[option];
        const size_t width = entry.kind == SimOptionKind::Int    ? 4
                             : entry.kind == SimOptionKind::Byte ? 1
                                                                 : 0;
        accepted = value.size() == width;
        if (accepted) {
            if (entry.kind == SimOptionKind::Int) entry.value = sGetInt(value, 0);
            if (entry.kind == SimOptionKind::Byte) entry.value = value[0];
            if (entry.kind == SimOptionKind::Call) ApplyCall(option);
            ++setCounts_[option];
            onChange = onChange_;
        }
    }
    if (!accepted) {
        ErrorReply(module, packet.address, replyOption, kEntityIndex, aErrSize);
        return;
    }
    if (onChange) onChange(module, option);
    Reply(module, packet.address, replyOption, value);
}

void SimSystemEntity::ApplyCall(uint8_t option) {
    if (option == kSysResetEntityToFactoryDefaults || option == kSysResetDeviceToFactoryDefaults) {
        options_ = factory_;
        transfer_ = BytesTransfer{};
    }
}

void SimSystemEntity::HandleBytesChunk(SimModule& module, const SimPacket& packet, uint8_t option) {
    const uint8_t replyOption = option | kSetReply;
    if (packet.payload.size() < 4) {
        ErrorReply(module, packet.address, replyOption, kEntityIndex, aErrSize);
        return;
    }
    const uint8_t trailer = packet.payload.back();
    const uint8_t sequence = trailer & kSequenceMask;
    aErr refusal = aErrNone;
    bool complete = false;
    ChangeHandler onChange;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (sequence == 0) transfer_ = BytesTransfer{option, 0, {}};
        if (transfer_.option != option || transfer_.nextSequence != sequence) {
            refusal = aErrPacket;
        } else {
            transfer_.bytes.insert(transfer_.bytes.end(), packet.payload.begin() + 3,
                                   packet.payload.end() - 1);
            transfer_.nextSequence = static_cast<uint8_t>((sequence + 1) & kSequenceMask);
            if (transfer_.bytes.size() > kSimMaxBytesValue) refusal = aErrSize;
        }
        if (refusal != aErrNone) {
            transfer_ = BytesTransfer{};
        } else if (!(trailer & kMore)) {
            options_[option].bytes = std::move(transfer_.bytes);
            transfer_ = BytesTransfer{};
            ++setCounts_[option];
            onChange = onChange_;
            complete = true;
        }
    }
    if (refusal != aErrNone) {
        ErrorReply(module, packet.address, replyOption, kEntityIndex, refusal);
    } else if (complete) {
        if (onChange) onChange(module, option);
        Reply(module, packet.address, replyOption, {});
    }
}

void SimSystemEntity::Reply(SimModule& module, uint8_t address, uint8_t option,
                            const std::vector<uint8_t>& value) {
    SimPacket reply{address, {kSystemCommand, option, kEntityIndex}};
    reply.payload.insert(reply.payload.end(), value.begin(), value.end());
    module.Send(reply);
}

void SimSystemEntity::ErrorReply(SimModule& module, uint8_t address, uint8_t option, uint8_t index,
                                 aErr code) {
    module.Send(SimPacket{address,
                          {kSystemCommand, option, static_cast<uint8_t>(index | kErrorFlag),
                           static_cast<uint8_t>(code)}});
}

}  // namespace sim::tessaline
