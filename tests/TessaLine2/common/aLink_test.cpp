#include "aLink.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "LinkTestSupport.h"
#include "aLinkRegistry.h"
#include "packetfifo.h"

namespace {

using namespace linktest;

const Bytes kForceRouteOn{0xAF, 0x01, 0x01};
const Bytes kForceRouteOff{0xAF, 0x01, 0x00};
const Bytes kProbe{0xAD, 0x00};

// Long enough never to end a correct wait; only a hang reaches it.
constexpr uint32_t kNoHang = 10000;

bool sAcceptAll(const aPacket*, void*) {
    return true;
}

bool sFirstByteIs(const aPacket* packet, void* reference) {
    return packet->dataSize > 0 && packet->data[0] == *static_cast<uint8_t*>(reference);
}

// A user filter that records the wire bytes of every packet it sees and consumes them all.
struct RecordingFilter {
    std::mutex mutex;
    std::vector<Bytes> seen;

    static bool Proc(const aPacket* packet, void* reference) {
        auto* self = static_cast<RecordingFilter*>(reference);
        std::lock_guard<std::mutex> lock(self->mutex);
        self->seen.push_back(WireOf(packet));
        return true;
    }
    size_t Count() {
        std::lock_guard<std::mutex> lock(mutex);
        return seen.size();
    }
};

// One registered, initialised link over a scripted wire; the test starts it.
class LinkEngine : public ::testing::Test {
  protected:
    void SetUp() override {
        linksBefore_ = aLinkRegistry_Count();
        fifosBefore_ = aPacketFifo_RegisteredCount();
        wire_ = std::make_shared<ScriptedWire>();
        id_ = aLinkRegistry_Register(0x00C0FFEE, 0, 0, USB);
        ASSERT_NE(id_, 0u);
        ASSERT_EQ(aLinkRegistry_ChangeUseCount(id_, 1, nullptr), aErrNone);
        ASSERT_EQ(aLink_Init(id_, ScriptedWire::NewStream(wire_)), id_);
        ASSERT_EQ(aLink_GetStatus(id_), LINK_STOPPED);
    }

    void TearDown() override {
        EXPECT_EQ(aLink_Destroy(&id_), aErrNone);
        EXPECT_EQ(aLinkRegistry_Count(), linksBefore_);
        EXPECT_EQ(aPacketFifo_RegisteredCount(), fifosBefore_);
    }

    // Starts the link and waits until force route on has been written.
    void Start() {
        const size_t before = wire_->WriteCount();
        ASSERT_EQ(aLink_Start(id_), aErrNone);
        ASSERT_EQ(aLink_GetStatus(id_), LINK_RUNNING);
        ASSERT_TRUE(wire_->WaitForWrites([&](const std::vector<Bytes>& writes) {
            return writes.size() > before && writes.back() == kForceRouteOn;
        }));
    }

    aLinkRecord* Record() { return aLinkRegistry_FindById(id_)->link.get(); }

    // Feeds a framing error and waits for the status and the whole first probe burst.
    void BreakFraming() {
        const size_t before = wire_->WriteCount();
        wire_->Feed({0x05});
        ASSERT_TRUE(WaitUntil([&] { return aLink_GetStatus(id_) == LINK_SYNCING; }));
        ASSERT_TRUE(wire_->WaitForWrites([&](const std::vector<Bytes>& writes) {
            return writes.size() >= before + aLINK_SYNC_BURST;
        }));
    }

    std::shared_ptr<ScriptedWire> wire_;
    uint32_t id_ = 0;
    size_t linksBefore_ = 0;
    size_t fifosBefore_ = 0;
};

TEST_F(LinkEngine, StartRunsTheLinkAndStopWritesForceRouteOffBeforeTheThreadsEnd) {
    Start();
    EXPECT_EQ(Hex(wire_->Writes().front()), Hex(kForceRouteOn));
    EXPECT_EQ(aLink_Start(id_), aErrNone);  // already running

    EXPECT_EQ(aLink_Stop(Record()), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id_), LINK_STOPPED);
    // Written by the output thread before it ended: nothing comes after it.
    EXPECT_EQ(Hex(wire_->Writes().back()), Hex(kForceRouteOff));
    EXPECT_EQ(aLink_Stop(Record()), aErrNone);  // already stopped: nothing is queued
    EXPECT_EQ(Hex(wire_->Writes().back()), Hex(kForceRouteOff));

