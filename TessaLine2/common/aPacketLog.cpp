#include "aPacketLog.h"

#include <new>

struct aPacketLog {
    uint32_t capacity;
    uint32_t readIndex;   // first byte of the oldest record
    uint32_t writeIndex;  // where the next record starts; equal to readIndex when empty
    uint8_t* buffer;
};

namespace {

uint32_t sUsed(const aPacketLog* log) {
    return log->writeIndex >= log->readIndex ? log->writeIndex - log->readIndex
                                             : log->capacity - log->readIndex + log->writeIndex;
}

uint32_t sAdvance(const aPacketLog* log, uint32_t index, uint32_t by) {
    // Both operands are below the capacity, so the sum cannot wrap 32 bits twice over.
    const uint64_t next = static_cast<uint64_t>(index) + by;
    return static_cast<uint32_t>(next % log->capacity);
}

uint8_t sByteAt(const aPacketLog* log, uint32_t index, uint32_t offset) {
    return log->buffer[sAdvance(log, index, offset)];
}

void sDropOldest(aPacketLog* log) {
    const uint32_t length = sByteAt(log, log->readIndex, 1);
    log->readIndex = sAdvance(log, log->readIndex, length + 2);
}

void sStore(aPacketLog* log, uint8_t byte) {
    log->buffer[log->writeIndex] = byte;
    log->writeIndex = sAdvance(log, log->writeIndex, 1);
}

}  // namespace

aPacketLogRef aPacketLog_Create(uint32_t capacity) {
    if (capacity == 0) return nullptr;
    aPacketLog* log = new (std::nothrow) aPacketLog{capacity, 0, 0, nullptr};
    if (!log) return nullptr;
    log->buffer = new (std::nothrow) uint8_t[capacity];
    if (!log->buffer) {
        delete log;
        return nullptr;
    }
    return log;
}

aErr aPacketLog_Put(aPacketLogRef log, uint8_t tag, uint32_t length, const uint8_t* bytes) {
    if (!log || (length != 0 && !bytes)) return aErrParam;
    if (length > aPACKETLOG_MAX_PAYLOAD || length + 2 >= log->capacity) return aErrOverrun;
    while (log->capacity - sUsed(log) <= length + 2) sDropOldest(log);
    sStore(log, tag);
    sStore(log, static_cast<uint8_t>(length));
    for (uint32_t i = 0; i < length; ++i) sStore(log, bytes[i]);
    return aErrNone;
}

aErr aPacketLog_Get(aPacketLogRef log, uint8_t* tag, uint32_t* length, uint8_t* buffer) {
    if (!log || !tag || !length || (!buffer && *length != 0)) return aErrParam;
    if (log->readIndex == log->writeIndex) return aErrNotFound;
    const uint32_t size = *length;
    *tag = sByteAt(log, log->readIndex, 0);
    *length = sByteAt(log, log->readIndex, 1);
    if (*length > size) return aErrOverrun;
    for (uint32_t i = 0; i < *length; ++i) buffer[i] = sByteAt(log, log->readIndex, 2 + i);
    log->readIndex = sAdvance(log, log->readIndex, *length + 2);
    return aErrNone;
}

aErr aPacketLog_Destroy(aPacketLogRef* log) {
    if (!log || !*log) return aErrNone;
    delete[](*log)->buffer;
    delete *log;
    *log = nullptr;
    return aErrNone;
}
