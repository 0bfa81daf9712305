#include "KeyValueStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "Log.h"

namespace {

// A line must fit, line end included, into this many bytes less the terminating NUL.
constexpr size_t kLineBuffer = 2048;

bool sIsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string sTrimTrailingBlanks(const char* begin, const char* end) {
    while (end > begin && sIsBlank(end[-1])) --end;
    return std::string(begin, end);
}

enum class LineRead { Line, End, TooLong };

// Reads one line, its line feed included, into `line`. TooLong when kLineBuffer - 1 characters
// came without a line feed.
LineRead sReadLine(FILE* file, std::string& line) {
    line.clear();
    for (int c = getc(file); c != EOF; c = getc(file)) {
        line.push_back(static_cast<char>(c));
        if (c == '\n') return LineRead::Line;
        if (line.size() == kLineBuffer - 1) return LineRead::TooLong;
    }
    return line.empty() ? LineRead::End : LineRead::Line;
}

template <typename T>
std::string sFormat(const char* format, T value) {
    int length = snprintf(nullptr, 0, format, value);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    snprintf(text.data(), text.size() + 1, format, value);
    return text;
}

int sWriteAll(int fd, const char* bytes, size_t length) {
    while (length > 0) {
        ssize_t written = write(fd, bytes, length);
        if (written < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (written == 0) return EIO;
        bytes += written;
        length -= static_cast<size_t>(written);
    }
    return 0;
}

// The file a write to `path` lands in: the target of a symbolic link, else `path` itself.
int sResolveTarget(const std::string& path, std::string& target) {
    struct stat st;
    target = path;
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return 0;
    char* resolved = realpath(path.c_str(), nullptr);
    if (!resolved) return errno;
    target = resolved;
    free(resolved);
    return 0;
}

// Opens a new, exclusive temporary file beside `target`. Its name begins with "." so that a file
// left behind by a killed process is not taken for a stored entry.
int sOpenTemporary(const std::string& target, std::string& temporary) {
    static std::atomic<unsigned> counter{0};
    const size_t slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporary = folder + "." + name + ".tmp-" + std::to_string(getpid()) + "-" +
                    std::to_string(counter.fetch_add(1));
        int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}

void sSyncFolderOf(const std::string& target) {
    const size_t slash = target.rfind('/');
    const std::string folder =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : target.substr(0, slash));
    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);  // best effort: the rename itself has already happened
    close(fd);
}

}  // namespace

std::string CurrentTimeText() {
    time_t now = time(nullptr);
    char text[64];
    if (!ctime_r(&now, text)) return std::string();
    std::string result(text);
    if (!result.empty() && result.back() == '\n') result.pop_back();
    return result;
}

int ReplaceFileAtomically(const std::string& path, const void* bytes, size_t length, bool* opened) {
    if (opened) *opened = false;
    if (path.empty()) return ENOENT;
    std::string target;
    if (int error = sResolveTarget(path, target)) return error;

    // Renaming needs only the folder's permission; refuse what an in-place write would refuse.
    struct stat old;
    const bool exists = stat(target.c_str(), &old) == 0;
    if (exists && S_ISDIR(old.st_mode)) return EISDIR;
    if (exists && !S_ISREG(old.st_mode)) return EINVAL;
    if (exists && access(target.c_str(), W_OK) != 0) return errno;

    std::string temporary;
    int fd = sOpenTemporary(target, temporary);
    if (fd < 0) return errno;
    if (opened) *opened = true;
    if (exists) {
        fchmod(fd, old.st_mode & 07777);
        if (fchown(fd, old.st_uid, old.st_gid) != 0) {
            // Only a privileged process may hand the file to another owner; keep ours.
        }
    }
    int error = sWriteAll(fd, static_cast<const char*>(bytes), length);
    if (error == 0 && fsync(fd) != 0) error = errno;
    if (close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && rename(temporary.c_str(), target.c_str()) != 0) error = errno;
    if (error != 0) {
        unlink(temporary.c_str());
        return error;
    }
    sSyncFolderOf(target);
    return 0;
}

KeyValueStore::KeyValueStore(const char* path) {
    if (path) Load(path);
}

void KeyValueStore::Load(const char* newPath) {
    if (!newPath) return;
    const std::string file_path(newPath);  // `newPath` may point into `path`
    FILE* file = fopen(file_path.c_str(), "re");
    if (!file) {
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file: '%s' (%d)\n",
                 file_path.c_str(), errno);
        Add(KEY_CREATED_TIME, CurrentTimeText());
        Save(file_path.c_str());
    }
    path = file_path;
    modified = false;
    if (!file) return;

    std::string line;
    for (LineRead read = sReadLine(file, line); read == LineRead::Line;
         read = sReadLine(file, line))
        ParseLine(line.c_str());
    fclose(file);
}

