#include "aPacket.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> Payload(const aPacket* packet) {
    return std::vector<uint8_t>(packet->data, packet->data + packet->dataSize);
}

struct AssemblyCase {
    const char* name;
    std::vector<uint8_t> bytes;
    std::vector<aErr> results;  // one per byte
    bool complete;
    uint8_t address;
    std::vector<uint8_t> payload;  // checked when complete
};

std::vector<uint8_t> Counting(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(0x40 + i);
    return v;
}

std::vector<uint8_t> Join(std::vector<uint8_t> head, const std::vector<uint8_t>& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

std::vector<aErr> Results(size_t okCount, std::vector<aErr> tail = {}) {
    std::vector<aErr> v(okCount, aErrNone);
    v.insert(v.end(), tail.begin(), tail.end());
    return v;
}

std::vector<aErr> Concat(std::vector<aErr> head, const std::vector<aErr>& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

class AssemblyTest : public ::testing::TestWithParam<AssemblyCase> {};

TEST_P(AssemblyTest, FeedsByteByByte) {
    const AssemblyCase& c = GetParam();
    aPacket* packet = aPacket_Create();
    ASSERT_NE(packet, nullptr);
    ASSERT_EQ(c.bytes.size(), c.results.size());
    for (size_t i = 0; i < c.bytes.size(); ++i)
        EXPECT_EQ(aPacket_AddByte(packet, c.bytes[i]), c.results[i]) << "byte " << i;
    EXPECT_EQ(aPacket_IsComplete(packet), c.complete);
    if (c.complete) {
        EXPECT_EQ(packet->address, c.address);
        EXPECT_EQ(Payload(packet), c.payload);
    }
    EXPECT_EQ(aPacket_Destroy(&packet), aErrNone);
}

INSTANTIATE_TEST_SUITE_P(
    Packet, AssemblyTest,
    ::testing::Values(
        AssemblyCase{
            "ThreeBytes", {0x04, 0x03, 0x11, 0x22, 0x33}, Results(5), true, 4, {0x11, 0x22, 0x33}},
        AssemblyCase{"ByteAfterComplete",
                     {0x04, 0x03, 0x11, 0x22, 0x33, 0x44},
                     Results(5, {aErrPacket}),
                     false,
                     0,
                     {}},
        AssemblyCase{"OddAddress", {0x05}, {aErrPacket}, false, 0, {}},
        AssemblyCase{"ZeroAddress", {0x00}, {aErrPacket}, false, 0, {}},
        AssemblyCase{"TwoRefusedAddressesAreNotAPacket",
                     {0x00, 0x01},
                     {aErrPacket, aErrPacket},
                     false,
                     0,
                     {}},
        AssemblyCase{"RefusedAddressLeavesPacketFresh",
                     {0x05, 0x04, 0x02, 0xAA, 0xBB},
                     {aErrPacket, aErrNone, aErrNone, aErrNone, aErrNone},
                     true,
                     4,
                     {0xAA, 0xBB}},
        AssemblyCase{"LengthAboveLimit", {0x04, 29}, Results(1, {aErrPacket}), false, 0, {}},
        AssemblyCase{"ZeroLengthCompletesAtOnce", {0xAC, 0x00}, Results(2), true, 0xAC, {}},
        AssemblyCase{
            "ByteAfterZeroLength", {0x08, 0x00, 0x07}, Results(2, {aErrPacket}), false, 0, {}},
        AssemblyCase{"FullPayload", Join({0x02, 28}, Counting(28)), Results(30), true, 2,
                     Counting(28)},
        AssemblyCase{"OverrunAfterThirtyBytes",
                     Join({0x02, 28}, Counting(30)),
                     Results(30, {aErrOverrun, aErrOverrun}),
                     false,
                     0,
                     {}},
        AssemblyCase{"OversizedLengthNeverWritesPastPayload",
                     Join({0x02, 200}, Counting(29)),
                     Concat({aErrNone, aErrPacket}, Results(28, {aErrOverrun})),
                     false,
                     0,
                     {}}),
    [](const ::testing::TestParamInfo<AssemblyCase>& info) { return info.param.name; });

TEST(PacketTest, CreateWithData) {
    const std::vector<uint8_t> bytes = Counting(29);
    aPacket* full = aPacket_CreateWithData(0x10, 28, bytes.data());
    ASSERT_NE(full, nullptr);
    EXPECT_TRUE(aPacket_IsComplete(full));
    EXPECT_EQ(full->address, 0x10);
    EXPECT_EQ(Payload(full), Counting(28));
    EXPECT_EQ(aPacket_AddByte(full, 0), aErrOverrun) << "30 bytes were accepted already";
    aPacket_Destroy(&full);

    EXPECT_EQ(aPacket_CreateWithData(0x10, 29, bytes.data()), nullptr);
    EXPECT_EQ(aPacket_CreateWithData(0x10, 0, nullptr), nullptr);
    aPacket* probe = aPacket_CreateWithData(0xAD, 0, bytes.data());
    ASSERT_NE(probe, nullptr);
    EXPECT_TRUE(aPacket_IsComplete(probe)) << "the address is not validated";
    aPacket_Destroy(&probe);
}

TEST(PacketTest, CopyIsIndependentAndEqual) {
    const uint8_t bytes[] = {1, 2, 3};
    aPacket* original = aPacket_CreateWithData(6, 3, bytes);
    aPacket* copy = aPacket_Copy(original);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, original);
    EXPECT_EQ(copy->address, 6);
    EXPECT_EQ(Payload(copy), Payload(original));
    EXPECT_TRUE(aPacket_IsComplete(copy));
    aPacket_Destroy(&original);
    EXPECT_EQ(Payload(copy), (std::vector<uint8_t>{1, 2, 3}));
    aPacket_Destroy(&copy);
    EXPECT_EQ(aPacket_Copy(nullptr), nullptr);
}

TEST(PacketTest, EntityFieldsNeedEnoughPayload) {
    struct FieldCase {
        uint8_t size;
        aErr cmd, option, index;
    } cases[] = {
        {0, aErrPacket, aErrPacket, aErrPacket},
        {1, aErrNone, aErrPacket, aErrPacket},
        {2, aErrNone, aErrNone, aErrPacket},
        {3, aErrNone, aErrNone, aErrNone},
    };
    const uint8_t bytes[] = {0x9C, 0xFF, 0xFF};
    for (const FieldCase& c : cases) {
        aPacket* packet = aPacket_CreateWithData(4, c.size, bytes);
        uint8_t cmd = 0, option = 0, index = 0;
        EXPECT_EQ(aPacket_GetCmd(packet, &cmd), c.cmd) << int(c.size);
        EXPECT_EQ(aPacket_GetOption(packet, &option), c.option) << int(c.size);
        EXPECT_EQ(aPacket_GetIndex(packet, &index), c.index) << int(c.size);
        if (c.size == 3) {
            EXPECT_EQ(cmd, 0x9C);
            EXPECT_EQ(option, 0x3F);
            EXPECT_EQ(index, 0x1F);
        }
        EXPECT_EQ(aPacket_GetCmd(packet, nullptr), aErrParam);
        EXPECT_EQ(aPacket_GetOption(packet, nullptr), aErrParam);
        EXPECT_EQ(aPacket_GetIndex(packet, nullptr), aErrParam);
        aPacket_Destroy(&packet);
    }
    uint8_t out;
    EXPECT_EQ(aPacket_GetCmd(nullptr, &out), aErrPacket);
}

TEST(PacketTest, ResetStartsANewAssembly) {
    aPacket* packet = aPacket_Create();
    for (uint8_t b : {0x04, 0x02, 0x11}) aPacket_AddByte(packet, b);
    EXPECT_FALSE(aPacket_IsComplete(packet));
    EXPECT_EQ(aPacket_Reset(packet), aErrNone);
    EXPECT_EQ(packet->address, 0);
    EXPECT_EQ(packet->dataSize, 0);
    EXPECT_EQ(packet->data[0], 0);
    for (uint8_t b : {0x06, 0x01, 0x55}) EXPECT_EQ(aPacket_AddByte(packet, b), aErrNone);
    EXPECT_TRUE(aPacket_IsComplete(packet));
    EXPECT_EQ(Payload(packet), std::vector<uint8_t>{0x55});
    aPacket_Destroy(&packet);
}

TEST(PacketTest, InvalidPacketsAreRefused) {
    aPacket forged{};  // never made by aPacket_Create: no check value
    aPacket* pointer = &forged;
    EXPECT_EQ(aPacket_AddByte(&forged, 4), aErrParam);
    EXPECT_EQ(aPacket_Reset(&forged), aErrParam);
    EXPECT_FALSE(aPacket_IsComplete(&forged));
    EXPECT_EQ(aPacket_Copy(&forged), nullptr);
    EXPECT_EQ(aPacket_Destroy(&pointer), aErrParam);
    EXPECT_EQ(pointer, &forged);
    EXPECT_EQ(aPacket_AddByte(nullptr, 4), aErrParam);
    EXPECT_FALSE(aPacket_IsComplete(nullptr));
    EXPECT_EQ(aPacket_Destroy(nullptr), aErrParam);

    aPacket* packet = aPacket_Create();
    EXPECT_EQ(aPacket_Destroy(&packet), aErrNone);
    EXPECT_EQ(packet, nullptr);
    EXPECT_EQ(aPacket_Destroy(&packet), aErrParam) << "second destroy through the same pointer";
}

}  // namespace
