#include "packetfifo.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "aThread.h"

namespace {

using PacketPtr = std::unique_ptr<aPacket, aPacketDeleter>;
using Clock = std::chrono::steady_clock;

// Long enough never to end a correct wait; only a hang reaches it.
constexpr uint32_t kNoHang = 60000;

PacketPtr Make(std::vector<uint8_t> payload, uint8_t address = 4) {
    return PacketPtr(
        aPacket_CreateWithData(address, static_cast<uint8_t>(payload.size()), payload.data()));
}

aErr Put(aPacketFifoHandle fifo, std::vector<uint8_t> payload) {
    PacketPtr packet = Make(std::move(payload));
    return aPacketFifo_Put(fifo, packet.get());
}

uint8_t First(const aPacket* packet) {
    return packet->data[0];
}

// Spins politely until `condition` holds; false after a generous guard time.
template <typename Condition>
bool Eventually(Condition condition) {
    const auto limit = Clock::now() + std::chrono::seconds(30);
    while (!condition()) {
        if (Clock::now() > limit) return false;
        aThread_Yield();
    }
    return true;
}

// Counts its calls (reference is a std::atomic<int>) and accepts payloads starting with 0xAA.
bool sCountAndMatchAA(const aPacket* packet, void* reference) {
    ++*static_cast<std::atomic<int>*>(reference);
    return packet->data[0] == 0xAA;
}

bool sEven(const aPacket* packet, void*) {
    return packet->data[0] % 2 == 0;
}

bool sFirstByteIs(const aPacket* packet, void* reference) {
    return packet->data[0] == *static_cast<const uint8_t*>(reference);
}

class FifoTest : public ::testing::Test {
  protected:
    void SetUp() override {
        registered_ = aPacketFifo_RegisteredCount();
        fifo_ = aPacketFifo_Create();
        ASSERT_NE(fifo_, 0u);
    }
    void TearDown() override {
        if (fifo_) {
            EXPECT_EQ(aPacketFifo_Destroy(&fifo_), aErrNone);
        }
        EXPECT_EQ(aPacketFifo_RegisteredCount(), registered_) << "every queue was released";
    }
    std::vector<uint8_t> TakeAllFirstBytes() {
        std::vector<uint8_t> firsts;
        while (PacketPtr p{aPacketFifo_Get(fifo_)}) firsts.push_back(First(p.get()));
        return firsts;
    }

