#pragma once
// Helpers of the discover command (Updater::Discover_Devices and Discover_TLNetwork_Devices),
// shared with the update flow, which reaches modules the same way: every module is used with the
// library's networking switched off, so that the tool always holds its own, direct link.

#include <cstdint>
#include <list>

#include "Module.h"
#include "Updater.h"
#include "UpdaterDisplayInterface.h"
#include "aDefs.h"
#include "aLinkSpec.h"

// The network interface handed to every enumeration and search of the discover command:
// 127.0.0.1 in network byte order (local mode for the link-server discovery).
extern const uint32_t kDiscoveryInterface;

// Enumeration callback (aDiscovery.h): appends a DeviceInfo holding a copy of `spec` to the
// std::list<DeviceInfo> behind `list`, sets `*success` and goes on.
bool _discovered_device(const linkSpec* spec, bool* success, void* list);

// What _discovered_link looks for and found.
struct DiscoveredLinkContext {
    uint32_t serial = 0;
    linkType type = INVALID;  // the link type the serial number was seen on; INVALID until then
};

// Enumeration callback: sets `*success`; when the offered serial number is the one wanted
// (`context` is a DiscoveredLinkContext), logs it (package 0x100), records the link type and
// stops; otherwise goes on.
bool _discovered_link(const linkSpec* spec, bool* success, void* context);

// The link type under which the module `serial` is seen: USB first, then TCPIP when USB did not
// show it; INVALID (0) when neither did.
linkType _discover_link_type(uint32_t serial);

// The firmware build of a connected module through the raw module-information request (0x49,
// 0xFF): the big-endian number of a 6-byte reply; 0 on any failure.
uint32_t _get_build_number(Quillmet::TessaLine::Module& module);

// Through the module's system entity (index 0): the firmware version into `info`'s version
// fields, then the module's current address into info.spec.module and its router's address into
// info.spec.router. Stops at the first failing request and returns its error (the fields it
// would have set are left as they were); aErrNone otherwise.
aErr _get_version(Quillmet::TessaLine::Module& module, DeviceInfo& info);

// Switches the module's networking off (enabled and fallback off, local only, default port and
// interface). On failure prints the error "Failed to SET network configuration" and returns the
// error (aErrMode for a connected module); aErrNone otherwise.
aErr _disableWeave(Quillmet::TessaLine::Module& module, UpdaterDisplayInterface& display);
