#pragma once
// In-process front end: an aStream for the host side of a link whose far end is a SimModule, for
// tests that run the link engine against the simulator without any operating-system transport.
//
// The host's writes go to the module at once (SimModule::Receive). The module's output waits in
// the pipe until the host reads it: get answers aErrNotReady at once when no byte is waiting, like
// the socket and serial streams, and the stream's wait operation (aStream_WaitReadable) blocks
// until a byte arrives, the module hangs up, or the time is up, so a reader never spins.
//
// When the module disconnects (SimModule::Disconnect or a disconnect fault) the pipe is broken
// for good: get and write answer aErrConnection and wait returns at once. Destroying the stream
// detaches it from the module. The stream keeps the module alive while it exists.

#include <memory>

#include "SimModule.h"
#include "aStream.h"

namespace sim::tessaline {

// Creates a stream connected to `module` (attached as its transport, replacing any earlier one)
// into `*stream`, which the caller destroys with aStream_Destroy. aErrParam for a null module
// or output pointer; aErrMemory when the stream can't be made.
aErr CreatePipeStream(std::shared_ptr<SimModule> module, aStreamRef* stream);

}  // namespace sim::tessaline
