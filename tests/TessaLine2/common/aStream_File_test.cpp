#include "aStream_File.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "Process.h"

namespace {

class FileStream : public ::testing::Test {
  protected:
    std::string Path(const char* name) const { return dir.path() + "/" + name; }
    static void WriteFile(const std::string& path, const std::string& content) {
        std::ofstream(path, std::ios::binary) << content;
    }
    testsupport::TempDir dir;
};

TEST_F(FileStream, OutputThenInputRoundTrip) {
    const std::string path = Path("out.bin");
    aStreamRef out = nullptr;
    ASSERT_EQ(aStream_CreateFileOutput(path.c_str(), &out), aErrNone);
    const std::string block("block\0with zero", 15);
    EXPECT_EQ(aStream_Write(out, reinterpret_cast<const uint8_t*>(block.data()), block.size()),
              aErrNone);
    EXPECT_EQ(aStream_Write(out, reinterpret_cast<const uint8_t*>("!"), 1), aErrNone);
    uint8_t byte;
    EXPECT_EQ(aStream_Read(out, &byte, 1), aErrMode) << "an output stream has no get";
    EXPECT_EQ(aStream_Destroy(&out), aErrNone);
    EXPECT_EQ(testsupport::ReadFile(path), block + "!");

    aStreamRef in = nullptr;
    ASSERT_EQ(aStream_CreateFileInput(path.c_str(), &in), aErrNone);
    std::string got(block.size() + 1, '\0');
    EXPECT_EQ(aStream_Read(in, reinterpret_cast<uint8_t*>(got.data()), got.size()), aErrNone);
    EXPECT_EQ(got, block + "!");
    EXPECT_EQ(aStream_Read(in, &byte, 1), aErrEOF);
    EXPECT_EQ(aStream_Write(in, &byte, 1), aErrMode) << "an input stream has no put";
    EXPECT_EQ(aStream_Destroy(&in), aErrNone);
}

TEST_F(FileStream, OutputTruncatesAnExistingFile) {
    const std::string path = Path("old.txt");
    WriteFile(path, "old contents");
    aStreamRef out = nullptr;
    ASSERT_EQ(aStream_CreateFileOutput(path.c_str(), &out), aErrNone);
    EXPECT_EQ(aStream_WriteCString(out, "new"), aErrNone);
    EXPECT_EQ(aStream_Destroy(&out), aErrNone);
    EXPECT_EQ(testsupport::ReadFile(path), std::string("new\0", 4));
}

TEST_F(FileStream, FlushCopiesAFile) {
    std::string content;
    for (int i = 0; i < 5000; ++i) content.push_back(static_cast<char>(i * 31));
    WriteFile(Path("src"), content);

    aStreamRef in = nullptr, out = nullptr;
    ASSERT_EQ(aStream_CreateFileInput(Path("src").c_str(), &in), aErrNone);
    ASSERT_EQ(aStream_CreateFileOutput(Path("dst").c_str(), &out), aErrNone);
    EXPECT_EQ(aStream_Flush(in, out), aErrNone);
    aStream_Destroy(&in);
    aStream_Destroy(&out);
    EXPECT_EQ(testsupport::ReadFile(Path("dst")), content);
}

TEST_F(FileStream, RecordsFromAFile) {
    WriteFile(Path("lines"), "first\nsecond\nlast");
    aStreamRef in = nullptr;
    ASSERT_EQ(aStream_CreateFileInput(Path("lines").c_str(), &in), aErrNone);
    char line[32];
    for (const char* expected : {"first", "second", "last"}) {
        EXPECT_EQ(aStream_ReadCStringRecord(in, line, sizeof line, "\n"), aErrNone);
        EXPECT_STREQ(line, expected);
    }
    EXPECT_EQ(aStream_ReadCStringRecord(in, line, sizeof line, "\n"), aErrEOF);
    aStream_Destroy(&in);
}

TEST_F(FileStream, EveryFailureIsResource) {
    const std::string missing = Path("missing");
    const std::string inMissingFolder = Path("no/such/folder/file");
    aStreamRef stream = reinterpret_cast<aStreamRef>(this);
    struct Case {
        const char* name;
        aErr (*create)(const char*, aStreamRef*);
        const char* path;
        aStreamRef* out;
    } cases[] = {
        {"input of a missing file", aStream_CreateFileInput, missing.c_str(), &stream},
        {"input of a folder", aStream_CreateFileInput, dir.path().c_str(), &stream},
        {"input of a null path", aStream_CreateFileInput, nullptr, &stream},
        {"input without output pointer", aStream_CreateFileInput, missing.c_str(), nullptr},
        {"output in a missing folder", aStream_CreateFileOutput, inMissingFolder.c_str(), &stream},
        {"output of a null path", aStream_CreateFileOutput, nullptr, &stream},
        {"output without output pointer", aStream_CreateFileOutput, missing.c_str(), nullptr},
    };
    for (const Case& c : cases) {
        stream = reinterpret_cast<aStreamRef>(this);
        EXPECT_EQ(c.create(c.path, c.out), aErrResource) << c.name;
        if (c.out) {
            EXPECT_EQ(stream, nullptr) << c.name;
        }
    }
    EXPECT_NE(access(missing.c_str(), F_OK), 0) << "nothing was created";
}

}  // namespace
