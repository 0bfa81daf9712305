#include "aError.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

namespace {

struct ErrorCase {
    uint32_t value;
    const char* text;
    const char* description;
};

const ErrorCase kCases[] = {
    {0, "aErrNone", "Success, no error"},
    {2, "aErrParam", "Invalid parameter"},
    {11, "aErrNotReady", "Not ready, no bytes available"},
    {18, "aErrTimeout", "Timeout occurred"},
    {23, "aErrCancel", "Cancellation occurred, or did not complete"},
    {27, "aErrShortCommand", "TessaLine command to short"},
    {33, "aErrStreamStale", "Stream value is stale"},
    {34, "aErrUnknown", "Unknown error"},
    // Values past the table clamp to its last entry.
    {35, "aErrUnknown", "Unknown error"},
    {0xFFFFFFFF, "aErrUnknown", "Unknown error"},
};

TEST(aError, TextsAndDescriptions) {
    for (const ErrorCase& c : kCases) {
        SCOPED_TRACE(c.value);
        EXPECT_STREQ(aError_GetErrorText(static_cast<aErr>(c.value)), c.text);
        EXPECT_STREQ(aError_GetErrorDescription(static_cast<aErr>(c.value)), c.description);
    }
}

TEST(aError, EveryValueHasItsOwnNameAndADescription) {
    std::set<std::string> names;
    for (uint32_t v = 0; v < aErrCount; ++v) {
        const char* name = aError_GetErrorText(static_cast<aErr>(v));
        ASSERT_NE(name, nullptr);
        EXPECT_EQ(std::string(name).rfind("aErr", 0), 0u) << name;
        EXPECT_GT(strlen(aError_GetErrorDescription(static_cast<aErr>(v))), 0u);
        names.insert(name);
    }
    EXPECT_EQ(names.size(), aErrCount);
}

}  // namespace
