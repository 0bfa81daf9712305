// The discover command's operations and helpers against simulated modules: over TCP on loopback
// for the helpers, and over TCP/IP discovery on the far side of a veth pair (private network
// namespaces) for the operations, where the simulated router can be inspected afterwards.

#include "UpdaterDiscovery.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "CaptureDisplay.h"
#include "LogCapture.h"
#include "NetNamespace.h"
#include "SimDevice.h"
#include "SimDiscoveryResponder.h"
#include "SimTcpServer.h"
#include "aVersion.h"

namespace {

using namespace sim::tessaline;
using Quillmet::TessaLine::aWeaveConfig;
using Quillmet::TessaLine::aWeaveLoopbackInterface;
using Quillmet::TessaLine::Module;
using testsupport::CaptureDisplay;
using testsupport::LogCapture;
using testsupport::PrivateNetwork;

linkSpec TcpSpec(uint32_t address, uint16_t port, uint32_t serial = 0) {
    linkSpec spec{};
    spec.type = TCPIP;
    spec.serialNumber = serial;
    spec.t.ip.ipAddress = address;
    spec.t.ip.ipPort = port;
    return spec;
}

SimModuleConfig Config(uint32_t serial, uint8_t model, uint8_t address = 2) {
    SimModuleConfig config;
    config.serialNumber = serial;
    config.model = model;
    config.address = address;
    config.firmwareVersion = aVersion_Pack(1, 2, 3);
    config.firmwareBuild = 4567;
    return config;
}

// --- Enumeration callbacks --------------------------------------------------------------------

TEST(DiscoveredDevice, AppendsACopyAndGoesOn) {
    std::list<DeviceInfo> devices;
    linkSpec spec = TcpSpec(0x0100007F, 5000, 0x1A2B3C4D);
    spec.model = 13;
    bool success = false;

    EXPECT_TRUE(_discovered_device(&spec, &success, &devices));
    spec.serialNumber = 0x0000ABCD;
    EXPECT_TRUE(_discovered_device(&spec, &success, &devices));

    EXPECT_TRUE(success);
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices.front().spec.serialNumber, 0x1A2B3C4Du);
    EXPECT_EQ(devices.front().spec.model, 13u);
    EXPECT_EQ(devices.front().spec.t.ip.ipPort, 5000u);
    EXPECT_EQ(devices.back().spec.serialNumber, 0x0000ABCDu);
    EXPECT_EQ(devices.front().build, 0u);
    EXPECT_EQ(devices.front().error, 0);
}

TEST(DiscoveredLink, StopsAtTheWantedSerialAndLogsTheLinkType) {
    struct Case {
        uint32_t offered;
        linkType type;
        bool goesOn;
        linkType recorded;
        const char* log;
    };
    const Case cases[] = {
        {0x0000ABCD, USB, true, INVALID, ""},
        {0xD272031D, USB, false, USB, "NETWORK: Found device [D272031D] via link type [1]\n"},
        {0xD272031D, TCPIP, false, TCPIP, "NETWORK: Found device [D272031D] via link type [2]\n"},
    };
    for (const Case& c : cases) {
        LogCapture log(DEBUG_NetworkLink);
        DiscoveredLinkContext context;
        context.serial = 0xD272031D;
        linkSpec spec{};
        spec.type = c.type;
        spec.serialNumber = c.offered;
        bool success = false;

        EXPECT_EQ(_discovered_link(&spec, &success, &context), c.goesOn) << c.offered;
        EXPECT_TRUE(success);
        EXPECT_EQ(context.type, c.recorded);
        EXPECT_EQ(log.Text(), c.log);
    }
}

// --- Helpers against one module on loopback ---------------------------------------------------

class DiscoveryHelpers : public ::testing::Test {
  protected:
    void SetUp() override {
        device_ = MakeSimDevice(Config(0x1A2B3C4D, 4, 6));
        device_.system->SetValue(kSysRouter, 10);
        server_ = std::make_unique<SimTcpServer>(device_.module);
        ASSERT_EQ(server_->Start(), aErrNone);
    }

