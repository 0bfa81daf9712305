#include "aStream.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr uint16_t kStreamCheck = 0x4321;
constexpr size_t kRingStep = 512;

}  // namespace

struct aStream {
    uint16_t check;
    aStreamGetProc get;
    aStreamPutProc put;
    aStreamWriteProc write;
    aStreamDeleteProc remove;
    aStreamWaitProc wait;
    aStreamInterruptProc interrupt;
    void* state;

    // Push-back ring, touched only by the reading side. Absent until first needed.
    uint8_t* ring;
    size_t ringCount;
    size_t ringCapacity;
    size_t ringRead;
    size_t ringWrite;
};

namespace {

bool sValid(const aStream* stream) {
    return stream && stream->check == kStreamCheck;
}

// Makes room for one more byte: the ring grows whenever it holds capacity - 1 bytes.
aErr sRingReserve(aStream* stream) {
    if (!stream->ring) {
        stream->ring = static_cast<uint8_t*>(malloc(kRingStep));
        if (!stream->ring) return aErrMemory;
        stream->ringCapacity = kRingStep;
        return aErrNone;
    }
    if (stream->ringCount < stream->ringCapacity - 1) return aErrNone;

    size_t capacity = stream->ringCapacity + kRingStep;
    auto* grown = static_cast<uint8_t*>(malloc(capacity));
    if (!grown) return aErrMemory;
    for (size_t i = 0; i < stream->ringCount; ++i)
        grown[i] = stream->ring[(stream->ringRead + i) % stream->ringCapacity];
    free(stream->ring);
    stream->ring = grown;
    stream->ringCapacity = capacity;
    stream->ringRead = 0;
    stream->ringWrite = stream->ringCount;
    return aErrNone;
}

aErr sRingPut(aStream* stream, uint8_t byte) {
    aErr err = sRingReserve(stream);
    if (err != aErrNone) return err;
    stream->ring[stream->ringWrite] = byte;
    stream->ringWrite = (stream->ringWrite + 1) % stream->ringCapacity;
    ++stream->ringCount;
    return aErrNone;
}

uint8_t sRingTake(aStream* stream) {
    uint8_t byte = stream->ring[stream->ringRead];
    stream->ringRead = (stream->ringRead + 1) % stream->ringCapacity;
    --stream->ringCount;
    return byte;
}

// Bytes obtained by a read that ran dry go back behind whatever the ring still holds. A read only
// calls get once the ring is empty, so this restores the original order exactly.
aErr sPushBack(aStream* stream, const uint8_t* bytes, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        aErr err = sRingPut(stream, bytes[i]);
        if (err != aErrNone) return err;
    }
    return aErrNone;
}

// The next byte: pushed-back bytes first, then the transport. The caller checks that get exists.
aErr sNextByte(aStream* stream, uint8_t* byte) {
    if (stream->ringCount > 0) {
        *byte = sRingTake(stream);
        return aErrNone;
    }
    return stream->get(byte, stream->state);
}

bool sEndsWith(const uint8_t* bytes, size_t count, const uint8_t* tail, size_t tailLength) {
    return count >= tailLength && memcmp(bytes + count - tailLength, tail, tailLength) == 0;
}

aErr sReadRecord(aStream* stream, uint8_t* buffer, size_t* length, size_t bufferSize,
                 const uint8_t* terminator, size_t terminatorLength, bool skipLeadingZeros) {
    if (length) *length = 0;
    if (!sValid(stream) || !buffer || !terminator || terminatorLength == 0) return aErrParam;
    if (!stream->get) return aErrMode;

    auto* stored = static_cast<uint8_t*>(malloc(bufferSize ? bufferSize : 1));
    if (!stored) return aErrResource;

    size_t count = 0;
    aErr err = aErrNone;
    while (count < bufferSize) {
        uint8_t byte = 0;
        err = sNextByte(stream, &byte);
        if (err == aErrEOF) {
            err = count > 0 ? aErrNone : aErrEOF;
            break;
        }
        if (err != aErrNone) break;
        if (skipLeadingZeros && count == 0 && byte == 0) continue;
        stored[count++] = byte;
        if (sEndsWith(stored, count, terminator, terminatorLength)) {
            count -= terminatorLength;
            break;
        }
    }

    if (err == aErrNotReady) {
        aErr pushed = sPushBack(stream, stored, count);
        if (pushed != aErrNone) err = pushed;
    } else if (err == aErrNone || err == aErrEOF) {
        memcpy(buffer, stored, count);
        if (length) *length = count;
    }
    free(stored);
    return err;
}

}  // namespace

aStreamRef aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                          aStreamDeleteProc remove, void* state) {
    auto* stream = static_cast<aStream*>(calloc(1, sizeof(aStream)));
    if (!stream) return nullptr;
    stream->check = kStreamCheck;
    stream->get = get;
    stream->put = put;
    stream->write = write;
    stream->remove = remove;
    stream->state = state;
    return stream;
}

aErr aStream_SetWait(aStreamRef stream, aStreamWaitProc wait) {
    if (!sValid(stream)) return aErrParam;
    stream->wait = wait;
    return aErrNone;
}

aErr aStream_WaitReadable(aStreamRef stream, uint32_t msTimeout) {
    if (!sValid(stream)) return aErrParam;
    if (stream->ringCount > 0 || !stream->wait) return aErrNone;
    return stream->wait(msTimeout, stream->state);
}