    // A stopped link starts again.
    Start();
    EXPECT_EQ(Hex(wire_->Writes().back()), Hex(kForceRouteOn));
}

TEST_F(LinkEngine, PacketsTravelBothWaysInWireFormat) {
    Start();
    PacketPtr out = MakePacket(0x04, {0x10, 0x20, 0x30});
    ASSERT_EQ(aLink_PutPacket(id_, out.get()), aErrNone);
    EXPECT_TRUE(wire_->WaitForWrite({0x04, 0x03, 0x10, 0x20, 0x30}));

    // An empty packet, a full one and a three-byte one, back to back.
    Bytes full{0x06, 28};
    for (uint8_t i = 0; i < 28; ++i) full.push_back(i);
    Bytes bytes{0x08, 0x00};
    bytes.insert(bytes.end(), full.begin(), full.end());
    bytes.insert(bytes.end(), {0x0A, 0x03, 0x01, 0x02, 0x03});
    wire_->Feed(bytes);
    for (const Bytes& expected : {Bytes{0x08, 0x00}, full, Bytes{0x0A, 0x03, 0x01, 0x02, 0x03}}) {
        PacketPtr in(aLink_AwaitPacket(id_, kNoHang));
        ASSERT_TRUE(in);
        EXPECT_EQ(Hex(WireOf(in.get())), Hex(expected));
    }
    EXPECT_EQ(aLink_GetStatus(id_), LINK_RUNNING);
    EXPECT_EQ(linktest::CountProbes(wire_->Writes()), 0u);
}

struct FramingCase {
    const char* name;
    Bytes bytes;
};

class LinkFramingError : public LinkEngine, public ::testing::WithParamInterface<FramingCase> {};

TEST_P(LinkFramingError, StartsABurstOfSixProbesAndSetsSyncing) {
    Start();
    const size_t before = wire_->WriteCount();
    wire_->Feed(GetParam().bytes);
    ASSERT_TRUE(WaitUntil([&] { return aLink_GetStatus(id_) == LINK_SYNCING; }));
    ASSERT_TRUE(wire_->WaitForWrites([&](const std::vector<Bytes>& writes) {
        return writes.size() >= before + aLINK_SYNC_BURST;
    }));
    std::vector<Bytes> writes = wire_->Writes();
    for (size_t i = before; i < before + aLINK_SYNC_BURST; ++i) {
        EXPECT_EQ(Hex(writes[i]), Hex(kProbe)) << "write " << i;
    }
    EXPECT_EQ(aLink_GetPacket(id_), nullptr);  // framing errors never surface as packets
}

