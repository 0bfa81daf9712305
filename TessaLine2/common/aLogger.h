#pragma once
// A background thread that keeps calling a writer callback with an open log file, for example
// to move a link's packet records into a trace file.
//
// The logger's calls are made by its owner's thread; only the worker runs concurrently.

#include <cstdint>

#include "aError.h"
#include "aFile.h"

// Called over and over by the worker while the logger is enabled. The logger never sleeps
// itself: the callback paces the loop (for example by sleeping when it has nothing to write).
typedef void (*aLoggerCallback)(aFileRef file, uint32_t reference);

struct aLogger;
typedef aLogger* aLoggerRef;

// Opens `path` for appending, unbuffered, and returns a logger that is not yet running. Null for
// a null callback, when memory is short or when the file cannot be opened. The caller releases
// it with aLogger_Destroy.
aLoggerRef aLogger_Create(uint32_t reference, aLoggerCallback callback, const char* path);

// Starts the worker unless it runs already (aErrNone then too). aErrParam for an invalid
// logger; aErrResource when the thread cannot start.
aErr aLogger_Enable(aLoggerRef logger);

// Stops the worker and waits for it: the callback in progress finishes first. aErrNone when it
// was not running, or when called from the worker itself (nothing changes then). aErrParam for
// an invalid logger; aErrUnknown when the worker cannot be joined.
aErr aLogger_Disable(aLoggerRef logger);

// Stops the worker, closes the file, frees the logger and clears `*logger`. aErrNone for a null
// or invalid logger. Called from the worker itself it refuses with aErrBusy and changes nothing
// (the worker would otherwise free the logger under its own feet); a failed stop returns its
// code and leaves the logger allocated.
aErr aLogger_Destroy(aLoggerRef* logger);
