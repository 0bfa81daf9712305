#include "CLI_Display.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

const char kBar[] = "=====================================================================";
static_assert(sizeof(kBar) - 1 == CLI_Display::kBarWidth);

const char* const kSpinnerFrames[] = {".", "..", "...", "....", ".....", "....", "...", ".."};
constexpr unsigned kSpinnerFrameCount = sizeof(kSpinnerFrames) / sizeof(kSpinnerFrames[0]);

bool sOnTerminal() { return isatty(STDOUT_FILENO) == 1; }

}  // namespace

CLI_Display::CLI_Display() {
    setvbuf(stdout, nullptr, _IONBF, 0);
    setvbuf(stderr, nullptr, _IONBF, 0);
}

void CLI_Display::clear_line() { fprintf(stdout, "\r%*s\r", kLineClearWidth, " "); }

void CLI_Display::display_progress(bool show) {
    if (!sOnTerminal() || show) return;
    clear_line();
}

void CLI_Display::update_progress(double fraction, const char* label) {
    if (!sOnTerminal()) return;
    // Out-of-range fractions are clamped so that the padding can never grow without bound.
    if (!(fraction >= 0.0)) fraction = 0.0;
    if (fraction > 1.0) fraction = 1.0;
    int width = kBarWidth;
    if (label) width -= static_cast<int>(strlen(label)) + 4;
    const int percent = static_cast<int>(fraction * 100);
    int filled = static_cast<int>(width * fraction);
    int padding = width - filled - 1;
    if (width <= 0) {
        // A label too long for the line leaves no room for a bar: draw it empty, unpadded.
        filled = 0;
        padding = 0;
    }
    if (label)
        fprintf(stdout, "\r (%s) [%.*s>%*s] (%3d%% ) ", label, filled, kBar, padding, "", percent);
    else
        fprintf(stdout, "\r[%.*s>%*s] (%3d%% ) ", filled, kBar, padding, "", percent);
}

void CLI_Display::update_spinner(bool spinning, const char* label) {
    if (!sOnTerminal()) return;
    if (!spinning) {
        clear_line();
        return;
    }
    const char* frame = kSpinnerFrames[spinner_frame];
    if (label)
        fprintf(stdout, "\r (%s) %s      \r", label, frame);
    else
        fprintf(stdout, "\r %s      \r", frame);
    spinner_frame = static_cast<uint8_t>((spinner_frame + 1) % kSpinnerFrameCount);
}

void CLI_Display::info_message(const char* text) { fprintf(stdout, "%s\n", text); }

void CLI_Display::error_message(const char* text) { fprintf(stderr, "%s\n", text); }
