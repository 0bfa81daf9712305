// Discovery: the enumeration contract, the two searches, and TCP/IP discovery against simulated
// modules' discovery responders on the far side of veth pairs in private network namespaces.
// (USB discovery runs against the emulated USB bus in tests/sim/usb.)

#include "aDiscovery.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

#include "NetNamespace.h"
#include "sim/module/SimDiscoveryResponder.h"
#include "sim/module/SimModule.h"

namespace {

using sim::tessaline::SimDiscoveryResponder;
using sim::tessaline::SimModule;
using sim::tessaline::SimModuleConfig;
using testsupport::PrivateNetwork;
using Clock = std::chrono::steady_clock;

const uint32_t kLocalInterface = htonl(INADDR_LOOPBACK);

// An enumeration callback that records every offer; it accepts when told to and asks to stop
// after `stopAfter` offers (0: never).
struct Recorder {
    bool accept = true;
    size_t stopAfter = 0;
    std::vector<linkSpec> offers;

    static bool Callback(const linkSpec* spec, bool* success, void* ref) {
        auto* self = static_cast<Recorder*>(ref);
        self->offers.push_back(*spec);
        *success = self->accept;
        return self->stopAfter == 0 || self->offers.size() < self->stopAfter;
    }
};

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// --- Link types and callbacks -----------------------------------------------------------------

TEST(aDiscoveryTypes, LinkTypesWithoutADiscoveryFindNothingAndNeverCallBack) {
    // AWEAVE belongs to the link-server network discovery, which this build does not contain.
    const linkType types[] = {INVALID, SERIAL, AWEAVE, static_cast<linkType>(5),
                              static_cast<linkType>(0xFFFFFFFF)};
    for (linkType type : types) {
        Recorder recorder;
        EXPECT_EQ(aDiscovery_EnumerateModules(type, Recorder::Callback, &recorder, kLocalInterface),
                  0)
            << type;
        EXPECT_TRUE(recorder.offers.empty()) << type;
        EXPECT_EQ(aDiscovery_FindModule(type, 0x1234ABCD, kLocalInterface), nullptr) << type;
        EXPECT_EQ(aDiscovery_FindFirstModule(type, kLocalInterface), nullptr) << type;
    }
}

TEST(aDiscoveryTypes, NullCallbackFindsNothing) {
    EXPECT_EQ(aDiscovery_EnumerateModules(USB, nullptr, nullptr, kLocalInterface), 0);
    EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, nullptr, nullptr, kLocalInterface), 0);
}

struct SearchCase {
    const char* name;
    bool (*callback)(const linkSpec*, bool*, void*);
    uint32_t wanted;   // serial number in the reference
    uint32_t offered;  // serial number of the offer
    bool takes;        // copies, succeeds and stops
};

TEST(aDiscoverySearchCallbacks, TakeTheRightOfferWholeAndStop) {
    const SearchCase cases[] = {
        {"SerialMatches", cbSNCallback, 0x1A2B3C4D, 0x1A2B3C4D, true},
        {"SerialDiffers", cbSNCallback, 0x1A2B3C4D, 0x1A2B3C4E, false},
        {"SerialZeroMatchesZero", cbSNCallback, 0, 0, true},
        {"FirstTakesNonZero", cbFirstCallback, 0, 0x0000ABCD, true},
        {"FirstPassesOverZero", cbFirstCallback, 0, 0, false},
    };
    for (const SearchCase& c : cases) {
        linkSpec offer{};
        offer.type = TCPIP;
        offer.serialNumber = c.offered;
        offer.module = 4;
        offer.router = 4;
        offer.model = 13;
        offer.t.ip.ipAddress = 0x0200A8C0;
        offer.t.ip.ipPort = 5000;
        linkSpec ref{};
        ref.type = TCPIP;
        ref.serialNumber = c.wanted;
        const linkSpec before = ref;
        bool success = false;

        const bool goOn = c.callback(&offer, &success, &ref);

        EXPECT_EQ(goOn, !c.takes) << c.name;
        EXPECT_EQ(success, c.takes) << c.name;
        EXPECT_EQ(memcmp(&ref, c.takes ? &offer : &before, sizeof(linkSpec)), 0) << c.name;
    }
}

// --- TCP/IP -----------------------------------------------------------------------------------

// One simulated module with its discovery responder on a far side.
struct FarModule {
    std::shared_ptr<SimModule> module;
    std::unique_ptr<SimDiscoveryResponder> responder;
};

