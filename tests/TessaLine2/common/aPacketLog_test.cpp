#include "aPacketLog.h"

#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <vector>

namespace {

struct Record {
    uint8_t tag;
    std::vector<uint8_t> payload;
    bool operator==(const Record&) const = default;
};

std::vector<uint8_t> Bytes(size_t length, uint8_t first) {
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<uint8_t>(first + i);
    return bytes;
}

aErr Put(aPacketLogRef log, const Record& record) {
    return aPacketLog_Put(log, record.tag, static_cast<uint32_t>(record.payload.size()),
                          record.payload.data());
}

// Reads every record left, oldest first.
std::vector<Record> Drain(aPacketLogRef log) {
    std::vector<Record> records;
    for (;;) {
        uint8_t buffer[256];
        uint8_t tag = 0;
        uint32_t length = sizeof(buffer);
        const aErr err = aPacketLog_Get(log, &tag, &length, buffer);
        if (err == aErrNotFound) return records;
        EXPECT_EQ(err, aErrNone);
        if (err != aErrNone) return records;
        records.push_back({tag, std::vector<uint8_t>(buffer, buffer + length)});
    }
}

class PacketLogTest : public ::testing::Test {
  protected:
    void TearDown() override {
        EXPECT_EQ(aPacketLog_Destroy(&log_), aErrNone);
        EXPECT_EQ(log_, nullptr);
    }
    aPacketLogRef log_ = nullptr;
};

TEST_F(PacketLogTest, CapacityTenTakesSevenBytesOnlyWhenEmpty) {
    log_ = aPacketLog_Create(10);
    ASSERT_NE(log_, nullptr);
    EXPECT_EQ(Put(log_, {1, Bytes(8, 0)}), aErrOverrun) << "10 bytes needed, never available";
    EXPECT_EQ(Put(log_, {2, Bytes(1, 0x50)}), aErrNone);
    EXPECT_EQ(Put(log_, {1, Bytes(7, 0x10)}), aErrNone) << "drops the older record first";
    EXPECT_EQ(Drain(log_), (std::vector<Record>{{1, Bytes(7, 0x10)}}));
    EXPECT_EQ(Put(log_, {1, Bytes(8, 0)}), aErrOverrun);
    EXPECT_EQ(Drain(log_), std::vector<Record>{}) << "a refused record drops nothing";
}

TEST_F(PacketLogTest, FullLogDropsOldestWholeRecords) {
    log_ = aPacketLog_Create(20);  // five records of 2 + 2 bytes need 20: only four fit
    ASSERT_NE(log_, nullptr);
    for (uint8_t i = 0; i < 5; ++i) EXPECT_EQ(Put(log_, {i, Bytes(2, i)}), aErrNone);
    EXPECT_EQ(Drain(log_),
              (std::vector<Record>{
                  {1, Bytes(2, 1)}, {2, Bytes(2, 2)}, {3, Bytes(2, 3)}, {4, Bytes(2, 4)}}));
    // Records that wrap past the end read back whole.
    EXPECT_EQ(Put(log_, {5, Bytes(6, 0x50)}), aErrNone);
    EXPECT_EQ(Drain(log_), (std::vector<Record>{{5, Bytes(6, 0x50)}}));
    EXPECT_EQ(Put(log_, {7, Bytes(9, 0x70)}), aErrNone);
    EXPECT_EQ(Put(log_, {8, Bytes(5, 0x80)}), aErrNone);
    EXPECT_EQ(Drain(log_), (std::vector<Record>{{7, Bytes(9, 0x70)}, {8, Bytes(5, 0x80)}}));
}

TEST_F(PacketLogTest, SmallBufferLeavesTheRecord) {
    log_ = aPacketLog_Create(64);
    ASSERT_NE(log_, nullptr);
    ASSERT_EQ(Put(log_, {3, Bytes(6, 'a')}), aErrNone);
    uint8_t buffer[8];
    uint8_t tag = 0;
    uint32_t length = 5;
    EXPECT_EQ(aPacketLog_Get(log_, &tag, &length, buffer), aErrOverrun);
    EXPECT_EQ(tag, 3);
    EXPECT_EQ(length, 6u);
    length = 6;
    EXPECT_EQ(aPacketLog_Get(log_, &tag, &length, buffer), aErrNone);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 6), Bytes(6, 'a'));
    length = sizeof(buffer);
    EXPECT_EQ(aPacketLog_Get(log_, &tag, &length, buffer), aErrNotFound);
    // A record without payload needs no buffer.
    ASSERT_EQ(aPacketLog_Put(log_, 9, 0, nullptr), aErrNone);
    length = 0;
    EXPECT_EQ(aPacketLog_Get(log_, &tag, &length, nullptr), aErrNone);
    EXPECT_EQ(tag, 9);
}

