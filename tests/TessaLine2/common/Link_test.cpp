// The Link object against the simulated module: configuration and connection rules, the
// entity-interface exchange byte for byte, reply matching and time-outs, raw packets, the near
// module's address, the packet log, sharing a connection, and discover-and-connect.

#include "Link.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "ObjectApiTestSupport.h"
#include "Process.h"
#include "SimEcho.h"
#include "aLink.h"

namespace {

using namespace objtest;
using Quillmet::TessaLine::Link;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr uint32_t kSerial = 0x00C0FFEE;
constexpr uint8_t kModule = 2;

std::vector<std::string> sHexAll(const std::vector<SimPacket>& packets) {
    std::vector<std::string> texts;
    for (const SimPacket& packet : packets) texts.push_back(ToString(packet));
    return texts;
}

uei sMessage(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier) {
    uei message{};
    message.module = module;
    message.command = command;
    message.option = option;
    message.specifier = specifier;
    return message;
}

// Library trace switched on for one area while no engine thread runs (they read the switches).
class TraceCapture {
  public:
    explicit TraceCapture(uint32_t area) {
        aTessaLineDebuggingEnable = 1;
        aTessaLineDebuggingLevel = area;
        ::testing::internal::CaptureStdout();
    }
    std::string Finish() {
        std::string text = ::testing::internal::GetCapturedStdout();
        aTessaLineDebuggingEnable = 0;
        aTessaLineDebuggingLevel = 0;
        finished_ = true;
        return text;
    }
    ~TraceCapture() {
        if (!finished_) Finish();
    }

