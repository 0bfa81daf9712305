#pragma once
// Named, non-recursive mutexes.
//
// The mutex checks its owner: locking a mutex the calling thread already holds fails with
// aErrDuplicate instead of blocking that thread forever, and unlocking a mutex held by another
// thread (or by nobody) fails with aErrPermission instead of corrupting it.

#include <cstddef>

#include "aError.h"

// Longest name a mutex keeps.
inline constexpr size_t aMUTEX_MAX_NAME = 255;

struct aMutex;
typedef aMutex* aMutexRef;

// A new unlocked mutex named `name` (null stores an empty name). Null when the name has
// aMUTEX_MAX_NAME + 1 characters or more, or memory or the mutex cannot be had. The caller
// releases it with aMutex_Destroy.
aMutexRef aMutex_Create(const char* name);

// The stored name; "" for a null mutex. Owned by the mutex.
const char* aMutex_Identifier(aMutexRef mutex);

// Blocks until the calling thread holds the mutex. aErrParam for a null or invalid mutex;
// aErrDuplicate when the calling thread already holds it; aErrUnknown for other failures.
aErr aMutex_Lock(aMutexRef mutex);

// Takes the mutex when it is free. aErrBusy when it is held (by any thread); aErrParam for a null
// or invalid mutex; aErrUnknown for other failures.
aErr aMutex_TryLock(aMutexRef mutex);

// Releases the mutex. aErrPermission when the calling thread does not hold it; aErrParam for a
// null or invalid mutex; aErrUnknown for other failures.
aErr aMutex_Unlock(aMutexRef mutex);

// Destroys the mutex, frees it and clears `*mutex`. aErrBusy (nothing changed) while it is held;
// aErrParam for a null pointer or mutex; aErrResource or aErrUnknown (nothing changed) when the
// system refuses.
aErr aMutex_Destroy(aMutexRef* mutex);
