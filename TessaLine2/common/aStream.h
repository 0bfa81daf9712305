#pragma once
// Byte stream: the one abstraction through which the link engine and the serial recovery loader
// read and write bytes. A stream is a table of transport operations (get one byte, put one byte,
// write a block, delete, an optional bounded wait for readability and an optional interruption
// of the reading side) plus the transport's own state, and a push-back ring kept by the stream
// itself. Files, TCP sockets and serial ports (aStream_File, aStream_Socket, aStream_Serial), USB
// endpoints and the link-server client fill in the same table in their own modules.
//
// Threads: a stream is not locked. One thread may read (get, wait, the push-back ring and every
// read function below) while one other thread writes (put, write); the transports tolerate that.
// aStream_Interrupt may be called from any thread. Destroying a stream while another thread uses
// it is forbidden.

#include <cstddef>
#include <cstdint>

#include "aError.h"

// Transport operations. Each takes the transport state given to aStream_Create.
//   get:    one byte into `*byte`; aErrNotReady when no byte is waiting, aErrEOF at the end.
//   put:    one byte.
//   write:  `length` bytes in one call.
//   remove: releases the transport state; its result becomes aStream_Destroy's result.
//   wait:   waits up to `msTimeout` ms until get has something to report (a byte, an error or the
//           end); aErrNone then, aErrTimeout when nothing came. It never consumes a byte.
//   interrupt: with true, makes a get or wait in progress on the reading thread return promptly
//           (get with aErrNotReady, wait with aErrTimeout) and every later get and wait do the
//           same at once, until it is called with false. Called from any thread.
typedef aErr (*aStreamGetProc)(uint8_t* byte, void* state);
typedef aErr (*aStreamPutProc)(const uint8_t* byte, void* state);
typedef aErr (*aStreamWriteProc)(const uint8_t* bytes, size_t length, void* state);
typedef aErr (*aStreamDeleteProc)(void* state);
typedef aErr (*aStreamWaitProc)(uint32_t msTimeout, void* state);
typedef aErr (*aStreamInterruptProc)(bool interrupted, void* state);

struct aStream;
typedef aStream* aStreamRef;

// A new stream over `state` with an empty push-back ring; any operation may be null. The stream
// owns `state` from now on and releases it through `remove` at aStream_Destroy. Returns null
// when memory is exhausted (the state is then still the caller's).
aStreamRef aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                          aStreamDeleteProc remove, void* state);

// Installs (or, with null, removes) the optional wait operation. aErrParam for an invalid stream.
aErr aStream_SetWait(aStreamRef stream, aStreamWaitProc wait);

// Waits up to `msTimeout` ms until a read can make progress, so that a reader whose transport
// answers at once with aErrNotReady need not poll continuously. Returns aErrNone at once when the
// push-back ring holds bytes or the stream has no wait operation (its get paces itself), else
// the wait operation's answer: aErrNone when get has something to report, aErrTimeout when
// nothing came. aErrParam for an invalid stream.
aErr aStream_WaitReadable(aStreamRef stream, uint32_t msTimeout);

// Installs (or, with null, removes) the optional interrupt operation. Install it before the
// stream is shared between threads. aErrParam for an invalid stream.
aErr aStream_SetInterrupt(aStreamRef stream, aStreamInterruptProc interrupt);

// Interrupts (`interrupted` true) or resumes (false) the reading side through the interrupt
// operation, so that a reader blocked in the transport (a USB read waits up to 1000 ms) can be
// let go without waiting out its time-out. Safe from any thread while the stream exists. Bytes in
// the push-back ring are not touched. Returns the operation's answer, or aErrNone when the stream
// has none (its reads and waits end on their own, within their bounded time). aErrParam for an
// invalid stream.
aErr aStream_Interrupt(aStreamRef stream, bool interrupted);

