#include "aUSB.h"

#include <fcntl.h>
#include <libusb.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "aDefs.h"

#ifndef TESSALINE_USB_VENDOR_ID
#error "TESSALINE_USB_VENDOR_ID must be defined by the build"
#endif

namespace {

constexpr uint16_t kVendorId = TESSALINE_USB_VENDOR_ID;
constexpr uint16_t kRecordCheck = 0x05B5;
constexpr uint16_t kStreamCheck = 0xDEAD;
constexpr size_t kSerialTextMax = 8;
constexpr size_t kSerialStringMax = 256;  // the serial-number string read from a device
constexpr size_t kShortenedChunk = 512;   // a chunk of exactly this size goes out one byte shorter
constexpr uint8_t kErrorCountMax = 255;

// --- Shared libusb context --------------------------------------------------------------------

std::mutex sContextMutex;            // the USB context mutex
libusb_context* sContext = nullptr;  // guarded by sContextMutex
unsigned sOpenLibusbRecords = 0;     // guarded by sContextMutex

void sCountOpenRecord(int change) {
    std::lock_guard<std::mutex> lock(sContextMutex);
    sOpenLibusbRecords = static_cast<unsigned>(static_cast<int>(sOpenLibusbRecords) + change);
}

// --- Error translation: the one place where libusb results and errno values are read ----------

enum class Fault { None, Timeout, Stall, Busy, Gone, Denied, NothingWaiting, Interrupted, Other };

Fault sLibusbFault(int code) {
    switch (code) {
        case LIBUSB_SUCCESS:
            return Fault::None;
        case LIBUSB_ERROR_TIMEOUT:
            return Fault::Timeout;
        case LIBUSB_ERROR_PIPE:
            return Fault::Stall;
        case LIBUSB_ERROR_BUSY:
            return Fault::Busy;
        case LIBUSB_ERROR_NO_DEVICE:
            return Fault::Gone;
        case LIBUSB_ERROR_ACCESS:
            return Fault::Denied;
        case LIBUSB_ERROR_INTERRUPTED:
            return Fault::Interrupted;
        default:
            return Fault::Other;
    }
}

Fault sErrnoFault(int err) {
    switch (err) {
        case EFAULT:  // the module driver's way of saying that no byte is waiting
        case EAGAIN:
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
            return Fault::NothingWaiting;
        case EINTR:
            return Fault::Interrupted;
        case EBUSY:
            return Fault::Busy;
        case ENODEV:
        case ENXIO:
            return Fault::Gone;
        case EACCES:
        case EPERM:
            return Fault::Denied;
        default:
            return Fault::Other;
    }
}

}  // namespace

// --- Device record ----------------------------------------------------------------------------

struct tlusb_device {
    uint16_t check = kRecordCheck;
    uint32_t path = TLUSB_PATH_LIBUSB;
    char serialText[kSerialTextMax + 1] = {};
    std::atomic<uint32_t> state{TLUSB_STATE_CREATED};
    std::atomic<uint8_t> errorCount{0};  // consecutive I/O errors, saturating

    // libusb path
    libusb_context* context = nullptr;  // the shared context the handle lives in
    libusb_device_handle* handle = nullptr;
    int interfaceNumber = -1;
    uint8_t outEndpoint = 0;
    uint8_t inEndpoint = 0;
    uint16_t outPacketSize = 0;
    uint16_t inPacketSize = 0;
    // Reading side only.
    uint8_t receive[aUSB_RECEIVE_BUFFER_SIZE] = {};
    size_t receiveCursor = 0;
    size_t receiveCount = 0;
    bool lastGetWaited = false;  // the last get found nothing after waiting out its time-out
    // The IN transfer, made with the record and reused by every refill. `inCompleted` is set by
    // the completion callback on whichever thread handles libusb events, and is the flag that
    // libusb_handle_events_timeout_completed watches.
    libusb_transfer* inTransfer = nullptr;
    alignas(std::atomic_ref<int>::required_alignment) int inCompleted = 0;