class TcpipDiscovery : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string why = PrivateNetwork::Unavailable();
        if (!why.empty()) GTEST_SKIP() << why;
        net_ = std::make_unique<PrivateNetwork>();
    }

    void TearDown() override {
        modules_.clear();  // the responders close their sockets before the namespaces go
        net_.reset();
    }

    // A module answering discovery on far side `k` (made when it does not exist yet).
    FarModule& AddModule(int k, uint32_t serial, uint8_t address, uint8_t model, uint16_t port,
                         size_t replyLength = 16) {
        while (farSides_ <= k) net_->AddFarSide(), ++farSides_;
        SimModuleConfig config;
        config.serialNumber = serial;
        config.address = address;
        config.model = model;
        FarModule far;
        far.module = std::make_shared<SimModule>(config);
        far.responder = std::make_unique<SimDiscoveryResponder>(far.module, port);
        far.responder->SetReplyLength(replyLength);
        aErr started = aErrUnknown;
        net_->RunOnFarSide(k,
                           [&] { started = far.responder->Start(PrivateNetwork::FarAddress(k)); });
        EXPECT_EQ(started, aErrNone);
        modules_.push_back(std::move(far));
        return modules_.back();
    }

    static uint32_t Address(const std::string& dotted) {
        in_addr address{};
        inet_pton(AF_INET, dotted.c_str(), &address);
        return address.s_addr;
    }

    static std::vector<linkSpec> BySerial(std::vector<linkSpec> specs) {
        std::sort(specs.begin(), specs.end(), [](const linkSpec& a, const linkSpec& b) {
            return a.serialNumber < b.serialNumber;
        });
        return specs;
    }

    std::unique_ptr<PrivateNetwork> net_;
    int farSides_ = 0;
    std::deque<FarModule> modules_;  // references stay valid as modules are added
};

TEST_F(TcpipDiscovery, HostWithOnlyLoopbackSendsNothingAndReturnsAtOnce) {
    Recorder recorder;
    const auto start = Clock::now();

    EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, Recorder::Callback, &recorder, kLocalInterface),
              0);

    EXPECT_LT(MsSince(start), 500);
    EXPECT_TRUE(recorder.offers.empty());
}

TEST_F(TcpipDiscovery, OffersEveryReplyAsASpecifierUntilTheReceiveTimesOut) {
    FarModule& first = AddModule(0, 0x1A2B3C4D, 2, 4, 5000);
    FarModule& second = AddModule(0, 0x0000ABCD, 6, 13, 0xBEEF);
    Recorder recorder;
    const auto start = Clock::now();

    EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, Recorder::Callback, &recorder, kLocalInterface),
              2);

    EXPECT_GE(MsSince(start), aDISCOVERY_RECEIVE_TIMEOUT_MS - 50);
    EXPECT_EQ(first.responder->Requests(), 1u);
    EXPECT_EQ(second.responder->Requests(), 1u);
    std::vector<linkSpec> offers = BySerial(recorder.offers);
    ASSERT_EQ(offers.size(), 2u);
    struct Expected {
        uint32_t serial, address, model, port;
    };
    const Expected expected[] = {{0x0000ABCD, 6, 13, 0xBEEF}, {0x1A2B3C4D, 2, 4, 5000}};
    for (size_t i = 0; i < 2; ++i) {
        linkSpec want{};
        want.type = TCPIP;
        want.serialNumber = expected[i].serial;
        want.module = expected[i].address;
        want.router = expected[i].address;
        want.routerSerialNumber = expected[i].serial;
        want.model = expected[i].model;
        want.t.ip.ipAddress = Address(PrivateNetwork::FarAddress(0));
        want.t.ip.ipPort = expected[i].port;
        EXPECT_EQ(memcmp(&offers[i], &want, sizeof(linkSpec)), 0) << i;
    }
}

TEST_F(TcpipDiscovery, EachNonLoopbackInterfaceCarriesOneRequest) {
    FarModule& a = AddModule(0, 0x11111111, 2, 4, 5000);
    FarModule& b = AddModule(1, 0x22222222, 2, 4, 5000);
    Recorder recorder;

    EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, Recorder::Callback, &recorder, kLocalInterface),
              2);

    EXPECT_EQ(a.responder->Requests(), 1u);
    EXPECT_EQ(b.responder->Requests(), 1u);
    std::vector<linkSpec> offers = BySerial(recorder.offers);
    ASSERT_EQ(offers.size(), 2u);
    EXPECT_EQ(offers[0].t.ip.ipAddress, Address(PrivateNetwork::FarAddress(0)));
    EXPECT_EQ(offers[1].t.ip.ipAddress, Address(PrivateNetwork::FarAddress(1)));
}

struct CountCase {
    const char* name;
    bool accept;
    size_t stopAfter;
    size_t offers;
    uint8_t count;
};

class TcpipDiscoveryCount : public TcpipDiscovery,
                            public ::testing::WithParamInterface<CountCase> {};