  private:
    bool finished_ = false;
};

// --- Construction, configuration and specifier ------------------------------------------------

TEST(LinkObject, StartsDisconnectedWithTheDefaultConfiguration) {
    RegistriesEmptyAtEnd clean;
    Link link("Link");
    EXPECT_STREQ(link.getName(), "Link");
    EXPECT_FALSE(link.isConnected());
    EXPECT_EQ(link.getStatus(), 8u);
    aWeaveConfig config;
    config.enabled = false;
    config.networkInterface = 0;
    ASSERT_EQ(link.getConfig(&config), aErrNone);
    EXPECT_TRUE(config.enabled);
    EXPECT_TRUE(config.fallback);
    EXPECT_TRUE(config.localOnly);
    EXPECT_EQ(config.port, 0);
    const uint8_t loopback[] = {127, 0, 0, 1};
    EXPECT_EQ(std::memcmp(&config.networkInterface, loopback, 4), 0);
    EXPECT_EQ(link.getConfig(nullptr), aErrParam);
    linkSpec spec;
    EXPECT_EQ(link.getLinkSpecifier(&spec), aErrNotFound);
}

TEST(LinkObject, NameIsCopiedAndCutTo1024Characters) {
    std::string name(2000, 'n');
    Link link(name.c_str());
    name.assign(2000, 'x');
    ASSERT_NE(link.getName(), nullptr);
    EXPECT_EQ(std::string(link.getName()), std::string(1024, 'n'));
    Link unnamed(nullptr);
    EXPECT_EQ(unnamed.getName(), nullptr);
}

TEST(LinkObject, SpecifierIsKeptWhole) {
    linkSpec spec{};
    spec.type = SERIAL;
    spec.serialNumber = 0x12345678;
    spec.model = 0x13;
    spec.t.serial.baudRate = 115200;
    std::memset(spec.t.serial.portName, 'p', sizeof spec.t.serial.portName);
    Link link(spec, "Link");
    linkSpec copy;
    ASSERT_EQ(link.getLinkSpecifier(&copy), aErrNone);
    EXPECT_EQ(std::memcmp(&copy, &spec, sizeof spec), 0);

    linkSpec other = UsbSpec(0x0A0B0C0D, 4);
    ASSERT_EQ(link.setLinkSpecifier(other), aErrNone);
    ASSERT_EQ(link.getLinkSpecifier(&copy), aErrNone);
    EXPECT_EQ(std::memcmp(&copy, &other, sizeof other), 0);
    EXPECT_EQ(link.getLinkSpecifier(nullptr), aErrParam);
}

// --- Connection rules -----------------------------------------------------------------------

struct ConnectCase {
    const char* name;
    std::function<linkSpec()> spec;  // null: no specifier
    bool networking;
    aErr expected;
};

class LinkConnectRefusal : public ::testing::TestWithParam<ConnectCase> {
  protected:
    RegistriesEmptyAtEnd clean;
    SimUsbBus bus;  // nothing plugged
};

TEST_P(LinkConnectRefusal, FailsWithoutLeavingAnEngineLink) {
    const ConnectCase& c = GetParam();
    Link link("Link");
    if (c.spec) {
        ASSERT_EQ(link.setLinkSpecifier(c.spec()), aErrNone);
    }
    aWeaveConfig config = Direct();
    config.enabled = c.networking;
    ASSERT_EQ(link.setConfig(config), aErrNone);
    EXPECT_EQ(link.connect(), c.expected);
    EXPECT_FALSE(link.isConnected());
    EXPECT_EQ(link.getStatus(), 8u);
    EXPECT_EQ(aLinkRegistry_Count(), 0u);
}

linkSpec sOfType(linkType type) {
    linkSpec spec = TcpSpec(1);
    spec.type = type;
    return spec;
}

INSTANTIATE_TEST_SUITE_P(
    Specifiers, LinkConnectRefusal,
    ::testing::Values(
        ConnectCase{"NoSpecifier", nullptr, false, aErrConfiguration},
        ConnectCase{"AWeaveWithNetworkingOff", [] { return sOfType(AWEAVE); }, false,
                    aErrConfiguration},
        ConnectCase{"AWeaveWithNetworkingOn", [] { return sOfType(AWEAVE); }, true,
                    aErrUnimplemented},
        ConnectCase{"UsbWithNetworkingOn", [] { return UsbSpec(kSerial); }, true,
                    aErrUnimplemented},
        ConnectCase{"InvalidType", [] { return sOfType(INVALID); }, false, aErrMode},
        ConnectCase{"UnknownType", [] { return sOfType(static_cast<linkType>(7)); }, false,
                    aErrMode},
        ConnectCase{"UsbModuleAbsent", [] { return UsbSpec(0x0BADF00D); }, false, aErrConnection},
        ConnectCase{"TcpPortClosed", [] { return TcpSpec(1); }, false, aErrConnection},
        ConnectCase{"SerialPortAbsent",
                    [] {
                        linkSpec spec{};
                        spec.type = SERIAL;
                        spec.serialNumber = kSerial;
                        spec.t.serial.baudRate = 115200;
                        std::strcpy(spec.t.serial.portName, "no-such-serial-port");
                        return spec;
                    },
                    false, aErrConnection}),
    [](const auto& info) { return std::string(info.param.name); });

// A link to a simulated module (address 2, with the echo command) plugged in as a USB module.
class LinkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SimModuleConfig config;
        config.serialNumber = kSerial;
        config.address = kModule;
        module = std::make_shared<SimModule>(config);
        echo = SimEcho::Install(*module);
        bus.Plug(module);
        link = std::make_unique<Link>(UsbSpec(kSerial), "Link");
        ASSERT_EQ(link->setConfig(Direct()), aErrNone);
    }
    void Connect() {
        ASSERT_EQ(link->connect(), aErrNone);
        ASSERT_TRUE(link->isConnected());
        module->ClearReceived();
    }
    // Sends `payload` from the module to the host.
    void FromModule(uint8_t address, const std::string& payload) {
        ASSERT_EQ(module->Send(SimPacket{address, Bytes(payload)}), aErrNone);
    }
    // Waits until everything the module sent before has reached the host's queue: a marker
    // packet is sent after it and taken back.
    void SettleIncoming() {
        FromModule(kModule, "3F");
        uint8_t match[] = {0x3F};
        uint8_t length = 1;
        uint8_t data[28];
        ASSERT_EQ(link->receivePacket(kModule, match, &length, data), aErrNone);
    }

    RegistriesEmptyAtEnd clean;
    SimUsbBus bus;
    std::shared_ptr<SimModule> module;
    std::shared_ptr<SimEcho> echo;
    std::unique_ptr<Link> link;
};

