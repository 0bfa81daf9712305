#pragma once
// Millisecond ticks and sleeping.

#include <cstdint>

// Milliseconds on a steady clock: only differences between two ticks mean anything, and they are
// not disturbed when someone sets the time of day. 0 when the clock cannot be read; never
// UINT64_MAX.
uint64_t aTime_GetMSTicks();

// Sleeps `milliseconds` (0 returns at once), resuming after signal interruptions until the whole
// time has passed.
void aTime_MSSleep(uint32_t milliseconds);
