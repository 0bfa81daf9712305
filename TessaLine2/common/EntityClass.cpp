#include "EntityClass.h"

#include <cstring>
#include <type_traits>

#include "Link.h"
#include "Module.h"

namespace Quillmet::TessaLine {

namespace {

constexpr uint8_t kSetReplyFlags = ueiOPTION_GET | ueiOPTION_SET;

// The error code of an error reply (bit 7 of the specifier), else aErrNone.
aErr sReplyError(const uei& reply) {
    return (reply.specifier & ueiSPECIFIER_ERROR) ? static_cast<aErr>(reply.value.byteVal)
                                                  : aErrNone;
}

// State of a byte-array get. The record comes first, so that the filter, which is handed the
// record, reaches the rest.
struct BytesReceive {
    uei message;
    uint8_t expectedSequence;
    bool more;
    aErr error;
    uint8_t* buffer;
    size_t capacity;
    size_t* received;
};
static_assert(std::is_standard_layout_v<BytesReceive>);

bool sBytesFilter(const aPacket* packet, void* reference) {
    auto* state = static_cast<BytesReceive*>(reference);
    const uei& key = state->message;
    if (!packet || packet->address != key.module || packet->dataSize < 3) return false;
    if (packet->data[0] != key.command || packet->data[1] != key.option ||
        (packet->data[2] & ueiSPECIFIER_INDEX_MASK) != key.specifier) {
        return false;
    }
    if (packet->data[2] & ueiSPECIFIER_ERROR) {
        state->error = packet->dataSize > 3 ? static_cast<aErr>(packet->data[3]) : aErrUnknown;
        return true;
    }
    if (packet->dataSize < 4) {
        // A reply with neither data nor trailer: no part of a byte array.
        state->error = aErrPacket;
        return true;
    }
    const uint8_t trailer = packet->data[packet->dataSize - 1];
    if ((trailer & ueiTRAILER_SEQUENCE_MASK) != state->expectedSequence) return false;
    const size_t count = packet->dataSize - 4u;
    if (*state->received + count > state->capacity) {
        state->error = aErrMemory;
        return true;
    }
    std::memcpy(state->buffer + *state->received, &packet->data[3], count);
    *state->received += count;
    state->more = (trailer & ueiTRAILER_MORE) != 0;
    return true;
}

// The reply's value widened to 32 bits; false when the reply carried none.
bool sReplyValue(const uei& reply, uint32_t* value) {
    switch (reply.type) {
        case ueiTypeByte:
            *value = reply.value.byteVal;
            return true;
        case ueiTypeShort:
            *value = reply.value.shortVal;
            return true;
        case ueiTypeInt:
            *value = reply.value.intVal;
            return true;
        default:
            return false;
    }
}

}  // namespace

struct EntityClass::impl {
    explicit impl(EntityClass& owner_) : owner(owner_) {}
    EntityClass& owner;
    Module* module = nullptr;
    uint8_t command = 0;
    uint8_t index = 0;

