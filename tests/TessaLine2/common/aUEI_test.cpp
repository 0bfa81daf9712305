#include "aUEI.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

// A packet for module 4 with the given payload, destroyed with the holder.
struct Packet {
    explicit Packet(const std::vector<uint8_t>& payload)
        : p(aPacket_CreateWithData(4, static_cast<uint8_t>(payload.size()),
                                   payload.empty() ? &kNoByte : payload.data())) {}
    static constexpr uint8_t kNoByte = 0;
    ~Packet() { aPacket_Destroy(&p); }
    aPacket* p;
};

std::vector<uint8_t> Payload(size_t length, uint8_t last) {
    std::vector<uint8_t> payload(length, 0x11);
    if (length) payload.back() = last;
    return payload;
}

TEST(aUEI, ValuesAreBigEndian) {
    struct Case {
        std::vector<uint8_t> bytes;
        uint32_t value;
    } cases[] = {
        {{0x12, 0x34}, 0x1234},
        {{0xFF, 0x01}, 0xFF01},
        {{0x80, 0x00, 0x00, 0x01}, 0x80000001},
        {{0x01, 0x02, 0x03, 0x04}, 0x01020304},
        {{0xFE, 0xDC, 0xBA, 0x98}, 0xFEDCBA98},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> stored(c.bytes.size(), 0);
        if (c.bytes.size() == 2) {
            EXPECT_EQ(aUEI_RetrieveShort(c.bytes.data()), c.value);
            aUEI_StoreShort(stored.data(), static_cast<uint16_t>(c.value));
        } else {
            EXPECT_EQ(aUEI_RetrieveInt(c.bytes.data()), c.value);
            aUEI_StoreInt(stored.data(), c.value);
        }
        EXPECT_EQ(stored, c.bytes) << std::hex << c.value;
    }
}

TEST(aUEI, ModifyIntBufferConvertsWordsFromTheWire) {
    const uint8_t wire[] = {0x00, 0x00, 0x00, 0x01, 0xDE, 0xAD, 0xBE, 0xEF, 0x80, 0, 0, 0x7F};
    uint32_t words[3];
    memcpy(words, wire, sizeof wire);
    aUEI_ModifyIntBuffer(words, 2);
    EXPECT_EQ(words[0], 1u);
    EXPECT_EQ(words[1], 0xDEADBEEFu);
    EXPECT_EQ(memcmp(&words[2], wire + 8, 4), 0) << "beyond `count`, words stay as they were";
    aUEI_ModifyIntBuffer(nullptr, 3);
}

TEST(aUEI, TrailerOfByteTransfers) {
    struct Case {
        size_t length;
        uint8_t last;
        uint8_t sequence, more;
        bool full;
    } cases[] = {
        {4, 0x00, 0, 0, false},    {5, 0x85, 5, 1, false}, {5, 0x05, 5, 0, false},
        {26, 0xFF, 127, 1, false}, {27, 0x81, 1, 1, true}, {28, 0x7F, 127, 0, true},
    };
    for (const Case& c : cases) {
        Packet packet(Payload(c.length, c.last));
        ASSERT_NE(packet.p, nullptr);
        EXPECT_EQ(aUEI_getBytesSequence(packet.p), c.sequence) << c.length << " " << +c.last;
        EXPECT_EQ(aUEI_getBytesContinue(packet.p), c.more) << c.length << " " << +c.last;
        EXPECT_EQ(aUEI_getBytesFullPacket(packet.p), c.full) << c.length;
    }
    EXPECT_EQ(aUEI_getBytesSequence(nullptr), 0);
    EXPECT_EQ(aUEI_getBytesContinue(nullptr), 0);
    EXPECT_FALSE(aUEI_getBytesFullPacket(nullptr));

    Packet empty(std::vector<uint8_t>{});
    ASSERT_NE(empty.p, nullptr);
    EXPECT_EQ(aUEI_getBytesSequence(empty.p), 0);
    EXPECT_EQ(aUEI_getBytesContinue(empty.p), 0);
}

TEST(aUEI, TrailerOfAnOverlongAssemblyIsNotReadOutsideThePayload) {
    aPacket* packet = aPacket_Create();
    ASSERT_NE(packet, nullptr);
    aPacket_AddByte(packet, 4);
    EXPECT_EQ(aPacket_AddByte(packet, 200), aErrPacket);  // the length is kept all the same
    EXPECT_EQ(aUEI_getBytesSequence(packet), 0);
    EXPECT_EQ(aUEI_getBytesContinue(packet), 0);
    aPacket_Destroy(&packet);
}

TEST(aUEI, SystemCommandsAreNotEntityInterfacePayloads) {
    const std::set<int> system = {0, 1, 2, 4, 8, 9, 23, 24, 73, 94, 95, 173, 175};
    for (int command = 0; command < 256; ++command) {
        Packet packet({static_cast<uint8_t>(command), 1, 0});
        bool expectSystem = system.count(command) > 0;
        EXPECT_EQ(aUEI_isNotUEIPayload(packet.p), expectSystem) << command;
        EXPECT_EQ(aUEI_isUEIPayload(packet.p), !expectSystem) << command;
    }
    EXPECT_FALSE(aUEI_isNotUEIPayload(nullptr));
    EXPECT_TRUE(aUEI_isUEIPayload(nullptr));

    Packet empty(std::vector<uint8_t>{});
    ASSERT_NE(empty.p, nullptr);
    EXPECT_TRUE(aUEI_isNotUEIPayload(empty.p)) << "an empty packet carries no message";
}

TEST(aUEI, StreamPackets) {
    struct Case {
        const char* name;
        std::vector<uint8_t> payload;
        bool stream;
    } cases[] = {
        {"stream value", {0x16, 0x01, 0x41, 0x00, 0x00}, true},
        {"int stream value", {0x16, 0x3F, 0x5F, 1, 2, 3, 4}, true},
        {"option with a flag", {0x16, 0x41, 0x41, 0x00, 0x00}, false},
        {"option with reply flags", {0x16, 0xC1, 0x41, 0x00, 0x00}, false},
        {"no stream flag", {0x16, 0x01, 0x01, 0x00, 0x00}, false},
        {"error and request flags only", {0x16, 0x01, 0xA1, 0x00, 0x00}, false},
        {"too short", {0x16, 0x01, 0x41, 0x00}, false},
        {"system command", {173, 0x01, 0x41, 0x00, 0x00}, false},
    };
    for (const Case& c : cases) {
        Packet packet(c.payload);
        EXPECT_EQ(aUEI_isStreamPacket(packet.p), c.stream) << c.name;
    }
    EXPECT_FALSE(aUEI_isStreamPacket(nullptr));
}

}  // namespace