    aPacketFifoHandle fifo_ = 0;
    size_t registered_ = 0;
};

TEST_F(FifoTest, PacketsComeOutInOrderAsCallerCopies) {
    PacketPtr mine = Make({1});
    ASSERT_EQ(aPacketFifo_Put(fifo_, mine.get()), aErrNone);
    mine->data[0] = 99;  // the queue holds its own copy
    for (uint8_t i = 2; i <= 5; ++i) ASSERT_EQ(Put(fifo_, {i}), aErrNone);
    EXPECT_EQ(aPacketFifo_GetLength(fifo_), 5u);
    PacketPtr first{aPacketFifo_Get(fifo_)};
    ASSERT_NE(first, nullptr);
    EXPECT_NE(first.get(), mine.get());
    EXPECT_TRUE(aPacket_IsComplete(first.get()));
    EXPECT_EQ(First(first.get()), 1);
    EXPECT_EQ(TakeAllFirstBytes(), (std::vector<uint8_t>{2, 3, 4, 5}));
    EXPECT_EQ(aPacketFifo_Get(fifo_), nullptr);
    EXPECT_EQ(aPacketFifo_GetLength(fifo_), 0u);
}

TEST_F(FifoTest, UnknownHandlesBehaveAsEmpty) {
    aPacketFifoHandle gone = aPacketFifo_Create();
    const aPacketFifoHandle stale = gone;
    ASSERT_EQ(aPacketFifo_Destroy(&gone), aErrNone);
    EXPECT_EQ(gone, 0u);
    std::atomic<int> calls{0};
    for (aPacketFifoHandle handle : {aPacketFifoHandle{0}, stale}) {
        EXPECT_EQ(Put(handle, {1}), aErrParam);
        EXPECT_EQ(aPacketFifo_GetLength(handle), 0u);
        EXPECT_EQ(aPacketFifo_Get(handle), nullptr);
        EXPECT_EQ(aPacketFifo_Await(handle, 10), nullptr);
        EXPECT_EQ(aPacketFifo_GetFirst(handle, sCountAndMatchAA, &calls), nullptr);
        EXPECT_EQ(aPacketFifo_AwaitFirst(handle, sCountAndMatchAA, &calls, 10), nullptr);
        EXPECT_EQ(aPacketFifo_DrainPackets(handle, sCountAndMatchAA, &calls), 0u);
        aPacketFifoHandle copy = handle;
        EXPECT_EQ(aPacketFifo_Destroy(&copy), aErrNotFound);
        EXPECT_EQ(copy, handle) << "left unchanged";
    }
    EXPECT_EQ(calls.load(), 0);
    EXPECT_EQ(aPacketFifo_Destroy(nullptr), aErrParam);
}

TEST_F(FifoTest, RefusesInvalidPacketsAndFilters) {
    aPacket forged{};
    EXPECT_EQ(aPacketFifo_Put(fifo_, &forged), aErrParam);
    EXPECT_EQ(aPacketFifo_Put(fifo_, nullptr), aErrParam);
    ASSERT_EQ(Put(fifo_, {1}), aErrNone);
    EXPECT_EQ(aPacketFifo_GetFirst(fifo_, nullptr, nullptr), nullptr);
    EXPECT_EQ(aPacketFifo_AwaitFirst(fifo_, nullptr, nullptr, 10), nullptr);
    EXPECT_EQ(aPacketFifo_DrainPackets(fifo_, nullptr, nullptr), 0u);
    EXPECT_EQ(aPacketFifo_GetLength(fifo_), 1u);
}

TEST_F(FifoTest, HandlesAreDistinctAndNeverZero) {
    std::set<aPacketFifoHandle> handles;
    for (int i = 0; i < 100; ++i) handles.insert(aPacketFifo_Create());
    EXPECT_EQ(handles.size(), 100u);
    EXPECT_EQ(handles.count(0), 0u);
    EXPECT_EQ(handles.count(fifo_), 0u);
    for (aPacketFifoHandle h : handles) EXPECT_EQ(aPacketFifo_Destroy(&h), aErrNone);
}

TEST_F(FifoTest, The1001stPacketEmptiesTheQueue) {
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(Put(fifo_, {static_cast<uint8_t>(i)}), aErrNone);
    EXPECT_EQ(aPacketFifo_GetLength(fifo_), 1000u);
    EXPECT_EQ(Put(fifo_, {0xAA}), aErrNone);
    EXPECT_EQ(aPacketFifo_GetLength(fifo_), 0u);
    EXPECT_EQ(Put(fifo_, {7}), aErrNone);
    EXPECT_EQ(TakeAllFirstBytes(), std::vector<uint8_t>{7});
}

TEST_F(FifoTest, GetFirstTakesTheOldestMatch) {
    for (uint8_t b : {1, 3, 4, 5, 6}) ASSERT_EQ(Put(fifo_, {b}), aErrNone);
    PacketPtr even{aPacketFifo_GetFirst(fifo_, sEven, nullptr)};
    ASSERT_NE(even, nullptr);
    EXPECT_EQ(First(even.get()), 4);
    uint8_t wanted = 9;
    EXPECT_EQ(aPacketFifo_GetFirst(fifo_, sFirstByteIs, &wanted), nullptr);
    EXPECT_EQ(TakeAllFirstBytes(), (std::vector<uint8_t>{1, 3, 5, 6}));
}

TEST_F(FifoTest, DrainRemovesAcceptedPacketsAndKeepsTheOrder) {
    struct Alternate {
        int calls = 0;
        static bool Accept(const aPacket*, void* reference) {
            return static_cast<Alternate*>(reference)->calls++ % 2 == 1;
        }
    } alternate;
    for (uint8_t b = 0; b < 9; ++b) ASSERT_EQ(Put(fifo_, {b}), aErrNone);
    EXPECT_EQ(aPacketFifo_DrainPackets(fifo_, Alternate::Accept, &alternate), 4u);
    EXPECT_EQ(alternate.calls, 9) << "each packet offered once";
    EXPECT_EQ(TakeAllFirstBytes(), (std::vector<uint8_t>{0, 2, 4, 6, 8}));
}

TEST_F(FifoTest, AwaitTimesOutOnAnEmptyQueue) {
    const auto start = Clock::now();
    EXPECT_EQ(aPacketFifo_Await(fifo_, 50), nullptr);
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(50));
    EXPECT_LT(waited, std::chrono::seconds(30));
    EXPECT_EQ(aPacketFifo_Await(fifo_, 0), nullptr);
}