TEST_F(PacketLogTest, BadArguments) {
    log_ = aPacketLog_Create(1024);
    ASSERT_NE(log_, nullptr);
    uint8_t buffer[4];
    uint8_t tag;
    uint32_t length = sizeof(buffer);
    EXPECT_EQ(aPacketLog_Put(nullptr, 1, 0, buffer), aErrParam);
    EXPECT_EQ(aPacketLog_Put(log_, 1, 3, nullptr), aErrParam);
    EXPECT_EQ(Put(log_, {1, Bytes(256, 0)}), aErrOverrun) << "length travels in one byte";
    EXPECT_EQ(Put(log_, {1, Bytes(255, 0)}), aErrNone);
    EXPECT_EQ(aPacketLog_Get(nullptr, &tag, &length, buffer), aErrParam);
    EXPECT_EQ(aPacketLog_Get(log_, nullptr, &length, buffer), aErrParam);
    EXPECT_EQ(aPacketLog_Get(log_, &tag, nullptr, buffer), aErrParam);
    EXPECT_EQ(aPacketLog_Get(log_, &tag, &length, nullptr), aErrParam);
    EXPECT_EQ(aPacketLog_Create(0), nullptr);
    EXPECT_EQ(aPacketLog_Destroy(nullptr), aErrNone);
}

// Random puts and gets against a plain model of the ring: dropping oldest records until strictly
// more than the record's size is free.
TEST_F(PacketLogTest, MatchesAModelOverManyWraps) {
    for (uint32_t capacity : {3u, 10u, 37u, 300u}) {
        aPacketLogRef log = aPacketLog_Create(capacity);
        ASSERT_NE(log, nullptr);
        std::deque<Record> model;
        uint32_t used = 0;
        std::mt19937 random(capacity);
        for (int step = 0; step < 5000; ++step) {
            if (random() % 3 != 0) {
                Record record{static_cast<uint8_t>(random()),
                              Bytes(random() % std::min<uint32_t>(capacity + 2, 256),
                                    static_cast<uint8_t>(step))};
                const uint32_t size = static_cast<uint32_t>(record.payload.size()) + 2;
                if (size >= capacity) {
                    ASSERT_EQ(Put(log, record), aErrOverrun);
                    continue;
                }
                ASSERT_EQ(Put(log, record), aErrNone);
                while (capacity - used <= size) {
                    used -= static_cast<uint32_t>(model.front().payload.size()) + 2;
                    model.pop_front();
                }
                model.push_back(record);
                used += size;
            } else {
                uint8_t buffer[256];
                uint8_t tag = 0;
                uint32_t length = sizeof(buffer);
                const aErr err = aPacketLog_Get(log, &tag, &length, buffer);
                if (model.empty()) {
                    ASSERT_EQ(err, aErrNotFound);
                    continue;
                }
                ASSERT_EQ(err, aErrNone);
                ASSERT_EQ((Record{tag, std::vector<uint8_t>(buffer, buffer + length)}),
                          model.front())
                    << "capacity " << capacity << " step " << step;
                used -= length + 2;
                model.pop_front();
            }
        }
        aPacketLog_Destroy(&log);
    }
}

}  // namespace