TEST_F(LinkTest, ConnectedLinkRefusesChangesAndSecondConnects) {
    Connect();
    EXPECT_EQ(link->getStatus(), static_cast<uint32_t>(LINK_RUNNING));
    aWeaveConfig changed = Direct();
    changed.port = 1234;
    EXPECT_EQ(link->setConfig(changed), aErrMode);
    aWeaveConfig config;
    link->getConfig(&config);
    EXPECT_EQ(config.port, 0);
    EXPECT_EQ(link->setLinkSpecifier(TcpSpec(1)), aErrBusy);
    linkSpec spec;
    link->getLinkSpecifier(&spec);
    EXPECT_EQ(spec.type, USB);
    EXPECT_EQ(link->connect(), aErrConnection);
    EXPECT_EQ(link->discoverAndConnect(USB, kSerial, 0), aErrConnection);
    EXPECT_EQ(aLinkRegistry_Count(), 1u);

    EXPECT_EQ(link->disconnect(), aErrNone);
    EXPECT_EQ(link->getStatus(), 8u);
    EXPECT_EQ(link->setConfig(changed), aErrNone);
    EXPECT_EQ(link->disconnect(), aErrNone);
    EXPECT_EQ(link->reset(), aErrNone);
}

TEST_F(LinkTest, ConnectsAgainAfterDisconnect) {
    Connect();
    link->disconnect();
    Connect();
    EXPECT_TRUE(link->isConnected());
}

// --- Sending --------------------------------------------------------------------------------

struct SendCase {
    const char* name;
    std::function<uei()> message;
    int subIndex;  // < 0: the plain form
    std::vector<std::string> packets;
};

class LinkSendUEI : public LinkTest, public ::testing::WithParamInterface<SendCase> {};

TEST_P(LinkSendUEI, PutsTheRequestPacketsOnTheWire) {
    Connect();
    const SendCase& c = GetParam();
    const uei message = c.message();
    const aErr err = c.subIndex < 0 ? link->sendUEI(message)
                                    : link->sendUEI(message, static_cast<uint8_t>(c.subIndex));
    ASSERT_EQ(err, aErrNone);
    ASSERT_TRUE(WaitForRequests(*module, c.packets.size()));
    EXPECT_TRUE(module->WaitIdle(5s));
    EXPECT_EQ(sHexAll(Requests(*module)), c.packets);
}

