#include "aVersion.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace {

struct PackedCase {
    uint32_t packed;
    bool legacy;
    uint32_t major, minor, patch;
    const char* text;
};

void PrintTo(const PackedCase& c, std::ostream* os) {
    *os << std::hex << "0x" << c.packed;
}

class PackedVersion : public ::testing::TestWithParam<PackedCase> {};

TEST_P(PackedVersion, ParsesEitherLayout) {
    const PackedCase& c = GetParam();
    EXPECT_EQ(aVersion_IsLegacyFormat(c.packed), c.legacy);
    EXPECT_EQ(aVersion_ParseMajor(c.packed), c.major);
    EXPECT_EQ(aVersion_ParseMinor(c.packed), c.minor);
    EXPECT_EQ(aVersion_ParsePatch(c.packed), c.patch);
    char buffer[32];
    EXPECT_EQ(aVersion_ParseString(c.packed, buffer, sizeof buffer),
              static_cast<int>(strlen(c.text)));
    EXPECT_STREQ(buffer, c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PackedVersion,
    ::testing::Values(PackedCase{0x2B000002, true, 2, 11, 2, "2.11.2"},
                      PackedCase{0x21012345, true, 2, 1, 74565, "2.1.74565"},
                      PackedCase{0x1FFFFFFF, true, 1, 15, 0xFFFFFF, "1.15.16777215"},
                      PackedCase{0x2E0000FF, true, 2, 14, 255, "2.14.255"},
                      PackedCase{0x00000000, true, 0, 0, 0, "0.0.0"},
                      PackedCase{0x2F020F00, false, 2, 15, 0, "2.15.0"},
                      PackedCase{0x2F030001, false, 3, 0, 1, "3.0.1"},
                      PackedCase{0x2FFFFFFF, false, 255, 255, 255, "255.255.255"},
                      // A top nibble of 3 or more reads as the current layout too.
                      PackedCase{0x30010203, false, 1, 2, 3, "1.2.3"}));

TEST(aVersion, PackChoosesTheLayoutByVersion) {
    struct Case {
        uint8_t major, minor, patch;
        uint32_t packed;
        const char* text;
    } cases[] = {
        {2, 11, 2, 0x2B000002, "2.11.2"},
        {2, 14, 255, 0x2E0000FF, "2.14.255"},
        {2, 15, 0, 0x2F020F00, "2.15.0"},
        {3, 0, 1, 0x2F030001, "3.0.1"},
        {1, 3, 9, 0x13000009, "1.3.9"},
        {1, 0x13, 9, 0x13000009, "1.3.9"},  // legacy minor keeps 4 bits
    };
    for (const Case& c : cases) {
        uint32_t packed = aVersion_Pack(c.major, c.minor, c.patch);
        EXPECT_EQ(packed, c.packed) << c.text;
        char buffer[32];
        aVersion_ParseString(packed, buffer, sizeof buffer);
        EXPECT_STREQ(buffer, c.text);
    }
}

TEST(aVersion, ParseStringTruncatesButReportsTheWholeLength) {
    char buffer[5] = "xxxx";
    EXPECT_EQ(aVersion_ParseString(0x2F030001, buffer, 4), 5);
    EXPECT_STREQ(buffer, "3.0");
    EXPECT_EQ(aVersion_ParseString(0x2F030001, nullptr, 10), 5);
    EXPECT_EQ(aVersion_ParseString(0x2F030001, buffer, 0), 5);
}

TEST(aVersion, IsAtLeastCompare) {
    struct Case {
        uint8_t v1[3], v2[3];
        bool atLeast;
    } cases[] = {
        {{2, 11, 2}, {2, 11, 2}, true},   {{2, 11, 2}, {2, 11, 3}, false},
        {{2, 11, 2}, {1, 200, 0}, true},  {{2, 11, 2}, {2, 12, 0}, false},
        {{2, 11, 2}, {3, 0, 0}, false},   {{255, 0, 0}, {254, 255, 255}, true},
        {{0, 0, 200}, {0, 0, 199}, true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(aVersion_IsAtLeastCompare(c.v1[0], c.v1[1], c.v1[2], c.v2[0], c.v2[1], c.v2[2]),
                  c.atLeast)
            << +c.v1[0] << "." << +c.v1[1] << "." << +c.v1[2] << " vs " << +c.v2[0] << "."
            << +c.v2[1] << "." << +c.v2[2];
}

TEST(aVersion, LibraryVersion) {
    EXPECT_EQ(aVersion_GetMajor(), 2);
    EXPECT_EQ(aVersion_GetMinor(), 11);
    EXPECT_EQ(aVersion_GetPatch(), 2);
    EXPECT_TRUE(aVersion_IsAtLeast(2, 11, 2));
    EXPECT_TRUE(aVersion_IsAtLeast(2, 10, 99));
    EXPECT_FALSE(aVersion_IsAtLeast(2, 11, 3));
    EXPECT_FALSE(aVersion_IsAtLeast(3, 0, 0));
}

TEST(aVersion, VersionStringIsBuiltOnceForEveryThread) {
    std::vector<const char*> seen(8);
    std::vector<std::thread> threads;
    for (auto& slot : seen) threads.emplace_back([&slot] { slot = aVersion_GetString(); });
    for (auto& t : threads) t.join();
    for (const char* text : seen) {
        EXPECT_EQ(text, seen[0]);
        EXPECT_STREQ(text, "2.11.2");
    }
}

TEST(aVersion, Features) {
    EXPECT_TRUE(aVersion_HasFeature("VERSION"));
    EXPECT_FALSE(aVersion_HasFeature("version"));
    EXPECT_FALSE(aVersion_HasFeature(""));
    EXPECT_FALSE(aVersion_HasFeature(nullptr));

    char* list = aVersion_GetFeatureList();
    ASSERT_NE(list, nullptr);
    EXPECT_STREQ(list, "VERSION - Version Query API");
    EXPECT_EQ(aVersion_DestroyFeatureList(&list), aErrNone);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(aVersion_DestroyFeatureList(&list), aErrNone);
    EXPECT_EQ(aVersion_DestroyFeatureList(nullptr), aErrParam);
}

}  // namespace
