#include "UpdaterEntity.h"

#include <algorithm>

#include "Link.h"
#include "Log.h"
#include "SystemClass.h"
#include "aLinkSpec.h"
#include "aTime.h"

namespace Quillmet::TessaLine {

namespace {

constexpr uint8_t kUEIDataOption = 10;
constexpr uint8_t kSetAccess = 0x80;
constexpr uint32_t kPooledPacketsFeature = 0x80000000u;

uint32_t sBigEndian32(const uint8_t* bytes) {
    return (uint32_t(bytes[0]) << 24) | (uint32_t(bytes[1]) << 16) | (uint32_t(bytes[2]) << 8) |
           uint32_t(bytes[3]);
}

uint32_t sSum(const uint8_t* data, uint32_t length) {
    uint32_t sum = 0;
    for (uint32_t i = 0; i < length; ++i) sum += data[i];
    return sum;
}

}  // namespace

UpdaterEntity::UpdaterEntity() = default;
UpdaterEntity::~UpdaterEntity() = default;

void UpdaterEntity::init(Module* target, uint8_t index, bool validate, bool skipWait) {
    module = target;
    validateBlocks = validate;
    skipRebootWait = skipWait;
    useUEIData = false;
    EntityClass::init(target, cmdUPGRADE, index);
}

aErr UpdaterEntity::sendUpgrade(uint8_t subCommand, const uint8_t* data, uint8_t length) {
    uint8_t payload[27] = {subCommand};
    if (length > sizeof(payload) - 1) return aErrParam;
    std::copy(data, data + length, payload + 1);
    return sendPacket(cmdUPGRADE, uint8_t(length + 1), payload);
}

aErr UpdaterEntity::receiveUpgrade(uint8_t replySubCommand, uint8_t* reply, uint8_t* length) {
    const uint8_t match[2] = {cmdUPGRADE, replySubCommand};
    std::copy(match, match + 2, reply);
    *length = 2;
    return receivePacket(match, length, reply);
}

aErr UpdaterEntity::LoaderInit() {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Initialization {cmdUPGRADE, val_UPGRADE_INIT}\n");
    aErr err = sendUpgrade(val_UPGRADE_INIT, nullptr, 0);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_INIT (%d)\n", err);
        return err;
    }
    uint8_t reply[28];
    uint8_t length = 0;
    err = receiveUpgrade(val_UPGRADE_INIT, reply, &length);
    if (err != aErrNone) return err;
    if (length <= 5) return aErrPacket;
    const uint32_t loadBase = sBigEndian32(reply + 2);
    Log::log(DEBUG_Network_FIRM, "NETWORK: load base = %d [%08X]\n", int(loadBase), loadBase);
    return aErrNone;
}

aErr UpdaterEntity::TransferPrepare(const uint8_t* block, uint32_t length, uint8_t flags,
                                    uint16_t& blockSize) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: TransferPrepare(..., %d, %02X, %d)\n", int(length),
             flags, blockSize);
    if (block == nullptr || length < 4) return aErrParam;
    Log::log(DEBUG_Network_FIRM,
             "NETWORK: TransferPrepare {cmdUPGRADE, val_UPGRADE_PREPARE, %02X, [%02X %02X %02X "
             "%02X]} \n",
             flags, block[0], block[1], block[2], block[3]);
    Log::log(DEBUG_Network_FIRM, "NETWORK: Address: %d\n", int(sBigEndian32(block)));
    const uint8_t request[5] = {flags, block[0], block[1], block[2], block[3]};
    aErr err = sendUpgrade(val_UPGRADE_PREPARE, request, sizeof(request));
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_PREPARE (%d)\n", err);
        return err;
    }
    uint8_t reply[28];
    uint8_t replyLength = 0;
    err = receiveUpgrade(val_UPGRADE_STATUS, reply, &replyLength);
    if (err != aErrNone) return err;
    if (replyLength < 3 || reply[2] != 0) {
        Log::log(DEBUG_Network_FIRM,
                 "NETWORK: Invalid or error reply when initializing loader for firmware.\n");
        return aErrInvalidOption;
    }
    if (replyLength < 5) {
        Log::log(0, "NETWORK: PREPARE reply of %d bytes carries no block size.\n", replyLength);
        return aErrPacket;
    }
    const uint16_t announced = uint16_t((reply[3] << 8) | reply[4]);
    // A block size of 0 would make the firmware transfer loop without progress.
    if (announced == 0) {
        Log::log(0, "NETWORK: Loader announced a block size of 0; transfer refused.\n");
        return aErrInvalidOption;
    }
    blockSize = announced;
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated firmware init [%d block size]\n",
             blockSize);
    return aErrNone;
}

