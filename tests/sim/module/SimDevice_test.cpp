// Complete simulated modules and a routed network assembled from them.

#include "SimDevice.h"

#include <gtest/gtest.h>

#include "SimTestSupport.h"

namespace {

using namespace sim::tessaline;
using namespace std::chrono_literals;
using simtest::Bytes;
using simtest::Hex;

std::string sExchange(SimModule& module, simtest::ByteRecorder& host, const std::string& hex,
                      const std::vector<SimModule*>& others = {}) {
    host.Clear();
    std::vector<uint8_t> bytes = Bytes(hex);
    module.Receive(bytes.data(), bytes.size());
    for (int round = 0; round < 2; ++round) {
        EXPECT_TRUE(module.WaitIdle(10s));
        for (SimModule* other : others) EXPECT_TRUE(other->WaitIdle(10s));
    }
    EXPECT_TRUE(module.WaitIdle(10s));
    return Hex(host.Bytes());
}

TEST(SimDeviceTest, SeveralDevicesEachAnswerWithTheirOwnIdentity) {
    struct Identity {
        uint32_t serial;
        uint8_t model;
        const char* serialReply;
    };
    const Identity identities[] = {{0x11111111, 0x04, "02 07 03 09 00 11 11 11 11"},
                                   {0x22222222, 0x13, "02 07 03 09 00 22 22 22 22"}};
    std::vector<SimDevice> devices;
    std::vector<std::unique_ptr<simtest::ByteRecorder>> hosts;
    for (const Identity& identity : identities) {
        SimModuleConfig config;
        config.serialNumber = identity.serial;
        config.model = identity.model;
        devices.push_back(MakeSimDevice(config));
        hosts.push_back(std::make_unique<simtest::ByteRecorder>());
        devices.back().module->Attach(hosts.back()->Sink());
    }
    devices[1].system->SetBusy(true);
    EXPECT_EQ(sExchange(*devices[0].module, *hosts[0], "02 03 03 49 20"),
              identities[0].serialReply);
    EXPECT_EQ(sExchange(*devices[1].module, *hosts[1], "02 03 03 49 20"), "02 04 03 09 80 05");
    devices[1].system->SetBusy(false);
    EXPECT_EQ(sExchange(*devices[1].module, *hosts[1], "02 03 03 49 20"),
              identities[1].serialReply);
    EXPECT_EQ(sExchange(*devices[1].module, *hosts[1], "02 03 17 AA 55"), "02 03 17 AA 55");
}

TEST(SimDeviceTest, CatalogueFollowsTheSystemEntityTable) {
    simtest::ByteRecorder host;
    SimDevice device = MakeSimDevice({});
    device.module->Attach(host.Sink());
    EXPECT_EQ(sExchange(*device.module, host, "02 06 49 01 03 2D 00 40"),
              "02 06 49 01 03 2D 00 00");
    device.system->RemoveOption(kSysProtocolFeatures);
    EXPECT_EQ(sExchange(*device.module, host, "02 06 49 01 03 2D 00 40"),
              "02 06 49 01 03 2D 00 1D");
    EXPECT_EQ(sExchange(*device.module, host, "02 03 49 04 03"), "02 04 49 04 03 01");
}

TEST(SimRoutedNetworkTest, SubModuleAnswersThroughTheRouterOnceRoutedToTheHost) {
    SimModuleConfig routerConfig;
    routerConfig.serialNumber = 0x0000A000;
    SimRoutedNetwork network(routerConfig);
    SimModuleConfig subConfig;
    subConfig.serialNumber = 0x0000B004;
    subConfig.model = 0x0D;
    subConfig.address = 4;
    SimDevice* sub = network.AddSubModule(subConfig);
    ASSERT_NE(sub, nullptr);
    EXPECT_EQ(network.AddSubModule(subConfig), nullptr);

    simtest::ByteRecorder host;
    SimModule& router = *network.Router().module;
    router.Attach(host.Sink());
    const std::vector<SimModule*> others{sub->module.get()};
    EXPECT_EQ(sExchange(router, host, "02 03 49 04 08"), "02 04 49 04 08 01");
    EXPECT_EQ(sExchange(router, host, "02 07 08 00 04 02 03 00 00"), "02 05 08 00 04 00 00");
    EXPECT_EQ(sExchange(router, host, "04 03 03 49 20", others), "");
    EXPECT_EQ(sExchange(router, host, "02 04 03 94 20 01"), "02 04 03 D4 00 01");
    EXPECT_EQ(sExchange(router, host, "04 03 03 49 20", others), "04 07 03 09 00 00 00 B0 04");
    EXPECT_EQ(sExchange(router, host, "04 03 03 41 20", others), "04 04 03 01 00 04");
    EXPECT_EQ(sExchange(router, host, "04 03 03 42 20", others), "04 04 03 02 00 02");
}

}  // namespace