    // Interruption of the reading side, set by any thread. `interruptMutex` makes "not
    // interrupted, so submit" on the reading side and "interrupt, so cancel what is in flight"
    // on the other one step each, so an interrupt can never slip in between and leave a fresh
    // transfer waiting out its time-out.
    std::mutex interruptMutex;
    std::condition_variable interruptSignal;  // wakes a wait that paces the reader
    std::atomic<bool> interrupted{false};
    bool inFlight = false;         // guarded by interruptMutex
    bool cancelledByUser = false;  // guarded by interruptMutex: the interruption cancelled it

    // kernel path
    int fd = -1;
};

namespace {

bool sValid(const tlusb_device* record) {
    return record && record->check == kRecordCheck;
}

void sSetState(tlusb_device* record, tlusbState state) {
    record->state.store(state);
}

// The error tolerance of the libusb path: an aErrIO result counts; the first
// aUSB_TOLERATED_IO_ERRORS in a row are reported as `hiddenAs`, the next one (and every later)
// as aErrIO, and the record fails. Any other result ends the run and is returned unchanged.
aErr sTolerate(tlusb_device* record, aErr result, aErr hiddenAs) {
    if (result != aErrIO) {
        record->errorCount.store(0);
        return result;
    }
    uint8_t count = record->errorCount.load();
    while (count < kErrorCountMax &&
           !record->errorCount.compare_exchange_weak(count, static_cast<uint8_t>(count + 1))) {
    }
    if (count < aUSB_TOLERATED_IO_ERRORS) return hiddenAs;
    sSetState(record, TLUSB_STATE_FAILED);
    return aErrIO;
}

// Whether the record may move bytes; otherwise the answer for its state.
aErr sLibusbReady(const tlusb_device* record) {
    switch (record->state.load()) {
        case TLUSB_STATE_READY:
            return aErrNone;
        case TLUSB_STATE_CLOSED:
            return aErrConnection;
        case TLUSB_STATE_CREATED:
        case TLUSB_STATE_FOUND:
            return aErrNotReady;
        default:
            return aErrIO;
    }
}

// --- libusb path: opening ---------------------------------------------------------------------

// The device's serial-number string equals `serialText`.
bool sSerialMatches(libusb_device_handle* handle, libusb_device* device, const char* serialText) {
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(device, &descriptor) != LIBUSB_SUCCESS) return false;
    unsigned char text[kSerialStringMax + 1] = {};
    int length = libusb_get_string_descriptor_ascii(handle, descriptor.iSerialNumber, text,
                                                    kSerialStringMax);
    if (length <= 0) return false;
    text[std::min(static_cast<size_t>(length), kSerialStringMax)] = 0;
    return strcmp(reinterpret_cast<const char*>(text), serialText) == 0;
}

// Opens the first TessaLine module of the device list whose serial string is `serialText`.
aErr sOpenBySerial(libusb_context* context, const char* serialText, libusb_device_handle** found) {
    libusb_device** devices = nullptr;
    ssize_t count = libusb_get_device_list(context, &devices);
    if (count < 0) return aErrResource;
    for (ssize_t i = 0; i < count && !*found; ++i) {
        libusb_device_handle* handle = nullptr;
        if (!is_tessaline_device(devices[i]) || libusb_open(devices[i], &handle) != 0) continue;
        if (sSerialMatches(handle, devices[i], serialText)) {
            *found = handle;
        } else {
            libusb_close(handle);
        }
    }
    libusb_free_device_list(devices, 1);  // an open handle keeps its own reference
    return *found ? aErrNone : aErrNotFound;
}