TEST_F(FifoTest, AwaitReturnsAPacketPutLater) {
    std::thread producer([this] {
        aThread_Yield();
        EXPECT_EQ(Put(fifo_, {0x42}), aErrNone);
    });
    PacketPtr got{aPacketFifo_Await(fifo_, kNoHang)};
    producer.join();
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(First(got.get()), 0x42);
}

// Three queued packets that do not match, two more arriving while the waiter waits: the filter
// sees each of them exactly once, however often the waiter wakes.
TEST_F(FifoTest, AwaitFirstOffersEveryPacketOnce) {
    for (uint8_t b : {1, 2, 3}) ASSERT_EQ(Put(fifo_, {b}), aErrNone);
    std::atomic<int> calls{0};
    PacketPtr got;
    std::thread waiter(
        [&] { got.reset(aPacketFifo_AwaitFirst(fifo_, sCountAndMatchAA, &calls, kNoHang)); });
    for (int seen = 3; seen <= 5; ++seen) {
        ASSERT_TRUE(Eventually([&] { return calls.load() >= seen; }));
        EXPECT_EQ(calls.load(), seen);
        ASSERT_EQ(Put(fifo_, {static_cast<uint8_t>(seen == 5 ? 0xAA : seen + 1)}), aErrNone);
    }
    waiter.join();
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(First(got.get()), 0xAA);
    EXPECT_EQ(calls.load(), 6);
    EXPECT_EQ(TakeAllFirstBytes(), (std::vector<uint8_t>{1, 2, 3, 4, 5}));
}

TEST_F(FifoTest, AwaitFirstTimesOutAfterOfferingEachPacketOnce) {
    for (uint8_t b : {1, 2, 3}) ASSERT_EQ(Put(fifo_, {b}), aErrNone);
    std::atomic<int> calls{0};
    const auto start = Clock::now();
    EXPECT_EQ(aPacketFifo_AwaitFirst(fifo_, sCountAndMatchAA, &calls, 50), nullptr);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(50));
    EXPECT_EQ(calls.load(), 3);
    EXPECT_EQ(aPacketFifo_GetLength(fifo_), 3u);
}

TEST_F(FifoTest, DestroyReleasesEveryWaiter) {
    ASSERT_EQ(Put(fifo_, {1}), aErrNone);
    const aPacketFifoHandle fifo = fifo_;  // the waiters' copy: Destroy clears fifo_
    std::atomic<int> calls{0};
    std::atomic<int> nulls{0};
    std::vector<std::thread> waiters;
    const auto start = Clock::now();
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([&] {
            if (!aPacketFifo_AwaitFirst(fifo, sCountAndMatchAA, &calls, kNoHang)) ++nulls;
        });
    }
    // The filtered waiters have looked at the queued packet, so they are inside their wait.
    ASSERT_TRUE(Eventually([&] { return calls.load() == 3; }));
    PacketPtr queued{aPacketFifo_Get(fifo_)};  // so that the plain waiters find it empty
    ASSERT_NE(queued, nullptr);
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([&] {
            if (!aPacketFifo_Await(fifo, kNoHang)) ++nulls;
        });
    }
    ASSERT_EQ(aPacketFifo_Destroy(&fifo_), aErrNone);
    EXPECT_EQ(fifo_, 0u);
    for (std::thread& t : waiters) t.join();
    EXPECT_EQ(nulls.load(), 6);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(30))
        << "waiters were woken, not timed out";
    EXPECT_EQ(Put(fifo, {1}), aErrParam);
    EXPECT_EQ(aPacketFifo_GetLength(fifo), 0u);
}

