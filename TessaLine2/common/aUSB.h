#pragma once
// USB transport: a module attached by USB, reached through the bulk endpoint pair of its link
// interface, as a byte stream for the link engine.
//
// Two paths lead to a module. When the module's kernel driver offers the device node
// "/dev/tessaline.%08X", the node is used as a file: whole blocks are written, every read
// delivers one byte, and a read failing with "bad address" means that no byte is waiting.
// Otherwise the module is driven from user space through libusb: writes go out in chunks of the
// OUT endpoint's packet size (a 512-byte chunk goes as 511), reads take up to 1024 bytes per
// transfer into a receive buffer and serve them byte by byte, waiting at most 1000 ms.
//
// Interruption: another thread may interrupt the reading side of a record (the link engine does
// so when it stops). An IN transfer in flight is cancelled at once and the waiting get returns
// aErrNotReady; later gets return aErrNotReady without asking the device, and the stream's wait
// returns at once, until the interruption is cleared. Writes are not affected. Bytes received
// before the interruption stay buffered for the gets after it.
//
// Error tolerance (libusb path): a device record hides its first four consecutive I/O errors
// (a read reports aErrNotReady instead, a write aErrWrite or, when every byte went out,
// aErrNone); the fifth is reported as aErrIO and leaves the record failed: every later read and
// write answers aErrIO until the record is reopened. Any other result ends the run of errors.
//
// Threads: one libusb context serves the whole process; it is created on first use, and created
// and ended under one mutex. A device record may be used by one reading thread (get, wait) and
// one writing thread (write, put) at once: they use separate endpoints and buffers, and share
// only the record's state and error count, which are atomic (a failure seen by one direction is
// seen by the other on its next call). tlusb_interrupt_reads may be called from any thread at any
// time while the record exists. Opening, closing and destroying a record must not overlap any
// other use of it.

#include <cstddef>
#include <cstdint>

#include "aError.h"
#include "aStream.h"

struct libusb_context;
struct libusb_device;

// Which way a device record reaches its module.
enum tlusbPath : uint32_t {
    TLUSB_PATH_KERNEL = 0,  // the kernel driver's device node
    TLUSB_PATH_LIBUSB = 1,
};

// Life of a device record.
enum tlusbState : uint32_t {
    TLUSB_STATE_INVALID = 0,  // not a device record (only tlusb_get_state answers this)
    TLUSB_STATE_CREATED = 1,
    TLUSB_STATE_CLOSED = 2,  // closed, or the open failed
    TLUSB_STATE_FOUND = 3,   // device opened, link interface not claimed yet
    TLUSB_STATE_READY = 4,
    TLUSB_STATE_FAILED = 5,  // too many I/O errors in a row; reopen to use it again
};

// Time-outs and sizes of the libusb path.
inline constexpr unsigned aUSB_READ_TIMEOUT_MS = 1000;
inline constexpr unsigned aUSB_WRITE_TIMEOUT_MS = 50;
inline constexpr size_t aUSB_RECEIVE_BUFFER_SIZE = 1024;
inline constexpr unsigned aUSB_WRITE_MAX_ERRORS = 10;    // failed transfers per write call
inline constexpr unsigned aUSB_TOLERATED_IO_ERRORS = 4;  // hidden; the next one is reported
inline constexpr unsigned aUSB_KERNEL_MAX_WRITE_CALLS = 1000;

// The link interface of a module: class, subclass and protocol.
inline constexpr uint8_t aUSB_LINK_CLASS = 0xFF;
inline constexpr uint8_t aUSB_LINK_SUBCLASS = 0x88;
inline constexpr uint8_t aUSB_LINK_PROTOCOL = 0x10;

// --- Shared libusb context --------------------------------------------------------------------

// The process-wide libusb context, created first when it does not exist yet. Null when libusb
// can't be initialised. Shared by every device record and by USB discovery; never free it.
libusb_context* TessaLine_libusb_context();

// The same as TessaLine_libusb_context.
libusb_context* TessaLine_libusb_init();

// Ends the shared context and forgets it; the next use creates a new one. Refused with aErrBusy
// (nothing changed) while a libusb device record is open, since its handle lives in the context.
// aErrNone otherwise, also when no context exists.
aErr TessaLine_libusb_exit();

// --- Module identification --------------------------------------------------------------------

// The USB vendor identifier of TessaLine modules, fixed by the build.
uint16_t tlusb_vendor_id();

// True when `device` is a TessaLine module: its device descriptor can be read, its vendor is
// tlusb_vendor_id() and bit 15 of its product identifier is clear (the low byte of the product
// identifier is then the module's model number). False for null.
bool is_tessaline_device(libusb_device* device);

// True when the kernel driver's node "/dev/tessaline.%08X" exists for `serialNumber` and is not
// a folder.
bool tlusb_is_kernel_driver_installed(uint32_t serialNumber);

// --- Device records ---------------------------------------------------------------------------

struct tlusb_device;
typedef tlusb_device* tlusbRef;

