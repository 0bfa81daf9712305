// The discover command (-D) of the Updater program against simulated modules: on the emulated
// USB bus (usb-sim), and over TCP/IP with tessaline-sim modules on the far side of a veth pair
// in private network namespaces. Compares console text and exit status, and what the simulated
// router saw (its report file).

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "E2eSupport.h"

using e2e::FarSim;
using e2e::kBinDir;
using e2e::kVersionLine;
using e2e::Lines;
using testsupport::PrivateNetwork;
using testsupport::ProcessResult;
using testsupport::ReadFile;
using testsupport::RunProcess;
using testsupport::TempDir;

namespace {

const std::string kSearching = "Searching for TessaLine devices";
const std::string kUsbHeader =
    "    Device    Module   Router  Model          Firmware Version (Build)";
const std::string kIpHeader = kUsbHeader + "   [IP address]";
const std::string kNoDevices = "    No devices found.";
const std::string kRouter = "D272031D";

// The console output of a discovery: the fixed lines in order, then the device lines in any
// order (they come in the order the transport lists the modules).
struct Listing {
    std::vector<std::string> head;
    std::vector<std::string> devices;
};

Listing Split(const std::string& out, size_t headLines) {
    std::vector<std::string> lines = Lines(out);
    Listing listing;
    for (size_t i = 0; i < lines.size(); ++i)
        (i < headLines ? listing.head : listing.devices).push_back(lines[i]);
    std::sort(listing.devices.begin(), listing.devices.end());
    return listing;
}

std::vector<std::string> Sorted(std::vector<std::string> lines) {
    std::sort(lines.begin(), lines.end());
    return lines;
}

std::string RoutedSearch(const std::string& router) {
    return "Searching for TessaLine Network devices connected to " + router;
}

// The report line of the router at address `own` after a routed discovery: routing switched on
// and off again, and every even address from 2 to 252 but its own probed once, in order.
std::string RouterAfterDiscovery(const std::string& serial, unsigned own) {
    std::string writes;
    for (unsigned a = 2; a <= 252; a += 2)
        if (a != own) writes += (writes.empty() ? "" : ",") + std::to_string(a);
    return serial + " route-to-host off route-to-me-sets 2 i2c-writes " + writes;
}

class DiscoverCommand : public ::testing::Test {
  protected:
    // The Updater with `args` and a private store, run under usb-sim with `bus` (none: directly).
    ProcessResult Updater(const std::vector<std::string>& args,
                          const std::vector<std::string>& bus = {}) {
        std::vector<std::string> argv;
        if (!bus.empty()) {
            argv = {kBinDir + "/usb-sim"};
            argv.insert(argv.end(), bus.begin(), bus.end());
            argv.push_back("--");
        }
        argv.push_back(UPDATER_BIN);
        argv.insert(argv.end(), args.begin(), args.end());
        argv.insert(argv.end(), {"-i", store_.path()});
        return RunProcess(argv, {{"HOME", store_.path()}}, std::chrono::seconds(120));
    }

    std::string ReportPath() const { return scratch_.path() + "/report.txt"; }

