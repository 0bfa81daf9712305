#pragma once
// Folder handling and path joining on "/" separated paths.

#include <cstddef>
#include <cstdint>

#include "aError.h"

#define aDIR_PATH_SEP '/'

// One entry handed to an aDirectory_List callback.
struct aDirectoryListData {
    const char* path;      // <folder>/<entry>
    uint32_t size;         // low 32 bits of the size in bytes
    uint32_t isDirectory;  // 1 for a folder, else 0
};

// Returns false to stop the listing.
typedef bool (*aDirectoryListCallback)(const aDirectoryListData* entry, void* context);

// True when `path` is not null and names an existing directory.
bool aDirectory_Exists(const char* path);

// Creates `path` and every missing parent with `mode`. aErrNone when it exists afterwards;
// aErrPermission when a component could not be created; aErrParam for a null or empty path.
aErr aDirectory_Ensure(const char* path, uint32_t mode);

// Calls `callback` for every entry of `path` ("." and ".." included) whose status can be read,
// until it returns false. aErrNotFound when the folder cannot be opened.
aErr aDirectory_List(const char* path, aDirectoryListCallback callback, void* context);

// Copies the current user's home directory (password database, else HOME) into `buffer`.
// aErrParam for a null buffer or zero size; aErrNotFound when neither source gives one;
// aErrOverrun when it does not fit.
aErr aDirectory_GetHomeDirectory(char* buffer, size_t size);

// Joins up to ten parts (the list ends with a null pointer), inserting "/" between two parts
// only when the text so far does not end with one and the next part does not begin with one.
// aErrParam when `buffer` is null or is one of the parts, or more than ten parts are given;
// aErrOverrun when the result does not fit in `size` bytes.
aErr aDirectory_BuildPath(char* buffer, size_t size, const char* first, ...);

// aDirectory_BuildPath with two parts.
aErr aDirectory_JoinPath(char* buffer, size_t size, const char* first, const char* second);

// Removes an empty folder; aErrUnknown on failure.
aErr aDirectory_Delete(const char* path);

// Removes a folder with everything below it; aErrNotFound when it cannot be opened.
aErr aDirectory_DeleteTree(const char* path);