// Takes the endpoints of one link-interface setting: bulk or interrupt endpoints only, the last
// of each direction winning.
void sTakeEndpoints(tlusb_device* record, const libusb_interface_descriptor& setting) {
    record->interfaceNumber = setting.bInterfaceNumber;
    record->outEndpoint = record->inEndpoint = 0;
    record->outPacketSize = record->inPacketSize = 0;
    for (uint8_t e = 0; e < setting.bNumEndpoints; ++e) {
        const libusb_endpoint_descriptor& endpoint = setting.endpoint[e];
        if (!(endpoint.bmAttributes & 0x02)) continue;
        // Bits 11 and 12 count extra transactions per microframe, not bytes.
        const uint16_t size = endpoint.wMaxPacketSize & 0x7FF;
        if (endpoint.bEndpointAddress & LIBUSB_ENDPOINT_IN) {
            record->inEndpoint = endpoint.bEndpointAddress;
            record->inPacketSize = size;
        } else {
            record->outEndpoint = endpoint.bEndpointAddress;
            record->outPacketSize = size;
        }
    }
}

// Finds the link interface in the first configuration; every interface and alternate setting
// is examined and the last match wins. aErrConfiguration when none has both endpoints.
aErr sFindLinkInterface(tlusb_device* record) {
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_config_descriptor(libusb_get_device(record->handle), 0, &config) != 0)
        return aErrConfiguration;
    record->interfaceNumber = -1;
    for (uint8_t i = 0; i < config->bNumInterfaces; ++i) {
        const libusb_interface& interface = config->interface[i];
        for (int a = 0; a < interface.num_altsetting; ++a) {
            const libusb_interface_descriptor& setting = interface.altsetting[a];
            if (setting.bInterfaceClass == aUSB_LINK_CLASS &&
                setting.bInterfaceSubClass == aUSB_LINK_SUBCLASS &&
                setting.bInterfaceProtocol == aUSB_LINK_PROTOCOL)
                sTakeEndpoints(record, setting);
        }
    }
    libusb_free_config_descriptor(config);
    aDefs_Trace(aDEBUG_USB, "aUSB(%s): OUT 0x%02X packet size %u, IN 0x%02X packet size %u\n",
                record->serialText, record->outEndpoint, record->outPacketSize, record->inEndpoint,
                record->inPacketSize);
    // A packet size of 0 would make every chunk empty and the writer loop without end.
    if (record->interfaceNumber < 0 || !record->outEndpoint || !record->inEndpoint ||
        record->outPacketSize == 0 || record->inPacketSize == 0)
        return aErrConfiguration;
    return aErrNone;
}

aErr sClaimError(int code) {
    switch (sLibusbFault(code)) {
        case Fault::Busy:
        case Fault::Gone:
            return aErrBusy;
        case Fault::Denied:
            return aErrPermission;
        default:
            return aErrUnknown;
    }
}

void sForgetLibusbDevice(tlusb_device* record) {
    libusb_close(record->handle);
    record->handle = nullptr;
    record->context = nullptr;
    record->interfaceNumber = -1;
    record->outEndpoint = record->inEndpoint = 0;
    record->outPacketSize = record->inPacketSize = 0;
    record->receiveCursor = record->receiveCount = 0;
    record->lastGetWaited = false;
    sCountOpenRecord(-1);
    sSetState(record, TLUSB_STATE_CLOSED);
}

aErr sOpenLibusb(tlusb_device* record) {
    if (record->path != TLUSB_PATH_LIBUSB) return aErrMode;
    libusb_context* context = TessaLine_libusb_context();
    if (!context) {
        sSetState(record, TLUSB_STATE_CLOSED);
        return aErrInitialization;
    }
    libusb_device_handle* handle = nullptr;
    aErr err = sOpenBySerial(context, record->serialText, &handle);
    if (err != aErrNone) {
        sSetState(record, TLUSB_STATE_CLOSED);
        return err;
    }
    record->context = context;
    record->handle = handle;
    sCountOpenRecord(+1);
    sSetState(record, TLUSB_STATE_FOUND);

    err = sFindLinkInterface(record);
    if (err == aErrNone) {
        int claimed = libusb_claim_interface(handle, record->interfaceNumber);
        if (claimed != 0) {
            aDefs_Trace(aDEBUG_USB, "aUSB(%s): claim failed: %s\n", record->serialText,
                        libusb_error_name(claimed));
            err = sClaimError(claimed);
        }
    }
    if (err != aErrNone) {
        sForgetLibusbDevice(record);
        return err;
    }
    record->errorCount.store(0);
    sSetState(record, TLUSB_STATE_READY);
    return aErrNone;
}