    // A module connected as the discover command connects it.
    std::unique_ptr<Module> Connect() {
        auto module = std::make_unique<Module>(2, 0);
        EXPECT_EQ(_disableWeave(*module, display_), aErrNone);
        EXPECT_EQ(module->connectFromSpec(TcpSpec(htonl(INADDR_LOOPBACK), server_->Port())),
                  aErrNone);
        return module;
    }

    CaptureDisplay display_;
    SimDevice device_;
    std::unique_ptr<SimTcpServer> server_;
};

TEST_F(DiscoveryHelpers, DisableWeaveSwitchesNetworkingOffOrSaysWhyNot) {
    Module module(2, 0);
    EXPECT_EQ(_disableWeave(module, display_), aErrNone);
    aWeaveConfig config;
    ASSERT_EQ(module.getConfig(&config), aErrNone);
    EXPECT_FALSE(config.enabled);
    EXPECT_FALSE(config.fallback);
    EXPECT_TRUE(config.localOnly);
    EXPECT_EQ(config.port, 0);
    EXPECT_EQ(config.networkInterface, aWeaveLoopbackInterface);
    EXPECT_TRUE(display_.errors.empty());

    std::unique_ptr<Module> connected = Connect();
    EXPECT_EQ(_disableWeave(*connected, display_), aErrMode);
    EXPECT_EQ(display_.errors, std::vector<std::string>{"Failed to SET network configuration"});
}

TEST_F(DiscoveryHelpers, BuildAndVersionComeFromTheModule) {
    std::unique_ptr<Module> module = Connect();
    DeviceInfo info;

    EXPECT_EQ(_get_build_number(*module), 4567u);
    EXPECT_EQ(_get_version(*module, info), aErrNone);

    EXPECT_EQ(info.version_major, 1);
    EXPECT_EQ(info.version_minor, 2);
    EXPECT_EQ(info.version_patch, 3u);
    EXPECT_EQ(info.spec.module, 6u);  // learned by the module, then read from it
    EXPECT_EQ(info.spec.router, 10u);
}

TEST_F(DiscoveryHelpers, VersionStopsAtTheFirstRefusal) {
    struct Case {
        uint8_t option;
        bool versionSet;
        bool moduleSet;
    };
    const Case cases[] = {
        {kSysVersion, false, false}, {kSysModule, true, false}, {kSysRouter, true, true}};
    std::unique_ptr<Module> module = Connect();
    for (const Case& c : cases) {
        device_.system->SetError(c.option, aErrBusy);
        const uint64_t before = device_.system->Requests();
        DeviceInfo info;

        EXPECT_EQ(_get_version(*module, info), aErrBusy) << int(c.option);

        EXPECT_EQ(info.version_minor, c.versionSet ? 2 : 0) << int(c.option);
        EXPECT_EQ(info.spec.module, c.moduleSet ? 6u : 0u) << int(c.option);
        EXPECT_EQ(info.spec.router, 0u) << int(c.option);
        // Nothing is asked after the refusal.
        EXPECT_EQ(device_.system->Requests() - before,
                  1u + (c.versionSet ? 1 : 0) + (c.moduleSet ? 1 : 0))
            << int(c.option);
        device_.system->SetError(c.option, aErrNone);
    }
}

TEST(DiscoveryHelpersBuild, IsZeroWhenTheModuleDoesNotAnswer) {
    // A module with a system entity but no module-information requests.
    auto module = std::make_shared<SimModule>(Config(0x1A2B3C4D, 4));
    SimSystemEntity::Install(*module);
    SimTcpServer server(module);
    ASSERT_EQ(server.Start(), aErrNone);
    CaptureDisplay display;
    Module host(2, 0);
    ASSERT_EQ(_disableWeave(host, display), aErrNone);
    ASSERT_EQ(host.connectFromSpec(TcpSpec(htonl(INADDR_LOOPBACK), server.Port())), aErrNone);

    EXPECT_EQ(_get_build_number(host), 0u);

    Module never(2, 0);
    EXPECT_EQ(_get_build_number(never), 0u);  // not connected
}

// --- Operations over TCP/IP discovery ---------------------------------------------------------

// A simulated module (or router with its network) on far side 0, reached over TCP at the far
// address and answering discovery there.
struct FarDevice {
    SimDevice device;
    std::unique_ptr<SimRoutedNetwork> network;
    std::unique_ptr<SimTcpServer> server;
    std::unique_ptr<SimDiscoveryResponder> responder;
};

