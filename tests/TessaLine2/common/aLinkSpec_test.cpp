#include "aLinkSpec.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(aLinkSpec, CreateIsZeroFilledWithItsType) {
    linkSpec* spec = aLinkSpec_Create(TCPIP);
    ASSERT_NE(spec, nullptr);
    EXPECT_EQ(spec->type, TCPIP);
    const auto* bytes = reinterpret_cast<const unsigned char*>(spec);
    for (size_t i = sizeof(linkType); i < sizeof(linkSpec); ++i) ASSERT_EQ(bytes[i], 0) << i;
    EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrNone);
}

TEST(aLinkSpec, CopyKeepsTheWholeSerialPortName) {
    linkSpec* spec = aLinkSpec_Create(SERIAL);
    ASSERT_NE(spec, nullptr);
    spec->t.serial.baudRate = 230400;
    std::string name(aLINKSPEC_PORTNAME_SIZE - 1, 'p');
    memcpy(spec->t.serial.portName, name.c_str(), name.size() + 1);

    linkSpec* copy = aLinkSpec_Copy(spec);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, spec);
    EXPECT_EQ(memcmp(copy, spec, sizeof(linkSpec)), 0);
    EXPECT_EQ(std::string(copy->t.serial.portName), name);
    EXPECT_EQ(aLinkSpec_Copy(nullptr), nullptr);

    EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrNone);
    EXPECT_EQ(aLinkSpec_Destroy(&copy), aErrNone);
}

TEST(aLinkSpec, DestroyTwiceFreesOnce) {
    linkSpec* spec = aLinkSpec_Create(USB);
    EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrNone);
    EXPECT_EQ(spec, nullptr);
    EXPECT_EQ(aLinkSpec_Destroy(&spec), aErrParam);
    EXPECT_EQ(aLinkSpec_Destroy(nullptr), aErrParam);
}

}  // namespace
