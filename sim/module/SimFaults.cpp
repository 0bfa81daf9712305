#include "SimFaults.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>

namespace sim::tessaline {

namespace {

std::vector<std::string> sSplit(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::stringstream stream(text);
    std::string part;
    while (std::getline(stream, part, separator)) parts.push_back(part);
    if (!text.empty() && text.back() == separator) parts.emplace_back();
    return parts;
}

// A whole unsigned number in `base` no larger than `limit`.
bool sNumber(const std::string& text, int base, uint64_t limit, uint64_t* value) {
    if (text.empty() || text[0] == '-' || text[0] == '+') return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long parsed = strtoull(text.c_str(), &end, base);
    if (errno != 0 || *end != '\0' || parsed > limit) return false;
    *value = parsed;
    return true;
}

bool sArgument(const std::vector<std::string>& parts, SimFault* fault) {
    uint64_t value = 0;
    switch (fault->action) {
        case SimFaultAction::Delay:
            if (parts.size() != 5 || !sNumber(parts[4], 10, 3600000, &value)) return false;
            fault->delay = std::chrono::milliseconds(value);
            return true;
        case SimFaultAction::Corrupt: {
            if (parts.size() == 4) return true;
            if (parts.size() != 5) return false;
            if (fault->unit == SimFaultUnit::Byte) {
                if (!sNumber(parts[4], 16, 0xFF, &value) || value == 0) return false;
                fault->xorMask = static_cast<uint8_t>(value);
                return true;
            }
            std::vector<std::string> offsetMask = sSplit(parts[4], '/');
            if (offsetMask.empty() || offsetMask.size() > 2) return false;
            if (!sNumber(offsetMask[0], 10, 29, &value)) return false;
            fault->offset = static_cast<uint8_t>(value);
            if (offsetMask.size() == 2) {
                if (!sNumber(offsetMask[1], 16, 0xFF, &value) || value == 0) return false;
                fault->xorMask = static_cast<uint8_t>(value);
            }
            return true;
        }
        default:
            return parts.size() == 4;
    }
}

}  // namespace

bool ParseFault(const std::string& text, SimFault* fault) {
    if (!fault) return false;
    std::vector<std::string> parts = sSplit(text, ':');
    if (parts.size() < 4 || parts.size() > 5) return false;

    SimFault parsed;
    if (parts[0] == "in") {
        parsed.direction = SimDirection::ToModule;
    } else if (parts[0] == "out") {
        parsed.direction = SimDirection::FromModule;
    } else {
        return false;
    }
    if (parts[1] == "byte") {
        parsed.unit = SimFaultUnit::Byte;
    } else if (parts[1] == "packet") {
        parsed.unit = SimFaultUnit::Packet;
    } else {
        return false;
    }
    if (!sNumber(parts[2], 10, UINT64_MAX, &parsed.nth) || parsed.nth == 0) return false;
    static const struct {
        const char* name;
        SimFaultAction action;
    } kActions[] = {{"drop", SimFaultAction::Drop},
                    {"delay", SimFaultAction::Delay},
                    {"corrupt", SimFaultAction::Corrupt},
                    {"disconnect", SimFaultAction::Disconnect},
                    {"silent", SimFaultAction::GoSilent}};
    bool known = false;
    for (const auto& entry : kActions) {
        if (parts[3] == entry.name) {
            parsed.action = entry.action;
            known = true;
        }
    }
    if (!known || !sArgument(parts, &parsed)) return false;
    *fault = parsed;
    return true;
}

void SimFaultPlan::Arm(const SimFault& fault) {
    const uint64_t nth = fault.nth == 0 ? 1 : fault.nth;
    const uint64_t count = fault.count == 0 ? 1 : fault.count;
    const uint64_t counted = Counter(fault.direction, fault.unit);
    faults_.push_back(Armed{fault, counted + nth, counted + nth + count - 1});
}

void SimFaultPlan::Clear() {
    faults_.clear();
}

SimFaultEffect SimFaultPlan::NextByte(SimDirection direction) {
    return Next(direction, SimFaultUnit::Byte);
}

SimFaultEffect SimFaultPlan::NextPacket(SimDirection direction) {
    return Next(direction, SimFaultUnit::Packet);
}

uint64_t& SimFaultPlan::Counter(SimDirection direction, SimFaultUnit unit) {
    return counters_[direction == SimDirection::ToModule ? 0 : 1]
                    [unit == SimFaultUnit::Byte ? 0 : 1];
}

SimFaultEffect SimFaultPlan::Next(SimDirection direction, SimFaultUnit unit) {
    const uint64_t index = ++Counter(direction, unit);
    SimFaultEffect effect;
    for (auto it = faults_.begin(); it != faults_.end();) {
        const SimFault& fault = it->fault;
        if (fault.direction != direction || fault.unit != unit || index < it->first) {
            ++it;
            continue;
        }
        switch (fault.action) {
            case SimFaultAction::Drop:
                effect.drop = true;
                break;
            case SimFaultAction::Delay:
                effect.delay += fault.delay;
                break;
            case SimFaultAction::Corrupt:
                if (unit == SimFaultUnit::Byte) {
                    effect.xorMask ^= fault.xorMask;
                } else {
                    effect.corruptions.push_back({fault.offset, fault.xorMask});
                }
                break;
            case SimFaultAction::Disconnect:
                effect.disconnect = true;
                break;
            case SimFaultAction::GoSilent:
                effect.goSilent = true;
                break;
        }
        it = index >= it->last ? faults_.erase(it) : it + 1;
    }
    return effect;
}

}  // namespace sim::tessaline
