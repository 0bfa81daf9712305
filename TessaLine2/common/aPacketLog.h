#pragma once
// A byte ring of tagged records for packet traces: one tag byte, one length byte, then that many
// payload bytes. When a new record does not fit, the oldest whole records make room.
//
// Not locked internally: every operation on one log must be made under the owner's mutex.

#include <cstdint>

#include "aError.h"

// Longest payload a record holds: its length travels in one byte.
inline constexpr uint32_t aPACKETLOG_MAX_PAYLOAD = 255;

struct aPacketLog;
typedef aPacketLog* aPacketLogRef;

// An empty log of `capacity` bytes. Null for a capacity of 0 or when memory is short. The caller
// releases it with aPacketLog_Destroy.
aPacketLogRef aPacketLog_Create(uint32_t capacity);

// Appends the record (`tag`, `length`, `bytes`), dropping the oldest records until strictly more
// than `length` + 2 bytes are free (the ring is never completely full). aErrOverrun, with
// nothing dropped, when `length` + 2 is not smaller than the capacity or `length` exceeds
// aPACKETLOG_MAX_PAYLOAD; aErrParam for a null log, or null bytes with a non-zero length.
aErr aPacketLog_Put(aPacketLogRef log, uint8_t tag, uint32_t length, const uint8_t* bytes);

// Takes the oldest record. On entry `*length` is the size of `buffer`. aErrNotFound when the log
// is empty. Otherwise `*tag` and `*length` receive the record's tag and length; when the length
// exceeds the buffer size the result is aErrOverrun and the record stays, else the payload is
// copied, the record removed and the result aErrNone. aErrParam for a null log, tag or length,
// or a null buffer with a non-zero size.
aErr aPacketLog_Get(aPacketLogRef log, uint8_t* tag, uint32_t* length, uint8_t* buffer);

// Frees the log and clears `*log`; a null pointer or log is accepted.
aErr aPacketLog_Destroy(aPacketLogRef* log);
