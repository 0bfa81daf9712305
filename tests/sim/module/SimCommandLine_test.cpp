// Options of the stand-alone simulator.

#include "SimCommandLine.h"

#include <gtest/gtest.h>

#include "aVersion.h"

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

TEST(ParseSimOptions, UpgradeOptionsAreTaken) {
    SimOptions options = DefaultSimOptions();
    EXPECT_EQ(ParseSimOptions(
                  {"--upgrade-to", "3.1.4:159", "--block-size", "64", "--byte-array", "--flash",
                   "flash.bin", "--upgrade-fault", "bad-sum:2", "--upgrade-fault", "lose-load"},
                  &options),
              "");
    EXPECT_EQ(options.upgrade.newFirmwareVersion, aVersion_Pack(3, 1, 4));
    EXPECT_EQ(options.upgrade.newFirmwareBuild, 159u);
    EXPECT_EQ(options.upgrade.blockSize, 64);
    EXPECT_TRUE(options.upgrade.byteArray);
    EXPECT_EQ(options.upgrade.flashPath, "flash.bin");
    EXPECT_EQ(options.upgrade.badSums, 2u);
    EXPECT_TRUE(options.upgrade.loseLoad);
    EXPECT_FALSE(options.upgrade.noReturn);
    EXPECT_FALSE(options.upgrade.refusePrepare);
}

TEST(ParseSimOptions, UpgradeDefaultsLeaveTheModuleAsItIs) {
    SimOptions options = DefaultSimOptions();
    EXPECT_EQ(ParseSimOptions({}, &options), "");
    const SimUpgradeConfig config = MakeUpgradeConfig(options.upgrade);
    const SimUpgradeConfig defaults;
    EXPECT_EQ(config.blockSize, 256);
    EXPECT_EQ(config.newFirmwareVersion, 0u);  // unchanged by a reboot
    EXPECT_EQ(config.newFirmwareBuild, 0u);
    EXPECT_EQ(config.prepareStatus, 0);
    EXPECT_FALSE(config.byteArrayData);
    EXPECT_FALSE(config.pooledPackets);
    EXPECT_EQ(config.answerLoad, defaults.answerLoad);
    EXPECT_EQ(config.loaderAnnounceDelay, defaults.loaderAnnounceDelay);
    EXPECT_EQ(options.upgrade.flashPath, "");
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
        {{"--upgrade-to", "1.2.3"}, "bad value for --upgrade-to: 1.2.3"},
        {{"--upgrade-to", "1.2:5"}, "bad value for --upgrade-to: 1.2:5"},
        {{"--upgrade-to", "1.2.3:"}, "bad value for --upgrade-to: 1.2.3:"},
        {{"--upgrade-to", "1.2.256:5"}, "bad value for --upgrade-to: 1.2.256:5"},
        {{"--upgrade-to", "1.2.3:-5"}, "bad value for --upgrade-to: 1.2.3:-5"},
        {{"--block-size", "0"}, "bad value for --block-size: 0"},
        {{"--block-size", "65536"}, "bad value for --block-size: 65536"},
        {{"--block-size", "0x40"}, "bad value for --block-size: 0x40"},
        {{"--flash", ""}, "bad value for --flash: "},
        {{"--upgrade-fault", "explode"}, "bad value for --upgrade-fault: explode"},
        {{"--upgrade-fault", "bad-sum:0"}, "bad value for --upgrade-fault: bad-sum:0"},
        {{"--upgrade-fault", "bad-sum:x"}, "bad value for --upgrade-fault: bad-sum:x"},
        {{"--upgrade-fault", "no-return:2"}, "bad value for --upgrade-fault: no-return:2"},
        {{"--flash"}, "missing value for --flash"},
    };
    for (const auto& c : cases) {
        SimOptions options;
        EXPECT_EQ(ParseSimOptions(c.arguments, &options), c.error);
    }
}

// Each fault kind, alone and repeated, and what it makes of the module's upgrade configuration.
TEST(ParseUpgradeFault, KindsSetTheirFaultAndConfiguration) {
    const struct {
        std::vector<std::string> faults;
        uint32_t badSums;
        uint8_t prepareStatus;
        bool noReturn;
        bool silentLoad;  // LOAD answered neither before the restart nor by the loader
    } cases[] = {
        {{"bad-sum"}, 1, 0, false, false},
        {{"bad-sum:3"}, 3, 0, false, false},
        {{"bad-sum:2", "bad-sum"}, 3, 0, false, false},
        {{"bad-sum:4294967295", "bad-sum"}, 0xFFFFFFFF, 0, false, false},
        {{"refuse-prepare"}, 0, 1, false, false},
        {{"no-return"}, 0, 0, true, false},
        {{"lose-load"}, 0, 0, false, true},
        {{"refuse-prepare", "lose-load", "no-return"}, 0, 1, true, true},
    };
    for (const auto& c : cases) {
        SimUpgradeOptions options;
        for (const std::string& fault : c.faults)
            ASSERT_TRUE(ParseUpgradeFault(fault, &options)) << fault;
        const SimUpgradeConfig config = MakeUpgradeConfig(options);
        const std::string label = ::testing::PrintToString(c.faults);
        EXPECT_EQ(options.badSums, c.badSums) << label;
        EXPECT_EQ(config.prepareStatus, c.prepareStatus) << label;
        EXPECT_EQ(options.noReturn, c.noReturn) << label;
        EXPECT_EQ(!config.answerLoad && config.loaderAnnounceDelay == 0ms, c.silentLoad) << label;
        // Behind a router the loader's LOAD reply waits for the bus, unless it is lost anyway.
        const SimUpgradeConfig sub = SubModuleUpgradeConfig(config);
        EXPECT_EQ(sub.announceWhenAttached, !c.silentLoad) << label;
        EXPECT_FALSE(config.announceWhenAttached) << label;
    }
    SimUpgradeOptions untouched;
    EXPECT_FALSE(ParseUpgradeFault("refuse-prepare:1", &untouched));
    EXPECT_FALSE(ParseUpgradeFault("", &untouched));
    EXPECT_FALSE(untouched.refusePrepare);
}

TEST(ParseSimOptions, HelpIsNoted) {
    SimOptions options;
    EXPECT_EQ(ParseSimOptions({"--help"}, &options), "");
    EXPECT_TRUE(options.help);
}

}  // namespace
