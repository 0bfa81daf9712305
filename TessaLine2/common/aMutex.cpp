#include "aMutex.h"

#include <pthread.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>

namespace {

constexpr uint16_t kMutexCheck = 0xFACE;

}  // namespace

struct aMutex {
    uint16_t check;
    pthread_mutex_t mutex;
    char name[aMUTEX_MAX_NAME + 1];
};

namespace {

bool sValid(const aMutex* mutex) {
    return mutex && mutex->check == kMutexCheck;
}

aErr sResult(int result, int ownError, aErr ownCode) {
    if (result == 0) return aErrNone;
    if (result == ownError) return ownCode;
    if (result == EINVAL) return aErrParam;
    return aErrUnknown;
}

}  // namespace

aMutexRef aMutex_Create(const char* name) {
    const char* text = name ? name : "";
    const size_t length = strnlen(text, aMUTEX_MAX_NAME + 1);
    if (length > aMUTEX_MAX_NAME) return nullptr;

    aMutex* mutex = new (std::nothrow) aMutex{};
    if (!mutex) return nullptr;
    memcpy(mutex->name, text, length);
    mutex->name[length] = '\0';

    pthread_mutexattr_t attributes;
    bool made = pthread_mutexattr_init(&attributes) == 0;
    if (made) {
        made = pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ERRORCHECK) == 0 &&
               pthread_mutex_init(&mutex->mutex, &attributes) == 0;
        pthread_mutexattr_destroy(&attributes);
    }
    if (!made) {
        delete mutex;
        return nullptr;
    }
    mutex->check = kMutexCheck;
    return mutex;
}

const char* aMutex_Identifier(aMutexRef mutex) {
    return sValid(mutex) ? mutex->name : "";
}

aErr aMutex_Lock(aMutexRef mutex) {
    if (!sValid(mutex)) return aErrParam;
    return sResult(pthread_mutex_lock(&mutex->mutex), EDEADLK, aErrDuplicate);
}

aErr aMutex_TryLock(aMutexRef mutex) {
    if (!sValid(mutex)) return aErrParam;
    return sResult(pthread_mutex_trylock(&mutex->mutex), EBUSY, aErrBusy);
}

aErr aMutex_Unlock(aMutexRef mutex) {
    if (!sValid(mutex)) return aErrParam;
    return sResult(pthread_mutex_unlock(&mutex->mutex), EPERM, aErrPermission);
}

aErr aMutex_Destroy(aMutexRef* mutex) {
    if (!mutex || !sValid(*mutex)) return aErrParam;
    const int result = pthread_mutex_destroy(&(*mutex)->mutex);
    if (result == EBUSY) return aErrBusy;
    if (result == ENOMEM || result == EAGAIN) return aErrResource;
    if (result != 0) return sResult(result, 0, aErrNone);
    (*mutex)->check = 0;
    delete *mutex;
    *mutex = nullptr;
    return aErrNone;
}