// Packet content for the contention tests: consumer, producer, sequence number.
std::vector<uint8_t> Tagged(int consumer, int producer, int sequence) {
    return {static_cast<uint8_t>(consumer), static_cast<uint8_t>(producer),
            static_cast<uint8_t>(sequence >> 8), static_cast<uint8_t>(sequence)};
}
int Sequence(const aPacket* p) {
    return (p->data[2] << 8) | p->data[3];
}

// Several producers and several filtering waiters at once: every packet reaches the waiter it
// is meant for exactly once, and each producer's packets arrive in the order they were put.
TEST_F(FifoTest, FilteredWaitersUnderContention) {
    constexpr int kProducers = 4, kConsumers = 4, kPerProducer = 240;  // never above the limit
    for (int round = 0; round < 3; ++round) {
        std::vector<std::vector<std::vector<int>>> seen(kConsumers,
                                                        std::vector<std::vector<int>>(kProducers));
        std::vector<std::thread> threads;
        for (int c = 0; c < kConsumers; ++c) {
            threads.emplace_back([&, c] {
                uint8_t mine = static_cast<uint8_t>(c);
                for (int n = 0; n < kProducers * kPerProducer / kConsumers; ++n) {
                    PacketPtr p{aPacketFifo_AwaitFirst(fifo_, sFirstByteIs, &mine, kNoHang)};
                    ASSERT_NE(p, nullptr);
                    ASSERT_EQ(First(p.get()), c);
                    seen[c][p->data[1]].push_back(Sequence(p.get()));
                }
            });
        }
        for (int p = 0; p < kProducers; ++p) {
            threads.emplace_back([&, p] {
                for (int s = 0; s < kPerProducer; ++s)
                    ASSERT_EQ(Put(fifo_, Tagged(s % kConsumers, p, s)), aErrNone);
            });
        }
        for (std::thread& t : threads) t.join();
        for (int c = 0; c < kConsumers; ++c) {
            for (int p = 0; p < kProducers; ++p) {
                std::vector<int> expected;
                for (int s = c; s < kPerProducer; s += kConsumers) expected.push_back(s);
                EXPECT_EQ(seen[c][p], expected) << "consumer " << c << " producer " << p;
            }
        }
        EXPECT_EQ(aPacketFifo_GetLength(fifo_), 0u);
    }
}

// Plain waiters sharing one queue with producers; the queue is destroyed at the end to release
// whoever still waits.
TEST_F(FifoTest, PlainWaitersUnderContention) {
    constexpr int kProducers = 3, kConsumers = 3, kPerProducer = 300;
    const aPacketFifoHandle fifo = fifo_;  // the threads' copy: Destroy clears fifo_
    std::atomic<int> taken{0};
    std::vector<std::vector<std::vector<int>>> seen(kConsumers,
                                                    std::vector<std::vector<int>>(kProducers));
    std::vector<std::thread> consumers;
    for (int c = 0; c < kConsumers; ++c) {
        consumers.emplace_back([&, c] {
            while (PacketPtr p{aPacketFifo_Await(fifo, kNoHang)}) {
                seen[c][p->data[1]].push_back(Sequence(p.get()));
                ++taken;
            }
        });
    }
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            for (int s = 0; s < kPerProducer; ++s) ASSERT_EQ(Put(fifo, Tagged(0, p, s)), aErrNone);
        });
    }
    for (std::thread& t : producers) t.join();
    ASSERT_TRUE(Eventually([&] { return taken.load() == kProducers * kPerProducer; }));
    ASSERT_EQ(aPacketFifo_Destroy(&fifo_), aErrNone);
    for (std::thread& t : consumers) t.join();

    for (int p = 0; p < kProducers; ++p) {
        std::vector<int> all;
        for (int c = 0; c < kConsumers; ++c) {
            EXPECT_TRUE(std::is_sorted(seen[c][p].begin(), seen[c][p].end()))
                << "producer order kept for consumer " << c;
            all.insert(all.end(), seen[c][p].begin(), seen[c][p].end());
        }
        std::sort(all.begin(), all.end());
        std::vector<int> expected(kPerProducer);
        for (int s = 0; s < kPerProducer; ++s) expected[s] = s;
        EXPECT_EQ(all, expected) << "each packet of producer " << p << " taken exactly once";
    }
}

}  // namespace