class DiscoveryOperations : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string why = PrivateNetwork::Unavailable();
        if (!why.empty()) GTEST_SKIP() << why;
        net_ = std::make_unique<PrivateNetwork>();
        net_->AddFarSide();
        updater_ = std::make_unique<Updater>("http://127.0.0.1:1/cgi/u", "unused", display_);
    }
    void TearDown() override {
        devices_.clear();
        net_.reset();
    }

    FarDevice& Add(const SimModuleConfig& config, const std::vector<SimModuleConfig>& subs = {}) {
        FarDevice far;
        if (subs.empty()) {
            far.device = MakeSimDevice(config);
        } else {
            far.network = std::make_unique<SimRoutedNetwork>(config);
            far.device = far.network->Router();
            for (const SimModuleConfig& sub : subs) {
                SimDevice* added = far.network->AddSubModule(sub);
                EXPECT_NE(added, nullptr);
                if (added) added->system->SetValue(kSysRouter, config.address);
            }
        }
        far.server = std::make_unique<SimTcpServer>(far.device.module);
        net_->RunOnFarSide(0, [&] {
            in_addr at{};
            inet_pton(AF_INET, PrivateNetwork::FarAddress(0).c_str(), &at);
            ASSERT_EQ(far.server->Start(0, ntohl(at.s_addr)), aErrNone);
            far.responder =
                std::make_unique<SimDiscoveryResponder>(far.device.module, far.server->Port());
            ASSERT_EQ(far.responder->Start(PrivateNetwork::FarAddress(0)), aErrNone);
        });
        devices_.push_back(std::move(far));
        return devices_.back();
    }

    static uint32_t FarAddress() {
        in_addr at{};
        inet_pton(AF_INET, PrivateNetwork::FarAddress(0).c_str(), &at);
        return at.s_addr;
    }

    std::unique_ptr<PrivateNetwork> net_;
    CaptureDisplay display_;
    std::unique_ptr<Updater> updater_;
    std::deque<FarDevice> devices_;  // references stay valid as devices are added
};

TEST_F(DiscoveryOperations, DirectDiscoveryListsEveryModuleWithItsFirmware) {
    Add(Config(0x1A2B3C4D, 4));
    FarDevice& refusing = Add(Config(0x0000ABCD, 13, 4));
    refusing.server->StopListening();  // answers discovery, refuses the connection

    std::list<DeviceInfo> devices = updater_->Discover_Devices(TCPIP);

    ASSERT_EQ(devices.size(), 2u);
    devices.sort([](const DeviceInfo& a, const DeviceInfo& b) {
        return a.spec.serialNumber < b.spec.serialNumber;
    });
    const DeviceInfo& refused = devices.front();
    EXPECT_EQ(refused.spec.serialNumber, 0x0000ABCDu);
    EXPECT_NE(refused.error, 0);
    EXPECT_EQ(refused.build, 0u);
    EXPECT_EQ(refused.model_name, "Dolomite");
    const DeviceInfo& good = devices.back();
    EXPECT_EQ(good.spec.type, TCPIP);
    EXPECT_EQ(good.spec.serialNumber, 0x1A2B3C4Du);
    EXPECT_EQ(good.spec.t.ip.ipAddress, FarAddress());
    EXPECT_EQ(good.error, 0);
    EXPECT_EQ(good.build, 4567u);
    EXPECT_EQ(good.version_major, 1);
    EXPECT_EQ(good.version_minor, 2);
    EXPECT_EQ(good.version_patch, 3u);
    EXPECT_EQ(good.model_name, "Beryl");
    EXPECT_EQ(good.network_address, 0);
    EXPECT_TRUE(display_.errors.empty());
}

