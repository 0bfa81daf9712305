// The bytes an emulated device says about itself.

#include "UsbDescriptors.h"

#include <gtest/gtest.h>

#include <ostream>
#include <tuple>

namespace {

using namespace sim::usb;

UsbDeviceConfig Module(UsbSpeed speed = UsbSpeed::Full) {
    UsbDeviceConfig config;
    config.vendorId = 0x1209;
    config.productId = 0x0004;
    config.serial = "1A2B3C4D";
    config.speed = speed;
    return config;
}

TEST(UsbDescriptors, DeviceDescriptorCarriesIdsAndStringIndexes) {
    EXPECT_EQ(DeviceDescriptor(Module()),
              (std::vector<uint8_t>{18, 1, 0x00, 0x02, 0, 0, 0, 64, 0x09, 0x12, 0x04, 0x00, 0x00,
                                    0x01, kManufacturer, kProduct, kSerialNumber, 1}));
}

TEST(UsbDescriptors, ConfigurationHoldsTheLinkInterfaceWithBulkEndpointsOfTheSpeed) {
    for (auto [speed, low, high] :
         {std::tuple{UsbSpeed::Full, 64, 0}, std::tuple{UsbSpeed::High, 0, 2}}) {
        const std::vector<uint8_t> expected{9,
                                            2,
                                            32,
                                            0,
                                            1,
                                            1,
                                            0,
                                            0x80,
                                            50,  // configuration 1, 32 bytes in all
                                            9,
                                            4,
                                            0,
                                            0,
                                            2,
                                            0xFF,
                                            0x88,
                                            0x10,
                                            0,  // interface 0: vendor link
                                            7,
                                            5,
                                            0x01,
                                            2,
                                            static_cast<uint8_t>(low),
                                            static_cast<uint8_t>(high),
                                            0,  // bulk OUT
                                            7,
                                            5,
                                            0x81,
                                            2,
                                            static_cast<uint8_t>(low),
                                            static_cast<uint8_t>(high),
                                            0};  // bulk IN
        EXPECT_EQ(ConfigurationDescriptor(Module(speed)), expected);
    }
    EXPECT_EQ(BulkPacketSize(UsbSpeed::Full), 64);
    EXPECT_EQ(BulkPacketSize(UsbSpeed::High), 512);
}

TEST(UsbDescriptors, StringsAreUtf16AndCutToWhatOneLengthByteHolds) {
    EXPECT_EQ(StringDescriptor("AB"), (std::vector<uint8_t>{6, 3, 'A', 0, 'B', 0}));
    EXPECT_EQ(StringDescriptor(""), (std::vector<uint8_t>{2, 3}));
    const std::vector<uint8_t> longest = StringDescriptor(std::string(200, 'x'));
    EXPECT_EQ(longest.size(), 254u);
    EXPECT_EQ(longest[0], 254);
}

struct DescriptorCase {
    uint8_t type;
    uint8_t index;
    std::optional<std::vector<uint8_t>> expected;
};

void PrintTo(const DescriptorCase& c, std::ostream* os) {
    *os << "type" << int{c.type} << "-index" << int{c.index};
}

class DescriptorRequest : public ::testing::TestWithParam<DescriptorCase> {};

TEST_P(DescriptorRequest, AnswersWhatTheDeviceHasAndNothingElse) {
    const DescriptorCase c = GetParam();
    EXPECT_EQ(DescriptorFor(Module(), c.type, c.index), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    UsbRequests, DescriptorRequest,
    ::testing::Values(DescriptorCase{1, 0, DeviceDescriptor(Module())},
                      DescriptorCase{2, 0, ConfigurationDescriptor(Module())},
                      DescriptorCase{2, 1, std::nullopt},
                      DescriptorCase{3, 0, std::vector<uint8_t>{4, 3, 0x09, 0x04}},
                      DescriptorCase{3, 3, StringDescriptor("1A2B3C4D")},
                      DescriptorCase{3, 1, StringDescriptor("Quillmet")},
                      DescriptorCase{3, 4, std::nullopt}, DescriptorCase{4, 0, std::nullopt}));

TEST(UsbDescriptors, KernelNodeNameIsTheSerialAsEightUpperCaseDigits) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {"1A2B3C4D", "/dev/tessaline.1A2B3C4D"},
        {"abcd", "/dev/tessaline.0000ABCD"},
        {"0", "/dev/tessaline.00000000"},
        {"", ""},
        {"123456789", ""},
        {"12G4", ""},
        {"0x12", ""},
        {"-1", ""},
        {" 12", ""}};
    for (const auto& [serial, path] : cases) EXPECT_EQ(KernelNodePath(serial), path) << serial;
}

TEST(UsbDescriptors, SerialTextMustBePrintableWithoutSpaceOrBackslash) {
    EXPECT_TRUE(IsValidSerialText("1A2B3C4D"));
    EXPECT_TRUE(IsValidSerialText("x"));
    EXPECT_TRUE(IsValidSerialText(std::string(126, 'A')));
    EXPECT_FALSE(IsValidSerialText(""));
    EXPECT_FALSE(IsValidSerialText(std::string(127, 'A')));
    EXPECT_FALSE(IsValidSerialText("12 34"));
    EXPECT_FALSE(IsValidSerialText("12\\n"));
    EXPECT_FALSE(IsValidSerialText("12\n"));
}

// Walks the short items of a report descriptor and collects its reports.
std::vector<HidReport> ParseReports(const std::vector<uint8_t>& d) {
    std::vector<HidReport> reports;
    uint32_t id = 0, bits = 0, count = 0;
    for (size_t at = 0; at < d.size();) {
        const uint8_t prefix = d[at];
        const size_t size = (prefix & 3) == 3 ? 4 : prefix & 3;
        uint32_t value = 0;
        for (size_t i = 0; i < size; ++i) value |= static_cast<uint32_t>(d[at + 1 + i]) << (8 * i);
        switch (prefix & 0xFC) {
            case 0x84:
                id = value;
                break;
            case 0x74:
                bits = value;
                break;
            case 0x94:
                count = value;
                break;
            case 0x80:
            case 0x90:
                reports.push_back({static_cast<uint8_t>(id), (prefix & 0xFC) == 0x80,
                                   static_cast<uint16_t>(bits * count / 8)});
                break;
            default:
                break;
        }
        at += 1 + size;
    }
    return reports;
}

TEST(UsbDescriptors, ImxReportDescriptorDeclaresTheFourReportsWithTheirSizes) {
    const std::vector<HidReport> parsed = ParseReports(HidReportDescriptor(ImxHidReports()));

    ASSERT_EQ(parsed.size(), 4u);
    const std::vector<std::tuple<int, bool, int>> expected{
        {1, false, 16}, {2, false, 1024}, {3, true, 4}, {4, true, 64}};
    for (size_t i = 0; i < parsed.size(); ++i)
        EXPECT_EQ(std::tuple(int{parsed[i].id}, parsed[i].input, int{parsed[i].size}), expected[i]);
}

TEST(UsbDescriptors, HexStringIsLowerCaseWithoutSeparators) {
    EXPECT_EQ(HexString({0x00, 0x1F, 0xA0, 0xFF}), "001fa0ff");
    EXPECT_EQ(HexString({}), "");
}

}  // namespace