INSTANTIATE_TEST_SUITE_P(Framing, LinkFramingError,
                         ::testing::Values(FramingCase{"OddAddress", {0x05}},
                                           FramingCase{"ZeroAddress", {0x00}},
                                           FramingCase{"LengthAbove28", {0x04, 29}},
                                           FramingCase{"ProbeAddressFromModule", {0xAD, 0x00}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(LinkEngine, TwoEmptyAnswersFromOneModuleCompleteSynchronisation) {
    Start();
    BreakFraming();
    wire_->Feed({0x08, 0x00, 0x08, 0x00});
    ASSERT_TRUE(WaitUntil([&] { return aLink_GetStatus(id_) == LINK_RUNNING; }));

    // In step again: the next bytes are packets.
    wire_->Feed({0x08, 0x01, 0x55});
    PacketPtr in(aLink_AwaitPacket(id_, kNoHang));
    ASSERT_TRUE(in);
    EXPECT_EQ(Hex(WireOf(in.get())), "08 01 55");
}

TEST_F(LinkEngine, AnswersFromTwoAddressesLeaveTheLinkSyncing) {
    Start();
    BreakFraming();
    wire_->Feed({0x08, 0x00, 0x0A, 0x00});
    ASSERT_TRUE(wire_->WaitConsumed());
    EXPECT_EQ(aLink_GetStatus(id_), LINK_SYNCING);

    wire_->Feed({0x08, 0x00, 0x08, 0x00});
    EXPECT_TRUE(WaitUntil([&] { return aLink_GetStatus(id_) == LINK_RUNNING; }));
}

TEST_F(LinkEngine, SyncStateMachineRejectsBrokenAnswers) {
    // Each sequence is fed after a fresh burst; none completes synchronisation.
    const std::vector<Bytes> broken = {
        {0x08, 0x01, 0x08, 0x00},  // second byte not 0x00
        {0x08, 0x00, 0x08, 0x01},  // fourth byte not 0x00
        {0x07, 0x00, 0x07, 0x00},  // odd address
        {0x00, 0x00, 0x00, 0x00},  // no address
    };
    Start();
    BreakFraming();
    for (const Bytes& bytes : broken) {
        wire_->Feed(bytes);
        ASSERT_TRUE(wire_->WaitConsumed());
        EXPECT_EQ(aLink_GetStatus(id_), LINK_SYNCING) << Hex(bytes);
    }
}

struct HeartbeatCase {
    uint8_t x;
    uint8_t answer;
};

class LinkHeartbeat : public LinkEngine, public ::testing::WithParamInterface<HeartbeatCase> {};

TEST_P(LinkHeartbeat, IsAnsweredAndNeverQueued) {
    Start();
    const uint8_t x = GetParam().x;
    wire_->Feed({0x06, 0x02, 0x00, x, 0x06, 0x01, 0x42});
    EXPECT_TRUE(wire_->WaitForWrite({0x06, 0x02, 0x00, GetParam().answer}));
    // The packet behind the heartbeat is the first one queued.
    PacketPtr in(aLink_AwaitPacket(id_, kNoHang));
    ASSERT_TRUE(in);
    EXPECT_EQ(Hex(WireOf(in.get())), "06 01 42");
    EXPECT_EQ(aLink_GetPacket(id_), nullptr);
}

INSTANTIATE_TEST_SUITE_P(UpAndDown, LinkHeartbeat,
                         ::testing::Values(HeartbeatCase{0x00, 0x02}, HeartbeatCase{0x01, 0x03}));

TEST_F(LinkEngine, AUserFilterThatAcceptsEverythingSeesHeartbeatsAndSuppressesTheAnswer) {
    Start();
    RecordingFilter filter;
    ASSERT_EQ(aLink_InstallUserPacketFilter(id_, RecordingFilter::Proc, &filter), aErrNone);
    wire_->Feed({0x06, 0x02, 0x00, 0x01, 0x06, 0x01, 0x42});
    ASSERT_TRUE(WaitUntil([&] { return filter.Count() == 2; }));
    EXPECT_EQ(Hex(filter.seen[0]), "06 02 00 01");
    EXPECT_EQ(Hex(filter.seen[1]), "06 01 42");

    // An answer would have been queued before the filter saw the next packet: a marker queued
    // now goes out after it.
    PacketPtr marker = MakePacket(0x02, {0x77});
    ASSERT_EQ(aLink_PutPacket(id_, marker.get()), aErrNone);
    ASSERT_TRUE(wire_->WaitForWrite({0x02, 0x01, 0x77}));
    for (const Bytes& write : wire_->Writes()) EXPECT_NE(Hex(write), "06 02 00 03");
    EXPECT_EQ(aLink_GetPacket(id_), nullptr);

    // Removed, the filter sees nothing more and packets are queued again.
    ASSERT_EQ(aLink_InstallUserPacketFilter(id_, nullptr, nullptr), aErrNone);
    wire_->Feed({0x06, 0x01, 0x43});
    PacketPtr in(aLink_AwaitPacket(id_, kNoHang));
    ASSERT_TRUE(in);
    EXPECT_EQ(Hex(WireOf(in.get())), "06 01 43");
    EXPECT_EQ(filter.Count(), 2u);
}

TEST_F(LinkEngine, AUserFilterConsumesOnlyWhatItAccepts) {
    Start();
    uint8_t wanted = 0x99;
    ASSERT_EQ(aLink_InstallUserPacketFilter(id_, sFirstByteIs, &wanted), aErrNone);
    wire_->Feed({0x04, 0x01, 0x99, 0x04, 0x01, 0x11});
    PacketPtr in(aLink_AwaitPacket(id_, kNoHang));
    ASSERT_TRUE(in);
    EXPECT_EQ(Hex(WireOf(in.get())), "04 01 11");
}

TEST_F(LinkEngine, PooledWritesCarryAsManyWholePacketsAsFitIn4096Bytes) {
    Start();
    ASSERT_EQ(aLink_EnablePooledPackets(id_, true), aErrNone);
    // The output thread takes a first packet and is held inside its write while 200 more queue.
    wire_->HoldWrites(true);
    PacketPtr first = MakePacket(0x02, {0xEE});
    ASSERT_EQ(aLink_PutPacket(id_, first.get()), aErrNone);
    ASSERT_TRUE(wire_->WaitWriterBlocked());
    const size_t before = wire_->WriteCount();
    for (int i = 0; i < 200; ++i) {
        Bytes payload(28, static_cast<uint8_t>(i));
        PacketPtr packet = MakePacket(0x04, payload);
        ASSERT_EQ(aLink_PutPacket(id_, packet.get()), aErrNone);
    }
    wire_->HoldWrites(false);
    ASSERT_TRUE(wire_->WaitForWrites(
        [&](const std::vector<Bytes>& writes) { return writes.size() >= before + 3; }));

    std::vector<Bytes> writes = wire_->Writes();
    ASSERT_EQ(writes.size(), before + 3);
    EXPECT_EQ(Hex(writes[before]), "02 01 EE");
    ASSERT_EQ(writes[before + 1].size(), 136u * 30);
    ASSERT_EQ(writes[before + 2].size(), 64u * 30);
    // Every packet whole and in order.
    int next = 0;
    for (size_t w = before + 1; w < before + 3; ++w) {
        for (const Bytes& packet : SplitPackets(writes[w])) {
            ASSERT_EQ(packet.size(), 30u);
            EXPECT_EQ(packet[0], 0x04);
            EXPECT_EQ(packet[2], next++);
        }
    }
    EXPECT_EQ(next, 200);

    // Pooling off again: one write per packet.
    ASSERT_EQ(aLink_EnablePooledPackets(id_, false), aErrNone);
    wire_->HoldWrites(true);
    ASSERT_EQ(aLink_PutPacket(id_, first.get()), aErrNone);
    ASSERT_TRUE(wire_->WaitWriterBlocked());
    for (int i = 0; i < 3; ++i) ASSERT_EQ(aLink_PutPacket(id_, first.get()), aErrNone);
    wire_->HoldWrites(false);
    ASSERT_TRUE(wire_->WaitForWrites(
        [&](const std::vector<Bytes>& writes) { return writes.size() == before + 7; }));
}

TEST_F(LinkEngine, AwaitFirstWaitsOnlyOnARunningLinkInStep) {
    // Not started: null at once.
    auto start = Clock::now();
    EXPECT_EQ(aLink_AwaitFirst(id_, sAcceptAll, nullptr, kNoHang), nullptr);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(kNoHang / 2));

    Start();
    uint8_t wanted = 0x22;
    wire_->Feed({0x04, 0x01, 0x11, 0x04, 0x01, 0x22});
    PacketPtr match(aLink_AwaitFirst(id_, sFirstByteIs, &wanted, kNoHang));
    ASSERT_TRUE(match);
    EXPECT_EQ(Hex(WireOf(match.get())), "04 01 22");
    // The packet that did not match stays queued; a wait for something else times out.
    uint8_t absent = 0x33;
    EXPECT_EQ(aLink_AwaitFirst(id_, sFirstByteIs, &absent, 30), nullptr);
    PacketPtr left(aLink_GetPacket(id_));
    ASSERT_TRUE(left);
    EXPECT_EQ(left->data[0], 0x11);
    EXPECT_EQ(aLink_AwaitFirst(id_, nullptr, nullptr, 30), nullptr);

    // Synchronising: null at once, even with a packet queued that would match.
    wire_->Feed({0x04, 0x01, 0x22});
    ASSERT_TRUE(wire_->WaitConsumed());
    BreakFraming();
    start = Clock::now();
    EXPECT_EQ(aLink_AwaitFirst(id_, sAcceptAll, nullptr, kNoHang), nullptr);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(kNoHang / 2));
}

TEST_F(LinkEngine, AReadErrorSetsIoErrorUntilASynchronisationCompletes) {
    Start();
    wire_->FeedError(aErrIO);
    ASSERT_TRUE(WaitUntil([&] { return aLink_GetStatus(id_) == IO_ERROR; }));
    // Packets still arrive, but the status stays.
    wire_->Feed({0x04, 0x01, 0x11});
    PacketPtr in(aLink_AwaitPacket(id_, kNoHang));
    ASSERT_TRUE(in);
    EXPECT_EQ(aLink_GetStatus(id_), IO_ERROR);

    wire_->SetResponder(AnswerProbes(0x08));
    EXPECT_EQ(aLink_Sync(id_), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id_), LINK_RUNNING);
}

