// One run of the Updater tool: parse the command line, settle the store folder and run the
// requested commands in their fixed order. The exit status is 0 for success, 1 for failure.

#include <memory>
#include <string>

#include "CLI_Display.h"
#include "Listings.h"
#include "Log.h"
#include "Parameters.h"
#include "Updater.h"
#include "BuildPath.h"
#include "aDirectory.h"

namespace {

constexpr auto INFO = UpdaterDisplayInterface::LEVEL_INFO;
constexpr auto ERROR = UpdaterDisplayInterface::LEVEL_ERROR;
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;

// The store folder: <-i or ~/.quillmet>/updater, created with its parents. Empty on failure,
// after the failure has been reported.
std::string sStoreDirectory(UpdaterDisplayInterface& display, const Parameters& p) {
    std::string directory = p.directory;
    if (directory.empty()) {
        char home[2048];
        aErr err = aDirectory_GetHomeDirectory(home, sizeof(home));
        if (err != aErrNone) {
            Log::log(DEBUG_APP, "Updater: FailedaDirectory_GetHomeDirectory()==> %d\n", err);
            return {};
        }
        directory = BuildPath(home, ".quillmet", nullptr);
    }
    directory = BuildPath(directory.c_str(), "updater", nullptr);
    if (aDirectory_Ensure(directory.c_str(), 0755) != aErrNone) {
        display.message(ERROR, "Could not find updater directory at %s", directory.c_str());
        return {};
    }
    return directory;
}

int sFingerprint(UpdaterDisplayInterface& display, Updater& updater, const Parameters& p,
                 int& pending) {
    if (p.serial_port.empty()) {
        display.message(ERROR, "Must specify the serial port used for connecting");
        return kExitFailure;
    }
    Fingerprint fingerprint;
    if (updater.Get_Fingerprint(fingerprint, p.serial_port, 0xDEADDEAD, p.bird_file, p.baud_rate,
                                true)) {
        _display_fingerprint(display, fingerprint);
    } else {
        display.message(ERROR, "Got no response from chip");
        pending = kExitFailure;
    }
    return kExitOk;
}

int sDownload(UpdaterDisplayInterface& display, Updater& updater, Parameters& p, int& pending) {
    if (p.serial_number == 0) {
        display.message(ERROR, "-G must specify a specific device via -d");
        display.message(ERROR, "--help for usage information");
        return kExitFailure;
    }
    display.message(INFO, "Retrieving firmware for device with serial number %08X",
                    p.serial_number);
    if (p.build.empty()) {
        display.message(INFO, "No build specified");
        display.message(INFO, "Using Latest build");
    } else {
        display.message(INFO, "Retrieving firmware build %s", p.build.c_str());
    }
    uint32_t stored = updater.Download_Firmware(p.serial_number, p.build, p.override, false);
    if (stored != 0) {
        p.build = std::to_string(stored);  // a following -U installs exactly this build
        pending = kExitOk;
    } else {
        pending = kExitFailure;
    }
    return kExitOk;
}

int sDiscover(UpdaterDisplayInterface& display, Updater& updater, const Parameters& p) {
    linkType type = INVALID;
    if (p.transport_given && p.transport != TRANSPORT_RECOVER)
        type = static_cast<linkType>(p.transport);
    if (p.router_serial_number != 0) {
        display.message(INFO, "Searching for TessaLine Network devices connected to %08X",
                        p.router_serial_number);
        _display_device_list(display, updater.Discover_TLNetwork_Devices(p.router_serial_number, type),
                             type);
    } else {
        display.message(INFO, "Searching for TessaLine devices");
        if (type == INVALID) type = USB;
        _display_device_list(display, updater.Discover_Devices(type), type);
    }
    return kExitOk;
}

int sUpdate(UpdaterDisplayInterface& display, Updater& updater, const Parameters& p) {
    const char* end = nullptr;
    const uint32_t build = _get_int_arg(p.build.c_str(), &end);
    updater.Set_UEIBytes_Load(p.uei_bytes);
    bool ok;
    if (p.transport == TRANSPORT_RECOVER) {
        ok = updater.Recover_Firmware(p.serial_port, build, p.baud_rate, p.serial_number,
                                      p.bird_file, p.override);
    } else if (p.serial_number == 0) {
        display.message(ERROR, "Must specify the specific device to be updated");
        return kExitFailure;
    } else {
        ok = updater.Update_Firmware(p.serial_number, build, p.bird_file, 0,
                                     p.router_serial_number, p.override);
    }
    return ok ? kExitOk : kExitFailure;
}

// -B, -L and -J share one shape: a serial number is required, then one listing.
bool sNeedsSerial(UpdaterDisplayInterface& display, const Parameters& p, const char* error) {
    if (p.serial_number != 0) return true;
    display.message(ERROR, "%s", error);
    _display_usage(false, false);
    return false;
}

int sRun(UpdaterDisplayInterface& display, Parameters& p) {
    const std::string directory = sStoreDirectory(display, p);
    if (directory.empty()) return kExitFailure;
    Updater updater(p.server_url, directory, display);

    int pending = kExitOk;
    if (p.commands.IsSet(CMD_FINGERPRINT) &&
        sFingerprint(display, updater, p, pending) != kExitOk)
        return kExitFailure;
    if (p.commands.IsSet(CMD_GET) && sDownload(display, updater, p, pending) != kExitOk)
        return kExitFailure;

    if (p.commands.IsSet(CMD_DISCOVER)) return sDiscover(display, updater, p);
    if (p.commands.IsSet(CMD_UPDATE)) return sUpdate(display, updater, p);
    if (p.commands.IsSet(CMD_LIST_BUILDS)) {
        if (!sNeedsSerial(display, p, "Error must supply a serial number for the List Builds command"))
            return kExitFailure;
        _display_builds(display, updater.Get_BuildList(p.serial_number), p.serial_number);
        return kExitOk;
    }
    if (p.commands.IsSet(CMD_LIST_LOCAL_BUILDS)) {
        if (!sNeedsSerial(display, p,
                          "Error must supply a serial number for the List Local Builds command"))
            return kExitFailure;
        _display_builds(display, updater.Get_BuildListLocal(p.serial_number), p.serial_number);
        return kExitOk;
    }
    if (p.commands.IsSet(CMD_JWT)) {
        if (!sNeedsSerial(display, p, "Error must supply a serial number for the Get JWT command"))
            return kExitFailure;
        _display_jwt(display, updater.Get_JWT(p.serial_number));
        return kExitOk;
    }
    return pending;
}

}  // namespace

int main(int argc, char** argv) {
    Parameters parameters;
    CLI_Display display;
    Log::SetOutput(stderr);

    if (_get_params(display, argc, argv, parameters) != 0) {
        _display_app_version(display);
        _display_copyright(display);
        _display_usage(false, false);
        return kExitFailure;
    }
    _display_app_version(display);
    if (parameters.help_requested || !parameters.commands.IsSet(kAnyCommandMask)) {
        _display_copyright(display);
        _display_usage(parameters.debug_mask_given, parameters.help_requested);
        return kExitOk;
    }
    return sRun(display, parameters);
}
