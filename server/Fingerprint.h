#pragma once
// The identity of a processor in boot-ROM mode, as recovery reads it and the update server keys
// its recovery information by.

#include <cstdint>

// Four 32-bit words identifying a processor in boot-ROM mode, word 0 first.
struct Fingerprint {
    uint32_t words[4] = {0, 0, 0, 0};
};
