#include "aLinkRegistry.h"

#include <atomic>
#include <list>
#include <new>

#include "aDefs.h"
#include "aMutex.h"
#include "aStream_Serial.h"
#include "aStream_Socket.h"
#include "aTime.h"
#include "aUSB.h"

namespace {

constexpr int kResetAttempts = 20;
constexpr uint32_t kResetPauseMs = 100;

// The registry: entries newest first, and the id counter. Guarded by the registry mutex.
struct Registry {
    std::list<aLinkEntryRef> entries;
    uint32_t nextId = 1;
};

Registry& sRegistry() {
    static Registry registry;
    return registry;
}

aMutexRef sRegistryMutex() {
    static aMutexRef mutex = aMutex_Create("aLink_Managed");
    return mutex;
}

// Holds the registry mutex for one scope; `held` is false when it could not be taken.
class RegistryLock {
  public:
    RegistryLock() : mutex_(sRegistryMutex()), held_(aMutex_Lock(mutex_) == aErrNone) {}
    ~RegistryLock() {
        if (held_) aMutex_Unlock(mutex_);
    }
    RegistryLock(const RegistryLock&) = delete;
    RegistryLock& operator=(const RegistryLock&) = delete;
    bool held() const { return held_; }

  private:
    aMutexRef mutex_;
    bool held_;
};

aLinkEntryRef sFindLocked(const std::function<bool(const aLinkEntry&)>& match) {
    for (const aLinkEntryRef& entry : sRegistry().entries) {
        if (match(*entry)) return entry;
    }
    return nullptr;
}

// Shares the newest entry `match` accepts: adds one use and sets `*id` to its id. Returns false
// when there is none. When `refuse` says the entry may not be shared, `*id` is 0 and nothing
// changes.
bool sShare(const std::function<bool(const aLinkEntry&)>& match, uint32_t* id,
            bool (*refuse)(const aLinkEntry&) = nullptr) {
    *id = 0;
    RegistryLock lock;
    if (!lock.held()) return false;
    aLinkEntryRef entry = sFindLocked(match);
    if (!entry) return false;
    if (refuse && refuse(*entry)) return true;
    ++entry->useCount;
    *id = entry->id;
    aDefs_Trace(aDEBUG_LINK, "aLink(%u): shared, %d users\n", entry->id, entry->useCount);
    return true;
}

// USB and serial links are keyed by the module's serial number; both reach the same module.
bool sIsSerialKeyed(const aLinkEntry& entry) {
    return entry.type == USB || entry.type == SERIAL;
}

bool sHasServer(const aLinkEntry& entry) {
    return entry.server != nullptr;
}

// Drops one use of `id`; when it was the last, unlinks the entry and returns it in `*last`.
aErr sRelease(uint32_t id, aLinkEntryRef* last) {
    RegistryLock lock;
    if (!lock.held()) return aErrUnknown;
    auto& entries = sRegistry().entries;
    for (auto it = entries.begin(); it != entries.end(); ++it) {
        if ((*it)->id != id) continue;
        if (--(*it)->useCount <= 0) {
            *last = *it;
            entries.erase(it);
        }
        return aErrNone;
    }
    return aErrNotFound;
}

// The link server, attached only by link-server creation, which this library does not offer
// yet: nothing can attach one, so there is nothing to destroy.
void sDestroyServer(aLinkEntry& entry) {
    entry.server = nullptr;
}

aErr sTearDown(const aLinkEntryRef& entry) {
    if (!entry->link) return aErrUnknown;
    aLinkRecord* link = entry->link.get();
    aLink_InstallUserPacketFilter(entry->id, nullptr, nullptr);
    aLink_Stop(link);
    if (entry->server) sDestroyServer(*entry);
    if (entry->innerLinkId) {
        uint32_t inner = entry->innerLinkId;
        aLink_Destroy(&inner);
    }
    aErr result = aLink_Release(link);
    aDefs_Trace(aDEBUG_LINK, "aLink(%u): destroyed\n", entry->id);
    return result;
}

// Ends a creation that failed after registration: the link goes with its only (or no) use.
uint32_t sFail(uint32_t id, const char* what, aErr err) {
    aDefs_Trace(aDEBUG_LINK, "aLink(%u): %s failed: %d\n", id, what, err);
    aLink_Destroy(&id);
    return 0;
}

// Initialises the registered link `id` with `stream`, counts its first use and starts it.
aErr sInitAndStart(uint32_t id, aStreamRef stream) {
    if (aLink_Init(id, stream) != id) return aErrConnection;
    aLinkRegistry_ChangeUseCount(id, 1, nullptr);
    return aLink_Start(id);
}

// --- USB transport seam -----------------------------------------------------------------------

aErr sBuiltInUSBStream(uint32_t serialNumber, aStreamRef* stream) {
    return aStream_CreateUSB(serialNumber, stream);
}

std::atomic<aLinkUSBStreamFactory> sUSBStreamFactory{sBuiltInUSBStream};

aErr sCreateUSBStream(uint32_t serialNumber, aStreamRef* stream) {
    return sUSBStreamFactory.load()(serialNumber, stream);
}

// The stream of a link rebuilt from its entry's keys.
aErr sRecreateStream(const aLinkEntry& entry, aStreamRef* stream) {
    switch (entry.type) {
        case USB:
            return sCreateUSBStream(entry.identifier, stream);
        case TCPIP:
            return aStream_CreateSocket(entry.identifier, static_cast<uint16_t>(entry.secondKey),
                                        stream);
        case AWEAVE:
            return aErrUnimplemented;  // the link-server client stream is not offered yet
        default:
            return aErrParam;  // a serial entry keeps no port name to reopen
    }
}

bool sSerialBaudIndex(uint32_t baudRate, uint32_t* index) {
    static const uint32_t kRates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
    for (uint32_t i = 0; i < sizeof kRates / sizeof kRates[0]; ++i) {
        if (kRates[i] == baudRate) {
            *index = i;
            return true;
        }
    }
    return false;
}

}  // namespace