TEST_F(LinkEngine, AnIncomingPacketTheFifoRefusesSetsPacketError) {
    Start();
    aPacketFifoHandle incoming = Record()->incoming;
    ASSERT_EQ(aPacketFifo_Destroy(&incoming), aErrNone);
    wire_->Feed({0x04, 0x01, 0x11});
    EXPECT_TRUE(WaitUntil([&] { return aLink_GetStatus(id_) == LINK_PACKET_ERROR; }));
}

TEST_F(LinkEngine, SyncOnRequestGetsInStepAndDrainsBothQueues) {
    Start();
    wire_->SetResponder(AnswerProbes(0x08));
    wire_->Feed({0x04, 0x01, 0x11, 0x04, 0x01, 0x12, 0x04, 0x01, 0x13});
    ASSERT_TRUE(WaitUntil([&] { return aPacketFifo_GetLength(Record()->incoming) == 3; }));

    EXPECT_EQ(aLink_Sync(id_), aErrNone);
    EXPECT_EQ(aLink_GetStatus(id_), LINK_RUNNING);
    EXPECT_GE(CountProbes(wire_->Writes()), 1u);
    // The old packets and the remaining answers to the burst are gone.
    EXPECT_EQ(aPacketFifo_GetLength(Record()->incoming), 0u);
    EXPECT_EQ(aPacketFifo_GetLength(Record()->outgoing), 0u);
}