aErr sCloseLibusb(tlusb_device* record) {
    if (record->path != TLUSB_PATH_LIBUSB || !record->handle) return aErrMode;
    // A device that has gone away refuses the release; the handle is closed all the same.
    if (record->interfaceNumber >= 0)
        libusb_release_interface(record->handle, record->interfaceNumber);
    sForgetLibusbDevice(record);
    return aErrNone;
}

// --- libusb path: transfers -------------------------------------------------------------------

// Clears the halt of a stalled endpoint; false when that fails.
bool sClearHalt(tlusb_device* record, uint8_t endpoint) {
    int cleared = libusb_clear_halt(record->handle, endpoint);
    if (cleared == 0) return true;
    aDefs_Trace(aDEBUG_USB, "aUSB(%s): clearing the halt of 0x%02X failed: %s\n",
                record->serialText, endpoint, libusb_error_name(cleared));
    return false;
}

size_t sChunkSize(const tlusb_device* record, size_t left) {
    size_t chunk = std::min<size_t>(record->outPacketSize, left);
    return chunk == kShortenedChunk ? kShortenedChunk - 1 : chunk;
}

// Sends the block in chunks; `*sent` receives the number of bytes that went out.
aErr sSendChunks(tlusb_device* record, const uint8_t* bytes, size_t length, size_t* sent) {
    aErr result = aErrNone;
    unsigned errors = 0;
    while (*sent < length && errors < aUSB_WRITE_MAX_ERRORS) {
        const size_t chunk = sChunkSize(record, length - *sent);
        int transferred = 0;
        int code = libusb_bulk_transfer(
            record->handle, record->outEndpoint, const_cast<uint8_t*>(bytes + *sent),
            static_cast<int>(chunk), &transferred, aUSB_WRITE_TIMEOUT_MS);
        const size_t moved = std::min(static_cast<size_t>(std::max(transferred, 0)), chunk);
        *sent += moved;
        if (code == 0 && moved > 0) continue;
        ++errors;  // a transfer that moves nothing counts too, or the loop might never end
        if (code == 0) continue;
        aDefs_Trace(aDEBUG_USB, "aUSB(%s): OUT transfer failed: %s\n", record->serialText,
                    libusb_error_name(code));
        const Fault fault = sLibusbFault(code);
        if (fault == Fault::Stall && !sClearHalt(record, record->outEndpoint)) result = aErrIO;
        if (fault == Fault::Gone) return aErrIO;  // no retry can reach a device that has left
    }
    if (*sent < length && result == aErrNone) result = aErrWrite;
    return result;
}

aErr sWriteLibusb(tlusb_device* record, const uint8_t* bytes, size_t length) {
    if (record->path != TLUSB_PATH_LIBUSB) return aErrMode;
    aErr ready = sLibusbReady(record);
    if (ready != aErrNone) return ready;
    size_t sent = 0;
    aErr result = sSendChunks(record, bytes, length, &sent);
    // A tolerated failure must still not pass for a write that delivered everything.
    return sTolerate(record, result, sent == length ? aErrNone : aErrWrite);
}

void LIBUSB_CALL sInTransferDone(libusb_transfer* transfer) {
    auto* record = static_cast<tlusb_device*>(transfer->user_data);
    std::atomic_ref<int>(record->inCompleted).store(1);
}

