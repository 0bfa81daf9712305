#include "Link.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "aDiscovery.h"
#include "aFile.h"
#include "aLink.h"
#include "aLinkRegistry.h"
#include "aLogger.h"
#include "aTime.h"

namespace Quillmet::TessaLine {

namespace {

constexpr uint8_t kErrorFlag = 0x80;
constexpr uint8_t kMaxPacketData = aPACKET_MAX_DATA - 1;  // after the command byte
constexpr uint32_t kWaitForLinkPolls = 200;
constexpr uint32_t kWaitForLinkPollMs = 10;
constexpr uint32_t kModuleAddressTimeoutMs = 1000;
constexpr uint32_t kReceivePacketTimeoutMs = 1000;
constexpr uint32_t kTraceIdleMs = 5;
const uint8_t kStartRecord[] = {'S', 'T', 'A', 'R', 'T', '\0'};

// Held for the whole of every engine-link creation by any Link: two creations of the same
// module's link must not race each other in the registry.
std::mutex linkCreateHelperSerializer;

bool sIsModuleAddress(uint8_t module) {
    return module != 0 && (module & 1) == 0;
}

// Accepts the reply that matches the record's module, command, option and index, and fills the
// record from it.
bool sUEIFilter(const aPacket* packet, void* reference) {
    auto* message = static_cast<uei*>(reference);
    if (!packet || !message) return false;
    if (packet->address != message->module || packet->dataSize <= 2) return false;
    if (packet->data[0] != message->command || packet->data[1] != message->option ||
        (packet->data[2] & ueiSPECIFIER_INDEX_MASK) != message->specifier) {
        return false;
    }
    if (packet->data[2] & ueiSPECIFIER_ERROR) {
        message->specifier = packet->data[2];
        // An error reply without its code byte still must not read a stale byte.
        message->value.byteVal =
            packet->dataSize > 3 ? packet->data[3] : static_cast<uint8_t>(aErrUnknown);
        return true;
    }
    switch (packet->dataSize) {
        case 3:
            message->type = ueiTypeNone;
            break;
        case 4:
            message->type = ueiTypeByte;
            message->value.byteVal = packet->data[3];
            break;
        case 5:
            message->type = ueiTypeShort;
            message->value.shortVal = aUEI_RetrieveShort(&packet->data[3]);
            break;
        case 7:
            message->type = ueiTypeInt;
            message->value.intVal = aUEI_RetrieveInt(&packet->data[3]);
            break;
        default:
            break;
    }
    return true;
}

// The reply matching of sUEIFilter on a copy of the key, so that draining many packets never
// changes the key (an error reply rewrites the record's specifier).
bool sDropFilter(const aPacket* packet, void* reference) {
    uei key = *static_cast<const uei*>(reference);
    return sUEIFilter(packet, &key);
}

struct CommandMatch {
    uint8_t module;
    uint8_t count;
    const uint8_t* bytes;
};

// Accepts a packet from the module whose first `count` payload bytes equal `bytes`.
bool sCommandFilter(const aPacket* packet, void* reference) {
    const auto* match = static_cast<const CommandMatch*>(reference);
    if (!packet || !match || packet->address != match->module) return false;
    if (packet->dataSize < match->count) return false;
    return std::memcmp(packet->data, match->bytes, match->count) == 0;
}

// Accepts any packet without payload: the answer to an identify probe.
bool MatchMagic(const aPacket* packet, void*) {
    return packet && packet->dataSize == 0;
}

// Enumeration callback: takes the first module of the reference's model (any model for 0).
bool cbModelCallback(const linkSpec* spec, bool* success, void* reference) {
    auto* wanted = static_cast<linkSpec*>(reference);
    if (!spec || !wanted) return false;
    if (wanted->model != 0 && wanted->model != spec->model) return true;
    std::memcpy(wanted, spec, sizeof(linkSpec));
    if (success) *success = true;
    return false;
}

// Whether a failed discover-and-connect is tried once more over the other transport.
bool _fallbackHelper(aErr result, linkType type, bool fallback) {
    const bool retryable =
        result == aErrNotFound || result == aErrInitialization || result == aErrConnection;
    return retryable && (type == USB || type == AWEAVE) && fallback;
}

// Queues one packet on the engine link.
aErr sPut(uint32_t linkId, uint8_t address, uint8_t length, const uint8_t* payload) {
    static const uint8_t kEmpty = 0;
    aPacket* packet = aPacket_CreateWithData(address, length, length ? payload : &kEmpty);
    if (!packet) return aErrResource;
    const aErr err = aLink_PutPacket(linkId, packet);
    aPacket_Destroy(&packet);
    return err;
}

// Writes one packet-log record to the trace file: "<length> <direction> <bytes>\r\n".
void sTraceWriter(aFileRef file, uint32_t linkId) {
    // One byte holds a record's length, so no record can be larger than this buffer (a smaller
    // one would leave a long text record in the log for good).
    uint8_t buffer[UINT8_MAX + 1];
    uint8_t tag = 0;
    uint32_t length = sizeof buffer;
    if (aLink_PacketDebug_Read(linkId, &tag, &length, buffer) != aErrNone) {
        // Nothing to write, or the link is gone: pace the logger's loop either way.
        aTime_MSSleep(kTraceIdleMs);
        return;
    }
    std::string line = std::to_string(length) + (tag == aLINK_LOG_OUTGOING ? " > " : " < ");
    char hex[8];
    for (uint32_t i = 0; i < length; ++i) {
        if (tag == aLINK_LOG_TEXT) {
            line.push_back(static_cast<char>(buffer[i]));
        } else {
            snprintf(hex, sizeof hex, "0x%X ", buffer[i]);
            line += hex;
        }
    }
    line += "\r\n";
    aFile_Write(file, line.data(), line.size(), nullptr);
}

}  // namespace

struct Link::impl {
    explicit impl(Link& owner_, const char* name_) : owner(owner_) {
        if (name_) {
            hasName = true;
            name.assign(name_, strnlen(name_, kLinkNameMax));
        }
    }
    ~impl() {
        aLogger_Destroy(&packetLogger);
        if (linkId != 0) aLink_Destroy(&linkId);
        if (specifier) aLinkSpec_Destroy(&specifier);
    }

