#pragma once
// Discovery of modules over one transport, each described as a link specifier (aLinkSpec.h).
//
// USB: the family's devices on the USB bus (is_tessaline_device, aUSB.h), listed through the
// library's shared libusb context; each is opened briefly to read its serial-number string, which
// must be exactly eight hexadecimal digits. A device that can't be opened is not offered.
//
// TCPIP: a one-shot UDP discovery. A listener is bound to port 9889 (any address) first; then one
// 16-byte request (byte 0 = 1, the rest 0) goes to the multicast group 232.2.2.2, port 9888, out
// of every IPv4 interface that is not a loopback interface. Every 16-byte reply that arrives
// before a receive waits 2 seconds in vain is offered, in order of arrival and without removing
// duplicates (a module that answers on two interfaces is offered twice). Reply layout:
//   byte 1      the module's address on its network (module and router)
//   bytes 2..3  the module's TCP port, little-endian
//   bytes 4..7  the module's serial number, little-endian
//   byte 12     the module's model (255 when the reply is 12 bytes or shorter)
// The module's IPv4 address is the reply's sender address. Bytes a short reply does not carry
// read as 0, never as left-overs of an earlier reply.
//
// AWEAVE: the link-server network discovery, which this build does not contain yet: nothing is
// found (count 0). Any other link type finds nothing either.
//
// Failures are not reported in text; they show only in the count (and in the null result of the
// two searches).
//
// Threads: no state is kept between calls and no lock is taken; callbacks run on the caller's
// thread, once per module, synchronously. The USB path shares the libusb context with the USB
// transport.

#include <cstdint>

#include "aDefs.h"
#include "aLinkSpec.h"

// The TCP/IP discovery datagrams.
inline constexpr uint16_t aDISCOVERY_REQUEST_PORT = 9888;  // modules listen here
inline constexpr uint16_t aDISCOVERY_REPLY_PORT = 9889;    // the host listens here
inline constexpr const char* aDISCOVERY_MULTICAST_GROUP = "232.2.2.2";
inline constexpr unsigned aDISCOVERY_DATAGRAM_SIZE = 16;
inline constexpr unsigned aDISCOVERY_RECEIVE_TIMEOUT_MS = 2000;
inline constexpr uint8_t aDISCOVERY_REQUEST_MARK = 1;  // byte 0 of a request

// Offered one module found. `spec` belongs to the enumerator and is destroyed when the callback
// returns (copy it to keep it). Set `*success` to true to count the module as accepted; return
// false to stop the enumeration. `ref` is the caller's pointer, passed through.
typedef bool (*aDiscoveryModuleFoundProc)(const linkSpec* spec, bool* success, void* ref);

// Offers every module reachable over `type` to `callback`, in the order found, until it returns
// false. `networkInterface` is an IPv4 address in network byte order selecting the interface for
// AWEAVE discovery (0: any; 127.0.0.1: local mode); the other transports ignore it. Returns the
// number of modules the callback accepted (at most 255). 0 and no call for a null callback or a
// link type other than USB, TCPIP and AWEAVE.
//   USB specifiers: type USB, serialNumber and t.usb.usbId the parsed serial number, model the
//   low byte of the product identifier, module, router and routerSerialNumber 0.
//   TCPIP specifiers: type TCPIP, serialNumber and routerSerialNumber from the reply, module and
//   router the reply's address byte, model from the reply, t.ip.ipAddress the sender's address
//   (network byte order), t.ip.ipPort the reply's port.
uint8_t aDiscovery_EnumerateModules(linkType type, aDiscoveryModuleFoundProc callback, void* ref,
                                    uint32_t networkInterface);

// The specifier of the module with `serialNumber` reachable over `type`, as a new heap copy the
// caller releases with aLinkSpec_Destroy; null when no such module was found (or memory is short).
linkSpec* aDiscovery_FindModule(linkType type, uint32_t serialNumber, uint32_t networkInterface);

// The specifier of the first module with a non-zero serial number reachable over `type`, as a new
// heap copy the caller releases with aLinkSpec_Destroy; null when none was found.
linkSpec* aDiscovery_FindFirstModule(linkType type, uint32_t networkInterface);

// The callbacks of the two searches; `ref` is a linkSpec.
// cbSNCallback: when the offered serial number equals that of `ref`, copies the offered specifier
// whole into `ref`, sets `*success` and returns false (stop); otherwise returns true.
bool cbSNCallback(const linkSpec* spec, bool* success, void* ref);
// cbFirstCallback: when the offered serial number is not 0, copies the offered specifier whole
// into `ref`, sets `*success` and returns false; otherwise returns true.
bool cbFirstCallback(const linkSpec* spec, bool* success, void* ref);
