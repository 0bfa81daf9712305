// The Updater's side of the update server: build lists, the device token and the download of a
// build into the local store.

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <future>
#include <optional>
#include <thread>

#include "Log.h"
#include "Updater.h"
#include "UpdateServerRequest.h"
#include "UpdaterStore.h"
#include "base64.h"

namespace {

constexpr auto INFO = UpdaterDisplayInterface::LEVEL_INFO;
constexpr auto ERROR = UpdaterDisplayInterface::LEVEL_ERROR;
constexpr auto kSpinnerPeriod = std::chrono::milliseconds(100);
const char kDownloadLabel[] = "Downloading";

// Unsigned decimal conversion as strtoul does it (leading blanks skipped, stops at the first
// non-digit), but only for 32-bit values: nothing when the text does not begin with a number or
// the number does not fit.
std::optional<uint32_t> sLeadingNumber(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && isspace(static_cast<unsigned char>(text[i]))) ++i;
    if (i == text.size() || !isdigit(static_cast<unsigned char>(text[i]))) return std::nullopt;
    uint64_t value = 0;
    for (; i < text.size() && isdigit(static_cast<unsigned char>(text[i])); ++i) {
        value = value * 10 + static_cast<uint64_t>(text[i] - '0');
        if (value > UINT32_MAX) return std::nullopt;
    }
    return static_cast<uint32_t>(value);
}

// A key or answer that should be a number; anything else is logged and counts as 0.
uint32_t sNumberOrZero(const std::string& text) {
    if (std::optional<uint32_t> n = sLeadingNumber(text)) return *n;
    Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", text.c_str());
    return 0;
}

// True when the server lists `build` for the device.
bool _valid_build(uint32_t serial, uint32_t build, const char* url) {
    std::map<std::string, std::string> builds;
    if (!UpdateServerRequest::GetBuildList(serial, builds, url)) return false;
    for (const auto& entry : builds)
        if (sNumberOrZero(entry.first) == build) return true;
    return false;
}

}  // namespace

std::map<std::string, std::string> Updater::Get_BuildList(uint32_t serial) {
    std::map<std::string, std::string> builds;
    if (!UpdateServerRequest::ping(server_url.c_str())) {
        display.message(ERROR, "Server request failed for %s", server_url.c_str());
        return builds;
    }
    if (!UpdateServerRequest::GetBuildList(serial, builds, server_url.c_str()))
        display.message(ERROR, "Failed to retrieve builds for %08X", serial);
    return builds;
}

std::string Updater::Get_JWT(uint32_t serial) {
    std::string token;
    if (!UpdateServerRequest::ping(server_url.c_str())) {
        display.message(ERROR, "Server request failed for %s", server_url.c_str());
        return token;
    }
    if (!UpdateServerRequest::GetDeviceJWT(serial, token, server_url.c_str()))
        display.message(ERROR, "Failed to retrieve jwt for %08X", serial);
    return token;
}

std::map<std::string, std::string> Updater::Get_BuildListLocal(uint32_t serial) {
    std::map<std::string, std::string> builds;
    std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, store_path, "Get_BuildListLocal");
    if (!store) return builds;
    std::vector<UpdaterStoreItem> items;
    store->FindLocalBuilds(serial, items);
    for (const UpdaterStoreItem& item : items) {
        const std::string key = item.name.substr(0, item.name.find(".bird"));
        std::string version;
        if (item.IsValid()) {
            const std::string path = item.Path();
            if (BirdFile::VerifyFile(path)) {
                Log::log(DEBUG_Updater, "Reading version of birdfile: %s\n", path.c_str());
                try {
                    version = BirdFile(path).GetVersion();
                } catch (const std::exception&) {
                    version.clear();  // listed all the same, with an empty version
                }
            } else {
                Log::log(DEBUG_Updater, "Could NOT file VERSION in birdfile: %s\n", path.c_str());
            }
        }
        builds.emplace(key, version);  // the first entry of a key wins
    }
    return builds;
}

