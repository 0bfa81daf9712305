// A routing module's I2C entity and the routing of packets to and from its sub-modules.

#include "SimI2CRouter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "SimTestSupport.h"

namespace {

using namespace sim::tessaline;
using namespace std::chrono_literals;
using simtest::Bytes;
using simtest::Hex;

// A router at address 2 with sub-modules at 4 and 6 that answer command 0x30 with their address.
class SimI2CRouterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        router = std::make_shared<SimModule>();
        router->Attach(host.Sink());
        bus = std::make_unique<SimI2CRouter>(router, [this] { return routing.load(); });
        for (uint8_t address : {4, 6}) {
            SimModuleConfig config;
            config.address = address;
            auto sub = std::make_shared<SimModule>(config);
            sub->SetRequestHandler(0x30, [](SimModule& m, const SimPacket& packet) {
                m.Send(SimPacket{packet.address, {0x30, m.Config().address}});
            });
            ASSERT_EQ(bus->AddSubModule(sub), aErrNone);
            subs.push_back(sub);
        }
    }

    // Everything that comes back for the packets in `hex`, once the router and the sub-modules
    // have dealt with them.
    std::string Exchange(const std::string& hex) {
        host.Clear();
        std::vector<uint8_t> bytes = Bytes(hex);
        router->Receive(bytes.data(), bytes.size());
        for (int round = 0; round < 2; ++round) {
            EXPECT_TRUE(router->WaitIdle(10s));
            for (auto& sub : subs) EXPECT_TRUE(sub->WaitIdle(10s));
        }
        EXPECT_TRUE(router->WaitIdle(10s));
        return Hex(host.Bytes());
    }

    simtest::ByteRecorder host;
    std::atomic<bool> routing{false};
    std::shared_ptr<SimModule> router;
    std::vector<std::shared_ptr<SimModule>> subs;
    std::unique_ptr<SimI2CRouter> bus;
};

struct I2CCase {
    const char* name;
    const char* request;
    const char* reply;
};

class SimI2CRouterRequests : public SimI2CRouterTest,
                             public ::testing::WithParamInterface<I2CCase> {};

TEST_P(SimI2CRouterRequests, AnswersByteForByte) {
    EXPECT_EQ(Exchange(GetParam().request), GetParam().reply);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, SimI2CRouterRequests,
    ::testing::Values(I2CCase{"ProbeOfPresentModuleIsAcknowledged", "02 07 08 00 04 02 03 00 00",
                              "02 05 08 00 04 00 00"},
                      I2CCase{"ProbeOfEmptyAddressIsNotAcknowledged", "02 07 08 00 08 02 03 00 00",
                              "02 05 08 00 08 00 83"},
                      I2CCase{"ProbeOfRouterItselfIsNotAcknowledged", "02 07 08 00 02 02 03 00 00",
                              "02 05 08 00 02 00 83"},
                      I2CCase{"ReadOfUnwrittenMemoryGivesZeros", "02 05 08 00 05 03 03",
                              "02 08 08 00 05 03 00 00 00 00"},
                      I2CCase{"ReadOfEmptyAddress", "02 05 08 00 09 03 03", "02 05 08 00 09 00 83"},
                      I2CCase{"TooLongRead", "02 05 08 00 05 18 03", "02 05 08 00 05 00 8E"},
                      I2CCase{"WriteLengthDisagreesWithData", "02 06 08 00 04 02 03 00",
                              "02 05 08 00 04 00 8E"},
                      I2CCase{"OtherIndex", "02 07 08 01 04 02 03 00 00", "02 05 08 01 04 00 9C"},
                      I2CCase{"PullupOn", "02 04 08 00 01 01", "02 05 08 00 01 01 00"}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_F(SimI2CRouterTest, WriteStoresMemoryThatAReadReturns) {
    EXPECT_EQ(Exchange("02 07 08 00 06 02 01 AA BB"), "02 05 08 00 06 00 00");
    EXPECT_EQ(Exchange("02 05 08 00 07 03 01"), "02 08 08 00 07 03 00 AA BB 00");
    EXPECT_EQ(bus->Writes(), (std::vector<uint8_t>{6}));
    EXPECT_EQ(bus->LastSpeed(), std::optional<uint8_t>(1));
    Exchange("02 04 08 00 01 00");
    EXPECT_EQ(bus->Pullup(), std::optional<bool>(false));
}

TEST_F(SimI2CRouterTest, PacketsReachSubModulesOnlyWhileRouting) {
    EXPECT_EQ(Exchange("04 01 30"), "");
    EXPECT_EQ(bus->Dropped(), 1u);
    routing = true;
    // The two sub-modules answer independently, in either order.
    const std::string both = Exchange("04 01 30 06 01 30");
    EXPECT_TRUE(both == "04 02 30 04 06 02 30 06" || both == "06 02 30 06 04 02 30 04") << both;
    EXPECT_EQ(bus->Forwarded(), 2u);
    EXPECT_EQ(bus->Returned(), 2u);
    // No sub-module at 8: dropped, like everything while routing is off.
    EXPECT_EQ(Exchange("08 01 30"), "");
    EXPECT_EQ(bus->Dropped(), 2u);
}

TEST_F(SimI2CRouterTest, SubModuleOutputIsDiscardedWhileNotRouting) {
    SimModuleConfig config;
    config.address = 4;
    ASSERT_EQ(bus->AddSubModule(std::make_shared<SimModule>(config)), aErrDuplicate);
    subs[0]->Send(SimPacket{4, {0x31}});
    ASSERT_TRUE(subs[0]->WaitIdle(10s));
    EXPECT_EQ(Hex(host.Bytes()), "");
    routing = true;
    subs[0]->Send(SimPacket{4, {0x31}});
    ASSERT_TRUE(subs[0]->WaitIdle(10s));
    ASSERT_TRUE(router->WaitIdle(10s));
    EXPECT_EQ(Hex(host.Bytes()), "04 01 31");
}

TEST_F(SimI2CRouterTest, RemovedSubModuleIsGoneFromTheBus) {
    bus->RemoveSubModule(4);
    EXPECT_FALSE(subs[0]->IsAttached());
    EXPECT_EQ(Exchange("02 07 08 00 04 02 03 00 00"), "02 05 08 00 04 00 83");
}

TEST_F(SimI2CRouterTest, RefusesTheRouterAddressAndNull) {
    EXPECT_EQ(bus->AddSubModule(nullptr), aErrParam);
    EXPECT_EQ(bus->AddSubModule(std::make_shared<SimModule>()), aErrParam);  // address 2
}

TEST_F(SimI2CRouterTest, TeardownWhileSubModulesTalkIsClean) {
    routing = true;
    for (auto& sub : subs) {
        sub->UpdateConfig([](SimModuleConfig& c) { c.heartbeatInterval = 1ms; });
    }
    std::vector<uint8_t> burst;
    for (int i = 0; i < 200; ++i) {
        for (uint8_t b : Bytes("04 01 30 06 01 30")) burst.push_back(b);
    }
    router->Receive(burst.data(), burst.size());
    bus.reset();
    EXPECT_FALSE(subs[0]->IsAttached());
    EXPECT_FALSE(subs[1]->IsAttached());
}

}  // namespace