// --- Registry functions -----------------------------------------------------------------------

uint32_t aLinkRegistry_Register(uint32_t identifier, uint32_t secondKey, uint32_t thirdKey,
                                linkType type) {
    auto entry = std::shared_ptr<aLinkEntry>(new (std::nothrow) aLinkEntry);
    if (!entry) return 0;
    entry->link.reset(new (std::nothrow) aLinkRecord);
    if (!entry->link) return 0;
    entry->identifier = identifier;
    entry->secondKey = secondKey;
    entry->thirdKey = thirdKey;
    entry->type = type;

    RegistryLock lock;
    if (!lock.held()) return 0;
    Registry& registry = sRegistry();
    entry->id = registry.nextId++;
    registry.entries.push_front(entry);
    aDefs_Trace(aDEBUG_LINK, "aLink(%u): registered, type %u, key %08X:%u\n", entry->id,
                static_cast<unsigned>(type), identifier, secondKey);
    return entry->id;
}

aLinkEntryRef aLinkRegistry_Find(const std::function<bool(const aLinkEntry&)>& match) {
    RegistryLock lock;
    if (!lock.held()) return nullptr;
    return sFindLocked(match);
}

aLinkEntryRef aLinkRegistry_FindById(uint32_t id) {
    if (id == 0) return nullptr;
    return aLinkRegistry_Find([id](const aLinkEntry& entry) { return entry.id == id; });
}

aLinkEntryRef aLinkRegistry_FindByIdentifier(uint32_t identifier) {
    return aLinkRegistry_Find(
        [identifier](const aLinkEntry& entry) { return entry.identifier == identifier; });
}

aLinkEntryRef aLinkRegistry_FindByKeys(uint32_t identifier, uint32_t secondKey, uint32_t thirdKey) {
    return aLinkRegistry_Find([=](const aLinkEntry& entry) {
        return entry.identifier == identifier && entry.secondKey == secondKey &&
               entry.thirdKey == thirdKey;
    });
}

aLinkEntryRef aLinkRegistry_Extract(uint32_t id) {
    RegistryLock lock;
    if (!lock.held()) return nullptr;
    auto& entries = sRegistry().entries;
    for (auto it = entries.begin(); it != entries.end(); ++it) {
        if ((*it)->id == id) {
            aLinkEntryRef entry = *it;
            entries.erase(it);
            return entry;
        }
    }
    return nullptr;
}

aErr aLinkRegistry_ChangeUseCount(uint32_t id, int16_t delta, int16_t* useCount) {
    RegistryLock lock;
    if (!lock.held()) return aErrUnknown;
    aLinkEntryRef entry = sFindLocked([id](const aLinkEntry& e) { return e.id == id; });
    if (!entry) return aErrNotFound;
    entry->useCount = static_cast<int16_t>(entry->useCount + delta);
    if (useCount) *useCount = entry->useCount;
    return aErrNone;
}

int16_t aLinkRegistry_UseCount(uint32_t id) {
    RegistryLock lock;
    if (!lock.held()) return 0;
    aLinkEntryRef entry = sFindLocked([id](const aLinkEntry& e) { return e.id == id; });
    return entry ? entry->useCount : 0;
}

