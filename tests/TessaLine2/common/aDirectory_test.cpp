#include "aDirectory.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "Process.h"

namespace {

namespace fs = std::filesystem;
using testsupport::TempDir;

class aDirectoryTest : public ::testing::Test {
protected:
    std::string Path(const std::string& relative) const { return dir.path() + "/" + relative; }
    void WriteText(const std::string& relative, const std::string& text) const {
        std::ofstream(Path(relative), std::ios::binary) << text;
    }
    TempDir dir;
};

TEST_F(aDirectoryTest, ExistsOnlyForAFolder) {
    WriteText("file", "x");
    EXPECT_TRUE(aDirectory_Exists(dir.path().c_str()));
    EXPECT_FALSE(aDirectory_Exists(Path("file").c_str()));
    EXPECT_FALSE(aDirectory_Exists(Path("absent").c_str()));
    EXPECT_FALSE(aDirectory_Exists(nullptr));
}

TEST_F(aDirectoryTest, EnsureCreatesEveryMissingComponent) {
    WriteText("file", "x");
    fs::create_directory(Path("have"));
    struct Case {
        std::string path;
        aErr expected;
        const char* check;  // folder that must exist afterwards, relative; null: none
    };
    const Case cases[] = {
        {dir.path(), aErrNone, ""},
        {Path("have"), aErrNone, "have"},
        {Path("a/b/c"), aErrNone, "a/b/c"},
        {Path("have/x/y/"), aErrNone, "have/x/y"},
        {Path("d//e"), aErrNone, "d/e"},
        {Path("file/sub"), aErrPermission, nullptr},
        {Path("file"), aErrPermission, nullptr},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(aDirectory_Ensure(c.path.c_str(), 0755), c.expected) << c.path;
        if (c.check) {
            EXPECT_TRUE(aDirectory_Exists(Path(c.check).c_str())) << c.path;
        }
    }
    EXPECT_EQ(aDirectory_Ensure(nullptr, 0755), aErrParam);
    EXPECT_EQ(aDirectory_Ensure("", 0755), aErrParam);
}

TEST_F(aDirectoryTest, EnsureAppliesTheModeToEveryNewComponent) {
    const mode_t mask = umask(022);
    ASSERT_EQ(aDirectory_Ensure(Path("p/q").c_str(), 0700), aErrNone);
    umask(mask);
    for (const char* folder : {"p", "p/q"}) {
        struct stat st;
        ASSERT_EQ(stat(Path(folder).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u) << folder;
    }
}

TEST_F(aDirectoryTest, ListReportsEveryEntryWithPathSizeAndKind) {
    WriteText("five", "12345");
    fs::create_directory(Path("sub"));
    std::vector<std::string> seen;
    auto record = [](const aDirectoryListData* entry, void* context) {
        auto* lines = static_cast<std::vector<std::string>*>(context);
        lines->push_back(std::string(entry->path) + " dir=" + std::to_string(entry->isDirectory) +
                         (entry->isDirectory ? "" : " size=" + std::to_string(entry->size)));
        return true;
    };
    EXPECT_EQ(aDirectory_List(dir.path().c_str(), record, &seen), aErrNone);
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen,
              (std::vector<std::string>{Path(".") + " dir=1", Path("..") + " dir=1",
                                        Path("five") + " dir=0 size=5", Path("sub") + " dir=1"}));

    int calls = 0;
    auto stop = [](const aDirectoryListData*, void* context) {
        ++*static_cast<int*>(context);
        return false;
    };
    EXPECT_EQ(aDirectory_List(dir.path().c_str(), stop, &calls), aErrNone);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(aDirectory_List(Path("absent").c_str(), stop, &calls), aErrNotFound);
    EXPECT_EQ(calls, 1);
}

struct JoinCase {
    std::vector<const char*> parts;
    size_t size;
    aErr expected;
    const char* text;  // expected result when aErrNone
};

TEST(aDirectoryBuildPath, JoinsWithOneSeparatorAndChecksItsLimits) {
    const JoinCase cases[] = {
        {{"a", "b"}, 16, aErrNone, "a/b"},
        {{"a/", "b"}, 16, aErrNone, "a/b"},
        {{"a", "/b"}, 16, aErrNone, "a/b"},
        {{"a/", "/b"}, 16, aErrNone, "a//b"},  // separators are never removed
        {{"/", "x", "y"}, 16, aErrNone, "/x/y"},
        {{"", "b"}, 16, aErrNone, "b"},  // an empty start stays relative
        {{"a", ""}, 16, aErrNone, "a/"},
        {{"only"}, 16, aErrNone, "only"},
        {{}, 16, aErrNone, ""},
        {{"abc", "de"}, 7, aErrNone, "abc/de"},  // exactly fits with its NUL
        {{"abc", "de"}, 6, aErrOverrun, nullptr},
        {{"0", "1", "2", "3", "4", "5", "6", "7", "8", "9"}, 32, aErrNone, "0/1/2/3/4/5/6/7/8/9"},
        {{"0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "10"}, 32, aErrParam, nullptr},
    };
    for (const JoinCase& c : cases) {
        char buffer[64];
        std::vector<const char*> p = c.parts;
        p.resize(12, nullptr);  // the list always ends with a null pointer
        aErr err = aDirectory_BuildPath(buffer, c.size, p[0], p[1], p[2], p[3], p[4], p[5], p[6],
                                        p[7], p[8], p[9], p[10], p[11]);
        EXPECT_EQ(err, c.expected) << c.parts.size() << " parts, size " << c.size;
        if (c.text && err == aErrNone) {
            EXPECT_STREQ(buffer, c.text);
        }
    }
}

TEST(aDirectoryBuildPath, RefusesAMissingOrAliasedBufferAndJoinPathIsTwoParts) {
    char buffer[32] = "self";
    EXPECT_EQ(aDirectory_BuildPath(nullptr, 32, "a", "b", nullptr), aErrParam);
    EXPECT_EQ(aDirectory_BuildPath(buffer, sizeof(buffer), "a", buffer, nullptr), aErrParam);
    EXPECT_EQ(aDirectory_JoinPath(buffer, sizeof(buffer), "dir/", "40F5849A"), aErrNone);
    EXPECT_STREQ(buffer, "dir/40F5849A");
    EXPECT_EQ(aDirectory_JoinPath(buffer, 4, "dir", "x"), aErrOverrun);
}

TEST(aDirectoryHome, GivesThePasswordEntryElseHome) {
    const struct passwd* entry = getpwuid(getuid());
    const char* home = entry && entry->pw_dir && *entry->pw_dir ? entry->pw_dir : getenv("HOME");
    ASSERT_NE(home, nullptr);
    char buffer[4096];
    ASSERT_EQ(aDirectory_GetHomeDirectory(buffer, sizeof(buffer)), aErrNone);
    EXPECT_STREQ(buffer, home);
    EXPECT_EQ(aDirectory_GetHomeDirectory(buffer, strlen(home)), aErrOverrun);
    EXPECT_EQ(aDirectory_GetHomeDirectory(nullptr, sizeof(buffer)), aErrParam);
}

TEST_F(aDirectoryTest, DeleteRemovesOnlyAnEmptyFolder) {
    fs::create_directories(Path("full/inner"));
    fs::create_directory(Path("empty"));
    EXPECT_EQ(aDirectory_Delete(Path("empty").c_str()), aErrNone);
    EXPECT_FALSE(fs::exists(Path("empty")));
    EXPECT_EQ(aDirectory_Delete(Path("full").c_str()), aErrUnknown);
    EXPECT_EQ(aDirectory_Delete(Path("absent").c_str()), aErrUnknown);
    EXPECT_TRUE(fs::exists(Path("full/inner")));
}

TEST_F(aDirectoryTest, DeleteTreeRemovesEverythingBelowButNotThroughLinks) {
    fs::create_directories(Path("tree/a/b"));
    WriteText("tree/a/b/file", "x");
    WriteText("tree/top", "y");
    fs::create_directory(Path("outside"));
    WriteText("outside/keep", "z");
    fs::create_directory_symlink(Path("outside"), Path("tree/link"));

    EXPECT_EQ(aDirectory_DeleteTree(Path("tree").c_str()), aErrNone);
    EXPECT_FALSE(fs::exists(Path("tree")));
    EXPECT_TRUE(fs::exists(Path("outside/keep")));
    EXPECT_EQ(aDirectory_DeleteTree(Path("tree").c_str()), aErrNotFound);

    // A link given as the tree itself goes; the folder it points to stays whole.
    fs::create_directory_symlink(Path("outside"), Path("alias"));
    EXPECT_EQ(aDirectory_DeleteTree(Path("alias").c_str()), aErrNone);
    EXPECT_FALSE(fs::is_symlink(Path("alias")));
    EXPECT_TRUE(fs::exists(Path("outside/keep")));
}

}  // namespace
