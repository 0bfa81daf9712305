#pragma once
// One functional unit of a module (an entity: a command code and an index), and the entity-
// interface get, set and call operations on top of the Link exchange (Link.h).
//
//   get   request option | 0x40, specifier index | 0x20; reply carries the plain option
//   set   request option | 0x80, specifier index | 0x20, value; reply carries option | 0xC0
//   call  a set without a value
// A reply whose specifier has bit 7 set is the module's refusal: its byte value is the aErr code,
// which becomes the operation's result. The operations do not retry.
//
// An entity only uses its module (never owns it); the module must outlive it. Every operation
// that needs the module or its link returns aErrResource when either is missing. Threads: one at
// a time, like the module.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "aError.h"
#include "aUEI.h"

namespace Quillmet::TessaLine {

class Module;

class EntityClass {
  public:
    EntityClass();
    virtual ~EntityClass();
    EntityClass(const EntityClass&) = delete;
    EntityClass& operator=(const EntityClass&) = delete;

    // Binds the entity to `module`, its command code and its index.
    void init(Module* module, uint8_t command, uint8_t index);
    uint8_t getIndex() const;

    // --- Raw packets to and from the module ------------------------------------------------
    // Link::sendPacket to the module's address.
    aErr sendPacket(uint8_t command, uint8_t length, const uint8_t* data);
    // Link::receivePacket from the module's address (1000 ms).
    aErr receivePacket(const uint8_t* match, uint8_t* length, uint8_t* data);

    // --- Exchanges with a uei record -------------------------------------------------------
    // Get exchange: fills `message` (module, command, option | 0x40, index | 0x20), sends it
    // with its value (none, or a byte sub-index) and receives the reply into it (1000 ms).
    // aErrParam for a null message; the module's code for an error reply; aErrTimeout when
    // nothing answered.
    aErr getUEI(uint8_t option, uei* message);
    // Set exchange with `message`'s value (any type, bytes included); reply option | 0xC0.
    aErr setUEI(uint8_t option, uei* message);
    // Set exchange with a sub-index byte after the specifier (value types none to int).
    aErr setUEI(uint8_t option, uint8_t subIndex, uei* message);
    // Set exchange without a value.
    aErr callUEI(uint8_t option);

    // --- Typed set and get -----------------------------------------------------------------
    aErr setUEI8(uint8_t option, uint8_t value);
    aErr setUEI16(uint8_t option, uint16_t value);
    aErr setUEI32(uint8_t option, uint32_t value);
    aErr setUEI8(uint8_t option, uint8_t subIndex, uint8_t value);
    aErr setUEI16(uint8_t option, uint8_t subIndex, uint16_t value);
    aErr setUEI32(uint8_t option, uint8_t subIndex, uint32_t value);
    // A byte array in consecutive packets (Link::sendUEI), answered once.
    aErr setUEIBytes(uint8_t option, const uint8_t* data, size_t length);
    // Gets whose reply value is stored on success. aErrParam for a null output; aErrSize for a
    // reply that carries no value.
    aErr getUEI8(uint8_t option, uint8_t* value);
    aErr getUEI16(uint8_t option, uint16_t* value);
    aErr getUEI32(uint8_t option, uint32_t* value);
    // The same, the request carrying `subIndex` as its byte value.
    aErr getUEI8(uint8_t option, uint8_t subIndex, uint8_t* value);
    aErr getUEI16(uint8_t option, uint8_t subIndex, uint16_t* value);
    aErr getUEI32(uint8_t option, uint8_t subIndex, uint32_t* value);

    // Byte-array get: the module answers with packets of up to 24 bytes, each with a trailer
    // (bit 7 more follow, bits 0-6 sequence from 0, counting modulo 128); packets are taken in
    // sequence (others stay queued) and their bytes appended to `buffer`. `*received` counts the
    // bytes taken so far. aErrParam for a null buffer or count or a capacity of 0; aErrMemory
    // when the next packet would not fit (`*received` keeps the bytes that did); the module's
    // code for an error reply; aErrTimeout when a packet is missing (each wait 1000 ms, 4000 ms
    // for a capacity above 1000 bytes).
    aErr getUEIBytes(uint8_t option, uint8_t* buffer, size_t capacity, size_t* received);
    // Turns a byte count into a count of `unitSize` units: aErrParam for a null pointer;
    // aErrMemory (1) when the count is not a multiple of the unit size; a unit size of 0 gives 0.
    aErr getUEIBytesCheck(size_t* count, size_t unitSize);

    // Waits 1000 ms for an unsolicited reply of this entity with the plain `option` and stores
    // its 32-bit value. The module's code for an error reply; aErrTimeout when none came.
    // `extra` has no effect.
    aErr awaitUEI32Val(uint32_t option, uint32_t* value, uint32_t extra);
    // Removes every queued reply of this entity and `option` (Link::dropMatchingUEIPackets).
    aErr drainUEI(uint8_t option);

    struct impl;

  protected:
    // The module and its link's existence, for derived entities: aErrResource when missing.
    aErr checkModule() const;
    Module* module() const;
    uint8_t command() const;

  private:
    // Set exchange of an already filled value; `subIndex` < 0 for none.
    aErr setExchange(uint8_t option, int subIndex, uei* message);
    aErr getTyped(uint8_t option, int subIndex, uint32_t* value);

    std::unique_ptr<impl> m_impl;
};

}  // namespace Quillmet::TessaLine
