#include "UpdaterStore.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "CaptureDisplay.h"
#include "Log.h"
#include "Process.h"
#include "LogCapture.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ReadFile;
using testsupport::TempDir;

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::vector<std::string> FolderEntries(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// A minimal BIRD file: header "bird" 01 01 and a zlib body holding no blocks.
std::string MinimalBird() {
    const unsigned char content[8] = {0, 0, 0, 0, 0, 0, 0, 0};  // block count, checksum
    unsigned char body[64];
    uLongf bodySize = sizeof(body);
    EXPECT_EQ(compress(body, &bodySize, content, sizeof(content)), Z_OK);
    return std::string("bird\x01\x01", 6) + std::string(reinterpret_cast<char*>(body), bodySize);
}

class UpdaterStoreTest : public ::testing::Test {
protected:
    std::string Path(const std::string& relative) const { return dir.path() + "/" + relative; }
    TempDir dir;
};

TEST_F(UpdaterStoreTest, ConstructorCreatesTheBaseWithItsParentsOnce) {
    const std::string base = Path("home/.quillmet/updater");
    testsupport::LogCapture log(DEBUG_Updater);
    UpdaterStore first(base);
    UpdaterStore second(base);
    EXPECT_TRUE(fs::is_directory(base));
    EXPECT_EQ(second.BasePath(), base);
    EXPECT_EQ(log.Text(), "UpdaterStore: Created directory [" + base + "].\nUpdaterStore: [" +
                              base + "] already exists.\n");
}

TEST_F(UpdaterStoreTest, BaseThatCannotBeAFolderThrowsAndCreateReportsIt) {
    WriteText(Path("file"), "x");
    struct Case {
        std::string base;
        std::string error;
    };
    const Case cases[] = {
        {Path("file"), "UpdaterStore: " + Path("file") + " exists and is a file"},
        {Path("file/store"), "UpdaterStore: Could not create directory " + Path("file/store") +
                                 " error " + std::to_string(aErrPermission)},
    };
    for (const Case& c : cases) {
        try {
            UpdaterStore store(c.base);
            ADD_FAILURE() << "no error for " << c.base;
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(std::string(error.what()), c.error);
        }
        testsupport::CaptureDisplay display;
        EXPECT_EQ(_createUpdaterStore(display, c.base, "Update_Firmware"), nullptr);
        EXPECT_EQ(display.errors,
                  std::vector<std::string>{"Failed to Create UpdaterStore in: Update_Firmware - "
                                           "Exception: " +
                                           c.error});
    }
    testsupport::CaptureDisplay display;
    auto store = _createUpdaterStore(display, Path("ok"), "Download_Firmware");
    ASSERT_NE(store, nullptr);
    EXPECT_EQ(store->BasePath(), Path("ok"));
    EXPECT_TRUE(display.errors.empty());
}

TEST_F(UpdaterStoreTest, AddDeviceCreatesTheSerialFolderAndItsSettings) {
    struct Case {
        uint32_t serial;
        const char* folder;
    };
    UpdaterStore store(Path("store"));
    for (const Case& c : {Case{0x40F5849A, "40F5849A"}, Case{0xABC, "00000ABC"}}) {
        UpdaterStoreItem item = store.AddDevice(c.serial);
        EXPECT_EQ(item.location, Path("store"));
        EXPECT_EQ(item.name, c.folder);
        EXPECT_EQ(item.type, ITEM_DIRECTORY);
        EXPECT_TRUE(item.IsValid());
        const std::string settings = Path("store/") + c.folder + "/.settings";
        EXPECT_EQ(item.settings.Path(), settings);
        KeyValueStore written(settings.c_str());
        EXPECT_NE(written["CREATED_TIME"], nullptr) << ReadFile(settings);
        EXPECT_NE(written["UPDATED_TIME"], nullptr) << ReadFile(settings);
    }
    EXPECT_EQ(FolderEntries(Path("store")), (std::vector<std::string>{"00000ABC", "40F5849A"}));
}

TEST_F(UpdaterStoreTest, AddDeviceAgainKeepsTheRecordedSettings) {
    UpdaterStore store(Path("store"));
    UpdaterStoreItem item = store.AddDevice(0x40F5849A);
    item.settings.Add("LATEST_DOWNLOAD", "1234.bird");
    item.settings.Save();
    UpdaterStoreItem copy = item;
    EXPECT_EQ(copy.location, item.location);
    EXPECT_EQ(copy.settings.Path(), item.settings.Path());

    UpdaterStoreItem again = store.AddDevice("40F5849A");
    EXPECT_EQ(again.settings.GetInt("LATEST_DOWNLOAD", 0), 1234);
}

TEST_F(UpdaterStoreTest, FindDeviceFillsTheItemOnlyWhenFound) {
    UpdaterStore store(Path("store"));
    UpdaterStoreItem item("keep", "me", ITEM_FILE);
    {
        testsupport::LogCapture log(DEBUG_Updater);
        EXPECT_FALSE(store.FindDevice(0x40F5849A, &item));
        EXPECT_NE(log.Text().find("UpdaterStore: FindDevice Not Found 40F5849A.\n"),
                  std::string::npos);
    }
    EXPECT_EQ(item.location, "keep");
    EXPECT_EQ(item.type, ITEM_FILE);

    UpdaterStoreItem recorded = store.AddDevice(0x40F5849A);
    recorded.settings.Add("LATEST_TRANSFER", "7.bird");
    recorded.settings.Save();

    testsupport::LogCapture log(DEBUG_Updater);
    EXPECT_TRUE(store.FindDevice(0x40F5849A, nullptr));
    ASSERT_TRUE(store.FindDevice(0x40F5849A, &item));
    EXPECT_EQ(item.location, Path("store"));
    EXPECT_EQ(item.name, "40F5849A");
    EXPECT_EQ(item.type, ITEM_DIRECTORY);
    EXPECT_EQ(item.settings.GetString("LATEST_TRANSFER"), "7.bird");
    const std::string text = log.Text();
    EXPECT_NE(text.find("_find_item([" + Path("store/40F5849A") + "], 1, "), std::string::npos)
        << text;
    EXPECT_NE(text.find(") searching for 40F5849A\n"), std::string::npos);
    EXPECT_NE(text.find("UpdaterStore: FindDevice Found 40F5849A.\n"), std::string::npos);
}

TEST_F(UpdaterStoreTest, FindDeviceMatchesPartOfAnEntryNameButNotOfTheBase) {
    const std::string base = Path("40F5849A-history/store");
    UpdaterStore store(base);
    EXPECT_FALSE(
        store.FindDevice(0x40F5849A, nullptr));  // "." and ".." hold the name only in the base

    fs::create_directory(base + "/x40F5849A-old");
    UpdaterStoreItem item;
    ASSERT_TRUE(store.FindDevice(0x40F5849A, &item));
    EXPECT_EQ(item.name, "x40F5849A-old");
    EXPECT_EQ(item.location, base);
}

TEST_F(UpdaterStoreTest, FindLocalBuildsListsEveryVisibleEntryOfTheDevice) {
    UpdaterStore store(Path("store"));
    UpdaterStoreItem device = store.AddDevice(0x40F5849A);
    WriteText(device.Path() + "/1234.bird", "x");
    WriteText(device.Path() + "/notes.txt", "y");
    WriteText(device.Path() + "/.hidden", "z");
    fs::create_directory(device.Path() + "/sub");

    std::vector<UpdaterStoreItem> items(1);  // appended to, not replaced
    EXPECT_TRUE(store.FindLocalBuilds(0x40F5849A, items));
    ASSERT_EQ(items.size(), 4u);
    std::sort(items.begin() + 1, items.end(),
              [](const auto& a, const auto& b) { return a.name < b.name; });
    const std::pair<const char*, store_item_t> expected[] = {
        {"1234.bird", ITEM_FILE}, {"notes.txt", ITEM_FILE}, {"sub", ITEM_DIRECTORY}};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(items[i + 1].name, expected[i].first);
        EXPECT_EQ(items[i + 1].type, expected[i].second);
        EXPECT_EQ(items[i + 1].location, device.Path());
    }
    // A plain file has no settings file and none is created.
    EXPECT_NE(items[1].settings["CREATED_TIME"], nullptr);
    EXPECT_EQ(FolderEntries(device.Path()),
              (std::vector<std::string>{".hidden", ".settings", "1234.bird", "notes.txt", "sub"}));

    std::vector<UpdaterStoreItem> none;
    EXPECT_TRUE(store.FindLocalBuilds(0x12345678, none));
    EXPECT_TRUE(none.empty());
}