// Handles libusb events until the IN transfer has completed. Several threads may handle events
// on the shared context at once (other links' readers, writers in synchronous transfers): the
// completed flag lets whichever thread holds libusb's event lock run our callback while this one
// waits as an event waiter, and return as soon as its own transfer is done.
void sAwaitInTransfer(tlusb_device* record) {
    std::atomic_ref<int> completed(record->inCompleted);
    while (!completed.load()) {
        // libusb ends the transfer itself at its time-out; the slice only bounds each wait.
        timeval slice{aUSB_READ_TIMEOUT_MS / 1000, (aUSB_READ_TIMEOUT_MS % 1000) * 1000};
        int handled =
            libusb_handle_events_timeout_completed(record->context, &slice, &record->inCompleted);
        if (handled < 0 && handled != LIBUSB_ERROR_INTERRUPTED) {
            // Event handling itself failed: end the transfer so the next round can reap it.
            aDefs_Trace(aDEBUG_USB, "aUSB(%s): event handling failed: %s\n", record->serialText,
                        libusb_error_name(handled));
            libusb_cancel_transfer(record->inTransfer);
        }
    }
}

// Runs one IN transfer into the receive buffer. False, with nothing submitted, when reading is
// interrupted or the submission fails (`*submitError` then holds its libusb code).
// `*cancelled` tells whether an interruption cancelled the transfer, even one already cleared.
bool sRunInTransfer(tlusb_device* record, int* submitError, bool* cancelled) {
    libusb_transfer* transfer = record->inTransfer;
    libusb_fill_bulk_transfer(transfer, record->handle, record->inEndpoint, record->receive,
                              static_cast<int>(aUSB_RECEIVE_BUFFER_SIZE), sInTransferDone, record,
                              aUSB_READ_TIMEOUT_MS);
    {
        std::lock_guard<std::mutex> lock(record->interruptMutex);
        if (record->interrupted.load()) return false;
        std::atomic_ref<int>(record->inCompleted).store(0);
        *submitError = libusb_submit_transfer(transfer);
        if (*submitError != LIBUSB_SUCCESS) return false;
        record->inFlight = true;
        record->cancelledByUser = false;
    }
    sAwaitInTransfer(record);
    std::lock_guard<std::mutex> lock(record->interruptMutex);
    record->inFlight = false;
    *cancelled = record->cancelledByUser;
    return true;
}

// The fault of a finished IN transfer, as a synchronous transfer would report it.
Fault sInTransferFault(const libusb_transfer* transfer) {
    switch (transfer->status) {
        case LIBUSB_TRANSFER_COMPLETED:
            return Fault::None;
        case LIBUSB_TRANSFER_TIMED_OUT:
            return Fault::Timeout;
        case LIBUSB_TRANSFER_STALL:
            return Fault::Stall;
        case LIBUSB_TRANSFER_NO_DEVICE:
            return Fault::Gone;
        case LIBUSB_TRANSFER_CANCELLED:
            return Fault::Interrupted;
        default:
            return Fault::Other;
    }
}

// One IN transfer into the empty receive buffer. `*interrupted` is set when reading was
// interrupted before or during the transfer; bytes that arrived before a cancellation stay in
// the buffer for the reads after the interruption.
aErr sFillReceiveBuffer(tlusb_device* record, bool* interrupted) {
    record->receiveCursor = record->receiveCount = 0;
    record->lastGetWaited = false;
    int submitError = LIBUSB_SUCCESS;
    bool cancelled = false;
    if (!sRunInTransfer(record, &submitError, &cancelled)) {
        *interrupted = submitError == LIBUSB_SUCCESS;
        if (*interrupted) return aErrNotReady;
        aDefs_Trace(aDEBUG_USB, "aUSB(%s): IN transfer not submitted: %s\n", record->serialText,
                    libusb_error_name(submitError));
        return aErrIO;
    }
    const libusb_transfer* transfer = record->inTransfer;
    record->receiveCount = std::min(static_cast<size_t>(std::max(transfer->actual_length, 0)),
                                    aUSB_RECEIVE_BUFFER_SIZE);
    Fault fault = sInTransferFault(transfer);
    // A cancellation that no interruption asked for is an error, as in a synchronous transfer.
    if (fault == Fault::Interrupted && !cancelled) fault = Fault::Other;
    record->lastGetWaited = fault == Fault::Timeout && record->receiveCount == 0;
    switch (fault) {
        case Fault::None:
        case Fault::Timeout:  // bytes that came before the time-out are good
            return record->receiveCount > 0 ? aErrNone : aErrNotReady;
        case Fault::Interrupted:
            *interrupted = true;
            return aErrNotReady;
        case Fault::Stall:
            sClearHalt(record, record->inEndpoint);
            return aErrNotReady;
        default:
            aDefs_Trace(aDEBUG_USB, "aUSB(%s): IN transfer failed with status %d\n",
                        record->serialText, static_cast<int>(transfer->status));
            record->receiveCount = 0;
            return aErrIO;
    }
}