TEST_F(DiscoveryOperations, RoutedDiscoveryListsTheNetworkAndLeavesTheRouterUnrouted) {
    SimModuleConfig bad = Config(0x0000B00A, 5, 10);
    SimModuleConfig noModel = Config(0x0000B00C, 5, 12);
    FarDevice& router = Add(Config(0xD272031D, 4, 6),
                            {Config(0x2181F0EE, 13, 2), Config(0x0000B004, 17, 252), bad, noModel});
    router.network->SubModules()[2]->system->SetError(kSysSerialNumber, aErrBusy);
    router.network->SubModules()[3]->system->SetError(kSysModel, aErrTimeout);
    LogCapture log(DEBUG_Updater);

    std::list<DeviceInfo> devices = updater_->Discover_TLNetwork_Devices(0xD272031D, INVALID);

    ASSERT_EQ(devices.size(), 3u);  // the one without a serial number is left out
    auto it = devices.begin();
    const DeviceInfo& first = *it++;
    EXPECT_EQ(first.spec.type, TCPIP);
    EXPECT_EQ(first.spec.serialNumber, 0x2181F0EEu);
    EXPECT_EQ(first.spec.routerSerialNumber, 0xD272031Du);
    EXPECT_EQ(first.spec.module, 2u);
    EXPECT_EQ(first.spec.router, 6u);
    EXPECT_EQ(first.spec.model, 13u);
    EXPECT_EQ(first.spec.t.ip.ipAddress, FarAddress());
    EXPECT_EQ(first.network_address, 2);
    EXPECT_EQ(first.model_name, "Dolomite");
    EXPECT_EQ(first.build, 4567u);
    EXPECT_EQ(first.error, 0);
    const DeviceInfo& modelless = *it++;
    EXPECT_EQ(modelless.spec.serialNumber, 0x0000B00Cu);
    EXPECT_EQ(modelless.error, aErrTimeout);
    const DeviceInfo& last = *it;
    EXPECT_EQ(last.spec.serialNumber, 0x0000B004u);
    EXPECT_EQ(last.network_address, 252);
    EXPECT_EQ(last.model_name, "Jasper");

    // Every even address but the router's own was probed once, in order; routing ends off.
    std::vector<uint8_t> expected;
    for (unsigned a = 2; a <= 252; a += 2)
        if (a != 6) expected.push_back(static_cast<uint8_t>(a));
    EXPECT_EQ(router.network->Bus().Writes(), expected);
    EXPECT_EQ(router.network->Bus().LastSpeed(), 3);
    EXPECT_FALSE(router.device.system->RouteToHost());
    EXPECT_EQ(router.device.system->SetCount(kSysRouteToMe), 2u);
    EXPECT_NE(log.Text().find("Searching Address 0x04\nSearching Address 0x08\n"),
              std::string::npos);
    EXPECT_EQ(log.Text().find("Searching Address 0x06"), std::string::npos);
    EXPECT_NE(log.Text().find("Attempt Connect on address: 0x02\nGot Serial [0x2181F0EE]\n"),
              std::string::npos);
    EXPECT_TRUE(display_.errors.empty());
}

TEST_F(DiscoveryOperations, RouterFailuresSayWhatFailedAndListNothing) {
    FarDevice& refusing = Add(Config(0xD272031D, 4, 6), {Config(0x2181F0EE, 13, 2)});
    refusing.device.system->SetError(kSysRouteToMe, aErrBusy);

    EXPECT_TRUE(updater_->Discover_TLNetwork_Devices(0xD272031D, TCPIP).empty());
    EXPECT_EQ(display_.errors, std::vector<std::string>{"Error 5 on route to me"});
    EXPECT_TRUE(refusing.network->Bus().Writes().empty());

    display_.errors.clear();
    refusing.server->StopListening();
    EXPECT_TRUE(updater_->Discover_TLNetwork_Devices(0xD272031D, TCPIP).empty());
    ASSERT_EQ(display_.errors.size(), 1u);
    EXPECT_EQ(display_.errors[0].rfind("Error ", 0), 0u);
    EXPECT_NE(display_.errors[0].find(" on connectFromSpec"), std::string::npos);
}

TEST_F(DiscoveryOperations, AnUnknownRouterGivesAnEmptyListAndNoMessage) {
    Add(Config(0x1A2B3C4D, 4));

    EXPECT_TRUE(updater_->Discover_TLNetwork_Devices(0x0BADBEEF, INVALID).empty());
    EXPECT_TRUE(display_.errors.empty());
    EXPECT_TRUE(display_.info.empty());
}

}  // namespace