TEST_F(UpdaterStoreTest, WriteFileReplacesTheFileOrReportsWhyNot) {
    UpdaterStore store(Path("store"));
    UpdaterStoreItem device = store.AddDevice(0x40F5849A);
    const uint8_t big[] = "a longer first version";
    const uint8_t small[] = "v2";
    EXPECT_EQ(device.WriteFile("1.bird", big, sizeof(big) - 1), aErrNone);
    EXPECT_EQ(device.WriteFile("1.bird", small, sizeof(small) - 1), aErrNone);
    EXPECT_EQ(ReadFile(device.Path() + "/1.bird"), "v2");
    EXPECT_EQ(device.WriteFile("empty.bird", small, 0), aErrNone);
    EXPECT_EQ(ReadFile(device.Path() + "/empty.bird"), "");

    EXPECT_EQ(device.WriteFile("2.bird", nullptr, 4), aErrNotFound);
    EXPECT_EQ(device.WriteFile(nullptr, small, 2), aErrNotFound);
    UpdaterStoreItem missing(Path("store"), "ABSENT", ITEM_DIRECTORY);
    EXPECT_EQ(missing.WriteFile("1.bird", small, 2), aErrNotFound);
    EXPECT_EQ(FolderEntries(device.Path()),
              (std::vector<std::string>{".settings", "1.bird", "empty.bird"}));
}

