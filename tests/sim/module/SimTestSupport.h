#pragma once
// Helpers shared by the simulated module's tests: a host side that records what the module sends,
// and hex texts for byte-for-byte comparisons.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "SimModule.h"

namespace simtest {

using namespace std::chrono_literals;

// "02 00 AD" for failure messages and expectations.
inline std::string Hex(const std::vector<uint8_t>& bytes) {
    std::string text;
    char hex[4];
    for (uint8_t byte : bytes) {
        snprintf(hex, sizeof hex, text.empty() ? "%02X" : " %02X", byte);
        text += hex;
    }
    return text;
}

// The parsing twin of Hex: "02 00" -> {0x02, 0x00}.
inline std::vector<uint8_t> Bytes(const std::string& hex) {
    std::vector<uint8_t> bytes;
    for (size_t at = 0; at < hex.size();) {
        if (hex[at] == ' ') {
            ++at;
            continue;
        }
        bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(at, 2), nullptr, 16)));
        at += 2;
    }
    return bytes;
}

// A sink standing in for the host: records every byte the module delivers.
class ByteRecorder {
  public:
    sim::tessaline::SimModule::Sink Sink() {
        return [this](const uint8_t* bytes, size_t length) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                bytes_.insert(bytes_.end(), bytes, bytes + length);
                ++calls_;
            }
            changed_.notify_all();
        };
    }

    // Waits until at least `count` bytes were recorded, then returns all of them.
    std::vector<uint8_t> WaitFor(size_t count, std::chrono::milliseconds timeout = 5s) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, timeout, [&] { return bytes_.size() >= count; });
        return bytes_;
    }

    std::vector<uint8_t> Bytes() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return bytes_;
    }

    // Number of sink calls (each one a separate delivery).
    size_t Calls() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }

    void Clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        bytes_.clear();
        calls_ = 0;
    }

  private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<uint8_t> bytes_;
    size_t calls_ = 0;
};

}  // namespace simtest
