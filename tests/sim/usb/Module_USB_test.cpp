// Modules found and connected by discovery on the emulated USB bus, each answered by a complete
// simulated module: discover-and-connect by serial number and by model alone.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "LibusbFixture.h"
#include "Module.h"
#include "SimDevice.h"
#include "SimUsbBehaviour.h"
#include "SystemClass.h"
#include "aUSB.h"

namespace usbtest {
namespace {

using Quillmet::TessaLine::aWeaveConfig;
using Quillmet::TessaLine::Module;
using Quillmet::TessaLine::SystemClass;
using sim::tessaline::MakeSimDevice;
using sim::tessaline::SimDevice;
using sim::tessaline::SimModuleConfig;
using sim::tessaline::SimUsbBehaviour;

constexpr uint8_t kBeryl = 4;
constexpr uint8_t kDolomite = 13;

class ModuleOverUsb : public ::testing::Test {
  protected:
    void TearDown() override {
        for (auto& behaviour : behaviours_) behaviour->Release();
        EXPECT_EQ(TessaLine_libusb_exit(), aErrNone);
    }

    // A complete simulated module of `model` with serial number `serial` on the bus.
    void Plug(uint32_t serial, uint8_t model) {
        SimModuleConfig config;
        config.serialNumber = serial;
        config.model = model;
        SimDevice device = MakeSimDevice(config);
        char text[9];
        snprintf(text, sizeof(text), "%08X", serial);
        behaviours_.push_back(std::make_shared<SimUsbBehaviour>(device.module));
        bus_.AddModule(ModuleConfig(text, model), behaviours_.back());
        devices_.push_back(device);
    }

    // Connects a fresh module object of `model` by discovery; the serial number the connected
    // module reports, 0 when the connection failed with `*err`.
    uint32_t DiscoverAndConnect(uint8_t model, uint32_t serial, aErr* err) {
        Module module(2, model);
        aWeaveConfig direct;
        direct.enabled = false;
        direct.fallback = false;
        EXPECT_EQ(module.setConfig(direct), aErrNone);
        *err = module.discoverAndConnect(USB, serial);
        if (*err != aErrNone) return 0;
        SystemClass system;
        system.init(&module, 0);
        uint32_t reported = 0;
        EXPECT_EQ(system.getSerialNumber(&reported), aErrNone);
        module.disconnect();
        return reported;
    }

    EmulatedUsbBus bus_;  // first: the bus must exist before libusb starts its threads
    std::vector<SimDevice> devices_;
    std::vector<std::shared_ptr<SimUsbBehaviour>> behaviours_;
};

TEST_F(ModuleOverUsb, DiscoverAndConnectFindsTheWantedModule) {
    Plug(0x1A2B3C4D, kBeryl);
    Plug(0x0000ABCD, kDolomite);
    struct Case {
        const char* name;
        uint8_t model;
        uint32_t serial;
        aErr err;
        uint32_t reported;
    } cases[] = {
        {"first module of the wanted model", kDolomite, 0, aErrNone, 0x0000ABCD},
        {"the other model", kBeryl, 0, aErrNone, 0x1A2B3C4D},
        {"by serial number", 0, 0x1A2B3C4D, aErrNone, 0x1A2B3C4D},
        {"a model nobody has", 17, 0, aErrNotFound, 0},
        {"a serial number nobody has", 0, 0x0BADBEEF, aErrNotFound, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        aErr err = aErrNone;
        EXPECT_EQ(DiscoverAndConnect(c.model, c.serial, &err), c.reported);
        EXPECT_EQ(err, c.err);
    }
}

}  // namespace
}  // namespace usbtest
