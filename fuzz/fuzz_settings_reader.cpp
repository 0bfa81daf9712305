// Fuzzes the settings file reader with arbitrary file contents.
//
// Besides memory safety it checks the writer/reader agreement: whatever Load accepted, Save
// writes so that Load reads back exactly the same entries (apart from keys that begin with "#",
// which an indented line can produce and which the plain format writes as a comment), and
// nothing is refused or written that could add an entry.

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include "KeyValueStore.h"

namespace {

// A private folder for the saved copies, removed when the process ends. Every Save flushes to
// disk, so a memory file system (TMPDIR, else the shared-memory folder) keeps the fuzzer fast.
const std::string& WorkFolder() {
    static const std::string folder = [] {
        std::filesystem::path parent = std::filesystem::temp_directory_path();
        std::error_code ignored;
        if (!getenv("TMPDIR") && std::filesystem::is_directory("/dev/shm", ignored))
            parent = "/dev/shm";
        std::string pattern = (parent / "fuzz-settings-XXXXXX").string();
        if (!mkdtemp(pattern.data())) abort();
        return pattern;
    }();
    static const struct Cleanup {
        ~Cleanup() {
            std::error_code ignored;
            std::filesystem::remove_all(folder, ignored);
        }
    } cleanup;
    return folder;
}

std::map<std::string, std::string> Comparable(const KeyValueStore& store) {
    std::map<std::string, std::string> entries;
    for (const auto& [key, value] : store.Entries())
        if (key[0] != '#') entries[key] = value;
    return entries;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The input lives in memory; the reader opens it by path like any settings file.
    static const int input = memfd_create("settings", MFD_CLOEXEC);
    if (input < 0) abort();
    if (ftruncate(input, 0) != 0 || pwrite(input, data, size, 0) != static_cast<ssize_t>(size))
        abort();
    const std::string input_path = "/proc/self/fd/" + std::to_string(input);

    KeyValueStore store(input_path.c_str());
    for (const auto& [key, value] : store.Entries())
        if (!KeyValueStore::IsStorable(key, value) && key.find('\r') == std::string::npos &&
            value.find('\r') == std::string::npos)
            abort();  // the reader produced an entry the writer could not write back

    KeyValueStore copy(store);
    copy.GetInt("LATEST_DOWNLOAD", 0);
    copy.GetHex("SERIAL", 0);
    copy.GetDouble("D", 0.0);
    copy.GetBOOL("B", false);
    copy.GetString("LATEST_TRANSFER", nullptr);

    const std::string saved = WorkFolder() + "/.settings";
    store.Save(saved.c_str());
    if (store.IsModified()) abort();
    KeyValueStore reread(saved.c_str());
    if (Comparable(reread) != Comparable(store)) abort();
    return 0;
}
