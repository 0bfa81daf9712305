#pragma once
// Points standard output at a pseudo-terminal or a plain file for the duration of a test, so the
// console widgets that only draw on a terminal can be checked byte for byte.

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <string>

class StdoutCapture {
public:
    explicit StdoutCapture(bool terminal) {
        fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        if (terminal) {
            int slave = -1;
            if (openpty(&reader_, &slave, nullptr, nullptr, nullptr) != 0)
                throw std::runtime_error("openpty failed");
            termios raw;
            tcgetattr(slave, &raw);
            cfmakeraw(&raw);
            tcsetattr(slave, TCSANOW, &raw);
            dup2(slave, STDOUT_FILENO);
            close(slave);
        } else {
            char path[] = "/tmp/stdout-capture-XXXXXX";
            int file = mkstemp(path);
            unlink(path);
            reader_ = dup(file);
            dup2(file, STDOUT_FILENO);
            close(file);
        }
        terminal_ = terminal;
    }

    ~StdoutCapture() { Restore(); }

    // Restores standard output and returns everything written while it was captured.
    std::string Finish() {
        fflush(stdout);
        Restore();
        std::string text;
        char buffer[4096];
        if (!terminal_) lseek(reader_, 0, SEEK_SET);
        fcntl(reader_, F_SETFL, O_NONBLOCK);
        ssize_t n;
        while ((n = read(reader_, buffer, sizeof(buffer))) > 0) text.append(buffer, n);
        return text;
    }

private:
    void Restore() {
        if (saved_ >= 0) {
            dup2(saved_, STDOUT_FILENO);
            close(saved_);
            saved_ = -1;
        }
    }

    int saved_ = -1;
    int reader_ = -1;
    bool terminal_ = false;
};
