#pragma once
// USB front end: a SimModule as the behaviour of an emulated USB module (sim/usb), so that the
// real libusb code paths of the host run against the simulator.
//
// Bulk OUT transfers go to the module; each piece of module output becomes one queued bulk IN
// transfer. A module disconnect (SimModule::Disconnect, a disconnect fault) restarts the device:
// it leaves the bus and comes back after `restartDowntime`, as a module does when it resets;
// once told that it does not return (SetReturnsAfterRestart(false)), its next restart takes it
// off the bus for the rest of the run, as a module whose new code never starts.
// The callbacks only hand bytes over and return at once, as the emulation requires.
//
// The bus does not report its own destruction as a detach: call Release() before the bus goes
// away while the module may still send (heartbeats), so that nothing is queued on a dead port.

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>

#include "SimModule.h"
#include "sim/usb/UsbBehaviour.h"

namespace sim::tessaline {

class SimUsbBehaviour final : public sim::usb::UsbDeviceBehaviour {
  public:
    explicit SimUsbBehaviour(
        std::shared_ptr<SimModule> module,
        std::chrono::milliseconds restartDowntime = std::chrono::milliseconds(500));
    ~SimUsbBehaviour() override;

    void OnAttached(sim::usb::UsbDevicePort& port) override;
    void OnDetached() override;
    void OnBulkOut(const uint8_t* data, size_t length) override;
    // A module whose serial number changed since it was made (a loader running under its
    // default serial number) shows the new one, as eight hex digits; else the original string.
    std::string SerialAtPlug() override;

    // Disconnects the module from the port (as OnDetached). Safe to call more than once.
    void Release() { OnDetached(); }

    // Whether the device comes back after the restarts that follow (true at first). Any thread.
    void SetReturnsAfterRestart(bool returns) { *returns_ = returns; }

    // The downtime of a restart with no return: longer than any run; the bus drops the pending
    // re-plug when it goes.
    static constexpr std::chrono::hours kNoReturnDowntime{24 * 365};

    SimModule& Module() const { return *module_; }

  private:
    const std::shared_ptr<SimModule> module_;
    const std::chrono::milliseconds restartDowntime_;
    const uint32_t createdSerialNumber_;
    // Shared with the module's disconnect handler, which may outlive this object.
    const std::shared_ptr<std::atomic<bool>> returns_ = std::make_shared<std::atomic<bool>>(true);
    std::mutex mutex_;
    uint64_t token_ = 0;  // guarded by mutex_
};

}  // namespace sim::tessaline
