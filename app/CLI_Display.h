#pragma once
// Console implementation of the display: information lines on standard output, error lines on
// standard error; progress bar, spinner and line clears only when standard output is a terminal.

#include <cstdint>

#include "UpdaterDisplayInterface.h"

class CLI_Display : public UpdaterDisplayInterface {
public:
    // Switches standard output and standard error to unbuffered mode.
    CLI_Display();

    void display_progress(bool show) override;
    void update_progress(double fraction, const char* label) override;
    void update_spinner(bool spinning, const char* label) override;
    void info_message(const char* text) override;
    void error_message(const char* text) override;

    static constexpr int kBarWidth = 69;
    static constexpr int kLineClearWidth = 88;

private:
    static void clear_line();
    static inline uint8_t spinner_frame = 0;  // shared by all instances; main thread only
};