    bool holdsLink() const { return linkId != 0; }
    bool connected() const { return linkId != 0 && aLink_GetStatus(linkId) == LINK_RUNNING; }

    aErr discoveryAndConnectHelper(linkType type, uint32_t serialNumber, uint8_t model);
    aErr connectHelper();
    aErr createEngineLink(const linkSpec& spec, uint32_t* id) const;
    aErr waitForLink() const;

    Link& owner;
    uint32_t linkId = 0;
    aLoggerRef packetLogger = nullptr;
    uint32_t loggerLinkId = 0;  // the engine link the logger reads
    aWeaveConfig configuration;
    bool hasName = false;
    std::string name;
    linkSpec* specifier = nullptr;
};

// --- impl: connection -----------------------------------------------------------------------

aErr Link::impl::discoveryAndConnectHelper(linkType type, uint32_t serialNumber, uint8_t model) {
    linkSpec* found = nullptr;
    if (serialNumber != 0) {
        found = aDiscovery_FindModule(type, serialNumber, configuration.networkInterface);
    } else {
        found = aLinkSpec_Create(type);
        if (!found) return aErrMemory;
        found->model = model;
        const uint8_t count = aDiscovery_EnumerateModules(type, cbModelCallback, found,
                                                          configuration.networkInterface);
        if (count == 0) aLinkSpec_Destroy(&found);
    }
    if (!found) return aErrNotFound;
    owner.setLinkSpecifier(*found);
    aLinkSpec_Destroy(&found);
    return owner.connect();
}

aErr Link::impl::createEngineLink(const linkSpec& spec, uint32_t* id) const {
    *id = 0;
    switch (spec.type) {
        case USB:
            // Sharing a USB module through a local link server is not part of this build.
            if (configuration.enabled) return aErrUnimplemented;
            *id = aLink_CreateUSB(spec.serialNumber);
            return aErrNone;
        case TCPIP:
            *id = aLink_CreateTCPIP(spec.t.ip.ipAddress, static_cast<uint16_t>(spec.t.ip.ipPort));
            return aErrNone;
        case SERIAL: {
            // The name comes from outside: never read past the field.
            char portName[aLINKSPEC_PORTNAME_SIZE + 1] = {};
            std::memcpy(portName, spec.t.serial.portName, aLINKSPEC_PORTNAME_SIZE);
            *id = aLink_CreateSerial(spec.serialNumber, portName, spec.t.serial.baudRate);
            return aErrNone;
        }
        case AWEAVE:
            if (!configuration.enabled) return aErrConfiguration;
            return aErrUnimplemented;  // the client stream to a link server is not in this build
        default:
            return aErrMode;
    }
}

aErr Link::impl::connectHelper() {
    if (!specifier) return aErrConfiguration;
    aErr err;
    {
        std::lock_guard<std::mutex> serialized(linkCreateHelperSerializer);
        uint32_t id = 0;
        err = createEngineLink(*specifier, &id);
        linkId = id;
    }
    if (err != aErrNone) return err;
    if (linkId == 0) return aErrConnection;
    return waitForLink();
}

aErr Link::impl::waitForLink() const {
    switch (aLink_GetStatus(linkId)) {
        case LINK_RUNNING:
            return aErrNone;
        case LINK_STOPPED:
        case LINK_STARTING:
        case LINK_SYNCING:
            for (uint32_t poll = 0; poll < kWaitForLinkPolls; ++poll) {
                aTime_MSSleep(kWaitForLinkPollMs);
                if (aLink_GetStatus(linkId) == LINK_RUNNING) return aErrNone;
            }
            return aErrConnection;
        case LINK_STOPPING:
            return aErrBusy;
        case LINK_NO_STREAM:
        case IO_ERROR:
        case LINK_PACKET_ERROR:
            return aErrConnection;
        default:
            return aErrDuplicate;
    }
}

// --- Construction and configuration ---------------------------------------------------------

Link::Link(linkSpec spec, const char* name) : m_impl(std::make_unique<impl>(*this, name)) {
    m_impl->specifier = aLinkSpec_Copy(&spec);
}

Link::Link(const char* name) : m_impl(std::make_unique<impl>(*this, name)) {}

Link::~Link() = default;

aErr Link::getConfig(aWeaveConfig* config) const {
    if (!config) return aErrParam;
    *config = m_impl->configuration;
    return aErrNone;
}

aErr Link::setConfig(aWeaveConfig config) {
    if (m_impl->holdsLink()) return aErrMode;
    m_impl->configuration = config;
    return aErrNone;
}

aErr Link::getLinkSpecifier(linkSpec* spec) const {
    if (!spec) return aErrParam;
    if (!m_impl->specifier) return aErrNotFound;
    std::memcpy(spec, m_impl->specifier, sizeof(linkSpec));
    return aErrNone;
}

aErr Link::setLinkSpecifier(linkSpec spec) {
    if (m_impl->holdsLink()) return aErrBusy;
    linkSpec* copy = aLinkSpec_Copy(&spec);
    if (!copy) return aErrMemory;
    if (m_impl->specifier) aLinkSpec_Destroy(&m_impl->specifier);
    m_impl->specifier = copy;
    return aErrNone;
}

const char* Link::getName() const {
    return m_impl->hasName ? m_impl->name.c_str() : nullptr;
}

// --- Connection -----------------------------------------------------------------------------

aErr Link::discoverAndConnect(linkType type, uint32_t serialNumber, uint8_t model) {
    // A link already held would make every connection below fail after a pointless search; and
    // the fallback must never drop a connection the caller had.
    if (m_impl->holdsLink()) return aErrConnection;
    const aErr result = m_impl->discoveryAndConnectHelper(type, serialNumber, model);
    if (!_fallbackHelper(result, type, m_impl->configuration.fallback)) return result;
    // A connection that failed after its engine link was made leaves it held; the other
    // transport can only be tried without it.
    disconnect();
    aDefs_Trace(aDEBUG_LINK, "Executing Fallback: %s\n", type == AWEAVE ? "USB" : "aWeave");
    return m_impl->discoveryAndConnectHelper(type == AWEAVE ? USB : AWEAVE, serialNumber, model);
}

aErr Link::connect() {
    if (m_impl->holdsLink()) return aErrConnection;
    return m_impl->connectHelper();
}

aErr Link::connectThroughLinkModule(Link& other) {
    if (!other.m_impl || !other.m_impl->holdsLink()) return aErrInitialization;
    // Taking over the other link's id while holding one would lose a use of ours for good.
    if (m_impl->holdsLink()) return aErrConnection;
    // The adopted id is what a client link to a link server shares; every other transport is
    // shared by the registry, which finds the existing link for the same module.
    m_impl->linkId = other.m_impl->linkId;
    return m_impl->connectHelper();
}

bool Link::isConnected() const {
    return m_impl->connected();
}

uint32_t Link::getStatus() const {
    return m_impl->holdsLink() ? aLink_GetStatus(m_impl->linkId) : LINK_PACKET_ERROR;
}

aErr Link::disconnect() {
    if (m_impl->holdsLink()) aLink_Destroy(&m_impl->linkId);
    m_impl->linkId = 0;
    return aErrNone;
}

aErr Link::reset() {
    if (m_impl->holdsLink()) aLink_Reset(m_impl->linkId);
    return aErrNone;
}

aErr Link::getModuleAddress(uint8_t* address) {
    if (!address) return aErrParam;
    *address = 0;
    if (!isConnected()) return aErrNotReady;
    aDefs_Trace(aDEBUG_LINK, "getModuleAddress");
    sPut(m_impl->linkId, aLINK_PROBE_ADDRESS, 0, nullptr);
    aDefs_Trace(aDEBUG_LINK, "getModuleAddress wait");
    aPacket* answer =
        aLink_AwaitFirst(m_impl->linkId, MatchMagic, nullptr, kModuleAddressTimeoutMs);
    if (!answer) return aErrNotReady;
    *address = answer->address;
    aPacket_Destroy(&answer);
    return aErrNone;
}

// --- Exchange -------------------------------------------------------------------------------

aErr Link::sendUEI(uei message) {
    if (!isConnected()) return aErrConnection;
    if (!sIsModuleAddress(message.module)) return aErrPacket;
    uint8_t payload[aPACKET_MAX_DATA] = {message.command, message.option, message.specifier};
    switch (message.type) {
        case ueiTypeNone:
            return sPut(m_impl->linkId, message.module, 3, payload);
        case ueiTypeByte:
            payload[3] = message.value.byteVal;
            return sPut(m_impl->linkId, message.module, 4, payload);
        case ueiTypeShort:
            aUEI_StoreShort(&payload[3], message.value.shortVal);
            return sPut(m_impl->linkId, message.module, 5, payload);
        case ueiTypeInt:
            aUEI_StoreInt(&payload[3], message.value.intVal);
            return sPut(m_impl->linkId, message.module, 7, payload);
        case ueiTypeBytes:
            break;
        default:
            return aErrParam;
    }

    if (!message.value.bytes && message.length > 0) return aErrParam;
    const uint8_t* next = message.value.bytes;
    uint64_t remaining = message.length;
    uint8_t sequence = 0;
    do {
        const uint8_t count = static_cast<uint8_t>(std::min<uint64_t>(remaining, ueiBYTES_CHUNK));
        if (count) std::memcpy(&payload[3], next, count);
        next += count;
        remaining -= count;
        payload[3 + count] = static_cast<uint8_t>((sequence & ueiTRAILER_SEQUENCE_MASK) |
                                                  (remaining > 0 ? ueiTRAILER_MORE : 0));
        const aErr err =
            sPut(m_impl->linkId, message.module, static_cast<uint8_t>(4 + count), payload);
        if (err != aErrNone) return err;
        ++sequence;
    } while (remaining > 0);
    return aErrNone;
}

aErr Link::sendUEI(uei message, uint8_t subIndex) {
    if (!isConnected()) return aErrConnection;
    if (!sIsModuleAddress(message.module)) return aErrPacket;
    uint8_t payload[8] = {message.command, message.option, message.specifier, subIndex};
    switch (message.type) {
        case ueiTypeNone:
            return sPut(m_impl->linkId, message.module, 4, payload);
        case ueiTypeByte:
            payload[4] = message.value.byteVal;
            return sPut(m_impl->linkId, message.module, 5, payload);
        case ueiTypeShort:
            aUEI_StoreShort(&payload[4], message.value.shortVal);
            return sPut(m_impl->linkId, message.module, 6, payload);
        case ueiTypeInt:
            aUEI_StoreInt(&payload[4], message.value.intVal);
            return sPut(m_impl->linkId, message.module, 8, payload);
        default:
            return aErrParam;
    }
}

aErr Link::receiveUEI(uint8_t module, uint8_t command, uint8_t option, uint8_t specifier,
                      uei* message) {
    return receiveUEI(module, command, option, specifier, message, sUEIFilter);
}

aErr Link::receiveUEI(uint8_t module, uint8_t, uint8_t, uint8_t, uei* message,
                      ueiFilterProc filter) {
    if (!isConnected()) return aErrConnection;
    if (!sIsModuleAddress(module)) return aErrPacket;
    if (!message || !filter) return aErrParam;
    uint32_t timeout = kUEIReplyTimeoutMs;
    if (message->type == ueiTypeBytes && message->length > kUEILargePayload) {
        timeout = kUEILargeReplyTimeoutMs;
        aDefs_Trace(aDEBUG_LINK, "receiveUEI - Expanding timeout for large payload: %lu\n",
                    static_cast<unsigned long>(timeout));
    }
    aPacket* reply = aLink_AwaitFirst(m_impl->linkId, filter, message, timeout);
    if (!reply) return aErrTimeout;
    aPacket_Destroy(&reply);
    return aErrNone;
}

aErr Link::dropMatchingUEIPackets(uint8_t module, uint8_t command, uint8_t option,
                                  uint8_t specifier) {
    if (!m_impl->holdsLink()) return aErrConnection;
    uei key{};
    key.module = module;
    key.command = command;
    key.option = option;
    key.specifier = specifier;
    aLink_DrainPackets(m_impl->linkId, sDropFilter, &key);
    return aErrNone;
}

aErr Link::sendPacket(uint8_t module, uint8_t command, uint8_t length, const uint8_t* data) {
    if (length > kMaxPacketData || (length > 0 && !data)) return aErrParam;
    if (!sIsModuleAddress(module)) return aErrPacket;
    if (!isConnected()) return aErrConnection;
    uint8_t payload[aPACKET_MAX_DATA] = {command};
    if (length) std::memcpy(&payload[1], data, length);
    return sPut(m_impl->linkId, module, static_cast<uint8_t>(length + 1), payload);
}

aErr Link::receivePacket(uint8_t module, const uint8_t* match, uint8_t* length, uint8_t* data) {
    if (!length || !data || (*length > 0 && !match) || *length > aPACKET_MAX_DATA) return aErrParam;
    if (!sIsModuleAddress(module)) return aErrPacket;
    if (!isConnected()) return aErrConnection;
    CommandMatch wanted{module, *length, match};
    aPacket* packet =
        aLink_AwaitFirst(m_impl->linkId, sCommandFilter, &wanted, kReceivePacketTimeoutMs);
    if (!packet) return aErrTimeout;
    *length = packet->dataSize;
    std::memcpy(data, packet->data, packet->dataSize);
    aPacket_Destroy(&packet);
    return aErrNone;
}

aErr Link::enablePooledPackets(bool enable) {
    return aLink_EnablePooledPackets(m_impl->linkId, enable);
}

// --- Packet log -----------------------------------------------------------------------------

aErr Link::enablePacketLog(const char* fileName) {
    if (!m_impl->holdsLink()) return aErrConfiguration;
    if (!fileName) return aErrParam;
    const uint32_t id = m_impl->linkId;
    aErr err = aLink_PacketDebug_Enable(id);
    if (err != aErrNone) return err;
    // A logger made for an earlier engine link of this Link would read a link that is gone.
    if (m_impl->packetLogger && m_impl->loggerLinkId != id) aLogger_Destroy(&m_impl->packetLogger);
    if (!m_impl->packetLogger) {
        m_impl->packetLogger = aLogger_Create(id, sTraceWriter, fileName);
        if (!m_impl->packetLogger) return aErrIO;
        m_impl->loggerLinkId = id;
    }
    err = aLogger_Enable(m_impl->packetLogger);
    if (err != aErrNone) return err;
    return aLink_PacketDebug_Write(id, aLINK_LOG_TEXT, sizeof kStartRecord, kStartRecord);
}

aErr Link::disablePacketLog() {
    if (!m_impl->holdsLink()) return aErrConfiguration;
    const aErr err = aLink_PacketDebug_Disable(m_impl->linkId);
    const aErr loggerErr = m_impl->packetLogger ? aLogger_Disable(m_impl->packetLogger) : aErrNone;
    return err != aErrNone ? err : loggerErr;
}

}  // namespace Quillmet::TessaLine
