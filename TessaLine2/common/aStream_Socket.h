#pragma once
// Byte stream over a TCP connection to a module's network port.
//
// The connection is made blocking, then switched to non-blocking with Nagle off, no receive
// time-out and a zero linger (closing resets the connection). get answers at once: aErrNotReady
// when no byte is waiting, also when the peer has closed its side. A connection found reset or
// broken is re-established in place, by get when its peek fails and by write when a send fails or
// the peer has closed its side; a failed re-connection leaves the stream disconnected, and every
// later get and write answers aErrConnection. The wait operation (aStream_WaitReadable) sleeps in
// poll() instead, for at most the time given.
//
// Threads: one reader and one writer may use the stream at once. A mutex serialises each socket
// call with the replacement of the descriptor, so neither side ever uses a descriptor that the
// other is closing; the writer's 60 ms retry pauses are taken outside it.

#include <cstdint>

#include "aStream.h"

// Connects to `ipAddress` (IPv4, network byte order as in a socket address) and `port` (host
// order) and returns the stream in `*stream` (the caller's to destroy). aErrParam for a null
// output pointer; aErrResource for any other failure, the refused connection included.
aErr aStream_CreateSocket(uint32_t ipAddress, uint16_t port, aStreamRef* stream);
