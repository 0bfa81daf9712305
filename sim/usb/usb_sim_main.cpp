// usb-sim: runs a command against an emulated USB bus (see UsbSimLauncher.h).
// The devices answer as test devices (echo); a simulator with real device behaviour passes its
// own factories to RunUsbSim.

#include <memory>

#include "TestBehaviours.h"
#include "UsbSimLauncher.h"

int main(int argc, char** argv) {
    sim::usb::UsbSimBehaviours behaviours;
    behaviours.module = [](sim::usb::EmulatedUsbBus&, const sim::usb::UsbDeviceConfig&) {
        return std::make_shared<sim::usb::EchoBehaviour>();
    };
    behaviours.imx = [](sim::usb::EmulatedUsbBus&) {
        return std::make_shared<sim::usb::HidEchoBehaviour>();
    };
    return sim::usb::RunUsbSim(argc, argv, behaviours);
}
