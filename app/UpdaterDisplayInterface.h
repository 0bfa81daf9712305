#pragma once
// What the update logic talks to when it addresses the user. The logic never writes to the
// console itself.

class UpdaterDisplayInterface {
public:
    enum Level { LEVEL_INFO = 0, LEVEL_ERROR = 1 };

    virtual ~UpdaterDisplayInterface() = default;

    virtual void display_progress(bool show) = 0;
    virtual void update_progress(double fraction, const char* label) = 0;
    virtual void update_spinner(bool spinning, const char* label) = 0;
    virtual void info_message(const char* text) = 0;
    virtual void error_message(const char* text) = 0;

    // Formats one line (without trailing newline; the display adds it) and hands it to
    // error_message for LEVEL_ERROR, to info_message otherwise. Output beyond 2047 characters
    // is cut. Does nothing while muted.
    void message(Level level, const char* format, ...) __attribute__((format(printf, 3, 4)));
    void mute_messages(bool mute) { muted = mute; }

    bool muted = false;
};
