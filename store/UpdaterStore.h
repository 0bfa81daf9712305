#pragma once
// The local store: one folder per device below a base folder, named by the serial number
// ("%08X"), holding the device's BIRD files and its ".settings" file.
//
// Directory problems surface as std::runtime_error from the constructor and AddDevice; settings
// that cannot be read or written only produce debug lines. Debug lines go to DEBUG_Updater.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "BirdFile.h"
#include "KeyValueStore.h"
#include "aError.h"

class UpdaterDisplayInterface;

enum store_item_t { ITEM_FILE = 0, ITEM_DIRECTORY = 1, ITEM_NONE = 2 };

// One entry of the store (a device folder, or a file inside one) with that entry's settings,
// loaded from <location>/<name>/.settings. A copyable value.
class UpdaterStoreItem {
public:
    UpdaterStoreItem() = default;
    UpdaterStoreItem(const std::string& location, const std::string& name, store_item_t type);

    // True when both `location` and `name` are non-empty.
    bool IsValid() const { return !location.empty() && !name.empty(); }

    // <location>/<name>
    std::string Path() const;

    // Replaces <location>/<name>/<file_name> with `length` bytes, atomically: a failed or
    // interrupted write leaves any earlier file whole. aErrNone; aErrNotFound when `bytes` or
    // `file_name` is null or the file cannot be opened for writing; aErrIO when writing, flushing
    // or replacing fails.
    aErr WriteFile(const char* file_name, const uint8_t* bytes, size_t length) const;

    // The BIRD file <location>/<name>/<file_name>, loaded. Throws std::runtime_error
    // "Invalid bird <path>" when it is not a BIRD file, or the loader's error when it cannot be
    // loaded.
    BirdFile ReadBirdFile(const char* file_name) const;

    std::string location;
    std::string name;
    store_item_t type = ITEM_NONE;
    KeyValueStore settings;
};

class UpdaterStore {
public:
    // Makes sure `base` exists as a folder (_ensure_directory); throws its std::runtime_error.
    explicit UpdaterStore(const std::string& base);

    const std::string& BasePath() const { return base; }

    // Ensures the folder <base>/<name> (mode 0755; may throw like the constructor) and returns
    // its item with the settings loaded, creating ".settings" when it is new. The serial number
    // form uses the name "%08X".
    UpdaterStoreItem AddDevice(uint32_t serial);
    UpdaterStoreItem AddDevice(const std::string& name);

    // Looks for the first entry of the base folder (in the folder's listing order) whose name
    // contains `name`; "." and ".." never match. When found and `item` is not null, fills it with
    // the entry and its settings. Returns whether an entry was found; leaves `item` alone when
    // none was. The serial number form uses the name "%08X".
    bool FindDevice(uint32_t serial, UpdaterStoreItem* item);
    bool FindDevice(const std::string& name, UpdaterStoreItem* item);

    // Appends to `items` one item for every entry of the device's folder whose name does not
    // begin with "." (no items when the device is not in the store). Always returns true.
    bool FindLocalBuilds(uint32_t serial, std::vector<UpdaterStoreItem>& items);

private:
    std::string base;
};

// The store for `base`, or an empty pointer after printing "Failed to Create UpdaterStore in: %s
// - Exception: %s" (caller, error text) as an error when it cannot be created.
std::unique_ptr<UpdaterStore> _createUpdaterStore(UpdaterDisplayInterface& display,
                                                  const std::string& base, const char* caller);

// Makes sure `path` exists as a folder, creating it and its parents with mode 0755. Throws
// std::runtime_error when it cannot be created or exists as something else.
void _ensure_directory(const std::string& path);