aErr aStream_SetInterrupt(aStreamRef stream, aStreamInterruptProc interrupt) {
    if (!sValid(stream)) return aErrParam;
    stream->interrupt = interrupt;
    return aErrNone;
}

aErr aStream_Interrupt(aStreamRef stream, bool interrupted) {
    if (!sValid(stream)) return aErrParam;
    return stream->interrupt ? stream->interrupt(interrupted, stream->state) : aErrNone;
}

aErr aStream_Read(aStreamRef stream, uint8_t* buffer, size_t size) {
    if (!sValid(stream) || !buffer) return aErrParam;
    if (!stream->get) return aErrMode;
    if (size == 0) return aErrNone;

    auto* obtained = static_cast<uint8_t*>(malloc(size));
    if (!obtained) return aErrResource;

    size_t count = 0;
    aErr err = aErrNone;
    while (count < size) {
        err = sNextByte(stream, &obtained[count]);
        if (err != aErrNone) break;
        ++count;
    }

    if (err == aErrNotReady) {
        aErr pushed = sPushBack(stream, obtained, count);
        if (pushed != aErrNone) err = pushed;
    } else if (err == aErrNone || err == aErrEOF) {
        memcpy(buffer, obtained, count);
    }
    free(obtained);
    return err;
}

aErr aStream_Write(aStreamRef stream, const uint8_t* bytes, size_t length) {
    if (!sValid(stream) || !bytes) return aErrParam;
    if (!stream->write && !stream->put) return aErrMode;
    if (length == 0) return aErrNone;
    if (stream->write && (length > 1 || !stream->put))
        return stream->write(bytes, length, stream->state);
    for (size_t i = 0; i < length; ++i) {
        aErr err = stream->put(&bytes[i], stream->state);
        if (err != aErrNone) return err;
    }
    return aErrNone;
}

aErr aStreamBufferChar(aStreamRef stream, uint8_t byte) {
    if (!sValid(stream)) return aErrParam;
    return sRingPut(stream, byte);
}

aErr aStream_Destroy(aStreamRef* ref) {
    if (!ref) return aErrParam;
    aStream* stream = *ref;
    *ref = nullptr;
    if (!sValid(stream)) return aErrParam;

    aErr err = stream->remove ? stream->remove(stream->state) : aErrNone;
    free(stream->ring);
    stream->check = 0;
    free(stream);
    return err;
}

aErr aStream_Flush(aStreamRef source, aStreamRef destination) {
    if (!sValid(source) || !sValid(destination)) return aErrParam;
    if (!source->get || !destination->put) return aErrMode;
    for (;;) {
        uint8_t byte = 0;
        aErr err = source->get(&byte, source->state);
        if (err == aErrEOF) return aErrNone;
        if (err != aErrNone) return err;
        err = destination->put(&byte, destination->state);
        if (err != aErrNone) return err;
    }
}

aErr aStream_ReadRecord(aStreamRef stream, uint8_t* buffer, size_t* length, size_t bufferSize,
                        const uint8_t* terminator, size_t terminatorLength) {
    return sReadRecord(stream, buffer, length, bufferSize, terminator, terminatorLength, false);
}

aErr aStream_WriteRecord(aStreamRef stream, const uint8_t* bytes, size_t length,
                         const uint8_t* terminator, size_t terminatorLength) {
    if (!terminator) return aErrParam;
    aErr err = aStream_Write(stream, bytes, length);
    if (err != aErrNone) return err;
    return aStream_Write(stream, terminator, terminatorLength);
}

aErr aStream_ReadCString(aStreamRef stream, char* buffer, size_t bufferSize) {
    if (!buffer || bufferSize == 0) return aErrParam;
    const uint8_t zero = 0;
    size_t length = 0;
    aErr err = sReadRecord(stream, reinterpret_cast<uint8_t*>(buffer), &length, bufferSize - 1,
                           &zero, 1, false);
    if (err == aErrNone || err == aErrEOF) buffer[length] = '\0';
    return err;
}

aErr aStream_WriteCString(aStreamRef stream, const char* text) {
    if (!text) return aErrParam;
    return aStream_Write(stream, reinterpret_cast<const uint8_t*>(text), strlen(text) + 1);
}

aErr aStream_ReadCStringRecord(aStreamRef stream, char* buffer, size_t bufferSize,
                               const char* terminatorText) {
    if (!buffer || bufferSize == 0 || !terminatorText) return aErrParam;
    size_t length = 0;
    aErr err =
        sReadRecord(stream, reinterpret_cast<uint8_t*>(buffer), &length, bufferSize - 1,
                    reinterpret_cast<const uint8_t*>(terminatorText), strlen(terminatorText), true);
    if (err == aErrNone || err == aErrEOF) buffer[length] = '\0';
    return err;
}

aErr aStream_WriteCStringRecord(aStreamRef stream, const char* text, const char* terminatorText) {
    if (!text || !terminatorText) return aErrParam;
    aErr err = aStream_Write(stream, reinterpret_cast<const uint8_t*>(text), strlen(text));
    if (err != aErrNone) return err;
    return aStream_Write(stream, reinterpret_cast<const uint8_t*>(terminatorText),
                         strlen(terminatorText) + 1);
}
