#pragma once
// Test side of the object API (Link, Module, entity classes): simulated modules reached over the
// in-process pipe (as USB links) and over TCP on 127.0.0.1, specifiers for them, and a fixture
// whose teardown proves that every engine link and packet queue was released.

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Link.h"
#include "SimDevice.h"
#include "SimPipeStream.h"
#include "SimTcpServer.h"
#include "aLinkRegistry.h"
#include "aLinkSpec.h"
#include "packetfifo.h"

namespace objtest {

using namespace std::chrono_literals;
using namespace sim::tessaline;
using Quillmet::TessaLine::aWeaveConfig;
using Clock = std::chrono::steady_clock;

// "02 00" -> {0x02, 0x00}.
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

inline linkSpec UsbSpec(uint32_t serialNumber, uint8_t model = 0) {
    linkSpec spec{};
    spec.type = USB;
    spec.serialNumber = serialNumber;
    spec.model = model;
    spec.t.usb.usbId = serialNumber;
    return spec;
}

inline linkSpec TcpSpec(uint16_t port, uint32_t serialNumber = 0) {
    linkSpec spec{};
    spec.type = TCPIP;
    spec.serialNumber = serialNumber;
    spec.t.ip.ipAddress = htonl(INADDR_LOOPBACK);
    spec.t.ip.ipPort = port;
    return spec;
}

// The configuration the update tool uses: direct links only, no fallback.
inline aWeaveConfig Direct() {
    aWeaveConfig config;
    config.enabled = false;
    config.fallback = false;
    return config;
}

// Simulated modules put under the engine's USB links, by serial number, each reached over its
// own in-process pipe. One bus at a time (the engine's stream factory is process-wide).
class SimUsbBus {
  public:
    SimUsbBus() { previous_ = aLinkRegistry_SetUSBStreamFactory(&SimUsbBus::Open); }
    ~SimUsbBus() {
        aLinkRegistry_SetUSBStreamFactory(previous_);
        std::lock_guard<std::mutex> lock(Mutex());
        Modules().clear();
    }
    SimUsbBus(const SimUsbBus&) = delete;
    SimUsbBus& operator=(const SimUsbBus&) = delete;

    void Plug(const std::shared_ptr<SimModule>& module) {
        std::lock_guard<std::mutex> lock(Mutex());
        Modules()[module->Config().serialNumber] = module;
    }
    void Unplug(uint32_t serialNumber) {
        std::lock_guard<std::mutex> lock(Mutex());
        Modules().erase(serialNumber);
    }

  private:
    static std::mutex& Mutex() {
        static std::mutex mutex;
        return mutex;
    }
    static std::map<uint32_t, std::shared_ptr<SimModule>>& Modules() {
        static std::map<uint32_t, std::shared_ptr<SimModule>> modules;
        return modules;
    }
    static aErr Open(uint32_t serialNumber, aStreamRef* stream) {
        std::shared_ptr<SimModule> module;
        {
            std::lock_guard<std::mutex> lock(Mutex());
            auto found = Modules().find(serialNumber);
            if (found == Modules().end()) return aErrNotFound;
            module = found->second;
        }
        return CreatePipeStream(module, stream);
    }

    aLinkUSBStreamFactory previous_ = nullptr;
};

// A complete simulated module served on an ephemeral TCP port of 127.0.0.1.
struct SimTcpDevice {
    explicit SimTcpDevice(const SimModuleConfig& config) : device(MakeSimDevice(config)) {
        server = std::make_unique<SimTcpServer>(device.module);
        EXPECT_EQ(server->Start(0), aErrNone);
    }
    linkSpec Spec() const { return TcpSpec(server->Port(), device.module->Config().serialNumber); }

    SimDevice device;
    std::unique_ptr<SimTcpServer> server;
};

// Checks, after everything else of the test is gone, that no engine link and no packet queue is
// left. Declare it as the first member of a fixture, so that it is destroyed last.
struct RegistriesEmptyAtEnd {
    ~RegistriesEmptyAtEnd() {
        // A destroyed link's threads are joined before its entry goes, so this holds at once.
        EXPECT_EQ(aLinkRegistry_Count(), 0u) << "an engine link was left behind";
        EXPECT_EQ(aPacketFifo_RegisteredCount(), 0u) << "a packet queue was left behind";
    }
};

// The packets the module received from the host other than link commands (probes, force route).
inline std::vector<SimPacket> Requests(const SimModule& module) {
    std::vector<SimPacket> requests;
    for (const SimPacket& packet : module.Received()) {
        if (packet.address != kIdentifyProbe && packet.address != kForceRoute)
            requests.push_back(packet);
    }
    return requests;
}

// Waits until the module has received `count` requests (see Requests).
inline bool WaitForRequests(const SimModule& module, size_t count,
                            std::chrono::milliseconds limit = 5s) {
    const auto deadline = Clock::now() + limit;
    while (Requests(module).size() < count) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

inline long ElapsedMs(Clock::time_point since) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

}  // namespace objtest
