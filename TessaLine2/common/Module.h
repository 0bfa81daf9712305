#pragma once
// One module on the device network: owns the Link used to reach it, knows the module's address
// on the network and its model, connects by serial number, by specifier or through a routing
// module, and learns its own address after connecting.
//
// Address learning (networking mode): after every successful connect the module at the near end
// of the link is asked for its address (Link::getModuleAddress, up to 4 attempts of 1000 ms), and
// the stored address follows the answer. A module reached through a router keeps the address it
// was given: the near module is the router.
//
// Module-information requests (raw packets, command 0x49, reply wait 1000 ms):
//   getBuild          0x49, 0xFF                               -> 0x49, 0xFF, build (32-bit BE)
//   hasUEI            0x49, 1, command, option, index, flags   -> the same 5 bytes, status
//   classQuantity     0x49, 4, command                         -> 0x49, 4, command, count
//   subClassQuantity  0x49, 5, command, subClass               -> the same 4 bytes, count
//   entityGroup       0x49, 6, command, subClass               -> the same 4 bytes, group
//
// Connect operations either connect fully or leave the module disconnected: a connection whose
// engine link came up but that failed afterwards (the link did not run in time, the address was
// not learned) is dropped again, so the caller may simply try again. A connection that was
// running before the call is never dropped by a failed connect.
//
// Threads: a module and its entities are used from one thread at a time.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "Link.h"
#include "aDefs.h"
#include "aError.h"
#include "aLinkSpec.h"

namespace Quillmet::TessaLine {

inline constexpr uint8_t kModuleInfoCommand = 0x49;
inline constexpr uint8_t kEchoCommand = 23;
inline constexpr int kAutoNetworkAttempts = 4;

class Module {
  public:
    // A module at `address` (its network address, even) of `model` (0: any model when connecting
    // by discovery without a serial number), in networking mode.
    Module(uint8_t address, uint8_t model);
    // The same with networking mode as given.
    Module(uint8_t address, bool networkingMode, uint8_t model);
    // Disconnects (the link's engine link is destroyed with the link).
    virtual ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    // --- Connection ------------------------------------------------------------------------

    // Finds the module with `serialNumber` over `type` and connects. aErrParam for serial number
    // 0 (nothing is searched); otherwise as discoverAndConnect.
    aErr connect(linkType type, uint32_t serialNumber);
    // Link::discoverAndConnect with the module's model, then address learning. Serial number 0
    // takes the first module of the module's model. aErrInitialization without a link.
    aErr discoverAndConnect(linkType type, uint32_t serialNumber);
    // Stores `spec` in the link and connects with it, then address learning. aErrInitialization
    // without a link; aErrBusy when connected.
    aErr connectFromSpec(linkSpec spec);
    // Connects again with the stored specifier, then address learning. aErrInitialization
    // without a link.
    aErr reconnect();
    // Connects through `router`'s connection: this module's link takes the router's specifier
    // and configuration and shares the router's engine link; networking mode is switched off (the
    // address given at construction is the one used). aErrNone at once when already connected;
    // aErrInitialization without a link or without a router link; otherwise the errors of
    // reading the router's specifier, setting the configuration or connecting.
    aErr connectThroughLinkModule(Module* router);
    // The link's state; without a link false and 8 (LINK_PACKET_ERROR).
    bool isConnected() const;
    uint32_t getStatus() const;
    // Link::disconnect. aErrInitialization without a link.
    aErr disconnect();

    // --- Identity and configuration --------------------------------------------------------

    uint8_t getModuleAddress() const;
    void setModuleAddress(uint8_t address);
    // The link's specifier. aErrNotReady without a link.
    aErr getLinkSpecifier(linkSpec* spec) const;
    // The link's configuration. aErrNotReady without a link; aErrParam for a null pointer;
    // setConfig: aErrMode while connected.
    aErr getConfig(aWeaveConfig* config) const;
    aErr setConfig(aWeaveConfig config);
    // The owned link (not transferred); null only when it could not be made.
    Link* getLink() const;
    void setNetworkingMode(bool networkingMode);
    // The link's packet log. aErrConfiguration without a link.
    aErr enablePacketLog(const char* fileName);
    aErr disablePacketLog();

    // --- Module-information requests -------------------------------------------------------
    // Each: aErrInitialization without a link, aErrConnection when not connected, aErrParam for a
    // null output (outputs are set to 0 first), aErrTimeout when nothing answered in 1000 ms.

    // The firmware build number. aErrSize for a reply of other than 6 bytes.
    aErr getBuild(uint32_t* build);
    // Whether the entity (command, index) has the option with the access `flags` asks for
    // (0x40 get, 0x80 set, 0 any): aErrNone when it has, else the module's status code.
    // aErrParam for flags with any of bits 0 to 5 set or with both 0x40 and 0x80.
    aErr hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags);
    // Number of entities of a class, of a sub-class, and the group of a sub-class. aErrUnknown
    // for a reply without the expected length and echo.
    aErr classQuantity(uint8_t command, uint8_t* count);
    aErr subClassQuantity(uint8_t command, uint8_t subClass, uint8_t* count);
    aErr entityGroup(uint8_t command, uint8_t subClass, uint8_t* group);
    // Echo test: sends `length` (at most 27) bytes with command 23 and checks that the module
    // answers with the same bytes. aErrConnection when not connected; aErrIO for a reply that
    // differs; aErrParam for more than 27 bytes.
    aErr debug(const uint8_t* data, uint8_t length);

  private:
    aErr _autoNetwork();
    // Address learning after a successful connect (`result`), and the all-or-nothing rule;
    // `wasConnected` tells whether the link ran before the connect was tried.
    aErr finishConnect(aErr result, bool wasConnected);
    // One module-information exchange: request `request`, reply matched on `match` bytes of it.
    aErr infoExchange(const uint8_t* request, uint8_t requestLength, uint8_t matchLength,
                      uint8_t* reply, uint8_t* replyLength);

    std::unique_ptr<Link> m_link;
    uint8_t m_address;
    bool m_networkingMode;
    uint8_t m_model;
};

}  // namespace Quillmet::TessaLine