TEST_P(TcpipDiscoveryCount, CountsAcceptedOffersAndStopsWhenAsked) {
    AddModule(0, 0x1A2B3C4D, 2, 4, 5000);
    AddModule(0, 0x0000ABCD, 4, 13, 5001);
    Recorder recorder;
    recorder.accept = GetParam().accept;
    recorder.stopAfter = GetParam().stopAfter;

    EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, Recorder::Callback, &recorder, kLocalInterface),
              GetParam().count);
    EXPECT_EQ(recorder.offers.size(), GetParam().offers);
}

INSTANTIATE_TEST_SUITE_P(Callbacks, TcpipDiscoveryCount,
                         ::testing::Values(CountCase{"NeverAccepting", false, 0, 2, 0},
                                           CountCase{"AcceptingAndStoppingAtOnce", true, 1, 1, 1},
                                           CountCase{"StoppingWithoutAccepting", false, 1, 1, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(TcpipDiscovery, ShortRepliesReadMissingBytesAsZeroAndTheModelAsUnknown) {
    // One module per far side, so that each reply is known by its sender's address.
    struct Case {
        size_t length;
        uint32_t serial, module, model, port;
    };
    const Case cases[] = {
        {16, 0x1A2B3C4D, 6, 13, 0x1234},  // whole
        {13, 0x1A2B3C4D, 6, 13, 0x1234},  // the model byte is the last one needed
        {12, 0x1A2B3C4D, 6, 255, 0x1234}, {6, 0x00003C4D, 6, 255, 0x1234}, {2, 0, 6, 255, 0},
    };
    for (size_t k = 0; k < std::size(cases); ++k)
        AddModule(static_cast<int>(k), 0x1A2B3C4D, 6, 13, 0x1234, cases[k].length);
    Recorder recorder;

    EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, Recorder::Callback, &recorder, kLocalInterface),
              std::size(cases));

    ASSERT_EQ(recorder.offers.size(), std::size(cases));
    for (size_t k = 0; k < std::size(cases); ++k) {
        const std::string from = PrivateNetwork::FarAddress(static_cast<int>(k));
        auto offer =
            std::find_if(recorder.offers.begin(), recorder.offers.end(),
                         [&](const linkSpec& s) { return s.t.ip.ipAddress == Address(from); });
        ASSERT_NE(offer, recorder.offers.end()) << from;
        EXPECT_EQ(offer->serialNumber, cases[k].serial) << cases[k].length;
        EXPECT_EQ(offer->routerSerialNumber, cases[k].serial) << cases[k].length;
        EXPECT_EQ(offer->module, cases[k].module) << cases[k].length;
        EXPECT_EQ(offer->model, cases[k].model) << cases[k].length;
        EXPECT_EQ(offer->t.ip.ipPort, cases[k].port) << cases[k].length;
    }
}

TEST_F(TcpipDiscovery, SearchesFindByTheSerialNumberAndPassOverSerialZero) {
    AddModule(0, 0, 2, 4, 5000);
    AddModule(1, 0x0000ABCD, 4, 13, 5001);

    linkSpec* found = aDiscovery_FindModule(TCPIP, 0x0000ABCD, kLocalInterface);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->type, TCPIP);
    EXPECT_EQ(found->serialNumber, 0x0000ABCDu);
    EXPECT_EQ(found->t.ip.ipPort, 5001u);
    EXPECT_EQ(found->t.ip.ipAddress, Address(PrivateNetwork::FarAddress(1)));
    EXPECT_EQ(aLinkSpec_Destroy(&found), aErrNone);

    linkSpec* first = aDiscovery_FindFirstModule(TCPIP, kLocalInterface);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->serialNumber, 0x0000ABCDu);
    EXPECT_EQ(aLinkSpec_Destroy(&first), aErrNone);

    EXPECT_EQ(aDiscovery_FindModule(TCPIP, 0x12345678, kLocalInterface), nullptr);
}

TEST_F(TcpipDiscovery, SilentModulesMakeAnEmptyResultAfterTheTimeOut) {
    FarModule& silent = AddModule(0, 0x1A2B3C4D, 2, 4, 5000);
    silent.responder->SetSilent(true);
    Recorder recorder;
    const auto start = Clock::now();

    EXPECT_EQ(aDiscovery_EnumerateModules(TCPIP, Recorder::Callback, &recorder, kLocalInterface),
              0);

    EXPECT_GE(MsSince(start), aDISCOVERY_RECEIVE_TIMEOUT_MS - 50);
    EXPECT_EQ(silent.responder->Requests(), 1u);
    EXPECT_TRUE(recorder.offers.empty());
}

}  // namespace
