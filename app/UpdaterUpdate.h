#pragma once
// The two transfer phases and the file check of the update command (Updater::Update_Firmware),
// open to the tests and to the recovery flow, which writes a module the same way once its loader
// runs.

#include "BirdFile.h"
#include "Module.h"
#include "UpdaterDisplayInterface.h"
#include "aError.h"

// The update flow's attempts per firmware block, and its reconnects after the loader started.
inline constexpr int kFirmwareBlockAttempts = 5;
inline constexpr int kLoaderReconnectAttempts = 15;
inline constexpr uint32_t kLoaderReconnectDelayMs = 1000;

// True when `bird` belongs to the connected `module` whose serial number should be `serial`: the
// image has blocks and is generic or made for `serial`, the module reports `serial`, and the
// image's model matches the module's model name.
bool _validate_birdfile(UpdaterDisplayInterface& display, const BirdFile& bird,
                        Quillmet::TessaLine::Module& module, uint32_t serial);

// Transfers the loader blocks of `bird` into the running module and starts the loader. aErrNone
// when the loader was started (a LOAD that timed out counts as started); otherwise the error of
// the last step run.
aErr _transfer_loader(UpdaterDisplayInterface& display, Quillmet::TessaLine::Module& module,
                      const BirdFile& bird);

// Transfers the firmware blocks of `bird` to the loader (each block up to kFirmwareBlockAttempts
// times) and tells the module to reboot into them. `routed`: the module sits behind a router,
// whose link does not drop at the reboot. `ueiBytes`: use the byte-array path and pooled packets
// when the module offers them. aErrNone when every block was written and the reboot was sent.
aErr _transfer_firmware(UpdaterDisplayInterface& display, Quillmet::TessaLine::Module& module,
                        const BirdFile& bird, bool routed, bool ueiBytes);
