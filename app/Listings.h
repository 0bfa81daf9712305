#pragma once
// Console texts: version and copyright lines, usage and help, and the result listings.

#include <cstdint>
#include <list>
#include <map>
#include <string>

#include "Updater.h"
#include "UpdaterDisplayInterface.h"

inline constexpr const char* kAppName = "Updater";
inline constexpr const char* kAppVersion = "Version: 2.11.2 Apr 29 2025";

void _display_app_version(UpdaterDisplayInterface& display);
void _display_copyright(UpdaterDisplayInterface& display);

// Writes the short usage to standard error; with `full` also the parameters block, the
// extended block (only when `extended` too) and the samples.
void _display_usage(bool extended, bool full);

void _display_device_list(UpdaterDisplayInterface& display, const std::list<DeviceInfo>& devices,
                          linkType type);
void _display_builds(UpdaterDisplayInterface& display,
                     const std::map<std::string, std::string>& builds, uint32_t serial);
void _display_fingerprint(UpdaterDisplayInterface& display, const Fingerprint& fingerprint);
void _display_jwt(UpdaterDisplayInterface& display, const std::string& token);