aErr UpdaterEntity::LoaderTransfer(const uint8_t* block, uint32_t length) {
    if (block == nullptr || length < 4) return aErrParam;
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Transfer (addr=%08X, len=%d)\n",
             sBigEndian32(block), int(length - 4));
    uint32_t blocks = 0;
    return _block_transfer(block + 4, length - 4, blocks);
}

aErr UpdaterEntity::_block_transfer_uei_helper(const uint8_t* data, uint32_t length,
                                               uint32_t& blocks, uint32_t& sum) {
    Log::log(DEBUG_Network_FIRM,
             "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA_UEI, %d} \n", int(length));
    const aErr err = setUEIBytes(kUEIDataOption, data, length);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_DATA_UEI (%d)\n", err);
        return err;
    }
    sum += sSum(data, length);
    blocks = 1;
    return aErrNone;
}

aErr UpdaterEntity::_block_transfer(const uint8_t* data, uint32_t length, uint32_t& blocks) {
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: Block Transfer\n");
    uint32_t sum = 0;
    uint32_t remaining = length;
    aErr err = aErrNone;

    if (useUEIData) {
        err = _block_transfer_uei_helper(data, length, blocks, sum);
        if (err != aErrNone) return err;
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d bytes \n", int(length));
        remaining = 0;
    } else {
        uint32_t resends = 0;
        while (remaining > 0 && err == aErrNone) {
            const uint32_t piece = std::min(remaining, kMaxDataPiece);
            const uint8_t* at = data + (length - remaining);
            Log::log(DEBUG_Network_FIRM,
                     "\nNETWORK: Block Transfer {cmdUPGRADE, val_UPGRADE_DATA, %d} \n", int(piece));
            err = sendUpgrade(val_UPGRADE_DATA, at, uint8_t(piece));
            if (err != aErrNone) {
                Log::log(DEBUG_Network_FIRM, "\nNETWORK: Error sending UPGRADE_DATA (%d)\n", err);
                return err;
            }
            uint8_t reply[28];
            uint8_t replyLength = 0;
            if (receiveUpgrade(val_UPGRADE_DATA, reply, &replyLength) != aErrNone) {
                Log::log(DEBUG_Network_FIRM,
                         "\nNETWORK(DATA): No reply when initializing upgrade.\n");
                err = aErrPacket;
                break;
            }
            const int accepted = replyLength >= 3 ? reply[2] : -1;
            if (accepted != int(piece)) {
                Log::log(DEBUG_Network_FIRM,
                         "\nNETWORK: Invalid upgrade transfer response [%d != %d].\n", accepted,
                         int(piece));
                if (++resends > kMaxDataResends) {
                    Log::log(
                        0, "\nNETWORK: Upgrade transfer response still wrong after %d re-sends.\n",
                        int(kMaxDataResends));
                    err = aErrPacket;
                }
                continue;
            }
            resends = 0;
            sum += sSum(at, piece);
            remaining -= piece;
            ++blocks;
            Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n",
                     int(piece), int(remaining), int(length));
        }
    }
    Log::log(DEBUG_Network_FIRM, "\nNETWORK: transferred %d of %d bytes\n", int(length - remaining),
             int(length));
    if (err != aErrNone || !validateBlocks) return err;
    return validateTransfer(sum, blocks);
}

