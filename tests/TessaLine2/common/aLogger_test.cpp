#include "aLogger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "Process.h"
#include "aTime.h"

namespace {

// What the callbacks of one logger see and do; the reference value indexes sStates.
struct CallbackState {
    std::atomic<int> calls{0};
    std::atomic<aLoggerRef> logger{nullptr};
    std::atomic<int> selfDisable{-1};  // result of aLogger_Disable from inside, once
    std::atomic<int> selfDestroy{-1};  // result of aLogger_Destroy from inside, once
};

CallbackState sStates[4];

void sWriteOne(aFileRef file, uint32_t reference) {
    CallbackState& state = sStates[reference];
    aFile_Printf(file, "%d;", state.calls.load());
    ++state.calls;
    aTime_MSSleep(1);
}

void sTryToStopItself(aFileRef file, uint32_t reference) {
    CallbackState& state = sStates[reference];
    if (state.calls.load() == 0) {
        aLoggerRef self = state.logger.load();
        state.selfDisable = aLogger_Disable(self);
        state.selfDestroy = aLogger_Destroy(&self);
    }
    sWriteOne(file, reference);
}

// Waits (bounded, only as a guard against a hang) until the callback ran `count` times.
bool WaitForCalls(const CallbackState& state, int count) {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (state.calls.load() < count) {
        if (std::chrono::steady_clock::now() > limit) return false;
        aTime_MSSleep(1);
    }
    return true;
}

class LoggerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (CallbackState& s : sStates) {
            s.calls = 0;
            s.logger = nullptr;
            s.selfDisable = -1;
            s.selfDestroy = -1;
        }
    }
    std::string Path() const { return dir_.path() + "/trace.log"; }
    testsupport::TempDir dir_;
};

TEST_F(LoggerTest, WorkerRunsUntilDisabledAndAppends) {
    {
        aFileRef seed = aFile_Open(Path().c_str(), aFileModeWrite);
        ASSERT_NE(seed, nullptr);
        aFile_Printf(seed, "old;");
        aFile_Close(&seed);
    }
    aLoggerRef logger = aLogger_Create(1, sWriteOne, Path().c_str());
    ASSERT_NE(logger, nullptr);
    EXPECT_EQ(aLogger_Disable(logger), aErrNone) << "not running yet";
    EXPECT_EQ(sStates[1].calls.load(), 0) << "created loggers do not run";

    EXPECT_EQ(aLogger_Enable(logger), aErrNone);
    EXPECT_EQ(aLogger_Enable(logger), aErrNone) << "already running";
    ASSERT_TRUE(WaitForCalls(sStates[1], 3));
    EXPECT_EQ(aLogger_Disable(logger), aErrNone);
    const int calls = sStates[1].calls.load();
    aTime_MSSleep(20);
    EXPECT_EQ(sStates[1].calls.load(), calls) << "no call after Disable returned";

    // Unbuffered: everything written is in the file before the logger is destroyed.
    std::string expected = "old;";
    for (int i = 0; i < calls; ++i) expected += std::to_string(i) + ";";
    EXPECT_EQ(testsupport::ReadFile(Path()), expected);

    EXPECT_EQ(aLogger_Enable(logger), aErrNone) << "a stopped logger starts again";
    ASSERT_TRUE(WaitForCalls(sStates[1], calls + 1));
    EXPECT_EQ(aLogger_Destroy(&logger), aErrNone) << "destroy stops a running worker";
    EXPECT_EQ(logger, nullptr);
}

TEST_F(LoggerTest, CreationFailures) {
    EXPECT_EQ(aLogger_Create(0, nullptr, Path().c_str()), nullptr);
    EXPECT_EQ(aLogger_Create(0, sWriteOne, nullptr), nullptr);
    EXPECT_EQ(aLogger_Create(0, sWriteOne, (dir_.path() + "/no/such/folder/x").c_str()), nullptr);
    EXPECT_EQ(aLogger_Create(0, sWriteOne, dir_.path().c_str()), nullptr);
}

TEST_F(LoggerTest, InvalidLoggers) {
    EXPECT_EQ(aLogger_Enable(nullptr), aErrParam);
    EXPECT_EQ(aLogger_Disable(nullptr), aErrParam);
    aLoggerRef none = nullptr;
    EXPECT_EQ(aLogger_Destroy(&none), aErrNone);
    EXPECT_EQ(aLogger_Destroy(nullptr), aErrNone);
}

TEST_F(LoggerTest, TheWorkerCannotStopOrFreeItself) {
    aLoggerRef logger = aLogger_Create(2, sTryToStopItself, Path().c_str());
    ASSERT_NE(logger, nullptr);
    sStates[2].logger = logger;
    ASSERT_EQ(aLogger_Enable(logger), aErrNone);
    ASSERT_TRUE(WaitForCalls(sStates[2], 3)) << "the worker kept running";
    EXPECT_EQ(sStates[2].selfDisable.load(), aErrNone);
    EXPECT_EQ(sStates[2].selfDestroy.load(), aErrBusy);
    EXPECT_EQ(aLogger_Destroy(&logger), aErrNone);
    EXPECT_EQ(logger, nullptr);
}

}  // namespace