// A new record in state TLUSB_STATE_CREATED on `path`; for the libusb path the shared context is
// made ready first. Null for an unknown path, when memory is short or libusb can't be
// initialised. The caller releases it with tlusb_destroy.
tlusbRef tlusb_create_usb(uint32_t path);

// Opens the module whose serial-number string is exactly `serialText` (eight upper-case hex
// digits, "%08X") on the record's path. A record that is still open is closed first.
//  libusb path: lists the USB devices and opens the first TessaLine module with that serial
//  string (no kernel driver is detached, no configuration selected), finds its link interface
//  and claims it. aErrNotFound when no module matches; aErrConfiguration when the link interface
//  lacks an IN or OUT endpoint (or one with packet size 0) or the configuration can't be read;
//  aErrBusy when the interface is taken or the device went away; aErrPermission when access is
//  denied; aErrUnknown for another claim failure; aErrResource when the device list can't be had.
//  kernel path: opens "/dev/tessaline." + `serialText` read-write, blocking. aErrBusy when the
//  node is busy; aErrIO for any other failure.
// On success the state is TLUSB_STATE_READY and the error count 0; on failure the state is
// TLUSB_STATE_CLOSED. aErrParam for an invalid record or a serial text that is null, empty or
// longer than 8 characters.
aErr tlusb_open_tessaline_device(tlusbRef record, const char* serialText);

// Writes `length` bytes to the module.
//  libusb path: chunks of the OUT endpoint's packet size, each one bulk transfer with a 50 ms
//  time-out; a stalled endpoint has its halt cleared; at most 10 failed transfers per call.
//  aErrWrite when bytes are left unsent; aErrIO when a halt could not be cleared or the device
//  went away (subject to the error tolerance); aErrConnection when the record is closed,
//  aErrNotReady when it was never opened, aErrIO once it has failed.
//  kernel path: up to 1000 write calls until the whole block is written; aErrIO when a call fails
//  or bytes are left over; aErrMode when no node is open.
// aErrParam for an invalid record or null bytes with a non-zero length.
aErr tlusb_write_to_device(tlusbRef record, const uint8_t* bytes, size_t length);

// Takes the next byte from the module into `*byte`.
//  libusb path: from the receive buffer; when it is empty, one bulk transfer of up to 1024 bytes
//  waiting at most 1000 ms refills it. aErrNotReady when no byte came (also after a stall, whose
//  halt is cleared, and for a tolerated I/O error); aErrIO once the tolerance is used up, and
//  from then on; aErrConnection when the record is closed, aErrNotReady when it was never opened.
//  kernel path: one read call of one byte; aErrNotReady when none is waiting (the driver's "bad
//  address"), aErrIO for any other failure; aErrMode when no node is open.
// aErrParam for an invalid record or a null byte pointer.
aErr tlusb_get_from_device(tlusbRef record, uint8_t* byte);

// Closes the module; the state becomes TLUSB_STATE_CLOSED.
//  libusb path: releases the link interface and closes the handle; aErrMode when no handle is
//  open. kernel path: closes the node when one is open; aErrCancel when closing fails (the
//  descriptor is gone all the same).
// aErrParam for an invalid record.
aErr tlusb_close_tessaline_device(tlusbRef record);

// Closes whatever is still open, frees the record and sets `*record` to null. aErrParam for a
// null pointer or an invalid record (nothing is freed then).
aErr tlusb_destroy(tlusbRef* record);

// Interrupts (`interrupted` true) or resumes (false) the reading side of the record, from any
// thread: a get waiting for an IN transfer returns aErrNotReady promptly (its transfer is
// cancelled), and every get returns aErrNotReady at once, without asking the device and without
// touching the error count, until the interruption is cleared. Interrupting and resuming at once
// lets a get that is waiting go once (aErrNotReady, not counted as an error); a get that had not
// yet submitted its transfer is not affected then. Writes go on as before. The interruption
// survives closing and reopening. aErrParam for an invalid record.
aErr tlusb_interrupt_reads(tlusbRef record, bool interrupted);

// The record's state; TLUSB_STATE_INVALID for a null or invalid record.
tlusbState tlusb_get_state(tlusbRef record);

// --- USB stream -------------------------------------------------------------------------------

// Opens the module `serialNumber` and returns a stream over it in `*stream` (the caller's to
// destroy). The kernel driver's node is used when it exists for the serial number (USB devices
// are then not enumerated), else libusb. get, put, write and delete work as the device functions
// above; the wait operation (aStream_WaitReadable) returns at once when the last get already
// waited out its 1000 ms time-out, and otherwise sleeps the time given, so a reader whose get
// fails at once does not spin. The stream's interrupt operation (aStream_Interrupt) is
// tlusb_interrupt_reads, which also ends such a sleep at once. Destroying the stream closes the
// module and returns the close result (the stream's resources are released either way).
// aErrParam for a serial number of 0 or a null output pointer; aErrMemory when memory is short;
// aErrResource when the device record can't be made; otherwise the open errors above.
aErr aStream_CreateUSB(uint32_t serialNumber, aStreamRef* stream);