aErr sGetLibusb(tlusb_device* record, uint8_t* byte) {
    if (record->path != TLUSB_PATH_LIBUSB) return aErrMode;
    aErr ready = sLibusbReady(record);
    if (ready != aErrNone) return ready;
    // An interrupted get asks nothing of the device, so it leaves the error count alone.
    if (record->interrupted.load()) return aErrNotReady;
    aErr result = aErrNone;
    if (record->receiveCursor >= record->receiveCount) {
        bool interrupted = false;
        result = sFillReceiveBuffer(record, &interrupted);
        if (interrupted) return aErrNotReady;
    }
    if (result == aErrNone) *byte = record->receive[record->receiveCursor++];
    return sTolerate(record, result, aErrNotReady);
}

// Sets or clears the interruption; setting it cancels an IN transfer in flight and wakes a
// pacing wait.
void sSetInterrupted(tlusb_device* record, bool on) {
    std::lock_guard<std::mutex> lock(record->interruptMutex);
    record->interrupted.store(on);
    if (on && record->inFlight && libusb_cancel_transfer(record->inTransfer) == LIBUSB_SUCCESS)
        record->cancelledByUser = true;
    record->interruptSignal.notify_all();
}

// --- Kernel path ------------------------------------------------------------------------------

void sNodePath(const char* serialText, char* path, size_t size) {
    snprintf(path, size, "/dev/tessaline.%s", serialText);
}

aErr sOpenKernel(tlusb_device* record) {
    if (record->path != TLUSB_PATH_KERNEL) return aErrMode;
    char path[64];
    sNodePath(record->serialText, path, sizeof path);
    record->fd = open(path, O_RDWR | O_CLOEXEC);
    if (record->fd < 0) {
        const Fault fault = sErrnoFault(errno);
        sSetState(record, TLUSB_STATE_CLOSED);
        return fault == Fault::Busy ? aErrBusy : aErrIO;
    }
    sSetState(record, TLUSB_STATE_READY);
    return aErrNone;
}

aErr sCloseKernel(tlusb_device* record) {
    aErr result = aErrNone;
    if (record->fd >= 0 && close(record->fd) != 0) result = aErrCancel;
    record->fd = -1;  // Linux releases the descriptor even when close reports a failure
    sSetState(record, TLUSB_STATE_CLOSED);
    return result;
}

aErr sWriteKernel(tlusb_device* record, const uint8_t* bytes, size_t length) {
    if (record->path != TLUSB_PATH_KERNEL || record->fd < 0) return aErrMode;
    size_t sent = 0;
    for (unsigned call = 0; sent < length && call < aUSB_KERNEL_MAX_WRITE_CALLS; ++call) {
        ssize_t n = write(record->fd, bytes + sent, length - sent);
        if (n < 0 && sErrnoFault(errno) == Fault::Interrupted) continue;
        if (n < 0) return aErrIO;
        sent += static_cast<size_t>(n);
    }
    return sent == length ? aErrNone : aErrIO;
}

aErr sGetKernel(tlusb_device* record, uint8_t* byte) {
    if (record->path != TLUSB_PATH_KERNEL || record->fd < 0) return aErrMode;
    if (record->interrupted.load()) return aErrNotReady;
    ssize_t n = read(record->fd, byte, 1);
    if (n == 1) return aErrNone;
    if (n == 0) return aErrNotReady;
    switch (sErrnoFault(errno)) {
        case Fault::NothingWaiting:
        case Fault::Interrupted:
            return aErrNotReady;
        default:
            return aErrIO;
    }
}

