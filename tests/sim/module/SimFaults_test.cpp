// The fault plan: which unit a fault hits, in which direction, and how faults are described.

#include "SimFaults.h"

#include <gtest/gtest.h>

namespace {

using namespace sim::tessaline;
using namespace std::chrono_literals;

// One letter per unit: '.' untouched, 'D' dropped, 'W' delayed, 'C' corrupted, 'X' disconnect,
// 'S' silent.
char sLetter(const SimFaultEffect& effect) {
    if (effect.disconnect) return 'X';
    if (effect.goSilent) return 'S';
    if (effect.drop) return 'D';
    if (effect.delay.count() > 0) return 'W';
    if (effect.xorMask != 0 || !effect.corruptions.empty()) return 'C';
    return '.';
}

struct PlanCase {
    const char* name;
    SimFault fault;
    int unitsBeforeArming;  // counted in the fault's direction and unit before it is armed
    std::string expected;   // letters of the next units, same direction and unit
};

void PrintTo(const PlanCase& c, std::ostream* os) {
    *os << c.name;
}

class SimFaultPlanCases : public ::testing::TestWithParam<PlanCase> {};

TEST_P(SimFaultPlanCases, HitsTheCountedUnits) {
    const PlanCase& c = GetParam();
    SimFaultPlan plan;
    auto next = [&] {
        return c.fault.unit == SimFaultUnit::Byte ? plan.NextByte(c.fault.direction)
                                                  : plan.NextPacket(c.fault.direction);
    };
    for (int i = 0; i < c.unitsBeforeArming; ++i) next();
    plan.Arm(c.fault);
    std::string seen;
    for (size_t i = 0; i < c.expected.size(); ++i) seen += sLetter(next());
    EXPECT_EQ(seen, c.expected);
    EXPECT_EQ(plan.Pending(), 0u);
}

SimFault sFault(SimDirection direction, SimFaultUnit unit, uint64_t nth, SimFaultAction action,
                uint64_t count = 1) {
    SimFault fault;
    fault.direction = direction;
    fault.unit = unit;
    fault.nth = nth;
    fault.action = action;
    fault.count = count;
    fault.delay = 5ms;
    return fault;
}

constexpr auto kIn = SimDirection::ToModule;
constexpr auto kOut = SimDirection::FromModule;
constexpr auto kByte = SimFaultUnit::Byte;
constexpr auto kPacket = SimFaultUnit::Packet;

INSTANTIATE_TEST_SUITE_P(
    Plans, SimFaultPlanCases,
    ::testing::Values(
        PlanCase{"FirstPacket", sFault(kIn, kPacket, 1, SimFaultAction::Drop), 0, "D..."},
        PlanCase{"ThirdByteOut", sFault(kOut, kByte, 3, SimFaultAction::Corrupt), 0, "..C."},
        PlanCase{"CountedFromArming", sFault(kIn, kByte, 2, SimFaultAction::Delay), 5, ".W.."},
        PlanCase{"ZeroMeansNext", sFault(kOut, kPacket, 0, SimFaultAction::GoSilent), 0, "S.."},
        PlanCase{"ConsecutiveUnits", sFault(kIn, kPacket, 2, SimFaultAction::Drop, 3), 1, ".DDD.."},
        PlanCase{"Disconnect", sFault(kOut, kPacket, 2, SimFaultAction::Disconnect), 0, ".X."}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SimFaultPlan, DirectionsAndUnitsCountApart) {
    SimFaultPlan plan;
    plan.Arm(sFault(kIn, kPacket, 2, SimFaultAction::Drop));
    // Bytes and outgoing packets neither count for nor fire an incoming packet fault.
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(sLetter(plan.NextByte(kIn)), '.');
        EXPECT_EQ(sLetter(plan.NextPacket(kOut)), '.');
    }
    EXPECT_EQ(sLetter(plan.NextPacket(kIn)), '.');
    EXPECT_EQ(sLetter(plan.NextPacket(kIn)), 'D');
}

TEST(SimFaultPlan, EffectsOnTheSameUnitAddUp) {
    SimFaultPlan plan;
    SimFault delay = sFault(kOut, kPacket, 1, SimFaultAction::Delay);
    SimFault corrupt = sFault(kOut, kPacket, 1, SimFaultAction::Corrupt);
    corrupt.offset = 2;
    corrupt.xorMask = 0x10;
    plan.Arm(delay);
    plan.Arm(delay);
    plan.Arm(corrupt);
    SimFaultEffect effect = plan.NextPacket(kOut);
    EXPECT_EQ(effect.delay, 10ms);
    ASSERT_EQ(effect.corruptions.size(), 1u);
    EXPECT_EQ(effect.corruptions[0].offset, 2);
    EXPECT_EQ(effect.corruptions[0].xorMask, 0x10);
    EXPECT_FALSE(effect.Lost());
}

TEST(SimFaultPlan, ClearForgetsArmedFaults) {
    SimFaultPlan plan;
    plan.Arm(sFault(kIn, kByte, 1, SimFaultAction::Drop));
    plan.Clear();
    EXPECT_EQ(plan.Pending(), 0u);
    EXPECT_TRUE(plan.NextByte(kIn).None());
}

struct ParseCase {
    const char* text;
    bool valid;
    SimFault expected;
};

TEST(ParseFault, Descriptions) {
    auto fault = [](SimDirection d, SimFaultUnit u, uint64_t nth, SimFaultAction a,
                    std::chrono::milliseconds delay = 0ms, uint8_t offset = 0,
                    uint8_t mask = 0xFF) {
        SimFault f;
        f.direction = d;
        f.unit = u;
        f.nth = nth;
        f.action = a;
        f.delay = delay;
        f.offset = offset;
        f.xorMask = mask;
        return f;
    };
    const ParseCase cases[] = {
        {"in:packet:3:drop", true, fault(kIn, kPacket, 3, SimFaultAction::Drop)},
        {"out:byte:10:delay:250", true, fault(kOut, kByte, 10, SimFaultAction::Delay, 250ms)},
        {"out:packet:2:corrupt", true, fault(kOut, kPacket, 2, SimFaultAction::Corrupt)},
        {"out:packet:2:corrupt:1", true, fault(kOut, kPacket, 2, SimFaultAction::Corrupt, 0ms, 1)},
        {"in:packet:1:corrupt:2/0f", true,
         fault(kIn, kPacket, 1, SimFaultAction::Corrupt, 0ms, 2, 0x0F)},
        {"in:byte:4:corrupt:80", true, fault(kIn, kByte, 4, SimFaultAction::Corrupt, 0ms, 0, 0x80)},
        {"out:packet:5:disconnect", true, fault(kOut, kPacket, 5, SimFaultAction::Disconnect)},
        {"in:packet:7:silent", true, fault(kIn, kPacket, 7, SimFaultAction::GoSilent)},
        {"", false, {}},
        {"in:packet:0:drop", false, {}},
        {"in:packet:-1:drop", false, {}},
        {"up:packet:1:drop", false, {}},
        {"in:word:1:drop", false, {}},
        {"in:packet:1:explode", false, {}},
        {"in:packet:1:delay", false, {}},
        {"in:packet:1:delay:soon", false, {}},
        {"in:packet:1:drop:5", false, {}},
        {"in:byte:1:corrupt:00", false, {}},
        {"in:packet:1:corrupt:30", false, {}},
        {"in:packet:1:corrupt:1/2/3", false, {}},
    };
    for (const ParseCase& c : cases) {
        SimFault parsed;
        parsed.nth = 99;
        EXPECT_EQ(ParseFault(c.text, &parsed), c.valid) << c.text;
        if (!c.valid) {
            EXPECT_EQ(parsed.nth, 99u) << c.text << ": changed on failure";
            continue;
        }
        EXPECT_EQ(parsed.direction, c.expected.direction) << c.text;
        EXPECT_EQ(parsed.unit, c.expected.unit) << c.text;
        EXPECT_EQ(parsed.nth, c.expected.nth) << c.text;
        EXPECT_EQ(parsed.action, c.expected.action) << c.text;
        EXPECT_EQ(parsed.delay, c.expected.delay) << c.text;
        EXPECT_EQ(parsed.offset, c.expected.offset) << c.text;
        EXPECT_EQ(parsed.xorMask, c.expected.xorMask) << c.text;
    }
}

}  // namespace
