#include "aError.h"

namespace {

const char* const kErrorTexts[] = {
    "aErrNone",          "aErrMemory",         "aErrParam",          "aErrNotFound",
    "aErrFileNameLength", "aErrBusy",          "aErrIO",             "aErrMode",
    "aErrWrite",         "aErrRead",           "aErrEOF",            "aErrNotReady",
    "aErrPermission",    "aErrRange",          "aErrSize",           "aErrOverrun",
    "aErrParse",         "aErrConfiguration",  "aErrTimeout",        "aErrInitialization",
    "aErrVersion",       "aErrUnimplemented",  "aErrDuplicate",      "aErrCancel",
    "aErrPacket",        "aErrConnection",     "aErrIndexRange",     "aErrShortCommand",
    "aErrInvalidEntity", "aErrInvalidOption",  "aErrResource",       "aErrMedia",
    "aErrAsyncReturn",   "aErrStreamStale",    "aErrUnknown",
};

const char* const kErrorDescriptions[] = {
    "Success, no error",
    "Memory allocation",
    "Invalid parameter",
    "Not found",
    "File name too long",
    "Resource busy",
    "Input/Output error",
    "Invalid Mode",
    "Write error",
    "Read error",
    "End of file",
    "Not ready, no bytes available",
    "Insufficient permissions",
    "Value out of range",
    "Invalid Size",
    "Buffer/queue overrun",
    "Parse error",
    "Configuration error",
    "Timeout occurred",
    "Initialization error",
    "Invalid version",
    "Functionality unimplemented",
    "Duplicate request",
    "Cancellation occurred, or did not complete",
    "Packet byte invalid",
    "Connection error",
    "Index out of range",
    "TessaLine command to short",
    "Invalid entity error",
    "Invalid option code",
    "Resource unavailable",
    "Media error",
    "Asynchronous return error",
    "Stream value is stale",
    "Unknown error",
};

static_assert(sizeof(kErrorTexts) / sizeof(kErrorTexts[0]) == aErrCount);
static_assert(sizeof(kErrorDescriptions) / sizeof(kErrorDescriptions[0]) == aErrCount);

uint32_t sClamp(aErr err) { return err > aErrUnknown ? aErrUnknown : err; }

}  // namespace

const char* aError_GetErrorText(aErr err) { return kErrorTexts[sClamp(err)]; }

const char* aError_GetErrorDescription(aErr err) { return kErrorDescriptions[sClamp(err)]; }