// --- USB stream -------------------------------------------------------------------------------

struct UsbStreamState {
    uint16_t check = kStreamCheck;
    uint32_t serialNumber = 0;
    tlusb_device* record = nullptr;
};

UsbStreamState* sStreamState(void* ref) {
    auto* state = static_cast<UsbStreamState*>(ref);
    return state && state->check == kStreamCheck ? state : nullptr;
}

aErr sStreamGet(uint8_t* byte, void* ref) {
    UsbStreamState* state = sStreamState(ref);
    return state ? tlusb_get_from_device(state->record, byte) : aErrParam;
}

aErr sStreamWrite(const uint8_t* bytes, size_t length, void* ref) {
    UsbStreamState* state = sStreamState(ref);
    return state ? tlusb_write_to_device(state->record, bytes, length) : aErrParam;
}

aErr sStreamPut(const uint8_t* byte, void* ref) {
    return sStreamWrite(byte, 1, ref);
}

// A libusb get that found nothing has already waited its full time-out, so the reader may ask
// again at once. A get that answered at once (the kernel node with nothing waiting, a cleared
// stall, a tolerated error, a record not ready) is paced here instead: neither path offers a
// readiness signal that can be waited on without taking a byte. An interruption ends the pause.
aErr sStreamWait(uint32_t msTimeout, void* ref) {
    UsbStreamState* state = sStreamState(ref);
    if (!state) return aErrParam;
    tlusb_device* record = state->record;
    if (record->path == TLUSB_PATH_LIBUSB) {
        if (record->receiveCursor < record->receiveCount) return aErrNone;
        if (record->lastGetWaited) return aErrTimeout;
    }
    std::unique_lock<std::mutex> lock(record->interruptMutex);
    record->interruptSignal.wait_for(lock, std::chrono::milliseconds(msTimeout),
                                     [record] { return record->interrupted.load(); });
    return aErrTimeout;
}

aErr sStreamInterrupt(bool interrupted, void* ref) {
    UsbStreamState* state = sStreamState(ref);
    return state ? tlusb_interrupt_reads(state->record, interrupted) : aErrParam;
}

aErr sStreamDelete(void* ref) {
    UsbStreamState* state = sStreamState(ref);
    if (!state) return aErrParam;
    aErr result = tlusb_close_tessaline_device(state->record);
    tlusb_destroy(&state->record);
    state->check = 0;
    delete state;
    return result;
}

}  // namespace

// --- Public functions -------------------------------------------------------------------------

libusb_context* TessaLine_libusb_context() {
    std::lock_guard<std::mutex> lock(sContextMutex);
    if (!sContext && libusb_init(&sContext) != 0) sContext = nullptr;
    return sContext;
}

libusb_context* TessaLine_libusb_init() {
    return TessaLine_libusb_context();
}

aErr TessaLine_libusb_exit() {
    std::lock_guard<std::mutex> lock(sContextMutex);
    if (sOpenLibusbRecords > 0) return aErrBusy;
    if (sContext) libusb_exit(sContext);
    sContext = nullptr;
    return aErrNone;
}

uint16_t tlusb_vendor_id() {
    return kVendorId;
}

bool is_tessaline_device(libusb_device* device) {
    if (!device) return false;
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(device, &descriptor) != LIBUSB_SUCCESS) return false;
    return descriptor.idVendor == kVendorId && !(descriptor.idProduct & 0x8000);
}

bool tlusb_is_kernel_driver_installed(uint32_t serialNumber) {
    char path[64];
    snprintf(path, sizeof path, "/dev/tessaline.%08X", serialNumber);
    struct stat info {};
    return stat(path, &info) == 0 && !S_ISDIR(info.st_mode);
}

