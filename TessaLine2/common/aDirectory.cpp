#include "aDirectory.h"

#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr int kMaxParts = 10;

bool sMakeOne(const std::string& path, uint32_t mode) {
    if (mkdir(path.c_str(), static_cast<mode_t>(mode)) == 0) return true;
    return errno == EEXIST && aDirectory_Exists(path.c_str());
}

}  // namespace

bool aDirectory_Exists(const char* path) {
    struct stat st;
    return path && stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

aErr aDirectory_Ensure(const char* path, uint32_t mode) {
    if (!path || !*path) return aErrParam;
    if (aDirectory_Exists(path)) return aErrNone;

    // Walking down from the root and creating what is missing is the same as cutting back to the
    // deepest existing ancestor and creating every component below it.
    const std::string full(path);
    for (size_t cut = full.find(aDIR_PATH_SEP, 1);; cut = full.find(aDIR_PATH_SEP, cut + 1)) {
        const std::string component = full.substr(0, cut);
        if (!aDirectory_Exists(component.c_str()) && !sMakeOne(component, mode))
            return aErrPermission;
        if (cut == std::string::npos) break;
    }
    return aErrNone;
}

aErr aDirectory_List(const char* path, aDirectoryListCallback callback, void* context) {
    if (!path || !callback) return aErrParam;
    DIR* dir = opendir(path);
    if (!dir) return aErrNotFound;
    while (struct dirent* entry = readdir(dir)) {
        std::string full = path;
        if (full.empty() || full.back() != aDIR_PATH_SEP) full += aDIR_PATH_SEP;
        full += entry->d_name;
        struct stat st;
        if (stat(full.c_str(), &st) != 0) continue;
        aDirectoryListData data{full.c_str(), static_cast<uint32_t>(st.st_size),
                                S_ISDIR(st.st_mode) ? 1u : 0u};
        if (!callback(&data, context)) break;
    }
    closedir(dir);
    return aErrNone;
}

aErr aDirectory_GetHomeDirectory(char* buffer, size_t size) {
    if (!buffer || size == 0) return aErrParam;
    const char* home = nullptr;
    struct passwd pw;
    struct passwd* found = nullptr;
    char scratch[4096];
    if (getpwuid_r(getuid(), &pw, scratch, sizeof(scratch), &found) == 0 && found &&
        found->pw_dir && *found->pw_dir)
        home = found->pw_dir;
    if (!home) home = getenv("HOME");
    if (!home || !*home) return aErrNotFound;
    size_t length = strlen(home);
    if (length >= size) return aErrOverrun;
    memcpy(buffer, home, length + 1);
    return aErrNone;
}

aErr aDirectory_BuildPath(char* buffer, size_t size, const char* first, ...) {
    if (!buffer) return aErrParam;
    const char* parts[kMaxParts + 1];
    int count = 0;
    va_list args;
    va_start(args, first);
    for (const char* part = first; part; part = va_arg(args, const char*)) {
        if (count == kMaxParts || part == buffer) {
            va_end(args);
            return aErrParam;
        }
        parts[count++] = part;
    }
    va_end(args);

    std::string joined;
    for (int i = 0; i < count; ++i) {
        if (i > 0 && !joined.empty() && joined.back() != aDIR_PATH_SEP &&
            parts[i][0] != aDIR_PATH_SEP)
            joined += aDIR_PATH_SEP;
        joined += parts[i];
    }
    if (joined.size() + 1 > size) return aErrOverrun;
    memcpy(buffer, joined.c_str(), joined.size() + 1);
    return aErrNone;
}

aErr aDirectory_JoinPath(char* buffer, size_t size, const char* first, const char* second) {
    return aDirectory_BuildPath(buffer, size, first, second, nullptr);
}

aErr aDirectory_Delete(const char* path) {
    if (!path || rmdir(path) != 0) return aErrUnknown;
    return aErrNone;
}

aErr aDirectory_DeleteTree(const char* path) {
    if (!path) return aErrParam;
    // A link to a folder is removed itself; what it points to is not part of this tree.
    struct stat top;
    if (lstat(path, &top) == 0 && S_ISLNK(top.st_mode))
        return unlink(path) == 0 ? aErrNone : aErrPermission;
    DIR* dir = opendir(path);
    if (!dir) return aErrNotFound;
    aErr result = aErrNone;
    while (struct dirent* entry = readdir(dir)) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
        std::string child = std::string(path) + aDIR_PATH_SEP + entry->d_name;
        struct stat st;
        if (lstat(child.c_str(), &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            aErr err = aDirectory_DeleteTree(child.c_str());
            if (err != aErrNone) result = err;
        } else if (unlink(child.c_str()) != 0) {
            result = aErrPermission;
        }
    }
    closedir(dir);
    if (rmdir(path) != 0 && result == aErrNone) result = aErrPermission;
    return result;
}
