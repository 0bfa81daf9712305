#pragma once
// Collects what the debug log writes under the given packages while the object lives, so tests
// can compare the specified debug lines.

#include <cstdio>
#include <cstdlib>
#include <string>

#include "Log.h"

namespace testsupport {

class LogCapture {
public:
    explicit LogCapture(uint32_t packages)
        : stream_(open_memstream(&buffer_, &size_)),
          added_(packages & ~Log::ActivePackages()) {
        Log::SetOutput(stream_);
        Log::ActivatePackage(packages);
    }
    ~LogCapture() {
        Log::DeactivatePackage(added_);
        Log::SetOutput(nullptr);
        fclose(stream_);
        free(buffer_);
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Everything written so far.
    std::string Text() const {
        fflush(stream_);
        return std::string(buffer_, size_);
    }

private:
    char* buffer_ = nullptr;
    size_t size_ = 0;
    FILE* stream_;
    uint32_t added_;  // packages this capture switched on, and switches off again
};

}  // namespace testsupport
