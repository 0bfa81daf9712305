#include "UpdaterDisplayInterface.h"

#include <gtest/gtest.h>

#include "CaptureDisplay.h"

namespace {

using testsupport::CaptureDisplay;

TEST(UpdaterDisplayInterface, LevelsChooseTheChannel) {
    CaptureDisplay display;
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "info %s", "a");
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "error %d", 7);
    display.message(static_cast<UpdaterDisplayInterface::Level>(5), "other");
    EXPECT_EQ(display.info, (std::vector<std::string>{"info a", "other"}));
    EXPECT_EQ(display.errors, (std::vector<std::string>{"error 7"}));
}

TEST(UpdaterDisplayInterface, MutedDropsMessagesAndLongOnesAreCut) {
    CaptureDisplay display;
    display.mute_messages(true);
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "hidden");
    display.mute_messages(false);
    const std::string longText(3000, 'y');
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "%s", longText.c_str());
    EXPECT_TRUE(display.errors.empty());
    ASSERT_EQ(display.info.size(), 1u);
    EXPECT_EQ(display.info[0], std::string(2047, 'y'));
}

}  // namespace
