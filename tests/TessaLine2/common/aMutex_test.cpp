#include "aMutex.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

// The thread sanitizer reports deliberate misuse (unlocking another thread's mutex, destroying a
// held one) as errors of its own, so those cases run only in the other builds.
#if defined(__SANITIZE_THREAD__)
constexpr bool kThreadSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool kThreadSanitizer = true;
#else
constexpr bool kThreadSanitizer = false;
#endif
#else
constexpr bool kThreadSanitizer = false;
#endif

TEST(MutexTest, NamesAreKeptUpTo255Characters) {
    struct NameCase {
        const char* label;
        const char* name;  // null stands for a null name
        size_t length;     // used when name is "*": a name of this many characters
        bool created;
        std::string stored;
    } cases[] = {
        {"plain", "LOG_SEMA_0x1", 0, true, "LOG_SEMA_0x1"},
        {"null", nullptr, 0, true, ""},
        {"255 characters", "*", 255, true, std::string(255, 'n')},
        {"256 characters", "*", 256, false, ""},
    };
    for (const NameCase& c : cases) {
        const std::string generated(c.length, 'n');
        const char* name = (c.name && std::string(c.name) == "*") ? generated.c_str() : c.name;
        aMutexRef mutex = aMutex_Create(name);
        EXPECT_EQ(mutex != nullptr, c.created) << c.label;
        if (!mutex) continue;
        EXPECT_EQ(aMutex_Identifier(mutex), c.stored) << c.label;
        EXPECT_EQ(aMutex_Destroy(&mutex), aErrNone);
        EXPECT_EQ(mutex, nullptr);
    }
    EXPECT_STREQ(aMutex_Identifier(nullptr), "");
}

TEST(MutexTest, NullMutexIsRefused) {
    EXPECT_EQ(aMutex_Lock(nullptr), aErrParam);
    EXPECT_EQ(aMutex_TryLock(nullptr), aErrParam);
    EXPECT_EQ(aMutex_Unlock(nullptr), aErrParam);
    EXPECT_EQ(aMutex_Destroy(nullptr), aErrParam);
    aMutexRef none = nullptr;
    EXPECT_EQ(aMutex_Destroy(&none), aErrParam);
}

TEST(MutexTest, LockingRulesOfOneThread) {
    aMutexRef mutex = aMutex_Create("m");
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(aMutex_TryLock(mutex), aErrNone);
    EXPECT_EQ(aMutex_TryLock(mutex), aErrBusy);
    EXPECT_EQ(aMutex_Lock(mutex), aErrDuplicate) << "relocking must not hang the thread";
    EXPECT_EQ(aMutex_Unlock(mutex), aErrNone);
    EXPECT_EQ(aMutex_Lock(mutex), aErrNone);
    EXPECT_EQ(aMutex_Unlock(mutex), aErrNone);
    EXPECT_EQ(aMutex_Destroy(&mutex), aErrNone);
}

TEST(MutexTest, OwnershipIsChecked) {
    if (kThreadSanitizer) GTEST_SKIP() << "deliberate misuse";
    aMutexRef mutex = aMutex_Create("m");
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(aMutex_Unlock(mutex), aErrPermission) << "not held by anybody";
    ASSERT_EQ(aMutex_Lock(mutex), aErrNone);
    aErr fromOther = aErrNone;
    aErr tryFromOther = aErrNone;
    std::thread other([&] {
        tryFromOther = aMutex_TryLock(mutex);
        fromOther = aMutex_Unlock(mutex);
    });
    other.join();
    EXPECT_EQ(tryFromOther, aErrBusy);
    EXPECT_EQ(fromOther, aErrPermission);
    EXPECT_EQ(aMutex_Destroy(&mutex), aErrBusy);
    EXPECT_NE(mutex, nullptr);
    EXPECT_EQ(aMutex_Unlock(mutex), aErrNone);
    EXPECT_EQ(aMutex_Destroy(&mutex), aErrNone);
}

TEST(MutexTest, ExcludesOtherThreads) {
    aMutexRef mutex = aMutex_Create("counter");
    ASSERT_NE(mutex, nullptr);
    long counter = 0;  // guarded by mutex
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                ASSERT_EQ(aMutex_Lock(mutex), aErrNone);
                ++counter;
                ASSERT_EQ(aMutex_Unlock(mutex), aErrNone);
            }
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(counter, 80000);
    EXPECT_EQ(aMutex_Destroy(&mutex), aErrNone);
}

}  // namespace
