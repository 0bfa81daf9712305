// The usb-sim launcher: its options, and the program run end to end with real libusb clients.

#include "UsbSimLauncher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <ostream>
#include <sstream>

#include "Process.h"

namespace {

using sim::usb::ParseUsbSimOptions;
using sim::usb::UsbSimOptions;
using sim::usb::UsbSpeed;
using testsupport::ProcessResult;
using testsupport::RunProcess;

std::vector<std::string> Words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

TEST(UsbSimOptions, ModulesNodesBusyAndImxAreReadInOrder) {
    std::string error;
    std::optional<UsbSimOptions> o = ParseUsbSimOptions(
        Words("--module 1A2B3C4D:4 --node abcd:0x0D --module X-1:255:high --busy X-1 --imx -- "
              "prog -a --module"),
        error);

    ASSERT_TRUE(o) << error;
    ASSERT_EQ(o->modules.size(), 3u);
    EXPECT_EQ(o->modules[0].serial, "1A2B3C4D");
    EXPECT_EQ(o->modules[0].vendorId, sim::usb::kTessaLineVendorId);
    EXPECT_EQ(o->modules[0].productId, 4);
    EXPECT_EQ(o->modules[0].speed, UsbSpeed::Full);
    EXPECT_FALSE(o->modules[0].kernelNode);
    EXPECT_EQ(o->modules[1].serial, "0000ABCD");  // as the driver's node names it
    EXPECT_EQ(o->modules[1].productId, 13);
    EXPECT_TRUE(o->modules[1].kernelNode);
    EXPECT_EQ(o->modules[2].serial, "X-1");
    EXPECT_EQ(o->modules[2].productId, 255);
    EXPECT_EQ(o->modules[2].speed, UsbSpeed::High);
    EXPECT_EQ(o->busy, std::vector<std::string>{"X-1"});
    EXPECT_TRUE(o->imx);
    EXPECT_EQ(o->command, Words("prog -a --module"));
}

struct BadCase {
    const char* args;
    const char* error;
};

void PrintTo(const BadCase& c, std::ostream* os) {
    *os << c.args;
}

class UsbSimBadOptions : public ::testing::TestWithParam<BadCase> {};

TEST_P(UsbSimBadOptions, AreRefusedWithAReason) {
    std::string error;
    EXPECT_FALSE(ParseUsbSimOptions(Words(GetParam().args), error));
    EXPECT_NE(error.find(GetParam().error), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(
    UsbSimCases, UsbSimBadOptions,
    ::testing::Values(
        BadCase{"--module 1:4", "no command"}, BadCase{"--module 1:4 --", "no command"},
        BadCase{"--module 1 -- x", "expected SERIAL:MODEL"},
        BadCase{"--module 1:4:full:x -- x", "expected SERIAL:MODEL"},
        BadCase{"--node 1:4:high -- x", "expected SERIAL:MODEL"},
        BadCase{"--module 1:256 -- x", "model"}, BadCase{"--module 1:-1 -- x", "model"},
        BadCase{"--module 1:013x -- x", "model"}, BadCase{"--module 1:4:fast -- x", "speed"},
        BadCase{"--node ABCDEFGH:4 -- x", "hex digits"},
        BadCase{"--node 123456789:4 -- x", "hex digits"},
        BadCase{"--module a\\b:4 -- x", "serial text"},
        BadCase{"--module A:1 --module A:2 -- x", "two modules"},
        BadCase{"--node ab:1 --module 000000AB:2 -- x", "two modules"},
        BadCase{"--module A:1 --busy B -- x", "--busy B"},
        BadCase{"--module -- x", "--module needs a value"},
        BadCase{"--busy", "--busy needs a value"}, BadCase{"--speed 3 -- x", "unknown option"}));

TEST(UsbSimPreload, IsRecognisedInLdPreload) {
    EXPECT_TRUE(sim::usb::IsUmockdevPreloaded("libumockdev-preload.so.0"));
    EXPECT_TRUE(sim::usb::IsUmockdevPreloaded("/x/libasan.so:libumockdev-preload.so.0:"));
    EXPECT_FALSE(sim::usb::IsUmockdevPreloaded(""));
    EXPECT_FALSE(sim::usb::IsUmockdevPreloaded(nullptr));
    EXPECT_FALSE(sim::usb::IsUmockdevPreloaded("libother.so"));
}

std::string Hex4(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof(text), "%04X", value);
    return text;
}

class UsbSim : public ::testing::Test {
  protected:
    ProcessResult Run(std::vector<std::string> args, std::map<std::string, std::string> env = {}) {
        args.insert(args.begin(), USB_SIM_BIN);
        return RunProcess(args, env, std::chrono::seconds(30));
    }
};

struct ListerCase {
    const char* name;
    std::map<std::string, std::string> env;
};

void PrintTo(const ListerCase& c, std::ostream* os) {
    *os << c.name;
}

class UsbSimLister : public UsbSim, public ::testing::WithParamInterface<ListerCase> {};

// Without the preload library in its environment the launcher starts itself again under
// umockdev-wrapper; the result is the same.
TEST_P(UsbSimLister, LibusbClientListsBothModulesWithVendorProductAndSerial) {
    ProcessResult r =
        Run({"--module", "1A2B3C4D:4", "--module", "0000ABCD:13", "--", USB_DEVICE_LISTER_BIN},
            GetParam().env);

    ASSERT_EQ(r.exit_status, 0) << r.err;
    std::vector<std::string> lines;
    std::istringstream out(r.out);
    for (std::string line; std::getline(out, line);) lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    const std::string vendor = Hex4(sim::usb::kTessaLineVendorId);
    EXPECT_EQ(lines,
              (std::vector<std::string>{vendor + ":0004 1A2B3C4D", vendor + ":000D 0000ABCD"}));
}

INSTANTIATE_TEST_SUITE_P(UsbSimEnvironments, UsbSimLister,
                         ::testing::Values(ListerCase{"UnderWrapper", {}},
                                           ListerCase{"WithoutPreload", {{"LD_PRELOAD", ""}}}),
                         [](const auto& info) { return std::string(info.param.name); });

struct StatusCase {
    const char* name;
    std::vector<std::string> args;
    int status;
};

void PrintTo(const StatusCase& c, std::ostream* os) {
    *os << c.name;
}

class UsbSimStatus : public UsbSim, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(UsbSimStatus, IsTheCommandsOrTellsWhyItCouldNotRun) {
    ProcessResult r = Run(GetParam().args);
    EXPECT_EQ(r.exit_status, GetParam().status) << r.err;
}

INSTANTIATE_TEST_SUITE_P(
    UsbSimCases, UsbSimStatus,
    ::testing::Values(
        StatusCase{"Success", {"--", "true"}, 0},
        StatusCase{"ExitCode", {"--module", "1:4", "--", "sh", "-c", "exit 7"}, 7},
        StatusCase{"Killed", {"--", "sh", "-c", "kill -TERM $$"}, 128 + 15},
        StatusCase{"NotFound", {"--", "no-such-program-here"}, 127},
        StatusCase{"BadOption", {"--wrong", "--", "true"}, 125},
        StatusCase{"KernelNodeVisible",
                   {"--node", "abcd:4", "--", "sh", "-c", "test -e /dev/tessaline.0000ABCD"},
                   0},
        StatusCase{"NoNodeForLibusbModule",
                   {"--module", "0000ABCD:4", "--", "sh", "-c", "test -e /dev/tessaline.0000ABCD"},
                   1},
        StatusCase{"ImxHidraw", {"--imx", "--", "sh", "-c", "test -e /dev/hidraw0"}, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(UsbSim, BadOptionPrintsTheReasonAndTheUsage) {
    ProcessResult r = Run({"--module", "1:999", "--", "true"});

    EXPECT_EQ(r.exit_status, 125);
    EXPECT_EQ(r.err, std::string(
                         "usb-sim: --module: model must be a number from 0 to 255, got \"999\"\n") +
                         sim::usb::UsbSimUsage());
}

}  // namespace
