#include "UpdaterStore.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "BuildPath.h"
#include "Log.h"
#include "UpdaterDisplayInterface.h"
#include "aDirectory.h"

namespace {

constexpr uint32_t kFolderMode = 0755;

std::string sSerialName(uint32_t serial) {
    char name[16];
    snprintf(name, sizeof(name), "%08X", serial);
    return name;
}

std::string sLastComponent(const std::string& path) {
    const size_t slash = path.rfind(aDIR_PATH_SEP);
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string sFolderOf(const std::string& path) {
    const size_t slash = path.rfind(aDIR_PATH_SEP);
    if (slash == std::string::npos) return std::string();
    return slash == 0 ? std::string(1, aDIR_PATH_SEP) : path.substr(0, slash);
}

bool sIsDotEntry(const std::string& name) {
    return name == "." || name == "..";
}

std::string sSettingsPath(const std::string& location, const std::string& name) {
    return BuildPath(location.c_str(), name.c_str(), KeyValueStore::DEFAULT_FILENAME, nullptr);
}

struct FindItemContext {
    explicit FindItemContext(const std::string& name) : sought(&name) {}
    const std::string* sought;
    bool found = false;
    std::string path;
    bool isDirectory = false;
};

// Stops at the first entry whose own name contains the name sought. The base folder's path is
// left out of the match so that a base whose path happens to contain the name does not make
// every device "found".
bool _find_item(const aDirectoryListData* entry, void* context) {
    auto* find = static_cast<FindItemContext*>(context);
    Log::log(DEBUG_Updater, "%s([%s], %d, %d) searching for %s\n", "_find_item", entry->path,
             static_cast<int>(entry->isDirectory), static_cast<int>(entry->size),
             find->sought->c_str());
    const std::string name = sLastComponent(entry->path);
    if (sIsDotEntry(name) || name.find(*find->sought) == std::string::npos) return true;
    find->found = true;
    find->path = entry->path;
    find->isDirectory = entry->isDirectory != 0;
    return false;
}

struct ListedEntry {
    std::string name;
    bool isDirectory;
};

bool _find_items(const aDirectoryListData* entry, void* context) {
    auto* listed = static_cast<std::vector<ListedEntry>*>(context);
    Log::log(DEBUG_Updater, "%s([%s], %d, %d)\n", "_find_items", entry->path,
             static_cast<int>(entry->isDirectory), static_cast<int>(entry->size));
    std::string name = sLastComponent(entry->path);
    if (!name.empty() && name[0] != '.')
        listed->push_back({std::move(name), entry->isDirectory != 0});
    return true;
}

}  // namespace

void _ensure_directory(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        aErr err = aDirectory_Ensure(path.c_str(), kFolderMode);
        if (err != aErrNone)
            throw std::runtime_error("UpdaterStore: Could not create directory " + path +
                                     " error " + std::to_string(static_cast<unsigned>(err)));
        Log::log(DEBUG_Updater, "UpdaterStore: Created directory [%s].\n", path.c_str());
    } else if (!S_ISDIR(st.st_mode)) {
        throw std::runtime_error("UpdaterStore: " + path + " exists and is a file");
    } else {
        Log::log(DEBUG_Updater, "UpdaterStore: [%s] already exists.\n", path.c_str());
    }
}

std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display,
                                                  const std::string& base, const char* caller) {
    try {
        return std::make_unique<UpdaterStore>(base);
    } catch (const std::runtime_error& error) {
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        "Failed to Create UpdaterStore in: %s - Exception: %s",
                        caller ? caller : "", error.what());
        return nullptr;
    }
}

UpdaterStoreItem::UpdaterStoreItem(const std::string& location, const std::string& name,
                                   store_item_t type)
    : location(location), name(name), type(type) {}

std::string UpdaterStoreItem::Path() const {
    return BuildPath(location.c_str(), name.c_str(), nullptr);
}

aErr UpdaterStoreItem::WriteFile(const char* file_name, const uint8_t* bytes, size_t length) const {
    if (!bytes || !file_name) return aErrNotFound;
    const std::string path = BuildPath(location.c_str(), name.c_str(), file_name, nullptr);
    bool opened = false;
    if (ReplaceFileAtomically(path, bytes, length, &opened) == 0) return aErrNone;
    return opened ? aErrIO : aErrNotFound;
}

BirdFile UpdaterStoreItem::ReadBirdFile(const char* file_name) const {
    const std::string path =
        BuildPath(location.c_str(), name.c_str(), file_name ? file_name : "", nullptr);
    if (!BirdFile::VerifyFile(path)) throw std::runtime_error("Invalid bird " + path);
    return BirdFile(path);
}

UpdaterStore::UpdaterStore(const std::string& base) : base(base) {
    _ensure_directory(base);
}

UpdaterStoreItem UpdaterStore::AddDevice(uint32_t serial) {
    return AddDevice(sSerialName(serial));
}

UpdaterStoreItem UpdaterStore::AddDevice(const std::string& name) {
    _ensure_directory(BuildPath(base.c_str(), name.c_str(), nullptr));
    UpdaterStoreItem item(base, name, ITEM_DIRECTORY);
    item.settings.Load(sSettingsPath(base, name).c_str());
    return item;
}

bool UpdaterStore::FindDevice(uint32_t serial, UpdaterStoreItem* item) {
    return FindDevice(sSerialName(serial), item);
}

bool UpdaterStore::FindDevice(const std::string& name, UpdaterStoreItem* item) {
    FindItemContext find(name);
    aDirectory_List(base.c_str(), _find_item, &find);
    Log::log(DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n", find.found ? "Found" : "Not Found",
             name.c_str());
    if (find.found && item) {
        UpdaterStoreItem found(sFolderOf(find.path), sLastComponent(find.path),
                               find.isDirectory ? ITEM_DIRECTORY : ITEM_FILE);
        found.settings.Load(sSettingsPath(found.location, found.name).c_str());
        *item = std::move(found);
    }
    return find.found;
}

bool UpdaterStore::FindLocalBuilds(uint32_t serial, std::vector<UpdaterStoreItem>& items) {
    UpdaterStoreItem device;
    if (!FindDevice(serial, &device)) return true;
    const std::string folder = device.Path();
    std::vector<ListedEntry> listed;
    aDirectory_List(folder.c_str(), _find_items, &listed);
    for (const ListedEntry& entry : listed) {
        UpdaterStoreItem item(folder, entry.name, entry.isDirectory ? ITEM_DIRECTORY : ITEM_FILE);
        item.settings.Load(sSettingsPath(folder, entry.name).c_str());
        items.push_back(std::move(item));
    }
    return true;
}