tlusbRef tlusb_create_usb(uint32_t path) {
    if (path != TLUSB_PATH_KERNEL && path != TLUSB_PATH_LIBUSB) return nullptr;
    if (path == TLUSB_PATH_LIBUSB && !TessaLine_libusb_context()) return nullptr;
    auto* record = new (std::nothrow) tlusb_device;
    if (!record) return nullptr;
    record->path = path;
    if (path == TLUSB_PATH_LIBUSB) {
        record->inTransfer = libusb_alloc_transfer(0);
        if (!record->inTransfer) {
            delete record;
            return nullptr;
        }
    }
    return record;
}

aErr tlusb_open_tessaline_device(tlusbRef record, const char* serialText) {
    if (!sValid(record) || !serialText) return aErrParam;
    const size_t length = strlen(serialText);
    if (length == 0 || length > kSerialTextMax) return aErrParam;
    if (record->handle || record->fd >= 0) tlusb_close_tessaline_device(record);
    memcpy(record->serialText, serialText, length + 1);
    return record->path == TLUSB_PATH_LIBUSB ? sOpenLibusb(record) : sOpenKernel(record);
}

aErr tlusb_write_to_device(tlusbRef record, const uint8_t* bytes, size_t length) {
    if (!sValid(record) || (!bytes && length > 0)) return aErrParam;
    return record->path == TLUSB_PATH_LIBUSB ? sWriteLibusb(record, bytes, length)
                                             : sWriteKernel(record, bytes, length);
}

aErr tlusb_get_from_device(tlusbRef record, uint8_t* byte) {
    if (!sValid(record) || !byte) return aErrParam;
    return record->path == TLUSB_PATH_LIBUSB ? sGetLibusb(record, byte) : sGetKernel(record, byte);
}

aErr tlusb_close_tessaline_device(tlusbRef record) {
    if (!sValid(record)) return aErrParam;
    return record->path == TLUSB_PATH_LIBUSB ? sCloseLibusb(record) : sCloseKernel(record);
}

aErr tlusb_destroy(tlusbRef* record) {
    if (!record || !sValid(*record)) return aErrParam;
    tlusb_device* doomed = *record;
    if (doomed->handle || doomed->fd >= 0) tlusb_close_tessaline_device(doomed);
    libusb_free_transfer(doomed->inTransfer);  // never in flight outside a get
    doomed->check = 0;
    delete doomed;
    *record = nullptr;
    return aErrNone;
}

aErr tlusb_interrupt_reads(tlusbRef record, bool interrupted) {
    if (!sValid(record)) return aErrParam;
    sSetInterrupted(record, interrupted);
    return aErrNone;
}

tlusbState tlusb_get_state(tlusbRef record) {
    return sValid(record) ? static_cast<tlusbState>(record->state.load()) : TLUSB_STATE_INVALID;
}

aErr aStream_CreateUSB(uint32_t serialNumber, aStreamRef* stream) {
    if (!stream) return aErrParam;
    *stream = nullptr;
    if (serialNumber == 0) return aErrParam;
    const bool kernelNode = tlusb_is_kernel_driver_installed(serialNumber);

    auto* state = new (std::nothrow) UsbStreamState;
    if (!state) return aErrMemory;
    state->serialNumber = serialNumber;
    char serialText[kSerialTextMax + 1];
    snprintf(serialText, sizeof serialText, "%08X", serialNumber);

    state->record = tlusb_create_usb(kernelNode ? TLUSB_PATH_KERNEL : TLUSB_PATH_LIBUSB);
    if (!state->record) {
        delete state;
        return aErrResource;
    }
    aErr err = tlusb_open_tessaline_device(state->record, serialText);
    if (err != aErrNone) {
        tlusb_destroy(&state->record);
        delete state;
        return err;
    }
    aStreamRef created = aStream_Create(sStreamGet, sStreamPut, sStreamWrite, sStreamDelete, state);
    if (!created) {
        sStreamDelete(state);
        return aErrMemory;
    }
    aStream_SetWait(created, sStreamWait);
    aStream_SetInterrupt(created, sStreamInterrupt);
    *stream = created;
    return aErrNone;
}
