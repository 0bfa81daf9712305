// The module side's framing: packets back to back, link commands, framing errors.

#include "SimFraming.h"

#include <gtest/gtest.h>

#include "SimTestSupport.h"

namespace {

using namespace sim::tessaline;
using simtest::Bytes;

struct FramingCase {
    const char* name;
    const char* input;
    std::vector<std::string> packets;  // ToString of each completed packet, in order
    int framingErrors;
    bool idleAtEnd;
};

void PrintTo(const FramingCase& c, std::ostream* os) {
    *os << c.name;
}

class SimFrameParserCases : public ::testing::TestWithParam<FramingCase> {};

TEST_P(SimFrameParserCases, SplitsTheStream) {
    const FramingCase& c = GetParam();
    SimFrameParser parser;
    std::vector<std::string> packets;
    int errors = 0;
    for (uint8_t byte : Bytes(c.input)) {
        switch (parser.Feed(byte)) {
            case SimFrameParser::Result::Packet:
                packets.push_back(ToString(parser.Packet()));
                break;
            case SimFrameParser::Result::FramingError:
                ++errors;
                break;
            case SimFrameParser::Result::NeedMore:
                break;
        }
    }
    EXPECT_EQ(packets, c.packets);
    EXPECT_EQ(errors, c.framingErrors);
    EXPECT_EQ(parser.Idle(), c.idleAtEnd);
}

INSTANTIATE_TEST_SUITE_P(
    Streams, SimFrameParserCases,
    ::testing::Values(
        FramingCase{"Probe", "AD 00", {"AD 00"}, 0, true},
        FramingCase{"ForceRoute", "AF 01 01", {"AF 01 01"}, 0, true},
        FramingCase{"BackToBack",
                    "AF 01 01 AD 00 02 03 03 48 20 04 00",
                    {"AF 01 01", "AD 00", "02 03 03 48 20", "04 00"},
                    0,
                    true},
        FramingCase{"FullPayload",
                    "06 1C 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 11 12 13 14 15 16 17 "
                    "18 19 1A 1B 1C",
                    {"06 1C 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 11 12 13 14 15 16 17 "
                     "18 19 1A 1B 1C"},
                    0,
                    true},
        FramingCase{"ZeroAndOddAddressesAreDropped", "00 01 AB AD 00", {"AD 00"}, 3, true},
        FramingCase{"LengthAboveLimitDropsAddressAndLength", "02 1D AD 00", {"AD 00"}, 1, true},
        FramingCase{"PartialPacketWaits", "02 03 03 48", {}, 0, false},
        FramingCase{
            "PayloadBytesAreNotAddresses", "02 02 01 AD AD 00", {"02 02 01 AD", "AD 00"}, 0, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SimFrameParser, ResetForgetsAPartialPacket) {
    SimFrameParser parser;
    parser.Feed(0x02);
    parser.Feed(0x03);
    parser.Reset();
    EXPECT_TRUE(parser.Idle());
    EXPECT_EQ(parser.Feed(0xAD), SimFrameParser::Result::NeedMore);
    EXPECT_EQ(parser.Feed(0x00), SimFrameParser::Result::Packet);
    EXPECT_EQ(ToString(parser.Packet()), "AD 00");
}

TEST(SimFraming, AddressClasses) {
    struct {
        uint8_t address;
        bool module;
        bool fromHost;
    } cases[] = {{0x00, false, false}, {0x01, false, false}, {0x02, true, true},
                 {0xAD, false, true},  {0xAF, false, true},  {0xAB, false, false},
                 {0xFE, true, true},   {0xFF, false, false}};
    for (const auto& c : cases) {
        EXPECT_EQ(IsModuleAddress(c.address), c.module) << int(c.address);
        EXPECT_EQ(IsHostAddressByte(c.address), c.fromHost) << int(c.address);
    }
}

TEST(SimFraming, WireBytesOfAPacket) {
    EXPECT_EQ(ToWire(SimPacket{0x02, {}}), Bytes("02 00"));
    EXPECT_EQ(ToWire(SimPacket{0x06, {0x00, 0x01}}), Bytes("06 02 00 01"));
    // A payload the length byte can't describe is cut to the limit.
    SimPacket tooLong{0x02, std::vector<uint8_t>(30, 0x55)};
    EXPECT_EQ(ToWire(tooLong).size(), 30u);
    EXPECT_EQ(ToWire(tooLong)[1], 28);
}

}  // namespace
