#pragma once
// The 128-byte link specifier that discovery produces and link creation consumes. Always
// allocated zero-filled and copied whole, so every transport variant survives a copy.

#include <cstddef>
#include <cstdint>

#include "aDefs.h"
#include "aError.h"

inline constexpr size_t aLINKSPEC_SIZE = 128;
inline constexpr size_t aLINKSPEC_PORTNAME_SIZE = 100;

struct linkSpec {
    linkType type;
    uint32_t serialNumber;
    uint32_t module;  // address on the device network, 0 when absent
    uint32_t router;  // address of the routing module, 0 when absent
    uint32_t routerSerialNumber;
    uint32_t model;
    union {
        struct {
            uint32_t usbId;  // identity used to open the device; discovery stores the serial
        } usb;
        struct {
            uint32_t ipAddress;  // IPv4, network byte order as in a socket address
            uint32_t ipPort;     // TCP port, host byte order
        } ip;
        struct {
            uint32_t baudRate;
            char portName[aLINKSPEC_PORTNAME_SIZE];  // zero-terminated, overlaps ip.ipPort
        } serial;
    } t;
};

static_assert(sizeof(linkSpec) == aLINKSPEC_SIZE);
static_assert(offsetof(linkSpec, type) == 0);
static_assert(offsetof(linkSpec, serialNumber) == 4);
static_assert(offsetof(linkSpec, module) == 8);
static_assert(offsetof(linkSpec, router) == 12);
static_assert(offsetof(linkSpec, routerSerialNumber) == 16);
static_assert(offsetof(linkSpec, model) == 20);
static_assert(offsetof(linkSpec, t.usb.usbId) == 24);
static_assert(offsetof(linkSpec, t.ip.ipAddress) == 24);
static_assert(offsetof(linkSpec, t.ip.ipPort) == 28);
static_assert(offsetof(linkSpec, t.serial.baudRate) == 24);
static_assert(offsetof(linkSpec, t.serial.portName) == 28);

// A zero-filled specifier of the given type on the heap; null when memory is exhausted.
// The caller owns it and releases it with aLinkSpec_Destroy.
linkSpec* aLinkSpec_Create(linkType type);

// A heap copy of all 128 bytes of `spec`; null when `spec` is null or memory is exhausted.
linkSpec* aLinkSpec_Copy(const linkSpec* spec);

// Frees the specifier `*spec` designates and clears `*spec`. aErrParam (nothing freed) when
// `spec` or `*spec` is null.
aErr aLinkSpec_Destroy(linkSpec** spec);
