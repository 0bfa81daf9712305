#pragma once
// Packed firmware version numbers, as modules report them, and the library's own version.
//
// A packed version is 32 bits in one of two layouts:
//   current (from 2.15 on): 0x2F in bits 31-24, major 23-16, minor 15-8, patch 7-0;
//   legacy: major in bits 31-28, minor 27-24, patch 23-0.
// A value is legacy when its top two nibbles, read as major.minor, are below 2.15; 0x2F reads as
// 2.15, so every current value is recognised.

#include <cstddef>
#include <cstdint>

#include "aError.h"

inline constexpr uint8_t aVERSION_MAJOR = 2;
inline constexpr uint8_t aVERSION_MINOR = 11;
inline constexpr uint8_t aVERSION_PATCH = 2;

// True when `packed` is in the legacy layout.
bool aVersion_IsLegacyFormat(uint32_t packed);
// Fields of whichever layout applies (a legacy patch has 24 bits, a current one 8).
uint32_t aVersion_ParseMajor(uint32_t packed);
uint32_t aVersion_ParseMinor(uint32_t packed);
uint32_t aVersion_ParsePatch(uint32_t packed);

// Formats "major.minor.patch" into `buffer`, truncated to `size` bytes (zero-terminated when
// `size` > 0; a null buffer is taken as size 0). Returns the length the whole text needs.
int aVersion_ParseString(uint32_t packed, char* buffer, size_t size);

// Packs a version: the current layout from 2.15 on, else the legacy layout with the minor cut to
// 4 bits and the patch to 8 bits.
uint32_t aVersion_Pack(uint8_t major, uint8_t minor, uint8_t patch);

// True when version 1 is at least version 2 (major, then minor, then patch).
bool aVersion_IsAtLeastCompare(uint8_t major1, uint8_t minor1, uint8_t patch1, uint8_t major2,
                               uint8_t minor2, uint8_t patch2);

// The library's version: 2, 11, 2 and "2.11.2" (a constant string).
uint8_t aVersion_GetMajor();
uint8_t aVersion_GetMinor();
uint8_t aVersion_GetPatch();
const char* aVersion_GetString();

// True when the library's version is at least the given one.
bool aVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch);

// True when the library has the feature `name` ("VERSION"); false for null.
bool aVersion_HasFeature(const char* name);

// A new heap string listing the features, one "name - description" per line without a final
// line feed ("VERSION - Version Query API"); null when memory is exhausted. Released with
// aVersion_DestroyFeatureList.
char* aVersion_GetFeatureList();

// Frees a list of aVersion_GetFeatureList and sets `*list` to null. aErrParam for a null pointer.
aErr aVersion_DestroyFeatureList(char** list);