    TempDir store_;
    TempDir scratch_;
};

// --- USB ----------------------------------------------------------------------------------------

TEST_F(DiscoverCommand, UsbListsEveryModuleAndTheBusyOneAsAnError) {
    ProcessResult r =
        Updater({"-D"}, {"--module", "1A2B3C4D:4", "--module", "0000ABCD:13", "--module",
                         "00C0FFEE:17", "--busy", "00C0FFEE", "--firmware", "1A2B3C4D:1.2.3:4567"});

    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    Listing listing = Split(r.out, 4);
    EXPECT_EQ(listing.head, (std::vector<std::string>{kVersionLine, kSearching,
                                                      "Discovered Devices: (USB)", kUsbHeader}));
    EXPECT_EQ(listing.devices,
              Sorted({"    1A2B3C4D  02       02      Beryl          1.2.3 (4567)",
                      "    0000ABCD  02       02      Dolomite       2.11.2 (1)",
                      "    00C0FFEE  [Error (25): Is someone else connected to this device?]"}));
}

TEST_F(DiscoverCommand, UsbWithoutModulesFindsNone) {
    ProcessResult r = Updater({"-D", "-t", "USB"}, {"--report", ReportPath()});  // empty bus

    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(Lines(r.out), (std::vector<std::string>{kVersionLine, kSearching,
                                                      "Discovered Devices: (USB)", kNoDevices}));
}

struct RoutedUsbCase {
    const char* name;
    std::vector<std::string> transport;  // -t option, if any
    std::string heading;
    std::string header;
};

void PrintTo(const RoutedUsbCase& c, std::ostream* os) {
    *os << c.name;
}

class RoutedOverUsb : public DiscoverCommand,
                      public ::testing::WithParamInterface<RoutedUsbCase> {};

TEST_P(RoutedOverUsb, ListsTheNetworkBehindTheRouterAndUnroutesIt) {
    std::vector<std::string> args = {"-D", "-r", kRouter};
    args.insert(args.end(), GetParam().transport.begin(), GetParam().transport.end());
    ProcessResult r = Updater(
        args, {"--module", kRouter + ":4", "--module", "1A2B3C4D:4", "--address", kRouter + ":6",
               "--submodule", kRouter + ":2:2181F0EE:13", "--submodule", kRouter + ":8:B008:4",
               "--firmware", "2181F0EE:3.4.5:99", "--report", ReportPath()});

    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(Lines(r.out),
              (std::vector<std::string>{
                  kVersionLine, RoutedSearch(kRouter), GetParam().heading, GetParam().header,
                  "    2181F0EE  02       06      Dolomite       3.4.5 (99)",
                  "    0000B008  08       06      Beryl          2.11.2 (1)"}));
    EXPECT_EQ(Lines(ReadFile(ReportPath())),
              (std::vector<std::string>{RouterAfterDiscovery(kRouter, 6),
                                        "2181F0EE route-to-host off route-to-me-sets 0",
                                        "0000B008 route-to-host off route-to-me-sets 0",
                                        "1A2B3C4D route-to-host off route-to-me-sets 0"}));
}

INSTANTIATE_TEST_SUITE_P(
    Transports, RoutedOverUsb,
    ::testing::Values(RoutedUsbCase{"Usb", {"-t", "USB"}, "Discovered Devices: (USB)", kUsbHeader},
                      // Without -t the router's transport is searched for; the listing names none.
                      RoutedUsbCase{"Found", {}, "Discovered Devices: (Unknown)", kIpHeader}),
    [](const auto& info) { return std::string(info.param.name); });

struct MissingRouterCase {
    const char* name;
    std::vector<std::string> transport;
    std::string heading;
};

void PrintTo(const MissingRouterCase& c, std::ostream* os) {
    *os << c.name;
}

class MissingRouter : public DiscoverCommand,
                      public ::testing::WithParamInterface<MissingRouterCase> {};

TEST_P(MissingRouter, GivesAnEmptyListAndNoMessage) {
    std::vector<std::string> args = {"-D", "-r", "0BADBEEF"};
    args.insert(args.end(), GetParam().transport.begin(), GetParam().transport.end());
    ProcessResult r = Updater(args, {"--module", kRouter + ":4", "--submodule",
                                     kRouter + ":4:2181F0EE:13", "--report", ReportPath()});

    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(Lines(r.out), (std::vector<std::string>{kVersionLine, RoutedSearch("0BADBEEF"),
                                                      GetParam().heading, kNoDevices}));
    // The router that is there was left alone.
    EXPECT_EQ(
        Lines(ReadFile(ReportPath())),
        (std::vector<std::string>{kRouter + " route-to-host off route-to-me-sets 0 i2c-writes -",
                                  "2181F0EE route-to-host off route-to-me-sets 0"}));
}

INSTANTIATE_TEST_SUITE_P(
    Transports, MissingRouter,
    ::testing::Values(MissingRouterCase{"Usb", {"-t", "USB"}, "Discovered Devices: (USB)"},
                      MissingRouterCase{"Tcp", {"-t", "TCP"}, "Discovered Devices: (TCPIP)"},
                      MissingRouterCase{"Searched", {}, "Discovered Devices: (Unknown)"}),
    [](const auto& info) { return std::string(info.param.name); });

// --- TCP/IP -------------------------------------------------------------------------------------

class DiscoverOverTcp : public DiscoverCommand {
  protected:
    void SetUp() override {
        const std::string why = PrivateNetwork::Unavailable();
        if (!why.empty()) GTEST_SKIP() << why;
        net_ = std::make_unique<PrivateNetwork>();
        net_->AddFarSide();
    }
    void TearDown() override {
        sims_.clear();
        net_.reset();
    }