TEST_F(LinkEngine, SyncWithoutAnAnswerGivesUpAfterTwoSeconds) {
    EXPECT_EQ(aLink_Sync(id_), aErrNotReady);  // not running: nothing to synchronise
    EXPECT_EQ(aLink_GetStatus(id_), LINK_STOPPED);

    Start();
    EXPECT_EQ(aLink_Sync(id_), aErrNotReady);
    EXPECT_EQ(aLink_GetStatus(id_), LINK_SYNCING);
}

TEST_F(LinkEngine, AnIdleOrUnansweredLinkDoesNotSpin) {
    Start();
    // Idle: the input thread sleeps in the stream's wait between reads.
    const uint64_t gets = wire_->EmptyGets();
    const uint64_t waits = wire_->TimedOutWaits();
    std::this_thread::sleep_for(500ms);
    EXPECT_GE(wire_->TimedOutWaits(), waits + 1);
    EXPECT_LT(wire_->EmptyGets() - gets, 500u);  // about 20 at 25 ms a wait

    // Unanswered probes go out a burst per wait, not a burst per empty read.
    BreakFraming();
    const size_t probes = CountProbes(wire_->Writes());
    std::this_thread::sleep_for(500ms);
    EXPECT_LT(CountProbes(wire_->Writes()) - probes, 6u * 200);  // about 120
}