aErr UpdaterEntity::validateTransfer(uint32_t sum, uint32_t blocks) {
    Log::log(DEBUG_Network_FIRM,
             "\nNETWORK: Block Transfer Validation {cmdUPGRADE, val_UPGRADE_SUM}\n");
    (void)sendUpgrade(val_UPGRADE_SUM, nullptr, 0);
    uint8_t reply[28];
    uint8_t length = 0;
    if (receiveUpgrade(val_UPGRADE_STATUS, reply, &length) != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "\nNETWORK(STATUS): No reply when initializing upgrade.\n");
        return aErrPacket;
    }
    const uint8_t status = length >= 3 ? reply[2] : 0xFF;
    // A reply without its 4 checksum bytes cannot confirm anything.
    const bool complete = length >= 7;
    const uint32_t checksum = complete ? sBigEndian32(reply + 3) : 0;
    if (complete && status == 0 && checksum == sum) {
        Log::log(DEBUG_Network_FIRM,
                 "\nNETWORK: Validate transfer [%02X] [%08X == %08X][%d blocks].\n", status, sum,
                 checksum, int(blocks));
        return aErrNone;
    }
    Log::log(0, "\nNETWORK: Unable to validate transfer [%02X] [%08X != %08X].\n", status, sum,
             checksum);
    return aErrInvalidOption;
}

aErr UpdaterEntity::_reconnect(uint32_t delayMs) {
    if (module == nullptr) return aErrResource;
    module->disconnect();
    aErr err = aErrConnection;
    for (uint32_t attempt = 1; attempt <= kReconnectAttempts; ++attempt) {
        Log::log(DEBUG_NetworkLink, "NETWORK: Attempting to reconnect. Attempt: %d of %d\n",
                 int(attempt), int(kReconnectAttempts));
        err = module->reconnect();
        if (err == aErrNone) {
            Log::log(DEBUG_NetworkLink, "NETWORK: Reconnected to device\n");
            return aErrNone;
        }
        Log::log(DEBUG_NetworkLink, "NETWORK: Couldn't reconnect to device delaying: %d ms\n",
                 int(delayMs));
        aTime_MSSleep(delayMs);
    }
    // The loader may come up without the module's serial number, under the default one.
    for (uint32_t attempt = 1; attempt <= kReconnectAttempts; ++attempt) {
        Log::log(DEBUG_NetworkLink,
                 "NETWORK: Attempting to reconnect DEFAULT sn. Attempt: %d of %d\n", int(attempt),
                 int(kReconnectAttempts));
        err = module->connect(USB, kDefaultSerialNumber);
        if (err == aErrNone) {
            Log::log(DEBUG_NetworkLink, "NETWORK: Reconnected to device\n");
            return aErrNone;
        }
        Log::log(DEBUG_NetworkLink, "NETWORK: Couldn't reconnect to device delaying: %d ms\n",
                 int(delayMs));
        aTime_MSSleep(delayMs);
    }
    return err;
}

aErr UpdaterEntity::LoaderStart() {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader Start {cmdUPGRADE, val_UPGRADE_LOAD}\n");
    aErr err = sendUpgrade(val_UPGRADE_LOAD, nullptr, 0);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_LOAD (%d)\n", err);
        return err;
    }
    uint8_t reply[28];
    uint8_t length = 0;
    if (receiveUpgrade(val_UPGRADE_LOAD, reply, &length) == aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start\n");
        return aErrNone;
    }
    err = _reconnect(kReconnectDelayMs);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Invalid or reply when starting loader. [%d, %s]\n",
                 err, aError_GetErrorText(err));
        return aErrTimeout;
    }
    err = receiveUpgrade(val_UPGRADE_LOAD, reply, &length);
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM,
                 "NETWORK: Invalid or reply when starting loader (Reconnect). [%d, %s]\n", err,
                 aError_GetErrorText(err));
        return aErrTimeout;
    }
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated start (Reconnect)\n");
    return aErrNone;
}

aErr UpdaterEntity::CheckUEIDataSupport() {
    const aErr err =
        module ? module->hasUEI(cmdUPGRADE, kUEIDataOption, getIndex(), kSetAccess) : aErrResource;
    Log::log(DEBUG_Network_FIRM, "NETWORK: CheckUEIDataSupport: Error: %d\n", err);
    if (err == aErrNone) useUEIData = true;
    return err;
}

aErr UpdaterEntity::CheckPooledPacketsSupport() {
    if (module == nullptr) return aErrResource;
    SystemClass system;
    system.init(module, 0);
    uint32_t features = 0;
    const aErr err = system.getProtocolFeatures(&features);
    Log::log(DEBUG_Network_FIRM, "NETWORK: Protocol Version: %d Error: %d\n", int(features), err);
    if (err != aErrNone) return err;
    if ((features & kPooledPacketsFeature) == 0) return aErrNone;
    Link* link = module->getLink();
    return link ? link->enablePooledPackets(true) : aErrConnection;
}

