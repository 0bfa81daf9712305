#include "aLogger.h"

#include <atomic>
#include <new>

#include "aThread.h"

namespace {

constexpr uint16_t kLoggerCheck = 0xDEED;

}  // namespace

struct aLogger {
    uint16_t check;
    uint32_t reference;
    aFileRef file;
    aLoggerCallback callback;
    aThreadRef worker;
    std::atomic<bool> running;
};

namespace {

// The logger whose worker is the calling thread. Kept per thread rather than compared with the
// thread handle, which the worker may run before its creator has even stored it.
thread_local const aLogger* sOwnLogger = nullptr;

bool sValid(const aLogger* logger) {
    return logger && logger->check == kLoggerCheck;
}

void* sWork(void* argument) {
    aLogger* logger = static_cast<aLogger*>(argument);
    sOwnLogger = logger;
    while (logger->running.load(std::memory_order_acquire))
        logger->callback(logger->file, logger->reference);
    return nullptr;
}

}  // namespace

aLoggerRef aLogger_Create(uint32_t reference, aLoggerCallback callback, const char* path) {
    if (!callback) return nullptr;
    aFileRef file = aFile_Open(path, aFileModeAppend);
    if (!file) return nullptr;
    aLogger* logger = new (std::nothrow) aLogger{};
    if (!logger || aFile_SetUnbuffered(file) != aErrNone) {
        delete logger;
        aFile_Close(&file);
        return nullptr;
    }
    logger->reference = reference;
    logger->file = file;
    logger->callback = callback;
    logger->check = kLoggerCheck;
    return logger;
}

aErr aLogger_Enable(aLoggerRef logger) {
    if (!sValid(logger)) return aErrParam;
    if (logger->worker) return aErrNone;
    logger->running.store(true, std::memory_order_release);
    logger->worker = aThread_Create(sWork, logger);
    if (!logger->worker) {
        logger->running.store(false, std::memory_order_release);
        return aErrResource;
    }
    return aErrNone;
}

aErr aLogger_Disable(aLoggerRef logger) {
    if (!sValid(logger)) return aErrParam;
    if (sOwnLogger == logger || !logger->worker) return aErrNone;
    logger->running.store(false, std::memory_order_release);
    return aThread_Destroy(&logger->worker) == 0 ? aErrNone : aErrUnknown;
}

aErr aLogger_Destroy(aLoggerRef* logger) {
    if (!logger || !sValid(*logger)) return aErrNone;
    if (sOwnLogger == *logger) return aErrBusy;
    const aErr stopped = aLogger_Disable(*logger);
    if (stopped != aErrNone) return stopped;
    aFile_Close(&(*logger)->file);
    (*logger)->check = 0;
    delete *logger;
    *logger = nullptr;
    return aErrNone;
}
