#include "CLI_Display.h"

#include <gtest/gtest.h>

#include <string>

#include "ConsoleCapture.h"

namespace {

const std::string kFullBar(69, '=');

TEST(CLI_Display, ProgressBarOnATerminal) {
    const struct {
        double fraction;
        const char* label;
        std::string expected;
    } cases[] = {
        {0.5, nullptr, "\r[" + kFullBar.substr(0, 34) + ">" + std::string(34, ' ') + "] ( 50% ) "},
        // A padding width of -1 prints as one left-justified space.
        {1.0, nullptr, "\r[" + kFullBar + "> ] (100% ) "},
        {0.0, nullptr, "\r[>" + std::string(68, ' ') + "] (  0% ) "},
        // With a label the bar is 69 - len(label) - 4 = 61 wide.
        {0.5, "abcd", "\r (abcd) [" + kFullBar.substr(0, 30) + ">" + std::string(30, ' ') + "] ( 50% ) "},
        // Fractions outside 0..1 are clamped.
        {7.0, nullptr, "\r[" + kFullBar + "> ] (100% ) "},
    };
    CLI_Display display;
    for (const auto& c : cases) {
        StdoutCapture capture(true);
        display.update_progress(c.fraction, c.label);
        EXPECT_EQ(capture.Finish(), c.expected) << c.fraction;
    }

    std::string longLabel(70, 'L');
    StdoutCapture capture(true);
    display.update_progress(0.5, longLabel.c_str());
    EXPECT_EQ(capture.Finish(), "\r (" + longLabel + ") [>] ( 50% ) ");
}

TEST(CLI_Display, SpinnerCyclesThroughItsFrames) {
    CLI_Display display;
    // The frame index is shared by all instances: advance to the one unique frame first.
    for (int i = 0; i < 8; ++i) {
        StdoutCapture capture(true);
        display.update_spinner(true, nullptr);
        if (capture.Finish() == "\r .....      \r") break;
    }
    const char* frames[] = {"....", "...", "..", ".", "..", "...", "....", ".....", "...."};
    for (const char* frame : frames) {
        StdoutCapture capture(true);
        display.update_spinner(true, nullptr);
        EXPECT_EQ(capture.Finish(), std::string("\r ") + frame + "      \r");
    }
    StdoutCapture labelled(true);
    display.update_spinner(true, "Downloading");
    EXPECT_EQ(labelled.Finish(), "\r (Downloading) ...      \r");
}

TEST(CLI_Display, LineClearOnlyWhenHidingOnATerminal) {
    CLI_Display display;
    const std::string clear = "\r" + std::string(87, ' ') + " \r";
    const struct {
        bool terminal;
        bool show;
        std::string expected;
    } cases[] = {{true, false, clear}, {true, true, ""}, {false, false, ""}};
    for (const auto& c : cases) {
        StdoutCapture capture(c.terminal);
        display.display_progress(c.show);
        EXPECT_EQ(capture.Finish(), c.expected);
    }
    StdoutCapture stop(true);
    display.update_spinner(false, "x");
    EXPECT_EQ(stop.Finish(), clear);
}

TEST(CLI_Display, RedirectedOutputGetsLinesButNoWidgets) {
    CLI_Display display;
    StdoutCapture capture(false);
    display.update_progress(0.5, nullptr);
    display.update_spinner(true, "Verifying Update");
    display.update_spinner(false, nullptr);
    display.display_progress(false);
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "hello %d", 42);
    EXPECT_EQ(capture.Finish(), "hello 42\n");
}

}  // namespace