TEST_F(LinkEngine, AStreamWithoutAWaitIsPacedByTheSpinGuard) {
    auto wire = std::make_shared<ScriptedWire>();
    uint32_t id = aLinkRegistry_Register(0x0BADF00D, 0, 0, USB);
    ASSERT_EQ(aLink_Init(id, ScriptedWire::NewStream(wire, false)), id);
    ASSERT_EQ(aLink_Start(id), aErrNone);
    const uint64_t gets = wire->EmptyGets();
    std::this_thread::sleep_for(500ms);
    EXPECT_LT(wire->EmptyGets() - gets, 500u);  // about 100 at 5 ms a pause
    wire->Feed({0x04, 0x01, 0x11});
    PacketPtr in(aLink_AwaitPacket(id, kNoHang));
    EXPECT_TRUE(in);
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
}

TEST_F(LinkEngine, PacketDebugLogRecordsBothDirectionsAndCallersTexts) {
    EXPECT_EQ(aLink_PacketDebug_Read(id_, nullptr, nullptr, nullptr), aErrNotReady);
    EXPECT_EQ(aLink_PacketDebug_Write(id_, aLINK_LOG_TEXT, 0, nullptr), aErrNotReady);
    EXPECT_EQ(aLink_PacketDebug_Disable(id_), aErrNotReady);

    EXPECT_EQ(aLink_PacketDebug_SetLogSize(id_, aLINK_LOG_MAX_SIZE + 1), aErrParam);
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(id_, aLINK_LOG_MAX_SIZE), aErrNone);
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(id_, -5), aErrNone);  // taken as the default
    ASSERT_EQ(aLink_PacketDebug_Enable(id_), aErrNone);
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(id_, 100), aErrBusy);
    EXPECT_EQ(aLink_PacketDebug_Enable(id_), aErrNone);  // keeps the log it has

    Start();
    wire_->Feed({0x04, 0x01, 0xAA});
    PacketPtr in(aLink_AwaitPacket(id_, kNoHang));
    ASSERT_TRUE(in);
    ASSERT_EQ(aLink_PacketDebug_Disable(id_), aErrNone);  // records keep coming
    PacketPtr out = MakePacket(0x02, {0xBB});
    ASSERT_EQ(aLink_PutPacket(id_, out.get()), aErrNone);
    const uint8_t text[] = "START";
    ASSERT_TRUE(wire_->WaitForWrite({0x02, 0x01, 0xBB}));

    struct Record {
        uint8_t tag;
        Bytes bytes;
    };
    std::vector<Record> records;
    ASSERT_TRUE(WaitUntil([&] {
        uint8_t tag = 0;
        uint8_t buffer[64];
        uint32_t length = sizeof buffer;
        if (aLink_PacketDebug_Read(id_, &tag, &length, buffer) == aErrNone) {
            records.push_back({tag, Bytes(buffer, buffer + length)});
        }
        return records.size() == 3;
    }));
    // Each pipe records in its own order; the two pipes interleave as they run.
    std::vector<std::string> outgoing, incoming;
    for (const Record& record : records) {
        ASSERT_TRUE(record.tag == aLINK_LOG_OUTGOING || record.tag == aLINK_LOG_INCOMING);
        (record.tag == aLINK_LOG_OUTGOING ? outgoing : incoming).push_back(Hex(record.bytes));
    }
    EXPECT_EQ(outgoing, (std::vector<std::string>{Hex(kForceRouteOn), "02 01 BB"}));
    EXPECT_EQ(incoming, (std::vector<std::string>{"04 01 AA"}));

    ASSERT_EQ(aLink_PacketDebug_Write(id_, aLINK_LOG_TEXT, sizeof text, text), aErrNone);
    uint8_t tag = 0;
    uint8_t small[2];
    uint32_t length = sizeof small;
    EXPECT_EQ(aLink_PacketDebug_Read(id_, &tag, &length, small), aErrOverrun);
    EXPECT_EQ(length, sizeof text);
    uint8_t buffer[64];
    length = sizeof buffer;
    ASSERT_EQ(aLink_PacketDebug_Read(id_, &tag, &length, buffer), aErrNone);
    EXPECT_EQ(tag, aLINK_LOG_TEXT);
    EXPECT_STREQ(reinterpret_cast<const char*>(buffer), "START");
    length = sizeof buffer;
    EXPECT_EQ(aLink_PacketDebug_Read(id_, &tag, &length, buffer), aErrNotFound);
}

