#pragma once
// The object-level handle on one connection to a module, or to a network of modules reached
// through one routing module.
//
// A Link keeps the link specifier that says where the module is, turns it into a running engine
// link (aLinkRegistry.h, aLink.h) on connect, and offers what every higher object uses to talk to
// a module: the entity-interface exchange (one request packet answered by one matching reply, or
// a sequence of packets for byte arrays), raw packets with a matching raw receive, the query of
// the near module's address, and a packet log written to a file.
//
// Entity-interface packets (payload bytes; 16- and 32-bit values big-endian, aUEI.h):
//   request      command, option, specifier [, sub-index] [, value of 1, 2 or 4 bytes]
//   byte array   command, option, specifier, up to 24 data bytes, trailer (bit 7: more packets
//                follow; bits 0-6: sequence number from 0)
//   reply        command, option, specifier, value; its length gives the value's type:
//                3 none, 4 byte, 5 short, 7 int
//   error reply  command, option, specifier | 0x80, one byte holding an aErr code
// A get request carries option | 0x40, a set option | 0x80, both specifier | 0x20; the reply to a
// get carries the plain option, the reply to a set option | 0xC0 (EntityClass.h sets the flags).
//
// Connection state: a Link is disconnected while it holds no engine link, and connected from a
// successful connect until disconnect or destruction. An engine link that failed stays held until
// disconnect, so connect refuses (aErrConnection) until the owner has disconnected. The specifier
// and the configuration can be changed only while disconnected.
//
// Threads: engine-link creation is serialised process-wide. The exchange operations take no lock
// of their own and rely on the engine's thread-safe packet queues; a request and its reply are
// matched only by module, command, option and index, so callers keep one outstanding request per
// entity option. Configuration, specifier and connection changes belong to one thread at a time.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "aDefs.h"
#include "aError.h"
#include "aLinkSpec.h"
#include "aPacket.h"
#include "aUEI.h"

namespace Quillmet::TessaLine {

// 127.0.0.1 in network byte order (memory bytes 127, 0, 0, 1).
inline constexpr uint32_t aWeaveLoopbackInterface =
    std::endian::native == std::endian::little ? 0x0100007Fu : 0x7F000001u;

// How a Link reaches modules over the network. Plain record, copied by value.
struct aWeaveConfig {
    // Networking on: a USB module is reached through a link server on this host and a client link
    // to it, and AWEAVE specifiers may be connected.
    bool enabled = true;
    // Discover-and-connect may retry on the other transport (USB <-> AWEAVE).
    bool fallback = true;
    // For the link server: bind on the loopback interface only, announce by multicast only.
    bool localOnly = true;
    // Receives the port of the link server created for a USB module.
    uint16_t port = 0;
    // IPv4 address (network byte order) of the interface used for discovery and the link server;
    // 0 means any.
    uint32_t networkInterface = aWeaveLoopbackInterface;
};

// Replies to a receive are matched by a filter: true for the packet wanted. `reference` is the
// caller's uei record, which the filter may fill from the packet.
typedef aPacketFilterProc ueiFilterProc;

inline constexpr size_t kLinkNameMax = 1024;
inline constexpr uint32_t kUEIReplyTimeoutMs = 1000;
inline constexpr uint32_t kUEILargeReplyTimeoutMs = 4000;
inline constexpr uint64_t kUEILargePayload = 1000;  // bytes above which the long time-out applies

class Link {
  public:
    // A link to the module `spec` describes; `name` (may be null) is copied, cut to 1024
    // characters.
    Link(linkSpec spec, const char* name);
    // A link without a specifier yet.
    explicit Link(const char* name);
    // Destroys the engine link it holds (one use of it) and everything the link owns.
    ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    // --- Configuration ---------------------------------------------------------------------

    // Copies the configuration out. aErrParam for a null pointer.
    aErr getConfig(aWeaveConfig* config) const;
    // Stores the configuration. aErrMode while connected (nothing changes).
    aErr setConfig(aWeaveConfig config);
    // Copies the 128-byte specifier out. aErrParam for a null pointer; aErrNotFound when none
    // was set.
    aErr getLinkSpecifier(linkSpec* spec) const;
    // Replaces the stored specifier with a copy of `spec`. aErrBusy while connected (nothing
    // changes); aErrMemory when the copy can't be made.
    aErr setLinkSpecifier(linkSpec spec);
    // The stored name; null when the link was made without one.
    const char* getName() const;

    // --- Connection ------------------------------------------------------------------------

