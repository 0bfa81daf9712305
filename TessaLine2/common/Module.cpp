#include "Module.h"

#include <cstring>
#include <new>

#include "aTime.h"
#include "aUEI.h"

namespace Quillmet::TessaLine {

namespace {

constexpr uint8_t kInfoHasUEI = 1;
constexpr uint8_t kInfoClassQuantity = 4;
constexpr uint8_t kInfoSubClassQuantity = 5;
constexpr uint8_t kInfoEntityGroup = 6;
constexpr uint8_t kInfoBuild = 0xFF;
constexpr uint8_t kHasUEIFlagMask = 0x3F;  // bits that must be clear in hasUEI flags
constexpr uint8_t kGetAndSet = ueiOPTION_GET | ueiOPTION_SET;
constexpr uint32_t kAutoNetworkRetryMs = 5;
constexpr uint8_t kMaxEcho = aPACKET_MAX_DATA - 1;

}  // namespace

Module::Module(uint8_t address, uint8_t model) : Module(address, true, model) {}

Module::Module(uint8_t address, bool networkingMode, uint8_t model)
    : m_link(new (std::nothrow) Link("Link")),
      m_address(address),
      m_networkingMode(networkingMode),
      m_model(model) {}

Module::~Module() = default;

// --- Connection -----------------------------------------------------------------------------

aErr Module::_autoNetwork() {
    if (!m_networkingMode || !m_link) return aErrNone;
    aErr result = aErrNotReady;
    uint8_t address = 0;
    int attempts = 0;
    while (attempts < kAutoNetworkAttempts) {
        ++attempts;
        result = m_link->getModuleAddress(&address);
        if (result != aErrNotReady) break;
        aTime_MSSleep(kAutoNetworkRetryMs);
    }
    if (result == aErrNotReady) aDefs_Trace(aDEBUG_MODULE, "BOO! Failed to autoNetwork");
    if (result == aErrNone && address != 0 && address != m_address) m_address = address;
    return result;
}

aErr Module::finishConnect(aErr result, bool wasConnected) {
    if (result == aErrNone) result = _autoNetwork();
    if (result != aErrNone && !wasConnected) m_link->disconnect();
    return result;
}

aErr Module::connect(linkType type, uint32_t serialNumber) {
    if (serialNumber == 0) return aErrParam;
    return discoverAndConnect(type, serialNumber);
}

aErr Module::discoverAndConnect(linkType type, uint32_t serialNumber) {
    if (!m_link) return aErrInitialization;
    const bool wasConnected = m_link->isConnected();
    return finishConnect(m_link->discoverAndConnect(type, serialNumber, m_model), wasConnected);
}

aErr Module::connectFromSpec(linkSpec spec) {
    if (!m_link) return aErrInitialization;
    if (m_link->isConnected()) return aErrBusy;
    const aErr err = m_link->setLinkSpecifier(spec);
    if (err != aErrNone) return err;
    return finishConnect(m_link->connect(), false);
}

aErr Module::reconnect() {
    if (!m_link) return aErrInitialization;
    const bool wasConnected = m_link->isConnected();
    return finishConnect(m_link->connect(), wasConnected);
}

aErr Module::connectThroughLinkModule(Module* router) {
    if (!m_link) return aErrInitialization;
    if (m_link->isConnected()) return aErrNone;
    if (!router) return aErrInitialization;
    linkSpec spec;
    aErr err = router->getLinkSpecifier(&spec);
    if (err != aErrNone) return err;
    Link* routerLink = router->getLink();
    if (!routerLink) return aErrInitialization;
    aWeaveConfig config;
    routerLink->getConfig(&config);
    err = m_link->setConfig(config);
    if (err != aErrNone) return err;
    if (config.enabled) {
        // The router's USB link belongs to the local link server; reach it as a client.
        spec.type = AWEAVE;
        spec.t.ip.ipAddress = config.networkInterface;
        spec.t.ip.ipPort = config.port;
    }
    err = m_link->setLinkSpecifier(spec);
    if (err != aErrNone) return err;
    err = m_link->connectThroughLinkModule(*routerLink);
    if (err != aErrNone) {
        m_link->disconnect();
        return err;
    }
    m_networkingMode = false;
    return aErrNone;
}

bool Module::isConnected() const {
    return m_link && m_link->isConnected();
}

uint32_t Module::getStatus() const {
    return m_link ? m_link->getStatus() : 8;
}

aErr Module::disconnect() {
    if (!m_link) return aErrInitialization;
    return m_link->disconnect();
}

// --- Identity and configuration -------------------------------------------------------------

uint8_t Module::getModuleAddress() const {
    return m_address;
}

void Module::setModuleAddress(uint8_t address) {
    m_address = address;
}

aErr Module::getLinkSpecifier(linkSpec* spec) const {
    if (!m_link) return aErrNotReady;
    return m_link->getLinkSpecifier(spec);
}

aErr Module::getConfig(aWeaveConfig* config) const {
    if (!m_link) return aErrNotReady;
    if (!config) return aErrParam;
    return m_link->getConfig(config);
}

aErr Module::setConfig(aWeaveConfig config) {
    if (!m_link) return aErrNotReady;
    return m_link->setConfig(config);
}

Link* Module::getLink() const {
    return m_link.get();
}

void Module::setNetworkingMode(bool networkingMode) {
    m_networkingMode = networkingMode;
}

aErr Module::enablePacketLog(const char* fileName) {
    if (!m_link) return aErrConfiguration;
    return m_link->enablePacketLog(fileName);
}

aErr Module::disablePacketLog() {
    if (!m_link) return aErrConfiguration;
    return m_link->disablePacketLog();
}

// --- Module-information requests ------------------------------------------------------------

aErr Module::infoExchange(const uint8_t* request, uint8_t requestLength, uint8_t matchLength,
                          uint8_t* reply, uint8_t* replyLength) {
    if (!m_link) return aErrInitialization;
    if (!m_link->isConnected()) return aErrConnection;
    aErr err = m_link->sendPacket(m_address, request[0], static_cast<uint8_t>(requestLength - 1),
                                  request + 1);
    if (err != aErrNone) return err;
    *replyLength = matchLength;
    return m_link->receivePacket(m_address, request, replyLength, reply);
}

aErr Module::getBuild(uint32_t* build) {
    if (!m_link) return aErrInitialization;
    if (!build) return aErrParam;
    *build = 0;
    const uint8_t request[] = {kModuleInfoCommand, kInfoBuild};
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t length = 0;
    aErr err = infoExchange(request, sizeof request, sizeof request, reply, &length);
    if (err != aErrNone) return err;
    if (length != 6) return aErrSize;
    *build = aUEI_RetrieveInt(&reply[2]);
    return aErrNone;
}

aErr Module::hasUEI(uint8_t command, uint8_t option, uint8_t index, uint8_t flags) {
    if ((flags & kHasUEIFlagMask) || (flags & kGetAndSet) == kGetAndSet) return aErrParam;
    const uint8_t request[] = {kModuleInfoCommand, kInfoHasUEI, command, option, index, flags};
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t length = 0;
    aErr err = infoExchange(request, sizeof request, 1, reply, &length);
    if (err != aErrNone) return err;
    if (length != 6 || std::memcmp(reply, request, 5) != 0) return aErrUnknown;
    return static_cast<aErr>(reply[5]);
}

aErr Module::classQuantity(uint8_t command, uint8_t* count) {
    if (!count) return aErrParam;
    *count = 0;
    const uint8_t request[] = {kModuleInfoCommand, kInfoClassQuantity, command};
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t length = 0;
    aErr err = infoExchange(request, sizeof request, 1, reply, &length);
    if (err != aErrNone) return err;
    if (length != 4 || std::memcmp(reply, request, sizeof request) != 0) return aErrUnknown;
    *count = reply[3];
    return aErrNone;
}

aErr Module::subClassQuantity(uint8_t command, uint8_t subClass, uint8_t* count) {
    if (!count) return aErrParam;
    *count = 0;
    const uint8_t request[] = {kModuleInfoCommand, kInfoSubClassQuantity, command, subClass};
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t length = 0;
    aErr err = infoExchange(request, sizeof request, 1, reply, &length);
    if (err != aErrNone) return err;
    if (length != 5 || std::memcmp(reply, request, sizeof request) != 0) return aErrUnknown;
    *count = reply[4];
    return aErrNone;
}

aErr Module::entityGroup(uint8_t command, uint8_t subClass, uint8_t* group) {
    if (!group) return aErrParam;
    *group = 0;
    const uint8_t request[] = {kModuleInfoCommand, kInfoEntityGroup, command, subClass};
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t length = 0;
    aErr err = infoExchange(request, sizeof request, 1, reply, &length);
    if (err != aErrNone) return err;
    if (length != 5 || std::memcmp(reply, request, sizeof request) != 0) return aErrUnknown;
    *group = reply[4];
    return aErrNone;
}

aErr Module::debug(const uint8_t* data, uint8_t length) {
    if (length > kMaxEcho || (length > 0 && !data)) return aErrParam;
    if (!m_link || !m_link->isConnected()) return aErrConnection;
    aErr err = m_link->sendPacket(m_address, kEchoCommand, length, data);
    if (err != aErrNone) return err;
    const uint8_t match[] = {kEchoCommand};
    uint8_t reply[aPACKET_MAX_DATA];
    uint8_t replyLength = sizeof match;
    err = m_link->receivePacket(m_address, match, &replyLength, reply);
    if (err != aErrNone) return err;
    if (replyLength != length + 1 || (length > 0 && std::memcmp(&reply[1], data, length) != 0))
        return aErrIO;
    return aErrNone;
}

}  // namespace Quillmet::TessaLine
