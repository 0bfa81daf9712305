#include "aDefs.h"

#include <gtest/gtest.h>

namespace {

TEST(aDefs, ModelNames) {
    const struct {
        uint32_t model;
        const char* name;
    } cases[] = {
        {0, "Unknown"},   {3, "Unknown"},    {4, "Beryl"},   {5, "Cobalt"},   {6, "Unknown"},
        {12, "Unknown"},  {13, "Dolomite"},  {14, "Feldspar"}, {15, "Garnet"}, {16, "Gypsum"},
        {17, "Jasper"},   {18, "Marble"},    {19, "Onyx"},   {20, "Opal"},    {21, "Pyrite"},
        {22, "Quartz"},   {23, "Talc"},      {24, "Topaz"},  {25, "Zircon"},  {26, "Basalt"},
        {27, "Mica"},     {28, "Unknown"},   {0xFFFFFFFF, "Unknown"},
    };
    for (const auto& c : cases) EXPECT_STREQ(aDefs_GetModelName(c.model), c.name) << c.model;
}

TEST(aDefs, TraceNeedsEnableBitAndArea) {
    const struct {
        uint8_t enable;
        uint32_t level;
        uint32_t area;
        bool on;
    } cases[] = {
        {0, 0xFFFFFFFF, aDEBUG_LINK, false},
        {1, 0, aDEBUG_LINK, false},
        {1, aDEBUG_LINK, aDEBUG_LINK, true},
        {1, aDEBUG_PACKET, aDEBUG_LINK, false},
        {2, aDEBUG_USB, aDEBUG_USB, false},  // only the lowest bit of the enable byte counts
        {3, aDEBUG_USB, aDEBUG_USB, true},
    };
    for (const auto& c : cases) {
        aTessaLineDebuggingEnable = c.enable;
        aTessaLineDebuggingLevel = c.level;
        EXPECT_EQ(aDefs_DebugOn(c.area), c.on);
    }
    aTessaLineDebuggingEnable = 0;
    aTessaLineDebuggingLevel = 0;
}

}  // namespace
