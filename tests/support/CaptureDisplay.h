#pragma once
// A display that records every line and widget call, for tests of code that reports to the user.

#include <string>
#include <vector>

#include "UpdaterDisplayInterface.h"

namespace testsupport {

class CaptureDisplay : public UpdaterDisplayInterface {
public:
    void display_progress(bool show) override { widgets.push_back(show ? "progress on" : "progress off"); }
    void update_progress(double fraction, const char* label) override {
        widgets.push_back("progress " + std::to_string(fraction) + (label ? label : ""));
    }
    void update_spinner(bool spinning, const char* label) override {
        widgets.push_back(std::string(spinning ? "spin " : "stop ") + (label ? label : ""));
    }
    void info_message(const char* text) override { info.push_back(text); }
    void error_message(const char* text) override { errors.push_back(text); }

    std::vector<std::string> info;
    std::vector<std::string> errors;
    std::vector<std::string> widgets;
};

}  // namespace testsupport
