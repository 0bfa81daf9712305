// The simulated module's core, driven with raw bytes and checked byte for byte.

#include "SimModule.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>

#include "SimTestSupport.h"

namespace {

using namespace sim::tessaline;
using namespace std::chrono_literals;
using simtest::Bytes;
using simtest::Hex;

using Clock = std::chrono::steady_clock;

// A module attached to a recording host; heartbeats off unless a test turns them on.
class SimModuleTest : public ::testing::Test {
  protected:
    void Make(SimModuleConfig config = {}) {
        module = std::make_unique<SimModule>(config);
        token = module->Attach(host.Sink(), [this] { ++hangUps; });
    }
    void SetUp() override { Make(); }

    void Feed(const std::string& hex) {
        std::vector<uint8_t> bytes = Bytes(hex);
        module->Receive(bytes.data(), bytes.size());
    }
    // Everything the module sent once it has dealt with everything fed.
    std::string Settle() {
        EXPECT_TRUE(module->WaitIdle(10s));
        return Hex(host.Bytes());
    }

    simtest::ByteRecorder host;  // declared first: outlives the module
    std::atomic<int> hangUps{0};
    std::unique_ptr<SimModule> module;
    uint64_t token = 0;
};

// --- Link commands and framing ----------------------------------------------------------------

TEST_F(SimModuleTest, AnswersAnIdentifyProbeWithAnEmptyPacketFromItsAddress) {
    Feed("AD 00");
    EXPECT_EQ(Settle(), "02 00");
    EXPECT_EQ(module->Stats().probesAnswered, 1u);
}

TEST_F(SimModuleTest, AnswersFromTheConfiguredAddress) {
    SimModuleConfig config;
    config.address = 0x08;
    Make(config);
    Feed("AD 00");
    EXPECT_EQ(Settle(), "08 00");

    module->UpdateConfig([](SimModuleConfig& c) { c.address = 0x0A; });
    host.Clear();
    Feed("AD 00");
    EXPECT_EQ(Settle(), "0A 00");
}

TEST_F(SimModuleTest, RecordsForceRouteOnAndOff) {
    EXPECT_FALSE(module->ForceRoute().has_value());
    Feed("AF 01 01");
    Settle();
    EXPECT_EQ(module->ForceRoute(), std::optional<bool>(true));
    Feed("AF 01 00");
    EXPECT_EQ(Settle(), "");  // force route is never answered
    EXPECT_EQ(module->ForceRouteHistory(), (std::vector<bool>{true, false}));
}

TEST_F(SimModuleTest, MalformedLinkCommandsAreCountedAndIgnored) {
    Feed("AD 01 00 AF 00 AF 01 02 AF 02 01 00");
    EXPECT_EQ(Settle(), "");
    EXPECT_EQ(module->Stats().malformedLinkCommands, 4u);
    EXPECT_TRUE(module->ForceRouteHistory().empty());
}

struct SplitCase {
    const char* name;
    size_t chunk;  // bytes per Receive call; 0 = all at once
};

void PrintTo(const SplitCase& c, std::ostream* os) {
    *os << c.name;
}

class SimModuleSplit : public SimModuleTest, public ::testing::WithParamInterface<SplitCase> {};

TEST_P(SimModuleSplit, BackToBackPacketsAreFramedHoweverTheBytesArrive) {
    std::vector<SimPacket> requests;
    module->SetRequestHandler(0x03, [&](SimModule& m, const SimPacket& request) {
        requests.push_back(request);
        m.Send(SimPacket{request.address, {0x03, 0x08, 0x00, 0x05}});
    });
    std::vector<uint8_t> stream = Bytes("AF 01 01 AD 00 02 03 03 48 20 00 AD 00 02 02 00 02");
    const size_t chunk = GetParam().chunk ? GetParam().chunk : stream.size();
    for (size_t at = 0; at < stream.size(); at += chunk)
        module->Receive(stream.data() + at, std::min(chunk, stream.size() - at));

    EXPECT_EQ(Settle(), "02 00 02 04 03 08 00 05 02 00");
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(ToString(requests[0]), "02 03 03 48 20");
    EXPECT_EQ(module->ForceRoute(), std::optional<bool>(true));
    SimModuleStats stats = module->Stats();
    EXPECT_EQ(stats.framingErrors, 1u);  // the stray 00
    EXPECT_EQ(stats.packetsReceived, 5u);
    EXPECT_EQ(module->HeartbeatAnswers(), std::vector<uint8_t>{0x02});
}

INSTANTIATE_TEST_SUITE_P(Chunks, SimModuleSplit,
                         ::testing::Values(SplitCase{"Whole", 0}, SplitCase{"ByteByByte", 1},
                                           SplitCase{"ThreeBytes", 3}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SimModuleTest, RecordsEveryPacketReceived) {
    Feed("AF 01 01 AD 00 04 01 17");
    Settle();
    std::vector<SimPacket> received = module->Received();
    ASSERT_EQ(received.size(), 3u);
    EXPECT_EQ(ToString(received[0]), "AF 01 01");
    EXPECT_EQ(ToString(received[1]), "AD 00");
    EXPECT_EQ(ToString(received[2]), "04 01 17");
    module->ClearReceived();
    EXPECT_TRUE(module->Received().empty());
}

TEST_F(SimModuleTest, ReceivedLogKeepsTheNewestPackets) {
    SimModuleConfig config;
    config.receivedLogLimit = 2;
    Make(config);
    Feed("02 01 10 02 01 11 02 01 12");
    Settle();
    std::vector<SimPacket> received = module->Received();
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(ToString(received[0]), "02 01 11");
    EXPECT_EQ(ToString(received[1]), "02 01 12");
}

// --- Handlers ---------------------------------------------------------------------------------

TEST_F(SimModuleTest, UnhandledRequestsAreRecordedAndNotAnswered) {
    Feed("02 02 49 FF 02 00");
    EXPECT_EQ(Settle(), "");
    std::vector<SimPacket> unhandled = module->Unhandled();
    ASSERT_EQ(unhandled.size(), 2u);
    EXPECT_EQ(ToString(unhandled[0]), "02 02 49 FF");
    EXPECT_EQ(ToString(unhandled[1]), "02 00");
    EXPECT_EQ(module->Stats().unhandledPackets, 2u);
}

TEST_F(SimModuleTest, RequestHandlersAreChosenByCommandByteAndCanBeRemoved) {
    module->SetRequestHandler(0x49, [](SimModule& m, const SimPacket& request) {
        m.Send(SimPacket{request.address, {0x49, 0xFF, 0x00, 0x00, 0x01, 0x02}});
    });
    module->SetRequestHandler(0x17, [](SimModule& m, const SimPacket& request) {
        m.Send(request);  // echo
    });
    Feed("02 02 49 FF 02 03 17 AA BB");
    EXPECT_EQ(Settle(), "02 06 49 FF 00 00 01 02 02 03 17 AA BB");

    module->SetRequestHandler(0x17, nullptr);
    host.Clear();
    Feed("02 02 17 01");
    EXPECT_EQ(Settle(), "");
    EXPECT_EQ(module->Unhandled().size(), 1u);
}

TEST_F(SimModuleTest, PacketsForOtherModulesGoToTheRouteHandler) {
    Feed("04 01 17");
    Settle();
    ASSERT_EQ(module->Unhandled().size(), 1u);  // no route handler yet

    std::vector<SimPacket> routed;
    module->SetRouteHandler([&](SimModule& m, const SimPacket& packet) {
        routed.push_back(packet);
        m.Send(SimPacket{packet.address, {0x17}});  // the sub-module answers
    });
    host.Clear();
    Feed("04 01 17 02 00");
    EXPECT_EQ(Settle(), "04 01 17");
    ASSERT_EQ(routed.size(), 1u);
    EXPECT_EQ(ToString(routed[0]), "04 01 17");
}

TEST_F(SimModuleTest, SendChecksThePacket) {
    EXPECT_EQ(module->Send(SimPacket{0x03, {}}), aErrParam);
    EXPECT_EQ(module->Send(SimPacket{0x00, {}}), aErrParam);
    EXPECT_EQ(module->Send(SimPacket{0x02, std::vector<uint8_t>(29, 0)}), aErrSize);
    EXPECT_EQ(module->Send(SimPacket{0x02, std::vector<uint8_t>(28, 0x11)}), aErrNone);
    EXPECT_EQ(module->SendRaw(Bytes("03 FF")), aErrNone);
    std::string sent = Settle();
    EXPECT_EQ(sent.substr(0, 6), "02 1C ");
    EXPECT_EQ(sent.substr(sent.size() - 5), "03 FF");
    EXPECT_EQ(host.Bytes().size(), 32u);

    module->Detach(token);
    EXPECT_EQ(module->Send(SimPacket{0x02, {}}), aErrConnection);
}

TEST_F(SimModuleTest, DetachStopsOutputAndANewAttachmentStartsInStep) {
    Feed("02 03 03");  // a partial packet from the first connection
    Settle();
    module->Detach(token);
    EXPECT_FALSE(module->IsAttached());
    module->Detach(token);  // harmless twice

    simtest::ByteRecorder second;
    uint64_t next = module->Attach(second.Sink());
    EXPECT_NE(next, token);
    Feed("AD 00");
    EXPECT_TRUE(module->WaitIdle(10s));
    EXPECT_EQ(Hex(second.Bytes()), "02 00");  // the probe was not eaten as payload
    EXPECT_EQ(Hex(host.Bytes()), "");
    module->Detach(next);
}

TEST_F(SimModuleTest, ScheduledTasksRunOnTheModulesTimer) {
    std::promise<void> ran;
    module->Schedule(10ms, [&] {
        module->Send(SimPacket{0x02, {0x42}});
        ran.set_value();
    });
    ASSERT_EQ(ran.get_future().wait_for(10s), std::future_status::ready);
    EXPECT_EQ(Settle(), "02 01 42");
}

// --- Heartbeats -------------------------------------------------------------------------------

TEST_F(SimModuleTest, SendsHeartbeatsAndChecksTheHostsAnswers) {
    module->UpdateConfig([](SimModuleConfig& c) { c.heartbeatInterval = 5ms; });
    std::vector<uint8_t> seen = host.WaitFor(8);  // two heartbeats
    module->UpdateConfig([](SimModuleConfig& c) { c.heartbeatInterval = 0ms; });
    ASSERT_GE(seen.size(), 8u);
    EXPECT_EQ(Hex({seen.begin(), seen.begin() + 8}), "02 02 00 00 02 02 00 00");

    // Two good answers, then one for an "HB DOWN" that was never sent.
    Feed("02 02 00 02 02 02 00 02 02 02 00 03");
    Settle();
    SimModuleStats stats = module->Stats();
    EXPECT_GE(stats.heartbeatsSent, 2u);
    EXPECT_EQ(stats.heartbeatAnswers, 2u);
    EXPECT_EQ(stats.unexpectedHeartbeatAnswers, 1u);
    EXPECT_EQ(module->HeartbeatAnswers(), (std::vector<uint8_t>{0x02, 0x02, 0x03}));
    // Heartbeat answers never reach a handler.
    EXPECT_TRUE(module->Unhandled().empty());
}

TEST_F(SimModuleTest, HeartbeatDownIsAnsweredWithThree) {
    SimModuleConfig config;
    config.heartbeatInterval = 5ms;
    config.heartbeatValue = kHeartbeatDown;
    config.address = 0x06;
    Make(config);
    std::vector<uint8_t> seen = host.WaitFor(4);
    module->UpdateConfig([](SimModuleConfig& c) { c.heartbeatInterval = 0ms; });
    EXPECT_EQ(Hex({seen.begin(), seen.begin() + 4}), "06 02 00 01");
    Feed("06 02 00 03");
    Settle();
    EXPECT_EQ(module->Stats().heartbeatAnswers, 1u);
    EXPECT_EQ(module->Stats().unexpectedHeartbeatAnswers, 0u);
}

TEST(SimModuleHeartbeat, NoHeartbeatWithoutATransport) {
    SimModuleConfig config;
    config.heartbeatInterval = 1ms;
    SimModule module(config);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(module.Stats().heartbeatsSent, 0u);
}

// --- Faults -----------------------------------------------------------------------------------

struct FaultCase {
    const char* name;
    const char* before;  // fed and dealt with before the fault is armed
    const char* fault;   // ParseFault text
    const char* input;
    const char* expected;  // everything the host receives
    std::chrono::milliseconds atLeast;
    bool disconnects = false;
    bool silences = false;
};

void PrintTo(const FaultCase& c, std::ostream* os) {
    *os << c.name;
}

class SimModuleFaults : public SimModuleTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(SimModuleFaults, ChangeTheWireExactly) {
    const FaultCase& c = GetParam();
    SimFault fault;
    ASSERT_TRUE(ParseFault(c.fault, &fault));
    Feed(c.before);
    Settle();
    module->InjectFault(fault);
    const auto start = Clock::now();
    Feed(c.input);
    EXPECT_EQ(Settle(), c.expected);
    EXPECT_GE(Clock::now() - start, c.atLeast);
    EXPECT_EQ(module->PendingFaults(), 0u);
    EXPECT_EQ(hangUps.load(), c.disconnects ? 1 : 0);
    EXPECT_EQ(module->IsAttached(), !c.disconnects);
    EXPECT_EQ(module->IsSilent(), c.silences);
}

constexpr const char* kThreeProbes = "AD 00 AD 00 AD 00";

INSTANTIATE_TEST_SUITE_P(
    Injection, SimModuleFaults,
    ::testing::Values(
        // Host to module.
        FaultCase{"InDropPacket", "", "in:packet:2:drop", kThreeProbes, "02 00 02 00", 0ms},
        FaultCase{"InDropByte", "", "in:byte:3:drop", kThreeProbes, "02 00 02 00", 0ms},
        FaultCase{"InCorruptByte", "", "in:byte:1:corrupt:01", kThreeProbes, "02 00 02 00", 0ms},
        FaultCase{"InCorruptPacketPayload", "", "in:packet:1:corrupt:2/01", "AF 01 01 AD 00",
                  "02 00", 0ms},
        FaultCase{"InDelayPacket", "", "in:packet:2:delay:150", kThreeProbes, "02 00 02 00 02 00",
                  150ms},
        FaultCase{"InDelayByte", "", "in:byte:2:delay:150", kThreeProbes, "02 00 02 00 02 00",
                  150ms},
        FaultCase{"InDisconnect", "AD 00", "in:packet:1:disconnect", "AD 00 AD 00", "02 00", 0ms,
                  true},
        FaultCase{"InSilent", "AD 00", "in:packet:1:silent", "AD 00 AD 00", "02 00", 0ms, false,
                  true},
        // Module to host.
        FaultCase{"OutDropPacket", "", "out:packet:2:drop", kThreeProbes, "02 00 02 00", 0ms},
        FaultCase{"OutDropByte", "", "out:byte:3:drop", kThreeProbes, "02 00 00 02 00", 0ms},
        FaultCase{"OutCorruptByte", "", "out:byte:2:corrupt:1d", kThreeProbes, "02 1D 02 00 02 00",
                  0ms},
        FaultCase{"OutCorruptPacket", "", "out:packet:2:corrupt:0/01", kThreeProbes,
                  "02 00 03 00 02 00", 0ms},
        FaultCase{"OutDelayPacket", "", "out:packet:1:delay:150", kThreeProbes, "02 00 02 00 02 00",
                  150ms},
        FaultCase{"OutDelayByte", "", "out:byte:4:delay:150", kThreeProbes, "02 00 02 00 02 00",
                  150ms},
        FaultCase{"OutDisconnect", "", "out:packet:2:disconnect", kThreeProbes, "02 00", 0ms, true},
        FaultCase{"OutSilent", "", "out:packet:3:silent", kThreeProbes, "02 00 02 00", 0ms, false,
                  true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SimModuleTest, ACorruptedIncomingByteChangesWhatTheModuleSees) {
    SimFault fault;
    ASSERT_TRUE(ParseFault("in:byte:1:corrupt:01", &fault));
    module->InjectFault(fault);
    Feed("AD 00 AF 01 01");
    Settle();
    // AD ^ 01 = AC: an empty packet for module 0xAC instead of a probe.
    std::vector<SimPacket> unhandled = module->Unhandled();
    ASSERT_EQ(unhandled.size(), 1u);
    EXPECT_EQ(ToString(unhandled[0]), "AC 00");
    EXPECT_EQ(module->ForceRoute(), std::optional<bool>(true));
}

TEST_F(SimModuleTest, ACorruptedForceRoutePayloadIsRecordedAsCorrupted) {
    SimFault fault;
    ASSERT_TRUE(ParseFault("in:packet:1:corrupt:2/01", &fault));
    module->InjectFault(fault);
    Feed("AF 01 01");
    Settle();
    EXPECT_EQ(module->ForceRouteHistory(), std::vector<bool>{false});
}

TEST_F(SimModuleTest, ADelayedByteSplitsTheDelivery) {
    SimFault fault;
    ASSERT_TRUE(ParseFault("out:byte:2:delay:50", &fault));
    module->InjectFault(fault);
    Feed("AD 00");
    EXPECT_EQ(Settle(), "02 00");
    EXPECT_EQ(host.Calls(), 2u);  // "02", then "00" after the pause
}

TEST_F(SimModuleTest, SilenceIgnoresInputAndStopsOutputUntilLifted) {
    module->SetSilent(true);
    module->UpdateConfig([](SimModuleConfig& c) { c.heartbeatInterval = 1ms; });
    Feed("AD 00 AF 01 01");
    EXPECT_EQ(Settle(), "");
    EXPECT_TRUE(module->Received().empty());
    EXPECT_EQ(module->Stats().heartbeatsSent, 0u);

    module->UpdateConfig([](SimModuleConfig& c) { c.heartbeatInterval = 0ms; });
    module->SetSilent(false);
    Feed("AD 00");
    EXPECT_EQ(Settle(), "02 00");
}

TEST_F(SimModuleTest, SilenceLeavesNoPartialPacketBehind) {
    Feed("02 03 03");  // cut off by the silence
    Settle();
    module->SetSilent(true);
    Feed("48");
    Settle();
    module->SetSilent(false);
    Feed("AD 00");
    EXPECT_EQ(Settle(), "02 00");
}

TEST_F(SimModuleTest, DisconnectHangsUpAndDropsTheRestOfThatConnection) {
    module->Disconnect();
    EXPECT_EQ(hangUps.load(), 1);
    EXPECT_FALSE(module->IsAttached());
    module->Disconnect();  // nothing attached: nothing happens
    EXPECT_EQ(hangUps.load(), 1);
    // What still trickles in from the transport before it is closed is never read.
    Feed("AD 00 AF 01 01");
    EXPECT_EQ(Settle(), "");
    EXPECT_TRUE(module->Received().empty());
}

TEST_F(SimModuleTest, BytesOfAHungUpConnectionAreNotRead) {
    SimFault fault;
    ASSERT_TRUE(ParseFault("in:packet:1:disconnect", &fault));
    module->InjectFault(fault);
    Feed("02 01 10 AF 01 01");
    Settle();
    EXPECT_TRUE(module->Received().empty());
    EXPECT_TRUE(module->ForceRouteHistory().empty());
}

}  // namespace