// Reads exactly `size` bytes into `buffer`, pushed-back bytes first.
//  - aErrNone: all bytes read.
//  - aErrNotReady: the stream ran dry; the bytes obtained are pushed back (a later read sees them
//    again), nothing is copied.
//  - aErrEOF: the end came first; the bytes obtained are copied to the front of `buffer`.
//  - any other transport error: nothing is copied and the bytes obtained are dropped, since they
//    belong to an exchange the transport has just broken.
// aErrParam for an invalid stream or null buffer; aErrMode when the stream has no get;
// aErrResource when the temporary buffer can't be had; aErrMemory when bytes can't be pushed back.
aErr aStream_Read(aStreamRef stream, uint8_t* buffer, size_t size);

// Writes `length` bytes: one write call for a block of two or more bytes when the stream has
// write, else one put per byte, stopping at the first error (a single byte goes through write when
// there is no put). Zero bytes write nothing. aErrParam for an invalid stream or null bytes;
// aErrMode when the stream has neither write nor put.
aErr aStream_Write(aStreamRef stream, const uint8_t* bytes, size_t length);

// Appends one byte to the push-back ring; reads return ring bytes first, in the order buffered.
// The ring is 512 bytes at first use and grows by 512 bytes, keeping the order.
// aErrParam for an invalid stream; aErrMemory when storage can't be had.
aErr aStreamBufferChar(aStreamRef stream, uint8_t byte);

// Calls the stream's delete operation, frees the stream and sets `*stream` to null (also for an
// invalid stream). Returns delete's result; aErrParam for a null or invalid stream.
aErr aStream_Destroy(aStreamRef* stream);

// Moves bytes from `source` (get) to `destination` (put) until the source's get fails; the
// source's push-back ring is not consulted. The end of the source (aErrEOF) ends with aErrNone;
// any other source or destination error is returned. aErrParam for an invalid stream; aErrMode
// when the source has no get or the destination no put.
aErr aStream_Flush(aStreamRef source, aStreamRef destination);

// Reads one record into `buffer`: bytes up to the terminator (consumed, not stored) or until
// `bufferSize` bytes are stored. A terminator is recognised when its last byte arrives, so bytes
// of a terminator prefix that a different byte then breaks stay in the record as data.
// `length` (optional) receives the number of bytes stored.
//  - aErrNone: a record; the end of the stream after at least one byte also ends one.
//  - aErrEOF: the stream ended before any byte (`length` 0).
//  - aErrNotReady: the stream ran dry; every byte read so far is pushed back so that the next
//    call reads the whole record again; nothing is copied.
//  - any other transport error is returned; nothing is copied.
// aErrParam for an invalid stream, a null buffer or terminator, or a terminator length of 0;
// aErrMode when the stream has no get; aErrResource when the temporary buffer can't be had.
aErr aStream_ReadRecord(aStreamRef stream, uint8_t* buffer, size_t* length, size_t bufferSize,
                        const uint8_t* terminator, size_t terminatorLength);

// Writes `length` bytes, then the terminator. Errors as aStream_Write; aErrParam for a null
// terminator.
aErr aStream_WriteRecord(aStreamRef stream, const uint8_t* bytes, size_t length,
                         const uint8_t* terminator, size_t terminatorLength);

// Reads a string terminated by one zero byte: at most `bufferSize` - 1 characters, stored
// zero-terminated (also on aErrEOF, as an empty string). Results as aStream_ReadRecord;
// aErrParam for a `bufferSize` of 0.
aErr aStream_ReadCString(aStreamRef stream, char* buffer, size_t bufferSize);

// Writes the characters of `text` and one zero byte. aErrParam for a null text.
aErr aStream_WriteCString(aStreamRef stream, const char* text);

// Reads a record terminated by the characters of `terminatorText` (not its zero byte), stored
// zero-terminated, at most `bufferSize` - 1 characters. Zero bytes before the first character of
// the record are skipped: aStream_WriteCStringRecord ends every record with one, and a C string
// can't begin with it. Results as aStream_ReadRecord; aErrParam for a null or empty terminator
// text or a `bufferSize` of 0.
aErr aStream_ReadCStringRecord(aStreamRef stream, char* buffer, size_t bufferSize,
                               const char* terminatorText);

// Writes the characters of `text`, then the characters of `terminatorText` followed by its zero
// byte. aErrParam for a null text or terminator text.
aErr aStream_WriteCStringRecord(aStreamRef stream, const char* text, const char* terminatorText);