void KeyValueStore::ParseLine(const char* line) {
    if (strlen(line) < 3 || line[0] == '#') return;
    while (sIsBlank(*line)) ++line;
    const char* equals = strchr(line, '=');
    if (!equals) return;
    std::string key = sTrimTrailingBlanks(line, equals);
    if (key.empty()) return;
    const char* value = equals + 1;
    while (sIsBlank(*value)) ++value;
    entries[key] = sTrimTrailingBlanks(value, value + strlen(value));
}

void KeyValueStore::Save(const char* newPath) {
    if (newPath) {
        path = std::string(newPath);
    } else if (path.empty()) {
        path = DEFAULT_FILENAME;
        Log::log(DEBUG_Attributes,
                 "Attibutes: no filename given for attributes, using default:[%s]\n", path.c_str());
    }
    if (modified) Add(KEY_UPDATED_TIME, CurrentTimeText());

    std::string content;
    for (const auto& [key, value] : entries) {
        content += key;
        content += '=';
        content += value;
        content += '\n';
    }
    if (int error = ReplaceFileAtomically(path, content.data(), content.size())) {
        Log::log(DEBUG_Attributes,
                 "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n",
                 path.c_str(), error);
        return;
    }
    modified = false;
}

bool KeyValueStore::Clear() {
    entries.clear();
    modified = true;
    return true;
}

const char* KeyValueStore::operator[](const std::string& key) const {
    auto found = entries.find(key);
    return found == entries.end() ? nullptr : found->second.c_str();
}

bool KeyValueStore::IsStorable(const std::string& key, const std::string& value) {
    auto breaksLine = [](char c) { return c == '\n' || c == '\r' || c == '\0'; };
    for (char c : key)
        if (breaksLine(c) || c == '=') return false;
    for (char c : value)
        if (breaksLine(c)) return false;
    return !key.empty() && !sIsBlank(key.front()) && !sIsBlank(key.back());
}

const std::string* KeyValueStore::FindOrAdd(const std::string& key) {
    auto found = entries.find(key);
    if (found != entries.end()) return &found->second;
    if (!IsStorable(key, std::string())) return nullptr;
    return &entries.emplace(key, std::string()).first->second;
}

int32_t KeyValueStore::GetInt(const std::string& key, int32_t defaultValue) {
    const std::string* value = FindOrAdd(key);
    if (!value || value->empty()) return defaultValue;
    return static_cast<int32_t>(strtol(value->c_str(), nullptr, 10));  // atoi, without its UB
}

uint32_t KeyValueStore::GetHex(const std::string& key, uint32_t defaultValue) {
    const std::string* value = FindOrAdd(key);
    if (!value || value->empty()) return defaultValue;
    return static_cast<uint32_t>(strtol(value->c_str(), nullptr, 16));
}

bool KeyValueStore::GetBOOL(const std::string& key, bool defaultValue) {
    const std::string* value = FindOrAdd(key);
    if (!value || value->empty()) return defaultValue;
    return static_cast<int32_t>(strtol(value->c_str(), nullptr, 10)) != 0;
}

double KeyValueStore::GetDouble(const std::string& key, double defaultValue) {
    const std::string* value = FindOrAdd(key);
    if (!value || value->empty()) return defaultValue;
    return strtod(value->c_str(), nullptr);
}

std::string KeyValueStore::GetString(const std::string& key, const char* defaultValue) const {
    auto found = entries.find(key);
    if (found != entries.end()) return found->second;
    return defaultValue ? std::string(defaultValue) : std::string();
}

bool KeyValueStore::Add(const std::string& key, int value) {
    return Add(key, sFormat("%d", value));
}

bool KeyValueStore::Add(const std::string& key, double value) {
    return Add(key, sFormat("%f", value));
}

bool KeyValueStore::Add(const std::string& key, const char* value) {
    return Add(key, value ? std::string(value) : std::string());
}

bool KeyValueStore::Add(const std::string& key, const std::string& value) {
    if (!IsStorable(key, value)) return false;
    std::string& current = entries[key];
    if (current != value) {
        current = value;
        modified = true;
    }
    return true;
}

bool KeyValueStore::AddHex(const std::string& key, unsigned value) {
    return Add(key, sFormat("0x%08X", value));
}

bool KeyValueStore::Add(const KeyValueStore& other) {
    if (other.entries.empty()) return true;
    for (const auto& [key, value] : other.entries) entries[key] = value;
    modified = true;
    return true;
}
