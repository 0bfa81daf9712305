#include "KeyValueStore.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <regex>

#include "Log.h"
#include "Process.h"
#include "LogCapture.h"

namespace {

using testsupport::ReadFile;
using testsupport::TempDir;

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// Text oracle of a store: "key=value\n" per entry, in key order.
std::string ToString(const KeyValueStore& store) {
    std::string text;
    for (const auto& [key, value] : store.Entries()) text += key + "=" + value + "\n";
    return text;
}

std::vector<std::string> FolderEntries(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

bool IsTimeText(const char* text) {
    static const std::regex ctime_layout(
        R"([A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4})");
    return text && std::regex_match(text, ctime_layout);
}

class KeyValueStoreTest : public ::testing::Test {
protected:
    std::string File(const char* name) const { return dir.path() + "/" + name; }
    TempDir dir;
};

struct ReadCase {
    const char* name;
    std::string file;
    std::string entries;  // ToString of the loaded store
};

const std::string kLong2046(2044, 'v');  // "A=" + 2044 characters + line feed: 2047 characters
const std::string kLong2047(2045, 'v');  // one more: the line does not fit any more

const ReadCase kReadCases[] = {
    {"CommentsShortLinesBlanksAndEqualsInValue", "# comment\na\n  KEY  =   some value  \nX=1=2\n",
     "KEY=some value\nX=1=2\n"},
    {"IndentedHashIsAKey", "  #K=1\n", "#K=1\n"},
    {"ThreeCharactersAreEnough", "a=\nb=c", "a=\nb=c\n"},
    {"TwoCharactersAreSkipped", "a=", ""},
    {"LaterLineWins", "A=1\nA=2\n", "A=2\n"},
    {"TabsAndCarriageReturnsAreBlanks", "\tK\t=\t v \r\n", "K=v\n"},
    {"LineWithoutEqualsOrKeyIsSkipped", "just text\n= value\n   =x\nB=2\n", "B=2\n"},
    {"EmptyFile", "", ""},
    {"LongestLineFits", "A=" + kLong2046 + "\nC=3\n", "A=" + kLong2046 + "\nC=3\n"},
    {"TooLongLineEndsReading", "A=1\nB=" + kLong2047 + "\nC=3\n", "A=1\n"},
    {"LineOf3000EndsReading", "A=1\nB=" + std::string(2998, 'x') + "\nC=3\n", "A=1\n"},
};

class KeyValueStoreRead : public ::testing::TestWithParam<ReadCase> {};

TEST_P(KeyValueStoreRead, LoadsTheEntriesOfTheReadingRules) {
    TempDir dir;
    const std::string path = dir.path() + "/.settings";
    WriteText(path, GetParam().file);
    KeyValueStore store(path.c_str());
    EXPECT_EQ(ToString(store), GetParam().entries);
    EXPECT_EQ(store.Path(), path);
    EXPECT_FALSE(store.IsModified());
}

INSTANTIATE_TEST_SUITE_P(Files, KeyValueStoreRead, ::testing::ValuesIn(kReadCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(KeyValueStoreTest, LoadKeepsEntriesInMemoryAndReplacesEqualKeys) {
    WriteText(File("s"), "B=file\nC=file\n");
    KeyValueStore store;
    store.Add("A", "mem");
    store.Add("B", "mem");
    store.Load(File("s").c_str());
    EXPECT_EQ(ToString(store), "A=mem\nB=file\nC=file\n");
    EXPECT_FALSE(store.IsModified());
}

TEST_F(KeyValueStoreTest, LoadOfAMissingFileCreatesItWithBothTimes) {
    testsupport::LogCapture log(DEBUG_Attributes);
    KeyValueStore store(File(".settings").c_str());

    const std::string written = ReadFile(File(".settings"));
    KeyValueStore reread(File(".settings").c_str());
    EXPECT_EQ(reread.Entries().size(), 2u) << written;
    EXPECT_TRUE(IsTimeText(reread["CREATED_TIME"])) << written;
    EXPECT_TRUE(IsTimeText(reread["UPDATED_TIME"])) << written;
    EXPECT_EQ(ToString(store), written);
    EXPECT_FALSE(store.IsModified());
    EXPECT_EQ(log.Text(),
              "Attibutes: Error - cannot open attributes file: '" + File(".settings") + "' (2)\n");
}

TEST_F(KeyValueStoreTest, LoadInAMissingFolderWritesNothingAndKeepsTheTimesInMemory) {
    testsupport::LogCapture log(DEBUG_Attributes);
    const std::string path = File("absent/.settings");
    KeyValueStore store(path.c_str());
    EXPECT_FALSE(std::filesystem::exists(File("absent")));
    EXPECT_TRUE(IsTimeText(store["CREATED_TIME"]));
    EXPECT_TRUE(IsTimeText(store["UPDATED_TIME"]));
    EXPECT_EQ(store.Path(), path);
    EXPECT_EQ(log.Text(), "Attibutes: Error - cannot open attributes file: '" + path +
                              "' (2)\nAttibutes: Error - cannot open attributes file for "
                              "writting: '" +
                              path + "' (2)\n");
}

TEST_F(KeyValueStoreTest, TypedGetterAddsAnAbsentKeyThatSaveWritesEmpty) {
    WriteText(File("s"), "A=1\n");
    KeyValueStore store(File("s").c_str());
    EXPECT_EQ(store.GetInt("MISSING", 7), 7);
    EXPECT_STREQ(store["MISSING"], "");
    EXPECT_FALSE(store.IsModified());
    store.Save();
    EXPECT_EQ(ReadFile(File("s")), "A=1\nMISSING=\n");  // not modified: no UPDATED_TIME
    KeyValueStore reread(File("s").c_str());
    EXPECT_EQ(reread.GetInt("MISSING", 7), 7);
}

TEST_F(KeyValueStoreTest, TypedGettersReadTheTextOrReturnTheDefaultWhenEmpty) {
    struct IntCase {
        const char* value;
        int32_t expected;  // with default 99
    };
    for (const IntCase& c : std::initializer_list<IntCase>{
             {"42", 42}, {"  -12abc", -12}, {"abc", 0}, {"", 99}, {"4294967297", 1}}) {
        KeyValueStore store;
        store.Add("K", c.value);
        EXPECT_EQ(store.GetInt("K", 99), c.expected) << c.value;
        EXPECT_EQ(store.GetBOOL("K", true), c.expected != 0) << c.value;
    }
    struct HexCase {
        const char* value;
        uint32_t expected;  // with default 0xD0
    };
    for (const HexCase& c : std::initializer_list<HexCase>{{"0x40F5849A", 0x40F5849A},
                                                           {"ff", 0xFF},
                                                           {"FFFFFFFF", 0xFFFFFFFF},
                                                           {"-1", 0xFFFFFFFF},
                                                           {"zz", 0},
                                                           {"", 0xD0}}) {
        KeyValueStore store;
        store.Add("K", c.value);
        EXPECT_EQ(store.GetHex("K", 0xD0), c.expected) << c.value;
    }
    KeyValueStore store;
    store.Add("D", "2.5");
    EXPECT_DOUBLE_EQ(store.GetDouble("D", 1.0), 2.5);
    EXPECT_DOUBLE_EQ(store.GetDouble("E", 1.0), 1.0);
    EXPECT_FALSE(store.GetBOOL("B", false));
    EXPECT_EQ(ToString(store), "B=\nD=2.5\nE=\n");
}

TEST_F(KeyValueStoreTest, GetStringNeverAddsAndPrefersAPresentEmptyValue) {
    KeyValueStore store;
    EXPECT_EQ(store.GetString("NONE", nullptr), "");
    EXPECT_EQ(store.GetString("NONE", "fallback"), "fallback");
    EXPECT_EQ(store["NONE"], nullptr);
    store.Add("EMPTY", "");
    EXPECT_EQ(store.GetString("EMPTY", "fallback"), "");
    EXPECT_TRUE(store.Entries().count("EMPTY"));
    EXPECT_FALSE(store.IsModified());  // an absent key counts as empty
}

TEST_F(KeyValueStoreTest, AddFormatsEachTypeAsText) {
    KeyValueStore store;
    EXPECT_TRUE(store.Add("INT", 5));
    EXPECT_TRUE(store.Add("NEG", -3));
    EXPECT_TRUE(store.Add("DBL", 2.5));
    EXPECT_TRUE(store.AddHex("HEX", 0x40F5849A));
    EXPECT_TRUE(store.AddHex("SMALL", 0xABC));
    EXPECT_TRUE(store.Add("STR", std::string("a b=c")));
    EXPECT_TRUE(store.Add("NUL", static_cast<const char*>(nullptr)));
    EXPECT_EQ(ToString(store),
              "DBL=2.500000\nHEX=0x40F5849A\nINT=5\nNEG=-3\nNUL=\nSMALL=0x00000ABC\nSTR=a b=c\n");
    EXPECT_EQ(store.GetHex("HEX", 0), 0x40F5849Au);
}

TEST_F(KeyValueStoreTest, UpdatedTimeChangesOnlyWhenSomethingChanged) {
    WriteText(File("s"), "N=5\nUPDATED_TIME=old\n");
    KeyValueStore store(File("s").c_str());
    store.Add("N", 5);
    EXPECT_FALSE(store.IsModified());
    store.Save();
    EXPECT_EQ(ReadFile(File("s")), "N=5\nUPDATED_TIME=old\n");

    store.Add("N", 6);
    EXPECT_TRUE(store.IsModified());
    store.Save();
    EXPECT_FALSE(store.IsModified());
    EXPECT_TRUE(IsTimeText(store["UPDATED_TIME"]));
    EXPECT_EQ(ReadFile(File("s")), "N=6\nUPDATED_TIME=" + store.GetString("UPDATED_TIME") + "\n");
}

TEST_F(KeyValueStoreTest, ClearAndAddStoreMarkModifiedUnlessEmpty) {
    KeyValueStore other;
    KeyValueStore store;
    store.Add("A", "1");
    store.Save(File("s").c_str());
    store.Add(other);
    EXPECT_FALSE(store.IsModified());

    other.Add("A", "2");
    other.Add("B", "3");
    store.Add(other);
    EXPECT_TRUE(store.IsModified());
    EXPECT_EQ(store.GetString("A"), "2");
    EXPECT_EQ(store.GetString("B"), "3");

    store.Save();
    EXPECT_TRUE(store.Clear());
    EXPECT_TRUE(store.IsModified());
    store.Save();
    const std::string written = ReadFile(File("s"));
    EXPECT_EQ(written.rfind("UPDATED_TIME=", 0), 0u) << written;
    EXPECT_EQ(std::count(written.begin(), written.end(), '\n'), 1) << written;
}

TEST_F(KeyValueStoreTest, CopiesCarryPathEntriesAndModifiedFlag) {
    KeyValueStore store(File("s").c_str());
    store.Add("A", "1");
    KeyValueStore copy(store);
    KeyValueStore assigned;
    assigned = store;
    for (const KeyValueStore* c : {&copy, &assigned}) {
        EXPECT_EQ(c->Path(), store.Path());
        EXPECT_EQ(ToString(*c), ToString(store));
        EXPECT_TRUE(c->IsModified());
    }
}

TEST_F(KeyValueStoreTest, SaveWithoutAnyPathUsesTheDefaultNameInTheCurrentFolder) {
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    testsupport::LogCapture log(DEBUG_Attributes);
    KeyValueStore store;
    store.Add("A", "1");
    store.Save();
    std::filesystem::current_path(previous);
    EXPECT_EQ(store.Path(), ".settings");
    EXPECT_EQ(ReadFile(File(".settings")).rfind("A=1\nUPDATED_TIME=", 0), 0u);
    EXPECT_EQ(log.Text(),
              "Attibutes: no filename given for attributes, using default:[.settings]\n");
}

// Keys and values that would read back as other entries, or shadow another key, are refused.
TEST_F(KeyValueStoreTest, RefusesKeysAndValuesThatWouldInjectEntries) {
    struct Refused {
        std::string key;
        std::string value;
    };
    const Refused cases[] = {
        {"A", "1\nLATEST_DOWNLOAD=evil.bird"},
        {"A", "1\rB=2"},
        {"A\nB", "1"},
        {"LATEST_DOWNLOAD=x", "1"},
        {"", "1"},
        {" A", "1"},
        {"A\t", "1"},
        {std::string("A\0B", 3), "1"},
        {"A", std::string("1\0B=2", 5)},
    };
    WriteText(File("s"), "LATEST_DOWNLOAD=12.bird\n");
    KeyValueStore store(File("s").c_str());
    for (const Refused& c : cases) {
        EXPECT_FALSE(store.Add(c.key, c.value)) << c.key << "=" << c.value;
        if (c.value.find('\0') == std::string::npos) {  // as a C text it would end at the NUL
            EXPECT_FALSE(store.Add(c.key, c.value.c_str())) << c.key;
        }
    }
    EXPECT_EQ(store.GetInt("A\nB", 3), 3);
    EXPECT_FALSE(store.IsModified());
    EXPECT_EQ(ToString(store), "LATEST_DOWNLOAD=12.bird\n");
    store.Save();
    EXPECT_EQ(ReadFile(File("s")), "LATEST_DOWNLOAD=12.bird\n");
}

TEST_F(KeyValueStoreTest, SaveReplacesTheFileKeepingModeAndSymbolicLink) {
    WriteText(File("real"), "A=1\n");
    chmod(File("real").c_str(), 0640);
    std::filesystem::create_symlink("real", File("link"));
    KeyValueStore store(File("link").c_str());
    store.Add("A", "2");
    store.Save();
    EXPECT_TRUE(std::filesystem::is_symlink(File("link")));
    EXPECT_EQ(ReadFile(File("real")).rfind("A=2\nUPDATED_TIME=", 0), 0u);
    struct stat st;
    ASSERT_EQ(stat(File("real").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(FolderEntries(dir.path()), (std::vector<std::string>{"link", "real"}));
}

TEST_F(KeyValueStoreTest, SaveThatCannotOpenKeepsModifiedAndLogs) {
    std::filesystem::create_directory(File("folder"));
    for (const std::string& path : {File("absent/s"), File("folder")}) {
        testsupport::LogCapture log(DEBUG_Attributes);
        KeyValueStore store;
        store.Add("A", "1");
        store.Save(path.c_str());
        EXPECT_TRUE(store.IsModified()) << path;
        const int error = path == File("folder") ? EISDIR : ENOENT;
        EXPECT_EQ(log.Text(), "Attibutes: Error - cannot open attributes file for writting: '" +
                                  path + "' (" + std::to_string(error) + ")\n");
    }
    EXPECT_TRUE(std::filesystem::is_directory(File("folder")));
}

TEST_F(KeyValueStoreTest, SaveLeavesAReadOnlyFileAlone) {
    if (geteuid() == 0) GTEST_SKIP() << "permissions do not bind the superuser";
    WriteText(File("s"), "A=1\n");
    chmod(File("s").c_str(), 0444);
    KeyValueStore store(File("s").c_str());
    store.Add("A", "2");
    store.Save();
    EXPECT_TRUE(store.IsModified());
    EXPECT_EQ(ReadFile(File("s")), "A=1\n");
}

// A save that fails after part of the data was written (here: the file-size limit) leaves the old
// file whole, reports the error and keeps the store modified. Runs in a child process because
// the limit applies to the whole process.
TEST_F(KeyValueStoreTest, FailedWriteInTheMiddleOfSaveLeavesTheOldFileWhole) {
    const std::string old_content = "A=old\nUPDATED_TIME=then\n";
    WriteText(File(".settings"), old_content);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {64, 64};
        setrlimit(RLIMIT_FSIZE, &limit);
        testsupport::LogCapture log(DEBUG_Attributes);
        KeyValueStore store(File(".settings").c_str());
        store.Add("A", std::string(4096, 'n'));
        store.Save();
        const bool logged =
            log.Text() == "Attibutes: Error - cannot open attributes file for writting: '" +
                              File(".settings") + "' (" + std::to_string(EFBIG) + ")\n";
        _exit(!store.IsModified() ? 10 : !logged ? 11 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0) << "10: modified cleared, 11: error not logged";
    EXPECT_EQ(ReadFile(File(".settings")), old_content);
    EXPECT_EQ(FolderEntries(dir.path()), std::vector<std::string>{".settings"});
}

}  // namespace
