#include "Log.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        file_ = tmpfile();
        Log::SetOutput(file_);
        Log::DeactivatePackage(0xFFFFFFFF);
    }
    void TearDown() override {
        Log::SetOutput(nullptr);
        Log::DeactivatePackage(0xFFFFFFFF);
        fclose(file_);
    }
    std::string Written() {
        fflush(file_);
        rewind(file_);
        std::string text;
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof(buffer), file_)) > 0) text.append(buffer, n);
        return text;
    }
    FILE* file_ = nullptr;
};

TEST_F(LogTest, PackageMaskDecidesWhatIsWritten) {
    Log::log(DEBUG_BirdFile, "bird %d\n", 1);
    Log::log(0, "always\n");
    Log::ActivatePackage(DEBUG_BirdFile | DEBUG_APP);
    Log::log(DEBUG_BirdFile, "bird %d\n", 2);
    Log::log(DEBUG_Updater, "updater\n");
    Log::log(DEBUG_APP | DEBUG_Updater, "either");  // no newline is added
    Log::DeactivatePackage(DEBUG_BirdFile);
    Log::log(DEBUG_BirdFile, "bird %d\n", 3);
    EXPECT_EQ(Written(), "always\nbird 2\neither");
    EXPECT_EQ(Log::ActivePackages(), static_cast<uint32_t>(DEBUG_APP));
}

TEST_F(LogTest, LongLinesAreCutNotRejected) {
    const std::string longText(5000, 'x');
    Log::log(0, "%s", longText.c_str());
    EXPECT_EQ(Written(), std::string(2047, 'x'));
}

TEST_F(LogTest, NoOutputStreamWritesNothing) {
    Log::SetOutput(nullptr);
    Log::log(0, "dropped\n");
    Log::SetOutput(file_);
    EXPECT_EQ(Written(), "");
}

}  // namespace
