#pragma once
// Joinable threads.

#include "aError.h"

// A thread's body; its result is ignored.
typedef void* (*aThreadFunction)(void* argument);

struct aThread;
typedef aThread* aThreadRef;

// Starts a joinable thread running `function(argument)`. Returns its handle, which the caller
// releases with aThread_Destroy, or null when memory or the thread cannot be had (or `function`
// is null).
aThreadRef aThread_Create(aThreadFunction function, void* argument);

// Waits for the thread to end, frees the handle and clears `*thread`. It does not stop the
// thread: the caller first makes the thread's loop end. Returns the join result: 0 on success,
// EINVAL for a null pointer or handle, EDEADLK when called from the thread itself (the handle is
// kept then, so that another thread can still join it).
int aThread_Destroy(aThreadRef* thread);

// True when the calling thread is the one `thread` runs.
bool aThread_IsCurrent(aThreadRef thread);

// Gives up the processor briefly (sleeps 5 microseconds).
void aThread_Yield();
