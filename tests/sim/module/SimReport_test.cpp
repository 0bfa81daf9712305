// Report lines of simulated modules, as the simulator programs write them at the end.

#include "SimReport.h"

#include <gtest/gtest.h>

#include "Process.h"
#include "SimTestSupport.h"

namespace {

using namespace sim::tessaline;
using namespace std::chrono_literals;
using simtest::Bytes;

void sFeed(SimModule& module, const std::string& hex) {
    std::vector<uint8_t> bytes = Bytes(hex);
    module.Receive(bytes.data(), bytes.size());
    EXPECT_TRUE(module.WaitIdle(10s));
}

TEST(SimReportLine, APlainModuleShowsItsRoutingState) {
    SimModuleConfig config;
    config.serialNumber = 0x0000ABCD;
    SimDevice device = MakeSimDevice(config);
    simtest::ByteRecorder host;
    device.module->Attach(host.Sink());

    EXPECT_EQ(SimReportLine(device, nullptr), "0000ABCD route-to-host off route-to-me-sets 0");
    sFeed(*device.module, "02 04 03 94 20 01");  // routeToMe(1)
    EXPECT_EQ(SimReportLine(device, nullptr), "0000ABCD route-to-host on route-to-me-sets 1");
}

TEST(SimReportLine, ARouterAddsTheI2CWritesInOrder) {
    SimModuleConfig config;
    config.serialNumber = 0xD272031D;
    config.address = 6;
    SimRoutedNetwork network(config);
    simtest::ByteRecorder host;
    SimModule& router = *network.Router().module;
    router.Attach(host.Sink());
    EXPECT_EQ(SimReportLine(network.Router(), &network.Bus()),
              "D272031D route-to-host off route-to-me-sets 0 i2c-writes -");

    sFeed(router, "06 04 03 94 20 01");           // routeToMe(1)
    sFeed(router, "06 07 08 00 04 02 03 00 00");  // probe 4
    sFeed(router, "06 07 08 00 FC 02 03 00 00");  // probe 252
    sFeed(router, "06 04 03 94 20 00");           // routeToMe(0)

    EXPECT_EQ(SimReportLine(network.Router(), &network.Bus()),
              "D272031D route-to-host off route-to-me-sets 2 i2c-writes 4,252");
}

TEST(SimWriteReport, WritesOneLinePerEntryAndTellsWhenItCannot) {
    testsupport::TempDir dir;
    const std::string path = dir.path() + "/report.txt";

    EXPECT_TRUE(SimWriteReport(path, {"first", "second"}));
    EXPECT_EQ(testsupport::ReadFile(path), "first\nsecond\n");
    EXPECT_TRUE(SimWriteReport(path, {}));
    EXPECT_EQ(testsupport::ReadFile(path), "");
    EXPECT_FALSE(SimWriteReport(dir.path() + "/missing/report.txt", {"x"}));
}

}  // namespace
