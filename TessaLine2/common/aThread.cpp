#include "aThread.h"

#include <pthread.h>
#include <time.h>

#include <cerrno>
#include <new>

struct aThread {
    pthread_t id;
};

aThreadRef aThread_Create(aThreadFunction function, void* argument) {
    if (!function) return nullptr;
    aThread* thread = new (std::nothrow) aThread{};
    if (!thread) return nullptr;
    if (pthread_create(&thread->id, nullptr, function, argument) != 0) {
        delete thread;
        return nullptr;
    }
    return thread;
}

int aThread_Destroy(aThreadRef* thread) {
    if (!thread || !*thread) return EINVAL;
    // Joining itself would never return; refuse before the handle is lost.
    if (aThread_IsCurrent(*thread)) return EDEADLK;
    const int result = pthread_join((*thread)->id, nullptr);
    delete *thread;
    *thread = nullptr;
    return result;
}

bool aThread_IsCurrent(aThreadRef thread) {
    return thread && pthread_equal(thread->id, pthread_self()) != 0;
}

void aThread_Yield() {
    const timespec pause{0, 5000};
    nanosleep(&pause, nullptr);
}