aErr UpdaterEntity::FirmwareWrite(uint32_t count) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Write {cmdUPGRADE, val_UPGRADE_WRITE, %d}\n\n",
             int(count));
    if (count > 0xFFFF) return aErrParam;
    const uint8_t request[2] = {uint8_t(count >> 8), uint8_t(count)};
    aErr err = sendUpgrade(val_UPGRADE_WRITE, request, sizeof(request));
    if (err != aErrNone) {
        Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending UPGRADE_WRITE (%d, %s)\n", err,
                 aError_GetErrorText(err));
        return err;
    }
    uint8_t reply[28];
    uint8_t length = 0;
    err = receiveUpgrade(val_UPGRADE_STATUS, reply, &length);
    if (err != aErrNone || length < 3 || reply[2] != 0) {
        Log::log(DEBUG_Network_FIRM,
                 "NETWORK: invalid or error reply when loader writing firmware.\n\n");
        return aErrInvalidOption;
    }
    Log::log(DEBUG_Network_FIRM, "NETWORK: Loader validated write\n\n");
    return aErrNone;
}

aErr UpdaterEntity::FirmwareTransfer(const uint8_t* block, uint32_t length, uint16_t blockSize,
                                     UpdaterDisplayInterface& display) {
    if (block == nullptr || length < 4 || blockSize == 0) {
        Log::log(0, "NETWORK: Failed to transfer firmware\n");
        return aErrParam;
    }
    Log::log(DEBUG_Network_FIRM, "NETWORK: Firmware Transfer (addr=%08X, len=%d)\n",
             sBigEndian32(block), int(length - 4));
    uint32_t remaining = length - 4;
    const uint8_t* at = block + 4;
    Log::SetTimestamped(false);
    display.display_progress(true);
    aErr err = aErrNone;
    uint32_t blocks = 0;
    while (remaining > 0 && err == aErrNone) {
        const uint32_t piece = std::min<uint32_t>(remaining, blockSize);
        err = _block_transfer(at, piece, blocks);
        if (err != aErrNone) break;
        at += piece;
        remaining -= piece;
        ++blocks;
        display.update_progress(double(length - remaining) / double(length), nullptr);
        Log::log(DEBUG_Network_FIRM, "\nNETWORK: accepted %d more bytes (%d of %d remaining)\n",
                 int(piece), int(remaining), int(length));
        err = FirmwareWrite(piece);
    }
    display.display_progress(false);
    Log::log(DEBUG_Network_FIRM, "NETWORK: transferred %d of %d bytes\n", int(length - remaining),
             int(length));
    if (err != aErrNone) Log::log(0, "NETWORK: Failed to transfer firmware\n");
    return err;
}

aErr UpdaterEntity::LoaderReboot(UpdaterDisplayInterface& display) {
    Log::log(DEBUG_Network_FIRM, "NETWORK: LoaderReboot {cmdUPGRADE, val_UPGRADE_REBOOT}\n");
    aErr result = sendUpgrade(val_UPGRADE_REBOOT, nullptr, 0);
    if (result != aErrNone) Log::log(DEBUG_Network_FIRM, "NETWORK: Error sending Loader REBOOT\n");
    uint32_t waited = 0;
    while (module != nullptr && module->isConnected()) {
        // A module that keeps its link after REBOOT must not hold the update forever: after the
        // limit the flow goes on as if the link had dropped.
        if (waited >= kRebootWaitLimitMs) {
            Log::log(0, "NETWORK: Link still up %d ms after REBOOT; no longer waiting.\n",
                     int(waited));
            break;
        }
        aTime_MSSleep(kRebootPassMs);
        waited += kRebootPassMs;
        display.update_spinner(true, "Verifying Update");
        Log::log(DEBUG_Network_FIRM, "Waiting for link to drop.\n");
        Log::log(DEBUG_Network_FIRM, "Rebooting Device\n");
        if (skipRebootWait) break;
    }
    display.update_spinner(false, "Verifying Update");
    return result;
}

}  // namespace Quillmet::TessaLine