std::vector<uint8_t> gBytes(uint8_t count) {
    std::vector<uint8_t> bytes(count);
    for (uint8_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(0xA0 + i);
    return bytes;
}

uei sValue(ueiType type, uint32_t value) {
    uei message = sMessage(kModule, 0x30, 0x45, 0x21);
    message.type = type;
    if (type == ueiTypeByte) message.value.byteVal = static_cast<uint8_t>(value);
    if (type == ueiTypeShort) message.value.shortVal = static_cast<uint16_t>(value);
    if (type == ueiTypeInt) message.value.intVal = value;
    return message;
}

uei sBytes(uint8_t count) {
    static std::vector<uint8_t> storage[64];
    storage[count] = gBytes(count);
    uei message = sMessage(kModule, 0x30, 0x85, 0x21);
    message.type = ueiTypeBytes;
    message.value.bytes = storage[count].data();
    message.length = count;
    return message;
}

std::string sChunk(uint8_t from, uint8_t count, uint8_t trailer) {
    SimPacket packet{kModule, {0x30, 0x85, 0x21}};
    for (uint8_t i = 0; i < count; ++i)
        packet.payload.push_back(static_cast<uint8_t>(0xA0 + from + i));
    packet.payload.push_back(trailer);
    return ToString(packet);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, LinkSendUEI,
    ::testing::Values(
        SendCase{"None", [] { return sValue(ueiTypeNone, 0); }, -1, {"02 03 30 45 21"}},
        SendCase{"Byte", [] { return sValue(ueiTypeByte, 0x7F); }, -1, {"02 04 30 45 21 7F"}},
        SendCase{"ShortBigEndian",
                 [] { return sValue(ueiTypeShort, 0x1234); },
                 -1,
                 {"02 05 30 45 21 12 34"}},
        SendCase{"IntBigEndian",
                 [] { return sValue(ueiTypeInt, 0x80000001); },
                 -1,
                 {"02 07 30 45 21 80 00 00 01"}},
        SendCase{"SubIndexNone", [] { return sValue(ueiTypeNone, 0); }, 9, {"02 04 30 45 21 09"}},
        SendCase{
            "SubIndexByte", [] { return sValue(ueiTypeByte, 0x7F); }, 9, {"02 05 30 45 21 09 7F"}},
        SendCase{"SubIndexShort",
                 [] { return sValue(ueiTypeShort, 0x1234); },
                 9,
                 {"02 06 30 45 21 09 12 34"}},
        SendCase{"SubIndexInt",
                 [] { return sValue(ueiTypeInt, 0x01020304); },
                 9,
                 {"02 08 30 45 21 09 01 02 03 04"}},
        SendCase{"NoBytes", [] { return sBytes(0); }, -1, {"02 04 30 85 21 00"}},
        SendCase{"OnePacketOf24", [] { return sBytes(24); }, -1, {sChunk(0, 24, 0x00)}},
        SendCase{"TwoPacketsFor25",
                 [] { return sBytes(25); },
                 -1,
                 {sChunk(0, 24, 0x80), sChunk(24, 1, 0x01)}},
        SendCase{"TwoPacketsFor48",
                 [] { return sBytes(48); },
                 -1,
                 {sChunk(0, 24, 0x80), sChunk(24, 24, 0x01)}},
        SendCase{"ThreePacketsFor49",
                 [] { return sBytes(49); },
                 -1,
                 {sChunk(0, 24, 0x80), sChunk(24, 24, 0x81), sChunk(48, 1, 0x02)}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LinkTest, SendRefusals) {
    EXPECT_EQ(link->sendUEI(sValue(ueiTypeNone, 0)), aErrConnection);
    EXPECT_EQ(link->sendUEI(sValue(ueiTypeNone, 0), 1), aErrConnection);
    Connect();
    uei message = sValue(ueiTypeByte, 1);
    for (uint8_t address : {0, 1, 3, 0xAD}) {
        message.module = address;
        EXPECT_EQ(link->sendUEI(message), aErrPacket) << int(address);
        EXPECT_EQ(link->sendUEI(message, 1), aErrPacket) << int(address);
    }
    message = sValue(static_cast<ueiType>(3), 0);
    EXPECT_EQ(link->sendUEI(message), aErrParam);
    message = sBytes(5);
    EXPECT_EQ(link->sendUEI(message, 1), aErrParam);
    message.value.bytes = nullptr;
    EXPECT_EQ(link->sendUEI(message), aErrParam);
    EXPECT_TRUE(module->WaitIdle(5s));
    EXPECT_TRUE(Requests(*module).empty());
}

// --- Receiving ------------------------------------------------------------------------------

struct ReplyCase {
    const char* name;
    const char* reply;  // payload from the module
    ueiType type;
    uint32_t value;
    uint8_t specifier;
};

class LinkReceiveUEI : public LinkTest, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(LinkReceiveUEI, FillsTheRecordFromTheMatchingReply) {
    Connect();
    const ReplyCase& c = GetParam();
    FromModule(kModule, c.reply);
    uei message = sMessage(kModule, 0x30, 0x05, 0x01);
    message.type = ueiTypeInt;
    message.value.intVal = 0xDEADBEEF;
    ASSERT_EQ(link->receiveUEI(kModule, 0x30, 0x05, 0x01, &message), aErrNone);
    EXPECT_EQ(message.type, c.type);
    EXPECT_EQ(message.specifier, c.specifier);
    switch (c.type) {
        case ueiTypeByte:
            EXPECT_EQ(message.value.byteVal, c.value);
            break;
        case ueiTypeShort:
            EXPECT_EQ(message.value.shortVal, c.value);
            break;
        case ueiTypeInt:
            EXPECT_EQ(message.value.intVal, c.value);
            break;
        default:
            break;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Replies, LinkReceiveUEI,
    ::testing::Values(
        ReplyCase{"NoValue", "30 05 01", ueiTypeNone, 0, 0x01},
        ReplyCase{"Byte", "30 05 01 7F", ueiTypeByte, 0x7F, 0x01},
        ReplyCase{"Short", "30 05 01 12 34", ueiTypeShort, 0x1234, 0x01},
        ReplyCase{"Int", "30 05 01 80 00 00 01", ueiTypeInt, 0x80000001, 0x01},
        ReplyCase{"SixBytesLeaveTheValue", "30 05 01 01 02 03", ueiTypeInt, 0xDEADBEEF, 0x01},
        ReplyCase{"FlagBitsOfTheIndexAreIgnored", "30 05 41 09", ueiTypeByte, 0x09, 0x01},
        ReplyCase{"ErrorReply", "30 05 81 15", ueiTypeInt, 0xDEADBE15, 0x81}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LinkTest, RepliesThatDoNotMatchStayQueued) {
    Connect();
    FromModule(4, "30 05 01 01");        // another module
    FromModule(kModule, "31 05 01 02");  // another command
    FromModule(kModule, "30 06 01 03");  // another option
    FromModule(kModule, "30 05 02 04");  // another index
    FromModule(kModule, "30 05 01 05");
    uei message = sMessage(kModule, 0x30, 0x05, 0x01);
    ASSERT_EQ(link->receiveUEI(kModule, 0, 0, 0, &message), aErrNone);
    EXPECT_EQ(message.value.byteVal, 5);
    for (const auto& [address, match] : std::vector<std::pair<uint8_t, std::string>>{
             {4, "30 05 01"}, {kModule, "31"}, {kModule, "30 06"}, {kModule, "30 05 02"}}) {
        std::vector<uint8_t> bytes = Bytes(match);
        uint8_t length = static_cast<uint8_t>(bytes.size());
        uint8_t data[28];
        EXPECT_EQ(link->receivePacket(address, bytes.data(), &length, data), aErrNone) << match;
    }
}

TEST_F(LinkTest, ReceiveRefusals) {
    uei message = sMessage(kModule, 0x30, 0x05, 0x01);
    EXPECT_EQ(link->receiveUEI(kModule, 0, 0, 0, &message), aErrConnection);
    Connect();
    EXPECT_EQ(link->receiveUEI(0, 0, 0, 0, &message), aErrPacket);
    EXPECT_EQ(link->receiveUEI(3, 0, 0, 0, &message), aErrPacket);
    EXPECT_EQ(link->receiveUEI(kModule, 0, 0, 0, nullptr), aErrParam);
    EXPECT_EQ(link->receiveUEI(kModule, 0, 0, 0, &message, nullptr), aErrParam);
}

TEST(LinkReceiveTimeout, IsLongerOnlyForByteArraysAbove1000Bytes) {
    struct Case {
        uint64_t length;
        long atLeastMs, belowMs;
        bool expanded;
    };
    for (const Case& c : {Case{1000, 950, 2500, false}, Case{1001, 3950, 6000, true}}) {
        RegistriesEmptyAtEnd clean;
        SimUsbBus bus;
        SimModuleConfig config;
        config.serialNumber = kSerial;
        auto module = std::make_shared<SimModule>(config);
        bus.Plug(module);
        TraceCapture trace(aDEBUG_LINK);
        {
            Link link(UsbSpec(kSerial), "Link");
            link.setConfig(Direct());
            ASSERT_EQ(link.connect(), aErrNone);
            uint8_t buffer[1];
            uei message = sMessage(kModule, 0x30, 0x05, 0x01);
            message.type = ueiTypeBytes;
            message.value.bytes = buffer;
            message.length = c.length;
            const auto start = Clock::now();
            EXPECT_EQ(link.receiveUEI(kModule, 0, 0, 0, &message), aErrTimeout);
            const long elapsed = ElapsedMs(start);
            EXPECT_GE(elapsed, c.atLeastMs) << c.length;
            EXPECT_LT(elapsed, c.belowMs) << c.length;
        }
        const std::string text = trace.Finish();
        const std::string expansion = "receiveUEI - Expanding timeout for large payload: 4000\n";
        if (c.expanded) {
            EXPECT_THAT(text, HasSubstr(expansion));
        } else {
            EXPECT_THAT(text, Not(HasSubstr(expansion)));
        }
    }
}

TEST_F(LinkTest, DropRemovesEveryMatchingReplyErrorRepliesIncluded) {
    Connect();
    FromModule(kModule, "30 05 01 01");
    FromModule(kModule, "30 05 81 15");
    FromModule(kModule, "30 05 01 02");
    FromModule(kModule, "30 06 01 03");
    SettleIncoming();
    EXPECT_EQ(link->dropMatchingUEIPackets(kModule, 0x30, 0x05, 0x01), aErrNone);
    uint8_t data[28];
    uint8_t match[] = {0x30, 0x05};
    uint8_t length = sizeof match;
    EXPECT_EQ(link->receivePacket(kModule, match, &length, data), aErrTimeout);
    match[1] = 0x06;
    length = sizeof match;
    EXPECT_EQ(link->receivePacket(kModule, match, &length, data), aErrNone);
    link->disconnect();
    EXPECT_EQ(link->dropMatchingUEIPackets(kModule, 0x30, 0x05, 0x01), aErrConnection);
}

// --- Raw packets ----------------------------------------------------------------------------

TEST_F(LinkTest, RawPacketRoundTripThroughTheEcho) {
    Connect();
    std::vector<uint8_t> data = gBytes(27);
    ASSERT_EQ(link->sendPacket(kModule, 0x17, 27, data.data()), aErrNone);
    const uint8_t match[] = {0x17};
    uint8_t length = 1;
    uint8_t reply[28] = {};
    ASSERT_EQ(link->receivePacket(kModule, match, &length, reply), aErrNone);
    ASSERT_EQ(length, 28);
    EXPECT_EQ(reply[0], 0x17);
    EXPECT_EQ(std::memcmp(&reply[1], data.data(), 27), 0);

    ASSERT_EQ(link->sendPacket(kModule, 0x17, 0, nullptr), aErrNone);
    length = 1;
    ASSERT_EQ(link->receivePacket(kModule, match, &length, reply), aErrNone);
    EXPECT_EQ(length, 1);
}

TEST_F(LinkTest, ReceivePacketTakesOnlyTheModuleAsked) {
    Connect();
    FromModule(4, "17 09");
    const uint8_t match[] = {0x17};
    uint8_t length = 1;
    uint8_t reply[28];
    EXPECT_EQ(link->receivePacket(kModule, match, &length, reply), aErrTimeout);
    length = 1;
    EXPECT_EQ(link->receivePacket(4, match, &length, reply), aErrNone);
    EXPECT_EQ(reply[1], 0x09);
}

TEST_F(LinkTest, RawPacketRefusals) {
    uint8_t data[28] = {};
    uint8_t length = 1;
    EXPECT_EQ(link->sendPacket(kModule, 0x17, 1, data), aErrConnection);
    EXPECT_EQ(link->receivePacket(kModule, data, &length, data), aErrConnection);
    Connect();
    EXPECT_EQ(link->sendPacket(kModule, 0x17, 28, data), aErrParam);
    EXPECT_EQ(link->sendPacket(kModule, 0x17, 1, nullptr), aErrParam);
    EXPECT_EQ(link->sendPacket(0, 0x17, 1, data), aErrPacket);
    EXPECT_EQ(link->sendPacket(5, 0x17, 1, data), aErrPacket);
    length = 29;
    EXPECT_EQ(link->receivePacket(kModule, data, &length, data), aErrParam);
    length = 1;
    EXPECT_EQ(link->receivePacket(kModule, data, nullptr, data), aErrParam);
    EXPECT_EQ(link->receivePacket(kModule, data, &length, nullptr), aErrParam);
    EXPECT_EQ(link->receivePacket(7, data, &length, data), aErrPacket);
}

TEST_F(LinkTest, PooledPacketsFollowTheEngine) {
    EXPECT_EQ(link->enablePooledPackets(true), aErrParam);
    Connect();
    EXPECT_EQ(link->enablePooledPackets(true), aErrNone);
    const uint8_t data[] = {1, 2, 3};
    ASSERT_EQ(link->sendPacket(kModule, 0x17, 3, data), aErrNone);
    const uint8_t match[] = {0x17, 1, 2, 3};
    uint8_t length = 4;
    uint8_t reply[28];
    EXPECT_EQ(link->receivePacket(kModule, match, &length, reply), aErrNone);
}

// --- Module address -------------------------------------------------------------------------

TEST_F(LinkTest, ModuleAddressIsTheProbeAnswersAddress) {
    uint8_t address = 0xFF;
    EXPECT_EQ(link->getModuleAddress(&address), aErrNotReady);
    EXPECT_EQ(address, 0);
    module->UpdateConfig([](SimModuleConfig& c) { c.address = 6; });
    Connect();
    ASSERT_EQ(link->getModuleAddress(&address), aErrNone);
    EXPECT_EQ(address, 6);
    EXPECT_EQ(link->getModuleAddress(nullptr), aErrParam);
}

TEST(LinkModuleAddress, SilentModuleGivesNotReadyAfterOneSecond) {
    RegistriesEmptyAtEnd clean;
    SimTcpDevice sim(SimModuleConfig{});
    Link link(sim.Spec(), "Link");
    link.setConfig(Direct());
    ASSERT_EQ(link.connect(), aErrNone);
    ASSERT_TRUE(sim.server->WaitForConnection(1, 5s));
    sim.device.module->SetSilent(true);
    uint8_t address = 0xFF;
    const auto start = Clock::now();
    EXPECT_EQ(link.getModuleAddress(&address), aErrNotReady);
    EXPECT_GE(ElapsedMs(start), 950);
    EXPECT_EQ(address, 0);
}

// --- Packet log -----------------------------------------------------------------------------

class LinkPacketLog : public LinkTest {
  protected:
    std::string LogPath() const { return dir.path() + "/packets.log"; }
    // Waits until the log file holds `text`; returns the file's content.
    std::string WaitForLog(const std::string& text) {
        std::string content;
        const auto deadline = Clock::now() + 5s;
        do {
            content = testsupport::ReadFile(LogPath());
            if (content.find(text) != std::string::npos) break;
            std::this_thread::sleep_for(5ms);
        } while (Clock::now() < deadline);
        return content;
    }
    void Echo(uint8_t tag) {
        ASSERT_EQ(link->sendPacket(kModule, 0x17, 1, &tag), aErrNone);
        const uint8_t match[] = {0x17, tag};
        uint8_t length = 2;
        uint8_t reply[28];
        ASSERT_EQ(link->receivePacket(kModule, match, &length, reply), aErrNone);
    }
    testsupport::TempDir dir;
};

TEST_F(LinkPacketLog, WritesStartThenEveryPacketBothWays) {
    Connect();
    ASSERT_EQ(link->enablePacketLog(LogPath().c_str()), aErrNone);
    Echo(0xAB);
    const std::string start("6 < START\0\r\n", 12);
    const std::string sent = "4 > 0x2 0x2 0x17 0xAB \r\n";
    const std::string received = "4 < 0x2 0x2 0x17 0xAB \r\n";
    WaitForLog(received);
    const std::string content = WaitForLog(sent);
    // What the link queued before the log was enabled (force route on) may still be written
    // after it, and a packet sent is recorded once written, so its answer may come first: both
    // come after START.
    const size_t startAt = content.find(start);
    ASSERT_NE(startAt, std::string::npos) << content;
    EXPECT_NE(content.find(sent, startAt), std::string::npos) << content;
    EXPECT_NE(content.find(received, startAt), std::string::npos) << content;
    EXPECT_EQ(link->disablePacketLog(), aErrNone);
}

TEST_F(LinkPacketLog, LogFollowsTheLinkAcrossAReconnect) {
    Connect();
    ASSERT_EQ(link->enablePacketLog(LogPath().c_str()), aErrNone);
    link->disconnect();
    Connect();
    ASSERT_EQ(link->enablePacketLog(LogPath().c_str()), aErrNone);
    Echo(0xCD);
    EXPECT_THAT(WaitForLog("4 < 0x2 0x2 0x17 0xCD \r\n"), HasSubstr("4 < 0x2 0x2 0x17 0xCD \r\n"));
}

TEST_F(LinkPacketLog, Refusals) {
    EXPECT_EQ(link->enablePacketLog(LogPath().c_str()), aErrConfiguration);
    EXPECT_EQ(link->disablePacketLog(), aErrConfiguration);
    Connect();
    EXPECT_EQ(link->enablePacketLog(nullptr), aErrParam);
    EXPECT_EQ(link->enablePacketLog((dir.path() + "/no/such/folder/log").c_str()), aErrIO);
}

// --- Sharing a connection -------------------------------------------------------------------

TEST_F(LinkTest, SecondLinkSharesTheEngineLink) {
    Link other(UsbSpec(kSerial), "Other");
    other.setConfig(Direct());
    EXPECT_EQ(other.connectThroughLinkModule(*link), aErrInitialization);
    Connect();
    ASSERT_EQ(other.connectThroughLinkModule(*link), aErrNone);
    EXPECT_TRUE(other.isConnected());
    EXPECT_EQ(aLinkRegistry_Count(), 1u);
    EXPECT_EQ(other.connectThroughLinkModule(*link), aErrConnection);

    link->disconnect();
    EXPECT_TRUE(other.isConnected());
    const uint8_t data[] = {0x42};
    ASSERT_EQ(other.sendPacket(kModule, 0x17, 1, data), aErrNone);
    const uint8_t match[] = {0x17, 0x42};
    uint8_t length = 2;
    uint8_t reply[28];
    EXPECT_EQ(other.receivePacket(kModule, match, &length, reply), aErrNone);
}

// --- Discover and connect -------------------------------------------------------------------
// No module is discoverable here (no USB bus, only the loopback interface): these check the
// search-and-fallback rule, not the searches themselves.

struct DiscoverCase {
    const char* name;
    linkType type;
    uint32_t serialNumber;
    bool fallback;
    const char* fallbackTrace;  // null: no fallback
};

class LinkDiscoverAndConnect : public ::testing::TestWithParam<DiscoverCase> {
  protected:
    RegistriesEmptyAtEnd clean;
};

TEST_P(LinkDiscoverAndConnect, NothingFoundFallsBackOnlyBetweenUsbAndAWeave) {
    const DiscoverCase& c = GetParam();
    Link link("Link");
    aWeaveConfig config;
    config.fallback = c.fallback;
    link.setConfig(config);
    TraceCapture trace(aDEBUG_LINK);
    EXPECT_EQ(link.discoverAndConnect(c.type, c.serialNumber, 0), aErrNotFound);
    const std::string text = trace.Finish();
    if (c.fallbackTrace) {
        EXPECT_THAT(text, HasSubstr(c.fallbackTrace));
    } else {
        EXPECT_THAT(text, Not(HasSubstr("Executing Fallback")));
    }
    EXPECT_FALSE(link.isConnected());
    linkSpec spec;
    EXPECT_EQ(link.getLinkSpecifier(&spec), aErrNotFound);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, LinkDiscoverAndConnect,
    ::testing::Values(DiscoverCase{"TcpNeverFallsBack", TCPIP, 0x12345678, true, nullptr},
                      DiscoverCase{"TcpByModel", TCPIP, 0, true, nullptr},
                      DiscoverCase{"UsbWithoutFallback", USB, 0x12345678, false, nullptr},
                      DiscoverCase{"UsbFallsBackToAWeave", USB, 0x12345678, true,
                                   "Executing Fallback: aWeave\n"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