// A write that fails after part of the data (here: the file-size limit) leaves the old file
// whole and reports aErrIO. Runs in a child because the limit applies to the whole process.
TEST_F(UpdaterStoreTest, FailedWriteInTheMiddleLeavesTheOldFileWhole) {
    UpdaterStore store(Path("store"));
    UpdaterStoreItem device = store.AddDevice(0x40F5849A);
    const std::string old_content = "old image";
    WriteText(device.Path() + "/1.bird", old_content);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {1024, 1024};
        setrlimit(RLIMIT_FSIZE, &limit);
        std::vector<uint8_t> image(64 * 1024, 0x5A);
        _exit(static_cast<int>(device.WriteFile("1.bird", image.data(), image.size())));
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), static_cast<int>(aErrIO));
    EXPECT_EQ(ReadFile(device.Path() + "/1.bird"), old_content);
    EXPECT_EQ(FolderEntries(device.Path()), (std::vector<std::string>{".settings", "1.bird"}));
}

TEST_F(UpdaterStoreTest, ReadBirdFileLoadsOnlyABirdFile) {
    UpdaterStore store(Path("store"));
    UpdaterStoreItem device = store.AddDevice(0x40F5849A);
    WriteText(device.Path() + "/1.bird", MinimalBird());
    WriteText(device.Path() + "/2.bird", "not a firmware file");

    BirdFile bird = device.ReadBirdFile("1.bird");
    EXPECT_EQ(bird.signature, BIRD_FILE_SIGNATURE);
    EXPECT_EQ(bird.path, device.Path() + "/1.bird");

    for (const char* name : {"999.bird", "2.bird"}) {
        try {
            device.ReadBirdFile(name);
            ADD_FAILURE() << name;
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(std::string(error.what()), "Invalid bird " + device.Path() + "/" + name);
        }
    }
}

}  // namespace