size_t aLinkRegistry_Count() {
    RegistryLock lock;
    return lock.held() ? sRegistry().entries.size() : 0;
}

aLinkUSBStreamFactory aLinkRegistry_SetUSBStreamFactory(aLinkUSBStreamFactory factory) {
    return sUSBStreamFactory.exchange(factory ? factory : sBuiltInUSBStream);
}

// --- Link creation ----------------------------------------------------------------------------

uint32_t aLink_CreateUSB(uint32_t serialNumber) {
    // A module served by a link server is reached only as a client of that server (0).
    uint32_t shared = 0;
    if (sShare(
            [serialNumber](const aLinkEntry& e) {
                return sIsSerialKeyed(e) && e.identifier == serialNumber;
            },
            &shared, sHasServer)) {
        return shared;
    }

    const uint32_t id = aLinkRegistry_Register(serialNumber, 0, 0, USB);
    if (!id) return 0;
    aStreamRef stream = nullptr;
    aErr err = sCreateUSBStream(serialNumber, &stream);
    if (err != aErrNone) return sFail(id, "USB stream", err);
    err = sInitAndStart(id, stream);
    // A USB module may be mid-packet from an earlier host: get in step before anything else.
    if (err == aErrNone) err = aLink_Sync(id);
    if (err == aErrNone) err = aLink_ForceRoute(id, 1);
    if (err != aErrNone) return sFail(id, "USB link start", err);
    return id;
}

uint32_t aLink_CreateTCPIP(uint32_t ipAddress, uint16_t port) {
    uint32_t shared = 0;
    if (sShare(
            [ipAddress, port](const aLinkEntry& e) {
                return e.type == TCPIP && e.identifier == ipAddress && e.secondKey == port;
            },
            &shared)) {
        return shared;
    }

    const uint32_t id = aLinkRegistry_Register(ipAddress, port, 0, TCPIP);
    if (!id) return 0;
    aStreamRef stream = nullptr;
    aErr err = aStream_CreateSocket(ipAddress, port, &stream);
    if (err != aErrNone) {
        aLinkRegistry_Extract(id);
        return 0;
    }
    err = sInitAndStart(id, stream);
    if (err != aErrNone) return sFail(id, "TCP link start", err);
    return id;
}

uint32_t aLink_CreateSerial(uint32_t serialNumber, const char* portName, uint32_t baudRate) {
    uint32_t shared = 0;
    if (sShare(
            [serialNumber](const aLinkEntry& e) {
                return sIsSerialKeyed(e) && e.identifier == serialNumber;
            },
            &shared)) {
        return shared;
    }

    const uint32_t id = aLinkRegistry_Register(serialNumber, 0, 0, SERIAL);
    if (!id) return 0;
    uint32_t baudIndex = 0;
    if (!sSerialBaudIndex(baudRate, &baudIndex)) {
        aLinkRegistry_Extract(id);
        return 0;
    }
    aStreamRef stream = nullptr;
    aErr err = aStream_CreateSerial(portName, baudIndex, false, 0, 0, &stream);
    if (err != aErrNone) return sFail(id, "serial stream", err);
    err = sInitAndStart(id, stream);
    if (err != aErrNone) return sFail(id, "serial link start", err);
    return id;
}

aErr aLink_Destroy(uint32_t* linkId) {
    if (!linkId) return aErrParam;
    const uint32_t id = *linkId;
    *linkId = 0;
    aLinkEntryRef last;
    if (sRelease(id, &last) != aErrNone) return aErrParam;
    if (!last) return aErrNone;  // still in use
    return sTearDown(last);
}

aErr aLink_Reset(uint32_t linkId) {
    aLinkEntryRef entry = aLinkRegistry_FindById(linkId);
    if (!entry || !entry->link) return aErrParam;
    aLinkRecord* link = entry->link.get();
    aLink_Stop(link);
    aLink_ReleaseTransport(link);

    aStreamRef stream = nullptr;
    aErr err = aErrParam;
    for (int attempt = 1; attempt <= kResetAttempts; ++attempt) {
        err = sRecreateStream(*entry, &stream);
        if (err == aErrNone || err == aErrUnimplemented) break;
        if (attempt < kResetAttempts) aTime_MSSleep(kResetPauseMs);
    }
    if (err != aErrNone) {
        aDefs_Trace(aDEBUG_LINK, "aLink(%u): reset failed: %d\n", linkId, err);
        return err;
    }
    if (aLink_Init(linkId, stream) != linkId) return aErrConnection;
    aDefs_Trace(aDEBUG_LINK, "aLink(%u): reset\n", linkId);
    return aLink_Start(linkId);
}