TEST_F(LinkEngine, InitWithoutAStreamCanNotStart) {
    uint32_t id = aLinkRegistry_Register(0x0BADF00D, 0, 0, USB);
    ASSERT_EQ(aLink_Init(id, nullptr), id);
    EXPECT_EQ(aLink_GetStatus(id), LINK_NO_STREAM);
    EXPECT_EQ(aLink_Start(id), aErrConnection);
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);

    Start();
    auto wire = std::make_shared<ScriptedWire>();
    EXPECT_EQ(aLink_Init(id_, ScriptedWire::NewStream(wire)), 0u);  // running: refused
    EXPECT_EQ(aLink_GetStatus(id_), LINK_RUNNING);
}

TEST(LinkEngineWithoutLink, EveryOperationOnAnUnknownIdFailsCleanly) {
    const uint32_t unknown = 0xFFFFFF00;
    PacketPtr packet = MakePacket(0x02, {0x01});
    uint8_t tag = 0;
    uint32_t length = 0;
    EXPECT_EQ(aLink_GetStatus(unknown), LINK_NO_STREAM);
    EXPECT_EQ(aLink_GetStatus(0), LINK_NO_STREAM);
    EXPECT_EQ(aLink_Init(unknown, nullptr), 0u);
    EXPECT_EQ(aLink_Start(unknown), aErrParam);
    EXPECT_EQ(aLink_Stop(nullptr), aErrParam);
    EXPECT_EQ(aLink_Sync(unknown), aErrParam);
    EXPECT_EQ(aLink_ForceRoute(unknown, 1), aErrNotFound);
    EXPECT_EQ(aLink_PutPacket(unknown, packet.get()), aErrParam);
    EXPECT_EQ(aLink_GetPacket(unknown), nullptr);
    EXPECT_EQ(aLink_AwaitPacket(unknown, 10), nullptr);
    EXPECT_EQ(aLink_GetFirst(unknown, sAcceptAll, nullptr), nullptr);
    EXPECT_EQ(aLink_AwaitFirst(unknown, sAcceptAll, nullptr, 10), nullptr);
    EXPECT_EQ(aLink_DrainPackets(unknown, sAcceptAll, nullptr), 0u);
    EXPECT_EQ(aLink_InstallUserPacketFilter(unknown, sAcceptAll, nullptr), aErrParam);
    EXPECT_EQ(aLink_EnablePooledPackets(unknown, true), aErrParam);
    EXPECT_EQ(aLink_PacketDebug_SetLogSize(unknown, 10), aErrParam);
    EXPECT_EQ(aLink_PacketDebug_Enable(unknown), aErrParam);
    EXPECT_EQ(aLink_PacketDebug_Disable(unknown), aErrParam);
    EXPECT_EQ(aLink_PacketDebug_Read(unknown, &tag, &length, nullptr), aErrParam);
    EXPECT_EQ(aLink_PacketDebug_Write(unknown, 3, 0, nullptr), aErrParam);

    // Registered but never initialised: the id exists, the link does not.
    uint32_t id = aLinkRegistry_Register(0x0BADF00D, 0, 0, USB);
    EXPECT_EQ(aLink_ForceRoute(id, 1), aErrParam);
    EXPECT_EQ(aLink_GetStatus(id), LINK_NO_STREAM);
    EXPECT_EQ(aLink_Destroy(&id), aErrNone);
}

}  // namespace
