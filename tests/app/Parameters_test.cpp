#include "Parameters.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "CaptureDisplay.h"
#include "Log.h"

namespace {

using testsupport::CaptureDisplay;

TEST(OptionMatcher, ExactAbbreviatedAmbiguousAndUnknownNames) {
    const struct {
        const char* name;
        const char* row;  // null: no row
    } cases[] = {
        {"-D", "-D"},          {"-OVERRIDE", "-OVERRIDE"}, {"-OVER", "-OVERRIDE"},
        {"-O", "-OVERRIDE"},   {"--help", "--help"},       {"--he", "--help"},
        {"--hel", "--help"},   {"--h", "--help"},          {"-h", "-h"},
        {"-help", nullptr},    // one dash only matches one-dash rows
        {"--D", nullptr},      {"-DU", nullptr},           {"-d1234", nullptr},
        {"-", nullptr},        {"--", nullptr},            {"-q", nullptr},
        {"-OVERRIDEX", nullptr}, {"---help", nullptr},
    };
    for (const auto& c : cases) {
        const OptionRow* row = _match_option(c.name);
        if (!c.row) {
            EXPECT_EQ(row, nullptr) << c.name;
        } else {
            ASSERT_NE(row, nullptr) << c.name;
            EXPECT_STREQ(row->text, c.row) << c.name;
        }
    }
}

TEST(OptionMatcher, TableHasThirtyRowsAndATerminator) {
    int rows = 0;
    while (g_rgOptions[rows].id >= 0) ++rows;
    EXPECT_EQ(rows, 30);
    EXPECT_STREQ(g_rgOptions[0].text, "-B");
    EXPECT_STREQ(g_rgOptions[29].text, "--help");
}

TEST(NumberArguments, HexAndDecimal) {
    const struct {
        const char* text;
        uint32_t hex;
        uint32_t dec;
        bool hexWhole;
        bool decWhole;
    } cases[] = {
        {"40F5849A", 0x40F5849A, 0, true, false},
        {"40f5849a", 0x40F5849A, 0, true, false},
        {"123", 0x123, 123, true, true},
        {"", 0, 0, true, true},
        {"12x", 0, 0, false, false},
        {"-1", 0, 0, false, false},
        {"1234567890ABCDEF", 0x90ABCDEF, 0, true, false},  // low 32 bits kept
        {"4294967297", 0x94967297, 1, true, true},
    };
    for (const auto& c : cases) {
        const char* end = nullptr;
        EXPECT_EQ(_get_hex_arg(c.text, &end), c.hex) << c.text;
        EXPECT_EQ(end == c.text + strlen(c.text), c.hexWhole) << c.text;
        end = nullptr;
        EXPECT_EQ(_get_int_arg(c.text, &end), c.dec) << c.text;
        EXPECT_EQ(end == c.text + strlen(c.text), c.decWhole) << c.text;
        EXPECT_EQ(_get_hex_arg(c.text, nullptr), 0u);
        EXPECT_EQ(_get_int_arg(c.text, nullptr), 0u);
    }
}

struct ParseCase {
    const char* name;
    std::vector<std::string> args;
    int result;
    std::vector<std::string> errors;
    std::function<void(const Parameters&)> check;
};

void PrintTo(const ParseCase& c, std::ostream* os) { *os << c.name; }

class GetParams : public ::testing::TestWithParam<ParseCase> {
protected:
    void SetUp() override { Log::DeactivatePackage(0xFFFFFFFF); }
    void TearDown() override { Log::DeactivatePackage(0xFFFFFFFF); }
};

TEST_P(GetParams, Parses) {
    const ParseCase& c = GetParam();
    std::vector<std::string> storage = {"/usr/local/bin/Updater"};
    storage.insert(storage.end(), c.args.begin(), c.args.end());
    std::vector<char*> argv;
    for (std::string& s : storage) argv.push_back(s.data());
    argv.push_back(nullptr);

    CaptureDisplay display;
    Parameters p;
    EXPECT_EQ(_get_params(display, static_cast<int>(storage.size()), argv.data(), p), c.result);
    EXPECT_EQ(display.errors, c.errors);
    EXPECT_TRUE(display.info.empty());
    EXPECT_EQ(p.program_name, "Updater");
    if (c.check) c.check(p);
}

const ParseCase kParseCases[] = {
    {"Defaults", {}, 0, {}, [](const Parameters& p) {
         EXPECT_EQ(p.commands.Bits(), 0u);
         EXPECT_EQ(p.transport, TRANSPORT_USB);
         EXPECT_EQ(p.baud_rate, 115200u);
         EXPECT_EQ(p.log_mode, "a+");
         EXPECT_EQ(p.log_file, "Updater.log");
         EXPECT_TRUE(p.uei_bytes);
         EXPECT_FALSE(p.override);
         EXPECT_EQ(p.server_url, std::string("http://") + kDefaultServerHost + "/cgi/u");
         EXPECT_TRUE(p.build.empty());
     }},
    {"SerialWithPrefix", {"-d", "0x40F5849A"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.serial_number, 0x40F5849Au); }},
    {"SerialWithUpperPrefix", {"-d", "0X40F5849A"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.serial_number, 0x40F5849Au); }},
    {"SerialLowerCase", {"-d", "40f5849a"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.serial_number, 0x40F5849Au); }},
    {"SerialZero", {"-d", "0"}, 1, {"Invalid serial number obtained from argument [0]"}, nullptr},
    {"SerialNotHex", {"-d", "xyz"}, 1, {"Invalid serial number obtained from argument [xyz]"}, nullptr},
    {"SerialPrefixOnly", {"-d", "0x"}, 1, {"Invalid serial number obtained from argument []"}, nullptr},
    {"SerialMissingAtEnd", {"-d"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.serial_number, 0u); }},
    {"SerialFollowedByOption", {"-d", "-U"}, 0, {}, [](const Parameters& p) {
         EXPECT_EQ(p.serial_number, 0u);
         EXPECT_TRUE(p.commands.IsSet(CMD_UPDATE));
     }},
    {"SerialAttached", {"-d=1234ABCD"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.serial_number, 0x1234ABCDu); }},
    {"SerialTooLongKeepsLowBits", {"-d", "1FFFFFFFF"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.serial_number, 0xFFFFFFFFu); }},
    {"RouterInvalid", {"-r", "0x0"}, 1, {"Invalid router serial number obtained from argument [0]"}, nullptr},
    {"RouterValid", {"-r", "D272031D"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.router_serial_number, 0xD272031Du); }},
    {"TransportTcpip", {"-t", "TCPIP"}, 0, {}, [](const Parameters& p) {
         EXPECT_EQ(p.transport, TRANSPORT_TCPIP);
         EXPECT_TRUE(p.transport_given);
     }},
    {"TransportTcp", {"-t", "TCP"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.transport, TRANSPORT_TCPIP); }},
    {"TransportUsbPrefix", {"-t", "USBX"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.transport, TRANSPORT_USB); }},
    {"TransportRecover", {"-t", "RECOVER"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.transport, TRANSPORT_RECOVER); }},
    {"TransportCaseMatters", {"-t", "tcp"}, 1,
     {"Invalid transport type:[tcp]\nMust be one of the following: USB, TCPIP, RECOVER"},
     [](const Parameters& p) {
         EXPECT_EQ(p.transport, TRANSPORT_INVALID);
         EXPECT_TRUE(p.transport_given);
     }},
    {"BuildNotNumeric", {"-b", "12x"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.build, "0"); }},
    {"BuildNumeric", {"-b", "007"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.build, "7"); }},
    {"BaudNotNumeric", {"-o", "fast"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.baud_rate, 0u); }},
    {"BaudNumeric", {"-o", "9600"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.baud_rate, 9600u); }},
    {"HelpWinsOverEarlierErrors", {"-d", "xyz", "-h", "-Y"}, 0,
     {"Invalid serial number obtained from argument [xyz]"},
     [](const Parameters& p) {
         EXPECT_TRUE(p.help_requested);
         EXPECT_TRUE(p.commands.IsSet(CMD_HELP));
     }},
    {"HelpStopsParsing", {"-h", "-X", "0x10000"}, 0, {}, [](const Parameters& p) { EXPECT_FALSE(p.debug_mask_given); }},
    {"DebugMaskBeforeHelp", {"-X", "0x10000", "-h"}, 0, {}, [](const Parameters& p) {
         EXPECT_TRUE(p.debug_mask_given);
         EXPECT_EQ(p.debug_mask, 0x10000u);
         EXPECT_EQ(Log::ActivePackages(), 0x10000u);
     }},
    {"DebugMasksAccumulate", {"-X", "8", "-X", "0x20"}, 0, {}, [](const Parameters& p) {
         EXPECT_EQ(p.debug_mask, 0x20u);
         EXPECT_EQ(Log::ActivePackages(), 0x28u);
     }},
    {"DebugMaskUnprocessed", {"-X", "12abc"}, 0,
     {"Invalid format for \"-X\" parameter, unprocessed characters [abc]"},
     [](const Parameters& p) {
         EXPECT_TRUE(p.debug_mask_given);
         EXPECT_EQ(Log::ActivePackages(), 0u);
     }},
    {"HelpWithAttachedArgumentIsSkipped", {"--help=yes"}, 0, {}, [](const Parameters& p) { EXPECT_FALSE(p.help_requested); }},
    {"HelpAbbreviated", {"--hel"}, 0, {}, [](const Parameters& p) { EXPECT_TRUE(p.help_requested); }},
    {"UnknownAndNonOptionsSkipped", {"-q", "hello", "-Z"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.commands.Bits(), 0u); }},
    {"ZWithArgument", {"-Z", "anything"}, 0, {}, [](const Parameters& p) { EXPECT_TRUE(p.commands.IsSet(CMD_Z)); }},
    {"Unhandled", {"-Y"}, 1, {"Unhandled command: [-Y]"}, nullptr},
    {"CommandsAccumulate", {"-U", "-D", "-G", "-B", "-L", "-J", "-N", "-I", "-C"}, 0, {}, [](const Parameters& p) {
         EXPECT_EQ(p.commands.Bits(), 0x37Fu);
     }},
    {"OverrideAbbreviated", {"-OVER"}, 0, {}, [](const Parameters& p) {
         EXPECT_TRUE(p.override);
         EXPECT_EQ(p.commands.Bits(), 0u);
     }},
    {"CommandWithAttachedArgumentIsSkipped", {"-D=1"}, 0, {}, [](const Parameters& p) { EXPECT_EQ(p.commands.Bits(), 0u); }},
    {"UeiBytes", {"-m", "false"}, 0, {}, [](const Parameters& p) { EXPECT_FALSE(p.uei_bytes); }},
    {"UeiBytesTrue", {"-m", "trueish"}, 0, {}, [](const Parameters& p) { EXPECT_TRUE(p.uei_bytes); }},
    {"UeiBytesOne", {"-m", "1x"}, 0, {}, [](const Parameters& p) { EXPECT_TRUE(p.uei_bytes); }},
    {"TextOptionsLastWins", {"-f", "a.bird", "-f", "b.bird", "-i", "dir", "-k", "k.log", "-l", "msg", "-s", "/dev/ttyS0", "-u", "http://127.0.0.1:1/cgi/u", "-e", "-n"}, 0, {},
     [](const Parameters& p) {
         EXPECT_EQ(p.bird_file, "b.bird");
         EXPECT_EQ(p.directory, "dir");
         EXPECT_EQ(p.log_file, "k.log");
         EXPECT_EQ(p.log_message, "msg");
         EXPECT_EQ(p.serial_port, "/dev/ttyS0");
         EXPECT_EQ(p.server_url, "http://127.0.0.1:1/cgi/u");
         EXPECT_TRUE(p.echo);
         EXPECT_TRUE(p.flag_n);
     }},
    {"EveryBadOptionIsReported", {"-d", "0", "-r", "zz", "-t", "x"}, 1,
     {"Invalid serial number obtained from argument [0]",
      "Invalid router serial number obtained from argument [zz]",
      "Invalid transport type:[x]\nMust be one of the following: USB, TCPIP, RECOVER"},
     nullptr},
};

INSTANTIATE_TEST_SUITE_P(Cases, GetParams, ::testing::ValuesIn(kParseCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