    // Finds the module over `type` and connects to it. With a serial number, the module with
    // that serial number; without (0), the first module of `model` (any model for 0). The
    // specifier found replaces the stored one. When the search or the connection fails with
    // aErrNotFound, aErrInitialization or aErrConnection, `type` is USB or AWEAVE and the
    // configuration allows fallback, it is tried once more over the other of the two. Returns
    // aErrNotFound when nothing was found, otherwise the result of connect().
    aErr discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model = 0);
    // Connects with the stored specifier and waits until the engine link runs. aErrConnection
    // when an engine link is already held, or when it can't be made or does not run within about
    // 2 s; aErrConfiguration without a specifier, or for an AWEAVE specifier with networking off;
    // aErrMode for an unknown transport; aErrUnimplemented for USB and AWEAVE with networking on
    // (reaching modules through a link server is not available in this build); aErrBusy when the
    // engine link is stopping. A failed wait leaves the engine link held: the caller disconnects.
    aErr connect();
    // Connects with this link's own specifier, sharing `other`'s engine link: the engine shares
    // the existing link to the same module (its use count goes up), so both links reach the
    // module (a routing module and the modules behind it) over one connection. aErrInitialization
    // when `other` holds no engine link; aErrConnection when this link already holds one;
    // otherwise as connect().
    aErr connectThroughLinkModule(Link& other);
    // True while an engine link is held and it runs in step with the module (LINK_RUNNING).
    bool isConnected() const;
    // The engine link's status (aLink.h); LINK_PACKET_ERROR (8) when no engine link is held.
    uint32_t getStatus() const;
    // Destroys the engine link if one is held (one use of it). Always aErrNone.
    aErr disconnect();
    // Asks the engine to rebuild the engine link's stream in place, if one is held. Always
    // aErrNone.
    aErr reset();
    // Asks the module at the near end of the link for its address: an identify probe, then up to
    // 1000 ms for an empty packet, whose address it is. `*address` is set to 0 first. aErrParam
    // for a null pointer; aErrNotReady when not connected or nothing answered.
    aErr getModuleAddress(uint8_t* address);

    // --- Exchange --------------------------------------------------------------------------

    // Sends `message` to `message.module`: one request packet for the value types none, byte,
    // short and int; for bytes, the caller's `message.length` bytes at `message.value.bytes` as
    // consecutive packets of at most 24 data bytes with trailers (one packet with no data for a
    // length of 0). aErrConnection when not connected; aErrPacket for a module address that is 0
    // or odd; aErrParam for another value type or a bytes message without bytes; aErrResource
    // when a packet can't be made; else the result of queuing (the first failure stops a
    // sequence).
    aErr sendUEI(uei message);
    // As sendUEI, with `subIndex` after the specifier; value types none, byte, short and int only
    // (aErrParam otherwise).
    aErr sendUEI(uei message, uint8_t subIndex);
    // Waits for the reply that matches `message`'s own module, command, option and index (the
    // low 5 bits of the specifier) and fills `message` from it: for an error reply `specifier`
    // gets the reply's specifier byte (bit 7 set) and `value.byteVal` the error code; otherwise
    // the reply's length gives type and value (other lengths leave the value as it was). The
    // wait is 1000 ms, or 4000 ms for a bytes message longer than 1000 bytes. Packets that do
    // not match stay queued. aErrNone does not mean the module accepted the request: look at bit
    // 7 of `message->specifier`. aErrConnection when not connected; aErrPacket for a module
    // address that is 0 or odd; aErrParam for a null message; aErrTimeout when nothing matched in
    // time. The separate command, option and specifier arguments are not used for matching.
    aErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier,
                    uei* message);
    // The same with the caller's filter, whose reference is `message` (null filter: aErrParam).
    aErr receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier,
                    uei* message, ueiFilterProc filter);
    // Removes from the incoming queue every packet the reply matching above accepts for that
    // module, command, option and index. aErrConnection when not connected.
    aErr dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier);
    // Sends one packet to `module` whose payload is `command` and then `length` bytes of `data`.
    // aErrParam for more than 27 data bytes or null data with a length; aErrPacket for a module
    // address that is 0 or odd; aErrConnection when not connected; else the result of queuing.
    aErr sendPacket(uint8_t module, uint8_t command, uint8_t length, const uint8_t* data);
    // Waits up to 1000 ms for the first packet from `module` whose first n payload bytes equal
    // `match`, n being `*length` on entry. On success `*length` is the packet's payload length
    // and `data` (28 bytes) receives the whole payload. aErrParam for null pointers or n above
    // 28; aErrPacket for a module address that is 0 or odd; aErrConnection when not connected;
    // aErrTimeout when nothing matched in time.
    aErr receivePacket(uint8_t module, const uint8_t* match, uint8_t* length, uint8_t* data);
    // Switches pooled writes of the engine link on or off: the engine's result (aErrParam when
    // no engine link is held).
    aErr enablePooledPackets(bool enable);

    // --- Packet log ------------------------------------------------------------------------

    // Records every packet of the engine link and writes the records to `fileName` (appended)
    // from a logger thread: "<length> > <bytes>" for a packet sent, "<length> < <bytes>" for one
    // received (bytes as "0x%X "), text records as their characters, each line ending in "\r\n".
    // Starts with a "START" text record. aErrConfiguration without an engine link; aErrParam for
    // a null file name; aErrIO when the file can't be opened; aErrResource when the record
    // buffer or the logger thread can't be had.
    aErr enablePacketLog(const char* fileName);
    // Stops recording into the file. aErrConfiguration without an engine link.
    aErr disablePacketLog();

    struct impl;

  private:
    std::unique_ptr<impl> m_impl;
};

}  // namespace Quillmet::TessaLine
