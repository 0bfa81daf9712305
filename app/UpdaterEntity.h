#pragma once
// The module's firmware-upgrade command set (command 95), spoken by the update flow in two
// phases: a loader image is transferred into the running module and started, then the firmware
// image is transferred to the loader piece by piece, each piece checksummed and committed, and
// the loader is told to reboot into the new firmware.
//
// Wire format (payload bytes, multi-byte numbers big-endian). Every request starts with 0x5F and
// a sub-command; INIT, DATA and LOAD replies echo it, PREPARE, SUM and WRITE replies carry the
// status sub-command 7 and a status byte (0 = success):
//   INIT     5F 00                      -> 5F 00 load-base(4)
//   DATA     5F 01 up to 26 bytes       -> 5F 01 count-accepted
//   LOAD     5F 02                      -> 5F 02 (often lost: the module restarts into its loader)
//   PREPARE  5F 03 flags address(4)     -> 5F 07 status block-size(2)
//   SUM      5F 04                      -> 5F 07 status checksum(4)
//   WRITE    5F 05 count(2)             -> 5F 07 status
//   REBOOT   5F 06                      -> nothing awaited
//   DATA_UEI entity-interface set of option 10 with a byte array, one set reply per piece
// A block checksum is the wrapping 32-bit sum of its bytes taken as unsigned values.
//
// Every wait is bounded: a DATA piece whose accepted count keeps disagreeing is re-sent at most
// kMaxDataResends times, the wait for the link to drop after REBOOT ends after kRebootWaitLimitMs,
// and a PREPARE reply announcing a block size of 0 is refused.
//
// The entity uses its module (never owns it); the module must outlive it. One thread at a time.

#include <cstdint>

#include "EntityClass.h"
#include "Module.h"
#include "UpdaterDisplayInterface.h"
#include "aError.h"

namespace Quillmet::TessaLine {

inline constexpr uint8_t cmdUPGRADE = 95;

enum upgradeSubCommand : uint8_t {
    val_UPGRADE_INIT = 0,
    val_UPGRADE_DATA = 1,
    val_UPGRADE_LOAD = 2,
    val_UPGRADE_PREPARE = 3,
    val_UPGRADE_SUM = 4,
    val_UPGRADE_WRITE = 5,
    val_UPGRADE_REBOOT = 6,
    val_UPGRADE_STATUS = 7,
    val_UPGRADE_DATA_UEI = 10,
};

class UpdaterEntity : public EntityClass {
  public:
    static constexpr uint32_t kMaxDataPiece = 26;      // image bytes in one DATA packet
    static constexpr uint32_t kMaxDataResends = 10;    // re-sends of one piece with a wrong count
    static constexpr uint32_t kReconnectAttempts = 5;  // per phase of _reconnect
    static constexpr uint32_t kReconnectDelayMs = 500;
    static constexpr uint32_t kRebootPassMs = 250;
    static constexpr uint32_t kRebootWaitLimitMs = 5000;
    static constexpr uint32_t kDefaultSerialNumber = 0xDEADDEAD;

    // An entity bound to no module: `module` null, block validation on.
    UpdaterEntity();
    ~UpdaterEntity() override;

    // Stores the module and the two switches, clears the byte-array path and binds the entity to
    // command 95 with `index`.
    void init(Module* module, uint8_t index, bool validateBlocks, bool skipRebootWait);

    // INIT exchange. aErrPacket for a reply of 5 bytes or fewer; send and receive errors as they
    // come (aErrTimeout when the module did not answer).
    aErr LoaderInit();

    // PREPARE exchange for a block whose payload (target address first) is `block`; sets
    // `blockSize` from the reply. aErrInvalidOption for a non-zero status or a block size of 0;
    // aErrPacket for a reply too short to carry a block size; aErrParam for a block shorter than
    // its 4 address bytes; send and receive errors as they come.
    aErr TransferPrepare(const uint8_t* block, uint32_t length, uint8_t flags, uint16_t& blockSize);

    // Sends a loader block's image (the payload after the 4 address bytes) in DATA pieces, then
    // validates it. aErrParam for a block shorter than 4 bytes; otherwise as _block_transfer.
    aErr LoaderTransfer(const uint8_t* block, uint32_t length);

    // LOAD exchange; when the reply does not come (the module restarts into its loader),
    // reconnects and waits for it once more. aErrTimeout when reconnection or the second wait
    // failed; the send error otherwise.
    aErr LoaderStart();

    // Asks the module whether option 10 of this command can be set (the byte-array data path)
    // and switches the path on when it can. The module's answer (aErrNone: supported).
    aErr CheckUEIDataSupport();

    // Reads the module's protocol features (system entity, option 45) and switches the link to
    // pooled packets when bit 31 is set. The read's error; aErrConnection without a link.
    aErr CheckPooledPacketsSupport();

    // Sends a firmware block's image in pieces of `blockSize` bytes, each validated and
    // committed with WRITE, reporting progress to `display`. The first error; aErrParam for a
    // block shorter than 4 bytes or a block size of 0.
    aErr FirmwareTransfer(const uint8_t* block, uint32_t length, uint16_t blockSize,
                          UpdaterDisplayInterface& display);

    // WRITE exchange committing `count` bytes. aErrInvalidOption for no reply or a non-zero
    // status; aErrParam for a count above 65535; the send error as it comes.
    aErr FirmwareWrite(uint32_t count);

    // REBOOT request, then waits (turning the "Verifying Update" spinner) until the link drops,
    // at most kRebootWaitLimitMs, or one pass with skipRebootWait. The send error, else aErrNone.
    aErr LoaderReboot(UpdaterDisplayInterface& display);

    // Reconnects after the module restarted: 5 attempts on the stored specifier, then 5 on USB
    // under the default serial number 0xDEADDEAD, `delayMs` apart. The last attempt's result.
    aErr _reconnect(uint32_t delayMs);

    // Sends `length` bytes as DATA pieces (or one byte array) and validates their checksum.
    // `blocks` counts the pieces accepted. aErrPacket for a missing DATA or SUM reply or a count
    // that kept disagreeing; aErrInvalidOption for a failed checksum; send errors as they come.
    aErr _block_transfer(const uint8_t* data, uint32_t length, uint32_t& blocks);

    // The byte-array variant of the data step: one set of option 10; adds the bytes to `sum`.
    aErr _block_transfer_uei_helper(const uint8_t* data, uint32_t length, uint32_t& blocks,
                                    uint32_t& sum);

    Module* module = nullptr;
    bool validateBlocks = true;
    bool skipRebootWait = false;
    bool useUEIData = false;

  private:
    // Sends 0x5F, `subCommand`, then `length` bytes of `data`.
    aErr sendUpgrade(uint8_t subCommand, const uint8_t* data, uint8_t length);
    // Waits for the reply whose first two bytes are 0x5F, `replySubCommand`; `reply` holds 28.
    aErr receiveUpgrade(uint8_t replySubCommand, uint8_t* reply, uint8_t* length);
    // The SUM exchange after a data step whose bytes added up to `sum`.
    aErr validateTransfer(uint32_t sum, uint32_t blocks);
};

}  // namespace Quillmet::TessaLine