bool Updater::fetch_build(uint32_t serial, const std::string& firmware, uint32_t build,
                          bool noCal, std::string& fileText) {
    std::promise<bool> promise;
    std::future<bool> result = promise.get_future();
    const std::string buildText = std::to_string(build);
    const std::string url = server_url;
    // The worker touches only its own copies and `fileText`, which is read after the join.
    std::thread worker([&promise, serial, firmware, buildText, url, noCal, &fileText] {
        promise.set_value(
            UpdateServerRequest::GetBuild(serial, firmware, buildText, fileText, url.c_str(), noCal));
    });
    display.update_spinner(true, kDownloadLabel);
    while (result.wait_for(kSpinnerPeriod) == std::future_status::timeout)
        display.update_spinner(true, kDownloadLabel);
    display.update_spinner(false, kDownloadLabel);
    const bool ok = result.get();
    worker.join();
    return ok;
}

uint32_t Updater::Download_Firmware(uint32_t serial, const std::string& buildText, bool override,
                                    bool noCal) {
    uint32_t build = 0;
    if (!buildText.empty()) {
        std::optional<uint32_t> number = sLeadingNumber(buildText);
        if (!number) {
            display.message(ERROR, "Build number '%s' must be an number", buildText.c_str());
            return 0;
        }
        build = *number;
    }
    if (serial == 0) {
        display.message(ERROR, "Serial Number must be non-zero");
        return 0;
    }
    if (!UpdateServerRequest::ping(server_url.c_str())) {
        display.message(ERROR, "Server request failed for %s", server_url.c_str());
        return 0;
    }
    std::unique_ptr<UpdaterStore> store = _createUpdaterStore(display, store_path, "Download_Firmware");
    if (!store) return 0;
    UpdaterStoreItem device;
    if (!store->FindDevice(serial, &device)) {
        Log::log(DEBUG_APP, "Could not find device in our update history.\n");
        try {
            device = store->AddDevice(serial);
        } catch (const std::exception&) {
            display.message(ERROR, "Could not create directory for storing BIRD file");
            return 0;
        }
    }

    std::string latest, firmware;
    if (!UpdateServerRequest::QueryBuild(serial, latest, firmware, server_url.c_str())) {
        display.message(ERROR, "No build information for device");
        return 0;
    }
    if (build == 0) build = sNumberOrZero(latest);
    display.message(INFO, "Retrieving build %u", build);
    if (override) {
        display.message(INFO, "Override specified, skipping validation of build %u", build);
    } else {
        display.message(INFO, "Validating build %u with server", build);
        if (!_valid_build(serial, build, server_url.c_str())) {
            display.message(ERROR, "No valid build %u", build);
            return 0;
        }
        display.message(INFO, "Build %u is valid", build);
    }

    std::string fileText;
    if (!fetch_build(serial, firmware, build, noCal, fileText)) display.message(ERROR, "Download failed");
    if (fileText.empty()) {
        display.message(ERROR, "Failed to retrieve a valid BIRD file");
        return 0;
    }
    return store_download(device, build, fileText);
}

uint32_t Updater::store_download(UpdaterStoreItem& device, uint32_t build,
                                 const std::string& fileText) {
    size_t length = 0;
    unsigned char* bytes = base64_decode(fileText.data(), fileText.size(), &length);
    // An answer that does not decode, or a file that cannot be written, is a failed download:
    // nothing is recorded, so a later update never picks a file that is not there.
    if (!bytes) {
        display.message(ERROR, "Failed to retrieve a valid BIRD file");
        return 0;
    }
    const std::string fileName = std::to_string(build) + ".bird";
    const aErr written = device.WriteFile(fileName.c_str(), bytes, length);
    free(bytes);
    if (written != aErrNone) {
        display.message(ERROR, "Failed to write file with %d", written);
        return 0;
    }
    device.settings.Add("LATEST_DOWNLOAD", fileName);
    device.settings.Add("LAST_DOWNLOAD_DATE", CurrentTimeText());
    device.settings.Save();
    return build;
}

uint32_t Updater::Download_Firmware(const Fingerprint& fingerprint, const std::string& buildText,
                                    bool override) {
    uint32_t build = sNumberOrZero(buildText);
    uint32_t serial = 0, latest = 0;
    if (!UpdateServerRequest::GetRecoveryInfo(fingerprint, serial, latest, server_url.c_str())) {
        display.message(ERROR, "Failed to retrieve recovery information from Quillmet update server");
        return 0;
    }
    if (build == 0) build = latest;
    return Download_Firmware(serial, std::to_string(build), override, false);
}
