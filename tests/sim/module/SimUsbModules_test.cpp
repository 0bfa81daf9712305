// The modules behind usb-sim: their options, and what each emulated device is answered by.
// (usb-sim itself, with the real Updater, runs in the end-to-end tests.)

#include "SimUsbModules.h"

#include <gtest/gtest.h>

#include "Process.h"
#include "SimTestSupport.h"
#include "aVersion.h"

namespace {

using namespace sim::tessaline;
using sim::usb::UsbDeviceConfig;
using sim::usb::UsbSimOptions;

UsbDeviceConfig sModule(const std::string& serial, uint16_t product) {
    UsbDeviceConfig config;
    config.serial = serial;
    config.productId = product;
    return config;
}

UsbSimOptions sOptions(std::vector<std::pair<std::string, std::string>> extra) {
    UsbSimOptions options;
    options.modules = {sModule("1A2B3C4D", 0x0104), sModule("D272031D", 4), sModule("xyz", 7)};
    options.extra = std::move(extra);
    return options;
}

TEST(SimUsbModules, ModulesTakeSerialModelAddressAndFirmware) {
    SimUsbModules modules;
    ASSERT_EQ(modules.Configure(
                  sOptions({{"--firmware", "1A2B3C4D:1.2.3:4567"}, {"--address", "1A2B3C4D:6"}})),
              "");
    for (const UsbDeviceConfig& config : sOptions({}).modules)
        EXPECT_NE(modules.Behaviour(config), nullptr) << config.serial;
    EXPECT_EQ(modules.Behaviour(sModule("00000001", 4)), nullptr);

    const SimModuleConfig first = modules.Device("1A2B3C4D")->module->Config();
    EXPECT_EQ(first.serialNumber, 0x1A2B3C4Du);
    EXPECT_EQ(first.model, 4);  // low byte of the product
    EXPECT_EQ(first.address, 6);
    EXPECT_EQ(first.firmwareVersion, aVersion_Pack(1, 2, 3));
    EXPECT_EQ(first.firmwareBuild, 4567u);
    EXPECT_EQ(modules.Device("xyz")->module->Config().serialNumber, 0u);  // not hex
    EXPECT_EQ(modules.Network("1A2B3C4D"), nullptr);
    EXPECT_TRUE(modules.Finish());
}

TEST(SimUsbModules, SubModulesMakeARouterAndTakeItsFirmwareUnlessTold) {
    SimUsbModules modules;
    ASSERT_EQ(modules.Configure(sOptions({{"--submodule", "D272031D:4:2181F0EE:13"},
                                          {"--submodule", "D272031D:8:B008:4"},
                                          {"--firmware", "B008:3.4.5:99"},
                                          {"--firmware", "D272031D:2.0.1:10"}})),
              "");
    ASSERT_NE(modules.Behaviour(sModule("D272031D", 4)), nullptr);

    SimRoutedNetwork* network = modules.Network("D272031D");
    ASSERT_NE(network, nullptr);
    ASSERT_EQ(network->SubModules().size(), 2u);
    const SimDevice& first = *network->SubModules()[0];
    const SimDevice& second = *network->SubModules()[1];
    EXPECT_EQ(first.module->Config().serialNumber, 0x2181F0EEu);
    EXPECT_EQ(first.module->Config().address, 4);
    EXPECT_EQ(first.module->Config().model, 13);
    EXPECT_EQ(first.module->Config().firmwareVersion, aVersion_Pack(2, 0, 1));
    EXPECT_EQ(first.module->Config().firmwareBuild, 10u);
    EXPECT_EQ(second.module->Config().firmwareVersion, aVersion_Pack(3, 4, 5));
    EXPECT_EQ(second.module->Config().firmwareBuild, 99u);
    EXPECT_EQ(first.system->Value(kSysRouter), 2u);  // the router's address
    EXPECT_EQ(
        modules.ReportLines(),
        (std::vector<std::string>{"D272031D route-to-host off route-to-me-sets 0 i2c-writes -",
                                  "2181F0EE route-to-host off route-to-me-sets 0",
                                  "0000B008 route-to-host off route-to-me-sets 0"}));
}

TEST(SimUsbModules, FinishWritesTheReportOfTheModulesBuilt) {
    testsupport::TempDir dir;
    SimUsbModules modules;
    ASSERT_EQ(modules.Configure(sOptions({{"--report", dir.path() + "/report.txt"}})), "");
    modules.Behaviour(sModule("1A2B3C4D", 4));

    EXPECT_TRUE(modules.Finish());
    EXPECT_EQ(testsupport::ReadFile(dir.path() + "/report.txt"),
              "1A2B3C4D route-to-host off route-to-me-sets 0\n");
}

TEST(SimUsbModules, BadOptionsAreNamed) {
    const struct {
        std::pair<std::string, std::string> option;
        const char* error;
    } cases[] = {
        {{"--firmware", "1A2B3C4D:1.2:5"},
         "--firmware: bad version or build in \"1A2B3C4D:1.2:5\""},
        {{"--firmware", "1A2B3C4D:1.2.3"},
         "--firmware: expected SERIAL:X.Y.Z:BUILD, got \"1A2B3C4D:1.2.3\""},
        {{"--firmware", "nope:1.2.3:4"}, "--firmware: no module \"nope\""},
        {{"--address", "1A2B3C4D:3"}, "--address: address must be even, 2 to 254, got \"3\""},
        {{"--address", "0000FFFF:4"}, "--address: no module \"0000FFFF\""},
        {{"--submodule", "D272031D:2:B002:4"},
         "--submodule: address must be even, 2 to 254, and not the router's, got \"2\""},
        {{"--submodule", "D272031D:4:0:4"},
         "--submodule: serial number must be 1 to 8 hex digits, not 0"},
        {{"--submodule", "D272031D:4:B004:256"}, "--submodule: model must be 0 to 255"},
        {{"--submodule", "D272031D:4:B004"},
         "--submodule: expected SERIAL:ADDRESS:SUB:MODEL, got \"D272031D:4:B004\""},
        {{"--report", ""}, "--report: needs a file name"},
    };
    for (const auto& c : cases) {
        SimUsbModules modules;
        EXPECT_EQ(modules.Configure(sOptions({c.option})), c.error);
    }
    SimUsbModules twice;
    EXPECT_EQ(twice.Configure(sOptions(
                  {{"--submodule", "D272031D:4:B004:4"}, {"--submodule", "D272031D:4:B005:4"}})),
              "--submodule: two modules at address 4");
}

}  // namespace
