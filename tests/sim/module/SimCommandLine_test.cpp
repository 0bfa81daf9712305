// Options of the stand-alone simulator.

#include "SimCommandLine.h"

#include <gtest/gtest.h>

namespace {

using namespace sim::tessaline;
using namespace std::chrono_literals;

TEST(ParseSimOptions, DefaultsAreATcpModuleWithHeartbeats) {
    SimOptions options = DefaultSimOptions();
    EXPECT_EQ(ParseSimOptions({}, &options), "");
    EXPECT_EQ(options.transport, SimTransport::Tcp);
    EXPECT_EQ(options.port, 0);
    EXPECT_EQ(options.module.address, 2);
    EXPECT_EQ(options.module.heartbeatInterval, 1000ms);
    EXPECT_TRUE(options.faults.empty());
    EXPECT_EQ(options.bindAddress, "127.0.0.1");
    EXPECT_FALSE(options.discovery);
    EXPECT_EQ(options.reportPath, "");
}

TEST(ParseSimOptions, EveryOptionIsTaken) {
    SimOptions options = DefaultSimOptions();
    EXPECT_EQ(ParseSimOptions({"--serial",       "1A2B3C4D",
                               "--model",        "13",
                               "--address",      "6",
                               "--transport",    "pty",
                               "--port",         "4242",
                               "--heartbeat-ms", "0",
                               "--version",      "2.15.0",
                               "--build",        "77",
                               "--fault",        "out:packet:3:drop",
                               "--fault",        "in:byte:1:delay:10",
                               "--submodule",    "4:B004:13",
                               "--bind",         "10.213.0.2",
                               "--report",       "report.txt",
                               "--discovery",
                               "--busy"},
                              &options),
              "");
    EXPECT_EQ(options.module.serialNumber, 0x1A2B3C4Du);
    EXPECT_EQ(options.module.model, 13);
    EXPECT_EQ(options.module.address, 6);
    EXPECT_EQ(options.transport, SimTransport::Pty);
    EXPECT_EQ(options.port, 4242);
    EXPECT_EQ(options.module.heartbeatInterval, 0ms);
    EXPECT_EQ(options.module.firmwareVersion, 0x2F020F00u);
    EXPECT_EQ(options.module.firmwareBuild, 77u);
    ASSERT_EQ(options.faults.size(), 2u);
    EXPECT_EQ(options.faults[0].direction, SimDirection::FromModule);
    EXPECT_EQ(options.faults[1].delay, 10ms);
    ASSERT_EQ(options.subModules.size(), 1u);
    EXPECT_EQ(options.subModules[0].address, 4);
    EXPECT_EQ(options.subModules[0].serialNumber, 0xB004u);
    EXPECT_EQ(options.subModules[0].model, 13);
    EXPECT_TRUE(options.busy);
    EXPECT_EQ(options.bindAddress, "10.213.0.2");
    EXPECT_EQ(options.reportPath, "report.txt");
    EXPECT_TRUE(options.discovery);
}

TEST(ParseSimOptions, SerialMayCarryAHexPrefix) {
    SimOptions options;
    EXPECT_EQ(ParseSimOptions({"--serial", "0xbeef"}, &options), "");
    EXPECT_EQ(options.module.serialNumber, 0xBEEFu);
}

TEST(ParseSimOptions, BadValuesAreNamed) {
    const struct {
        std::vector<std::string> arguments;
        const char* error;
    } cases[] = {
        {{"--serial", "0"}, "bad value for --serial: 0"},
        {{"--serial", "123456789"}, "bad value for --serial: 123456789"},
        {{"--serial", "xyz"}, "bad value for --serial: xyz"},
        {{"--model", "256"}, "bad value for --model: 256"},
        {{"--address", "3"}, "bad value for --address: 3"},
        {{"--address", "0"}, "bad value for --address: 0"},
        {{"--address", "256"}, "bad value for --address: 256"},
        {{"--transport", "usb"}, "bad value for --transport: usb"},
        {{"--port", "65536"}, "bad value for --port: 65536"},
        {{"--port", "-1"}, "bad value for --port: -1"},
        {{"--version", "2.15"}, "bad value for --version: 2.15"},
        {{"--version", "2.300.0"}, "bad value for --version: 2.300.0"},
        {{"--fault", "in:packet:1:explode"}, "bad value for --fault: in:packet:1:explode"},
        {{"--submodule", "3:B004:13"}, "bad value for --submodule: 3:B004:13"},
        {{"--submodule", "4:0:13"}, "bad value for --submodule: 4:0:13"},
        {{"--submodule", "4:B004"}, "bad value for --submodule: 4:B004"},
        {{"--submodule", "4:B004:256"}, "bad value for --submodule: 4:B004:256"},
        {{"--bind", "localhost"}, "bad value for --bind: localhost"},
        {{"--bind", "10.1.2"}, "bad value for --bind: 10.1.2"},
        {{"--port"}, "missing value for --port"},
        {{"--colour", "red"}, "unknown option --colour"},
    };
    for (const auto& c : cases) {
        SimOptions options;
        EXPECT_EQ(ParseSimOptions(c.arguments, &options), c.error);
    }
}

TEST(ParseSimOptions, HelpIsNoted) {
    SimOptions options;
    EXPECT_EQ(ParseSimOptions({"--help"}, &options), "");
    EXPECT_TRUE(options.help);
}

}  // namespace
