#include "aThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>

namespace {

struct Work {
    std::atomic<int> value{0};
    aThreadRef self = nullptr;
    std::atomic<bool> selfKnown{false};
    bool ranAsItself = false;
    int selfJoin = 0;
};

void* sStore(void* argument) {
    static_cast<Work*>(argument)->value.store(42);
    return nullptr;
}

void* sJoinItself(void* argument) {
    Work* work = static_cast<Work*>(argument);
    while (!work->selfKnown.load()) aThread_Yield();
    work->ranAsItself = aThread_IsCurrent(work->self);
    work->selfJoin = aThread_Destroy(&work->self);
    return nullptr;
}

TEST(ThreadTest, RunsTheFunctionAndJoins) {
    Work work;
    aThreadRef thread = aThread_Create(sStore, &work);
    ASSERT_NE(thread, nullptr);
    EXPECT_FALSE(aThread_IsCurrent(thread));
    EXPECT_EQ(aThread_Destroy(&thread), 0);
    EXPECT_EQ(thread, nullptr);
    EXPECT_EQ(work.value.load(), 42) << "Destroy returns only after the thread ended";
}

TEST(ThreadTest, BadArgumentsAreRefused) {
    EXPECT_EQ(aThread_Create(nullptr, nullptr), nullptr);
    EXPECT_EQ(aThread_Destroy(nullptr), EINVAL);
    aThreadRef none = nullptr;
    EXPECT_EQ(aThread_Destroy(&none), EINVAL);
    EXPECT_FALSE(aThread_IsCurrent(nullptr));
}

TEST(ThreadTest, AThreadCannotJoinItself) {
    Work work;
    aThreadRef thread = aThread_Create(sJoinItself, &work);
    ASSERT_NE(thread, nullptr);
    work.self = thread;
    work.selfKnown.store(true);
    // The thread's own attempt fails and leaves the handle, so this join still works.
    EXPECT_EQ(aThread_Destroy(&thread), 0);
    EXPECT_TRUE(work.ranAsItself);
    EXPECT_EQ(work.selfJoin, EDEADLK);
}

}  // namespace