    FarSim& Start(const std::vector<std::string>& options) {
        sims_.push_back(std::make_unique<FarSim>(*net_, options));
        return *sims_.back();
    }

    // A router with two modules on its network, at address 6.
    FarSim& StartRouter() {
        return Start({"--serial", kRouter, "--model", "4", "--address", "6", "--submodule",
                      "2:2181F0EE:13", "--submodule", "8:B008:4", "--version", "2.0.1", "--build",
                      "10", "--report", ReportPath()});
    }

    std::unique_ptr<PrivateNetwork> net_;
    std::vector<std::unique_ptr<FarSim>> sims_;
};

TEST_F(DiscoverOverTcp, ListsEveryModuleWithItsAddress) {
    Start({"--serial", "1A2B3C4D", "--model", "4", "--version", "1.2.3", "--build", "4567"});
    Start({"--serial", "0000ABCD", "--model", "13", "--address", "4", "--version", "2.11.2",
           "--build", "1"});

    ProcessResult r = Updater({"-D", "-t", "TCP"});

    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    Listing listing = Split(r.out, 4);
    EXPECT_EQ(listing.head, (std::vector<std::string>{kVersionLine, kSearching,
                                                      "Discovered Devices: (TCPIP)", kIpHeader}));
    EXPECT_EQ(listing.devices,
              Sorted({"    1A2B3C4D  02       02      Beryl          1.2.3 (4567) [10.213.0.2]",
                      "    0000ABCD  04       04      Dolomite       2.11.2 (1) [10.213.0.2]"}));
}

TEST_F(DiscoverOverTcp, WithoutModulesFindsNone) {
    ProcessResult r = Updater({"-D", "-t", "TCP"});

    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(Lines(r.out), (std::vector<std::string>{kVersionLine, kSearching,
                                                      "Discovered Devices: (TCPIP)", kNoDevices}));
}

struct RoutedTcpCase {
    const char* name;
    std::vector<std::string> transport;
    std::string heading;
};

void PrintTo(const RoutedTcpCase& c, std::ostream* os) {
    *os << c.name;
}

class RoutedOverTcp : public DiscoverOverTcp,
                      public ::testing::WithParamInterface<RoutedTcpCase> {};

TEST_P(RoutedOverTcp, ListsTheNetworkBehindTheRouterAndUnroutesIt) {
    FarSim& router = StartRouter();
    std::vector<std::string> args = {"-D", "-r", kRouter};
    args.insert(args.end(), GetParam().transport.begin(), GetParam().transport.end());

    ProcessResult r = Updater(args);

    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(Lines(r.out),
              (std::vector<std::string>{
                  kVersionLine, RoutedSearch(kRouter), GetParam().heading, kIpHeader,
                  "    2181F0EE  02       06      Dolomite       2.0.1 (10) [10.213.0.2]",
                  "    0000B008  08       06      Beryl          2.0.1 (10) [10.213.0.2]"}));
    ASSERT_TRUE(router.Stop());
    EXPECT_EQ(Lines(ReadFile(ReportPath())),
              (std::vector<std::string>{RouterAfterDiscovery(kRouter, 6),
                                        "2181F0EE route-to-host off route-to-me-sets 0",
                                        "0000B008 route-to-host off route-to-me-sets 0"}));
}

INSTANTIATE_TEST_SUITE_P(
    Transports, RoutedOverTcp,
    ::testing::Values(RoutedTcpCase{"Tcp", {"-t", "TCP"}, "Discovered Devices: (TCPIP)"},
                      // Not on USB, so found over TCP/IP; the listing names no transport.
                      RoutedTcpCase{"Found", {}, "Discovered Devices: (Unknown)"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