    Link* link() const { return module ? module->getLink() : nullptr; }
    uei request(uint8_t option) const {
        uei message{};
        message.module = module->getModuleAddress();
        message.command = command;
        message.option = option;
        message.specifier = static_cast<uint8_t>(index | ueiSPECIFIER_REQUEST);
        return message;
    }
};

EntityClass::EntityClass() : m_impl(std::make_unique<impl>(*this)) {}

EntityClass::~EntityClass() = default;

void EntityClass::init(Module* module, uint8_t command, uint8_t index) {
    m_impl->module = module;
    m_impl->command = command;
    m_impl->index = index;
}

uint8_t EntityClass::getIndex() const {
    return m_impl->index;
}

aErr EntityClass::checkModule() const {
    return m_impl->link() ? aErrNone : aErrResource;
}

Module* EntityClass::module() const {
    return m_impl->module;
}

uint8_t EntityClass::command() const {
    return m_impl->command;
}

// --- Raw packets ----------------------------------------------------------------------------

aErr EntityClass::sendPacket(uint8_t command, uint8_t length, const uint8_t* data) {
    if (checkModule() != aErrNone) return aErrResource;
    return m_impl->link()->sendPacket(m_impl->module->getModuleAddress(), command, length, data);
}

aErr EntityClass::receivePacket(const uint8_t* match, uint8_t* length, uint8_t* data) {
    if (checkModule() != aErrNone) return aErrResource;
    return m_impl->link()->receivePacket(m_impl->module->getModuleAddress(), match, length, data);
}

// --- Exchanges ------------------------------------------------------------------------------

aErr EntityClass::getUEI(uint8_t option, uei* message) {
    if (!message) return aErrParam;
    if (checkModule() != aErrNone) return aErrResource;
    Link* link = m_impl->link();
    const uei filled = m_impl->request(static_cast<uint8_t>(option | ueiOPTION_GET));
    message->module = filled.module;
    message->command = filled.command;
    message->option = filled.option;
    message->specifier = filled.specifier;
    aErr err = link->sendUEI(*message);
    if (err != aErrNone) return err;
    message->option = option;
    message->specifier = m_impl->index;
    // The value sent (a sub-index) is not the answer: a reply without a value leaves none.
    message->type = ueiTypeNone;
    message->value.intVal = 0;
    err = link->receiveUEI(message->module, message->command, message->option, message->specifier,
                           message);
    if (err != aErrNone) return err;
    return sReplyError(*message);
}

aErr EntityClass::setExchange(uint8_t option, int subIndex, uei* message) {
    if (!message) return aErrParam;
    if (checkModule() != aErrNone) return aErrResource;
    Link* link = m_impl->link();
    const uei filled = m_impl->request(static_cast<uint8_t>(option | ueiOPTION_SET));
    message->module = filled.module;
    message->command = filled.command;
    message->option = filled.option;
    message->specifier = filled.specifier;
    aErr err = subIndex < 0 ? link->sendUEI(*message)
                            : link->sendUEI(*message, static_cast<uint8_t>(subIndex));
    if (err != aErrNone) return err;
    message->option = static_cast<uint8_t>(option | kSetReplyFlags);
    message->specifier = m_impl->index;
    err = link->receiveUEI(message->module, message->command, message->option, message->specifier,
                           message);
    if (err != aErrNone) return err;
    return sReplyError(*message);
}

aErr EntityClass::setUEI(uint8_t option, uei* message) {
    return setExchange(option, -1, message);
}

aErr EntityClass::setUEI(uint8_t option, uint8_t subIndex, uei* message) {
    return setExchange(option, subIndex, message);
}

aErr EntityClass::callUEI(uint8_t option) {
    uei message{};
    message.type = ueiTypeNone;
    return setExchange(option, -1, &message);
}

aErr EntityClass::setUEI8(uint8_t option, uint8_t value) {
    uei message{};
    message.type = ueiTypeByte;
    message.value.byteVal = value;
    return setExchange(option, -1, &message);
}

aErr EntityClass::setUEI16(uint8_t option, uint16_t value) {
    uei message{};
    message.type = ueiTypeShort;
    message.value.shortVal = value;
    return setExchange(option, -1, &message);
}

aErr EntityClass::setUEI32(uint8_t option, uint32_t value) {
    uei message{};
    message.type = ueiTypeInt;
    message.value.intVal = value;
    return setExchange(option, -1, &message);
}

aErr EntityClass::setUEI8(uint8_t option, uint8_t subIndex, uint8_t value) {
    uei message{};
    message.type = ueiTypeByte;
    message.value.byteVal = value;
    return setExchange(option, subIndex, &message);
}

aErr EntityClass::setUEI16(uint8_t option, uint8_t subIndex, uint16_t value) {
    uei message{};
    message.type = ueiTypeShort;
    message.value.shortVal = value;
    return setExchange(option, subIndex, &message);
}

aErr EntityClass::setUEI32(uint8_t option, uint8_t subIndex, uint32_t value) {
    uei message{};
    message.type = ueiTypeInt;
    message.value.intVal = value;
    return setExchange(option, subIndex, &message);
}

aErr EntityClass::setUEIBytes(uint8_t option, const uint8_t* data, size_t length) {
    uei message{};
    message.type = ueiTypeBytes;
    // Sending only reads the bytes.
    message.value.bytes = const_cast<uint8_t*>(data);
    message.length = length;
    return setExchange(option, -1, &message);
}

aErr EntityClass::getTyped(uint8_t option, int subIndex, uint32_t* value) {
    uei message{};
    if (subIndex >= 0) {
        message.type = ueiTypeByte;
        message.value.byteVal = static_cast<uint8_t>(subIndex);
    }
    const aErr err = getUEI(option, &message);
    if (err != aErrNone && err != aErrStreamStale) return err;
    if (!sReplyValue(message, value)) return aErrSize;
    return err;
}

aErr EntityClass::getUEI8(uint8_t option, uint8_t* value) {
    if (!value) return aErrParam;
    uint32_t wide = 0;
    const aErr err = getTyped(option, -1, &wide);
    if (err == aErrNone || err == aErrStreamStale) *value = static_cast<uint8_t>(wide);
    return err;
}

aErr EntityClass::getUEI16(uint8_t option, uint16_t* value) {
    if (!value) return aErrParam;
    uint32_t wide = 0;
    const aErr err = getTyped(option, -1, &wide);
    if (err == aErrNone || err == aErrStreamStale) *value = static_cast<uint16_t>(wide);
    return err;
}

aErr EntityClass::getUEI32(uint8_t option, uint32_t* value) {
    if (!value) return aErrParam;
    uint32_t wide = 0;
    const aErr err = getTyped(option, -1, &wide);
    if (err == aErrNone || err == aErrStreamStale) *value = wide;
    return err;
}

aErr EntityClass::getUEI8(uint8_t option, uint8_t subIndex, uint8_t* value) {
    if (!value) return aErrParam;
    uint32_t wide = 0;
    const aErr err = getTyped(option, subIndex, &wide);
    if (err == aErrNone || err == aErrStreamStale) *value = static_cast<uint8_t>(wide);
    return err;
}

aErr EntityClass::getUEI16(uint8_t option, uint8_t subIndex, uint16_t* value) {
    if (!value) return aErrParam;
    uint32_t wide = 0;
    const aErr err = getTyped(option, subIndex, &wide);
    if (err == aErrNone || err == aErrStreamStale) *value = static_cast<uint16_t>(wide);
    return err;
}

aErr EntityClass::getUEI32(uint8_t option, uint8_t subIndex, uint32_t* value) {
    if (!value) return aErrParam;
    uint32_t wide = 0;
    const aErr err = getTyped(option, subIndex, &wide);
    if (err == aErrNone || err == aErrStreamStale) *value = wide;
    return err;
}

aErr EntityClass::getUEIBytes(uint8_t option, uint8_t* buffer, size_t capacity, size_t* received) {
    if (!buffer || !received || capacity == 0) return aErrParam;
    *received = 0;
    if (checkModule() != aErrNone) return aErrResource;
    Link* link = m_impl->link();
    aErr err = link->sendUEI(m_impl->request(static_cast<uint8_t>(option | ueiOPTION_GET)));
    if (err != aErrNone) return err;

    BytesReceive state{};
    state.message.module = m_impl->module->getModuleAddress();
    state.message.command = m_impl->command;
    state.message.option = option;
    state.message.specifier = m_impl->index;
    // The record's type and length make the link wait longer for a large array.
    state.message.type = ueiTypeBytes;
    state.message.value.bytes = buffer;
    state.message.length = capacity;
    state.buffer = buffer;
    state.capacity = capacity;
    state.received = received;
    for (;;) {
        state.error = aErrNone;
        state.more = false;
        err = link->receiveUEI(state.message.module, state.message.command, option, m_impl->index,
                               &state.message, sBytesFilter);
        if (err != aErrNone) return err;
        if (state.error != aErrNone) return state.error;
        if (!state.more) return aErrNone;
        state.expectedSequence =
            static_cast<uint8_t>((state.expectedSequence + 1) & ueiTRAILER_SEQUENCE_MASK);
    }
}

aErr EntityClass::getUEIBytesCheck(size_t* count, size_t unitSize) {
    if (!count) return aErrParam;
    if (unitSize == 0) {
        *count = 0;
        return aErrNone;
    }
    if (*count % unitSize != 0) return aErrMemory;
    *count /= unitSize;
    return aErrNone;
}

aErr EntityClass::awaitUEI32Val(uint32_t option, uint32_t* value, uint32_t) {
    if (!value) return aErrParam;
    if (checkModule() != aErrNone) return aErrResource;
    uei message{};
    message.module = m_impl->module->getModuleAddress();
    message.command = m_impl->command;
    message.option = static_cast<uint8_t>(option);
    message.specifier = m_impl->index;
    aErr err = m_impl->link()->receiveUEI(message.module, message.command, message.option,
                                          message.specifier, &message);
    if (err != aErrNone) return err;
    err = sReplyError(message);
    if (err != aErrNone) return err;
    if (message.type != ueiTypeInt) return aErrSize;
    *value = message.value.intVal;
    return aErrNone;
}

aErr EntityClass::drainUEI(uint8_t option) {
    if (checkModule() != aErrNone) return aErrResource;
    return m_impl->link()->dropMatchingUEIPackets(m_impl->module->getModuleAddress(),
                                                  m_impl->command, option, m_impl->index);
}

}  // namespace Quillmet::TessaLine
