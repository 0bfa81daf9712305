#include "Listings.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CaptureDisplay.h"

namespace {

using testsupport::CaptureDisplay;
using Lines = std::vector<std::string>;

const char kHeader[] = "    Device    Module   Router  Model          Firmware Version (Build)";

DeviceInfo Device(linkType type, uint32_t serial, uint32_t model, int32_t error = 0) {
    DeviceInfo d;
    d.spec.type = type;
    d.spec.serialNumber = serial;
    d.spec.module = 4;
    d.spec.router = 0x10;
    d.spec.model = model;
    d.version_major = 2;
    d.version_minor = 11;
    d.version_patch = 3;
    d.build = 4321;
    d.error = error;
    if (type == TCPIP) inet_pton(AF_INET, "192.168.7.21", &d.spec.t.ip.ipAddress);
    return d;
}

TEST(DeviceList, Layouts) {
    const struct {
        const char* name;
        std::list<DeviceInfo> devices;
        linkType type;
        Lines expected;
    } cases[] = {
        {"empty", {}, USB, {"Discovered Devices: (USB)", "    No devices found."}},
        {"usb",
         {Device(USB, 0x1A2B3C4D, 4)},
         USB,
         {"Discovered Devices: (USB)", kHeader,
          "    1A2B3C4D  04       10      Beryl          2.11.3 (4321)"}},
        {"mixed shown as unknown transport",
         {Device(USB, 0xABC, 99), Device(TCPIP, 0x0000ABCD, 13, 5)},
         INVALID,
         {"Discovered Devices: (Unknown)", std::string(kHeader) + "   [IP address]",
          "    00000ABC  04       10      Unknown        2.11.3 (4321)",
          // A TCP/IP line is printed whatever its error.
          "    0000ABCD  04       10      Dolomite       2.11.3 (4321) [192.168.7.21]"}},
        {"busy usb module",
         {Device(USB, 0x40F5849A, 4, 5)},
         TCPIP,
         {"Discovered Devices: (TCPIP)", std::string(kHeader) + "   [IP address]",
          "    40F5849A  [Error (5): Is someone else connected to this device?]"}},
    };
    for (const auto& c : cases) {
        CaptureDisplay display;
        _display_device_list(display, c.devices, c.type);
        EXPECT_EQ(display.info, c.expected) << c.name;
        EXPECT_TRUE(display.errors.empty());
    }
}

TEST(BuildList, NewestFirstWithFixedColumns) {
    CaptureDisplay display;
    _display_builds(display,
                    {{"10", "1.2.3"}, {"11", "1.10.0"}, {"9", "2.0.0"},
                     {"1234567890123456789", "1.0.0-extra-long-text"}},
                    0x1234ABCD);
    EXPECT_EQ(display.info,
              (Lines{"Build List for device [1234ABCD]:\n",
                     "Build          \tVersion        ",
                     "9              \t2.0.0          ",
                     "11             \t1.10.0         ",
                     "10             \t1.2.3          ",
                     "123456789012345\t1.0.0-extra-lon"}));
}

TEST(BuildList, Empty) {
    CaptureDisplay display;
    _display_builds(display, {}, 0xABC);
    EXPECT_EQ(display.info, (Lines{"No builds found for device [00000ABC]"}));
}

TEST(Listings, VersionCopyrightFingerprintAndToken) {
    CaptureDisplay display;
    _display_app_version(display);
    _display_copyright(display);
    Fingerprint f;
    f.words[0] = 1;
    f.words[1] = 0xDEADBEEF;
    f.words[2] = 0xABC;
    f.words[3] = 0;
    _display_fingerprint(display, f);
    _display_jwt(display, "aa.bb.cc");
    _display_jwt(display, "");
    ASSERT_EQ(display.info.size(), 5u);
    EXPECT_EQ(display.info[0], "Updater (Version: 2.11.2 Apr 29 2025)");
    EXPECT_EQ(display.info[1].front(), '(');
    EXPECT_EQ(display.info[1].back(), ')');
    EXPECT_NE(display.info[1].find("2025"), std::string::npos);
    EXPECT_EQ(display.info[2], "[ 00000001 DEADBEEF 00000ABC 00000000 ]");
    EXPECT_EQ(display.info[3], "aa.bb.cc");
    EXPECT_EQ(display.info[4], "");
}

}  // namespace
