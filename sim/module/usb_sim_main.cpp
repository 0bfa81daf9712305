// usb-sim: runs a command against an emulated USB bus whose modules are complete simulated
// TessaLine modules (see sim/usb/UsbSimLauncher.h for the bus options and SimUsbModules.h for
// the modules' own). The i.MX boot ROM device answers as a test device (HID echo).

#include "SimUsbModules.h"
#include "sim/usb/TestBehaviours.h"
#include "sim/usb/UsbSimLauncher.h"

int main(int argc, char** argv) {
    sim::tessaline::SimUsbModules modules;
    sim::usb::UsbSimBehaviours behaviours;
    behaviours.module = [&modules](sim::usb::EmulatedUsbBus&,
                                   const sim::usb::UsbDeviceConfig& config) {
        return modules.Behaviour(config);
    };
    behaviours.imx = [](sim::usb::EmulatedUsbBus&) {
        return std::make_shared<sim::usb::HidEchoBehaviour>();
    };
    behaviours.extraOptions = sim::tessaline::SimUsbModules::OptionNames();
    behaviours.extraUsage = sim::tessaline::SimUsbModules::Usage();
    behaviours.configure = [&modules](const sim::usb::UsbSimOptions& options) {
        return modules.Configure(options);
    };
    behaviours.finished = [&modules] {
        const std::string problems = modules.Finish();
        if (!problems.empty()) fprintf(stderr, "usb-sim: %s\n", problems.c_str());
    };
    return sim::usb::RunUsbSim(argc, argv, behaviours);
}
