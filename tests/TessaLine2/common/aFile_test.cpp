#include "aFile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>

#include "Process.h"

namespace {

class FileTest : public ::testing::Test {
  protected:
    std::string Path(const std::string& name) const { return dir_.path() + "/" + name; }

    std::string WriteText(const std::string& name, const std::string& content) const {
        const std::string path = Path(name);
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }

    testsupport::TempDir dir_;
};

// Closes a handle at scope end if a test left it open.
struct Closer {
    aFileRef file;
    ~Closer() {
        if (file) aFile_Close(&file);
    }
};

TEST_F(FileTest, ExistsOnlyForFiles) {
    const std::string file = WriteText("a.bin", "x");
    EXPECT_TRUE(aFile_Exists(file.c_str()));
    EXPECT_FALSE(aFile_Exists(dir_.path().c_str()));
    EXPECT_FALSE(aFile_Exists(Path("missing").c_str()));
    EXPECT_FALSE(aFile_Exists(nullptr));
    EXPECT_FALSE(aFile_Exists(std::string(aFILE_MAX_PATH + 1, 'a').c_str()));
}

struct OpenCase {
    const char* name;
    std::string path;  // "<dir>" stands for the test folder, "<file>" for an existing file
    aFileMode mode;
    aErr expected;
};

TEST_F(FileTest, OpenFailuresAreMapped) {
    const std::string existing = WriteText("exists.bin", "data");
    const std::string longPath = std::string(aFILE_MAX_PATH + 1, 'a');
    const OpenCase cases[] = {
        {"empty path", "", aFileModeRead, aErrParam},
        {"too long", longPath, aFileModeWrite, aErrFileNameLength},
        {"mode 3", "<file>", 3, aErrMode},
        {"missing for read", Path("missing"), aFileModeRead, aErrNotFound},
        {"directory for read", "<dir>", aFileModeRead, aErrNotFound},
        {"directory for write", "<dir>", aFileModeWrite, aErrIO},
        {"directory for append", "<dir>", aFileModeAppend, aErrIO},
        {"no parent folder", Path("none/x.bin"), aFileModeWrite, aErrIO},
    };
    for (const OpenCase& c : cases) {
        std::string path = c.path;
        if (path == "<dir>") path = dir_.path();
        if (path == "<file>") path = existing;
        aErr error = aErrNone;
        aFileRef file = aFile_Open(path.c_str(), c.mode, &error);
        EXPECT_EQ(file, nullptr) << c.name;
        EXPECT_EQ(error, c.expected) << c.name;
    }
    aErr error = aErrNone;
    EXPECT_EQ(aFile_Open(nullptr, aFileModeRead, &error), nullptr);
    EXPECT_EQ(error, aErrParam);
}

// A file this process may not write: read-only by mode for a normal user; for root, whom modes
// do not stop, a read-only sysfs attribute. Empty when none can be found.
std::string UnwritablePath(const std::string& folder) {
    std::string path = folder + "/locked.bin";
    if (geteuid() == 0) {
        path = "/sys/kernel/notes";
    } else {
        std::ofstream(path) << "x";
        chmod(path.c_str(), 0400);
    }
    const int fd = open(path.c_str(), O_WRONLY | O_APPEND);
    if (fd >= 0) close(fd);
    return (fd < 0 && errno == EACCES) ? path : std::string();
}

TEST_F(FileTest, OpenWithoutPermissionIsPermissionError) {
    const std::string path = UnwritablePath(dir_.path());
    if (path.empty()) GTEST_SKIP() << "no file refuses writing here";
    for (aFileMode mode : {aFileModeWrite, aFileModeAppend}) {
        aErr error = aErrNone;
        EXPECT_EQ(aFile_Open(path.c_str(), mode, &error), nullptr);
        EXPECT_EQ(error, aErrPermission) << mode;
    }
}

TEST_F(FileTest, OpenOfARunningProgramIsBusy) {
    // Probe without truncating: kernels differ on refusing writes to a running executable.
    const int fd = open("/proc/self/exe", O_WRONLY | O_APPEND);
    if (fd >= 0) close(fd);
    if (fd >= 0 || errno != ETXTBSY) GTEST_SKIP() << "the kernel allows writing a running program";
    aErr error = aErrNone;
    EXPECT_EQ(aFile_Open("/proc/self/exe", aFileModeAppend, &error), nullptr);
    EXPECT_EQ(error, aErrBusy);
}

TEST_F(FileTest, WriteThenReadBack) {
    const std::string path = Path("data.bin");
    aErr error = aErrUnknown;
    aFileRef file = aFile_Open(path.c_str(), aFileModeWrite, &error);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(error, aErrNone);
    size_t count = 0;
    EXPECT_EQ(aFile_Write(file, "hello", 5, &count), aErrNone);
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(aFile_Printf(file, " %d-%s", 42, "x"), aErrNone);
    EXPECT_EQ(aFile_Close(&file), aErrNone);
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(testsupport::ReadFile(path), "hello 42-x");

    file = aFile_Open(path.c_str(), aFileModeRead);
    Closer closer{file};
    ASSERT_NE(file, nullptr);
    char buffer[32] = {};
    EXPECT_EQ(aFile_Read(file, buffer, 4, &count), aErrNone);
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(std::string(buffer, 4), "hell");
    EXPECT_EQ(aFile_Read(file, buffer, sizeof(buffer), &count), aErrNone);
    EXPECT_EQ(std::string(buffer, count), "o 42-x");
    EXPECT_EQ(aFile_Read(file, buffer, sizeof(buffer), &count), aErrEOF);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(aFile_Read(file, buffer, 0, nullptr), aErrNone);
}

TEST_F(FileTest, WriteModeTruncatesAndAppendModeAppends) {
    const std::string path = WriteText("t.bin", "old content");
    aFileRef file = aFile_Open(path.c_str(), aFileModeWrite);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(aFile_Write(file, "new", 3, nullptr), aErrNone);
    aFile_Close(&file);
    EXPECT_EQ(testsupport::ReadFile(path), "new");

    file = aFile_Open(path.c_str(), aFileModeAppend);
    ASSERT_NE(file, nullptr);
    size_t position = 99;
    EXPECT_EQ(aFile_GetPosition(file, &position), aErrNone);
    EXPECT_EQ(position, 3u);
    EXPECT_EQ(aFile_Write(file, "+more", 5, nullptr), aErrNone);
    aFile_Close(&file);
    EXPECT_EQ(testsupport::ReadFile(path), "new+more");
}

TEST_F(FileTest, AppendModeMixesReadsAndWrites) {
    const std::string path = WriteText("mix.txt", "line1\n");
    aFileRef file = aFile_Open(path.c_str(), aFileModeAppend);
    Closer closer{file};
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(aFile_Seek(file, 0, aSeekStart), aErrNone);
    char buffer[16];
    size_t length = 0;
    EXPECT_EQ(aFile_ReadLine(file, buffer, sizeof(buffer), &length), aErrNone);
    EXPECT_STREQ(buffer, "line1\n");
    // Writing right after reading must land at the end, and reading again must see it.
    EXPECT_EQ(aFile_Printf(file, "line2\n"), aErrNone);
    ASSERT_EQ(aFile_Seek(file, 6, aSeekStart), aErrNone);
    EXPECT_EQ(aFile_ReadLine(file, buffer, sizeof(buffer), &length), aErrNone);
    EXPECT_STREQ(buffer, "line2\n");
    EXPECT_EQ(length, 6u);
}

TEST_F(FileTest, ModeRestrictions) {
    const std::string path = WriteText("m.bin", "abc");
    aFileRef reader = aFile_Open(path.c_str(), aFileModeRead);
    aFileRef writer = aFile_Open(Path("w.bin").c_str(), aFileModeWrite);
    Closer closeReader{reader}, closeWriter{writer};
    ASSERT_NE(reader, nullptr);
    ASSERT_NE(writer, nullptr);
    char buffer[8];
    EXPECT_EQ(aFile_Write(reader, "x", 1, nullptr), aErrMode);
    EXPECT_EQ(aFile_Printf(reader, "x"), aErrMode);
    EXPECT_EQ(aFile_SetUnbuffered(reader), aErrMode);
    EXPECT_EQ(aFile_Read(writer, buffer, 1, nullptr), aErrMode);
    EXPECT_EQ(aFile_ReadLine(writer, buffer, sizeof(buffer), nullptr), aErrMode);
    EXPECT_EQ(aFile_SetUnbuffered(writer), aErrNone);
    EXPECT_EQ(aFile_Read(reader, nullptr, 1, nullptr), aErrParam);
    EXPECT_EQ(aFile_Write(writer, nullptr, 1, nullptr), aErrParam);
}

TEST_F(FileTest, InvalidHandlesAreRefused) {
    char buffer[8];
    size_t value = 0;
    EXPECT_EQ(aFile_Read(nullptr, buffer, 1, nullptr), aErrParam);
    EXPECT_EQ(aFile_Write(nullptr, "x", 1, nullptr), aErrParam);
    EXPECT_EQ(aFile_Seek(nullptr, 0, aSeekStart), aErrParam);
    EXPECT_EQ(aFile_GetSize(nullptr, &value), aErrParam);
    EXPECT_EQ(aFile_GetPosition(nullptr, &value), aErrParam);
    EXPECT_EQ(aFile_ReadLine(nullptr, buffer, sizeof(buffer), nullptr), aErrParam);
    EXPECT_EQ(aFile_SetUnbuffered(nullptr), aErrParam);
    EXPECT_EQ(aFile_Printf(nullptr, "x"), aErrParam);
    EXPECT_EQ(aFile_Close(nullptr), aErrParam);
    aFileRef none = nullptr;
    EXPECT_EQ(aFile_Close(&none), aErrParam);

    aFileRef file = aFile_Open(WriteText("c.bin", "x").c_str(), aFileModeRead);
    ASSERT_NE(file, nullptr);
    aFileRef copy = file;
    EXPECT_EQ(aFile_Close(&file), aErrNone);
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(aFile_Close(&file), aErrParam);
    (void)copy;  // the freed handle is not touched again
}

TEST_F(FileTest, SeekStaysWithinTheFile) {
    aFileRef file = aFile_Open(WriteText("s.bin", "0123456789").c_str(), aFileModeRead);
    Closer closer{file};
    ASSERT_NE(file, nullptr);
    struct SeekCase {
        int64_t offset;
        int origin;
        aErr expected;
        size_t position;  // after the call
    } cases[] = {
        {4, aSeekStart, aErrNone, 4},         {3, aSeekCurrent, aErrNone, 7},
        {-2, aSeekCurrent, aErrNone, 5},      {10, aSeekStart, aErrNone, 10},
        {11, aSeekStart, aErrRange, 10},      {-1, aSeekStart, aErrRange, 10},
        {-10, aSeekEnd, aErrNone, 0},         {-11, aSeekEnd, aErrRange, 0},
        {1, aSeekEnd, aErrRange, 0},          {0, aSeekEnd, aErrNone, 10},
        {INT64_MAX, aSeekEnd, aErrRange, 10}, {0, 3, aErrParam, 10},
    };
    for (const SeekCase& c : cases) {
        EXPECT_EQ(aFile_Seek(file, c.offset, c.origin), c.expected) << c.offset << "/" << c.origin;
        size_t position = 0;
        EXPECT_EQ(aFile_GetPosition(file, &position), aErrNone);
        EXPECT_EQ(position, c.position) << c.offset << "/" << c.origin;
    }
    size_t size = 0;
    ASSERT_EQ(aFile_Seek(file, 3, aSeekStart), aErrNone);
    EXPECT_EQ(aFile_GetSize(file, &size), aErrNone);
    EXPECT_EQ(size, 10u);
    size_t position = 0;
    aFile_GetPosition(file, &position);
    EXPECT_EQ(position, 3u) << "GetSize keeps the position";
}

TEST_F(FileTest, SizeCountsBufferedOutput) {
    aFileRef file = aFile_Open(Path("grow.bin").c_str(), aFileModeWrite);
    Closer closer{file};
    ASSERT_NE(file, nullptr);
    size_t size = 1;
    EXPECT_EQ(aFile_GetSize(file, &size), aErrNone);
    EXPECT_EQ(size, 0u);
    aFile_Write(file, "abcdef", 6, nullptr);
    EXPECT_EQ(aFile_GetSize(file, &size), aErrNone);
    EXPECT_EQ(size, 6u);
}

TEST_F(FileTest, ReadLineSplitsLongLinesAndReportsEnd) {
    aFileRef file =
        aFile_Open(WriteText("l.txt", "short\nabcdefghij\nexact\nlast").c_str(), aFileModeRead);
    Closer closer{file};
    ASSERT_NE(file, nullptr);
    struct LineCase {
        size_t size;
        aErr expected;
        const char* text;
    } cases[] = {
        {64, aErrNone, "short\n"}, {5, aErrOverrun, "abcd"},  {5, aErrOverrun, "efgh"},
        {5, aErrNone, "ij\n"},     {6, aErrOverrun, "exact"}, {6, aErrNone, "\n"},
        {5, aErrNone, "last"},     {5, aErrEOF, ""},          {5, aErrEOF, ""},
    };
    for (const LineCase& c : cases) {
        char buffer[64];
        memset(buffer, 'Z', sizeof(buffer));
        size_t length = 99;
        EXPECT_EQ(aFile_ReadLine(file, buffer, c.size, &length), c.expected) << c.text;
        EXPECT_STREQ(buffer, c.text);
        EXPECT_EQ(length, strlen(c.text));
    }
    char small[1] = {'Z'};
    EXPECT_EQ(aFile_ReadLine(file, small, 1, nullptr), aErrParam);
    EXPECT_EQ(small[0], '\0');
}

TEST_F(FileTest, DeleteRemovesFilesOnly) {
    const std::string path = WriteText("d.bin", "x");
    EXPECT_EQ(aFile_Delete(path.c_str()), aErrNone);
    EXPECT_FALSE(aFile_Exists(path.c_str()));
    EXPECT_EQ(aFile_Delete(path.c_str()), aErrNotFound);
    EXPECT_EQ(aFile_Delete(nullptr), aErrParam);
    EXPECT_EQ(aFile_Delete(std::string(aFILE_MAX_PATH + 1, 'a').c_str()), aErrFileNameLength);
    EXPECT_EQ(aFile_Delete(dir_.path().c_str()), aErrIO);
}

TEST_F(FileTest, DeleteWithoutPermission) {
    if (geteuid() == 0) GTEST_SKIP() << "root ignores folder permissions";
    ASSERT_EQ(mkdir(Path("ro").c_str(), 0700), 0);
    const std::string path = WriteText("ro/f.bin", "x");
    ASSERT_EQ(chmod(Path("ro").c_str(), 0500), 0);
    EXPECT_EQ(aFile_Delete(path.c_str()), aErrPermission);
    chmod(Path("ro").c_str(), 0700);
}

TEST_F(FileTest, CloseReportsLostOutput) {
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    aFileRef file = aFile_Open("/dev/full", aFileModeWrite);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(aFile_Write(file, "x", 1, nullptr), aErrNone);  // still buffered
    EXPECT_EQ(aFile_Close(&file), aErrIO);
    EXPECT_EQ(file, nullptr);
}

}  // namespace
