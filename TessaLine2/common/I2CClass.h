#pragma once
// The I2C bus entity of a module (command 8): reads and writes of up to 23 bytes to a device on
// the module's I2C bus, and the bus pull-up. A routing module's bus is its device network: a
// write that a device acknowledges shows that a module sits at that address.
//
// Raw packets through the entity (reply wait 1000 ms):
//   read    8, index, address | 1, length, speed  -> 8, index, address | 1, count, status, data
//   write   8, index, address, length, speed, data -> 8, index, address, 0, status
//   pull-up 8, index, 1, on                        -> 8, index, 1, on, status
// A status with bit 7 set is a refusal; its low 7 bits are the aErr code.

#include <cstdint>

#include "EntityClass.h"

namespace Quillmet::TessaLine {

inline constexpr uint8_t kI2CCommand = 8;
inline constexpr uint8_t kI2CMaxTransfer = 23;
inline constexpr uint8_t kI2CMaxSpeed = 3;

class I2CClass : public EntityClass {
  public:
    I2CClass() = default;
    ~I2CClass() override = default;

    // Binds the entity to `module` with command 8 and `index`; speed 0.
    void init(Module* module, uint8_t index);

    // Reads `length` bytes from the device at `address` into `data`. aErrSize for more than 23
    // bytes; aErrParam for null data with a length; aErrPacket for a reply of 4 bytes or fewer,
    // or one announcing more bytes than it carries; the device's or module's code for a refusal;
    // aErrTimeout when nothing answered; aErrResource without module or link.
    aErr read(uint8_t address, uint8_t length, uint8_t* data);
    // Writes `length` bytes to the device at `address`. Errors as read.
    aErr write(uint8_t address, uint8_t length, const uint8_t* data);
    // Switches the bus pull-up on or off. Errors as read.
    aErr setPullup(bool on);
    // The speed (0 to 3) sent with every transfer; nothing is sent. aErrParam above 3.
    aErr setSpeed(uint8_t speed);
    // aErrParam for a null pointer.
    aErr getSpeed(uint8_t* speed) const;

  private:
    // Waits for the reply whose payload starts with `match`, and checks its length and status.
    aErr awaitReply(const uint8_t* match, uint8_t matchLength, uint8_t* reply, uint8_t* length);

    uint8_t speed = 0;
};

}  // namespace Quillmet::TessaLine
