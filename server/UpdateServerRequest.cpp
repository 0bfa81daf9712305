#include "UpdateServerRequest.h"

#include <algorithm>
#include <array>
#include <optional>
#include <stdexcept>

#include "Log.h"

namespace {

using Version = std::array<int, 3>;

// Major, minor and patch, each cut to its low 8 bits as the module reports them.
std::optional<Version> sParseVersion(const std::string& text) {
    const std::vector<std::string> parts = UpdateServerRequest::SplitTessaLineVersion(text);
    if (parts.size() != 3) return std::nullopt;
    Version v{};
    try {
        for (size_t i = 0; i < 3; ++i) v[i] = std::stoi(parts[i]) & 0xFF;
    } catch (const std::exception& e) {
        Log::log(DEBUG_ServerComm, "%s: Exception converting version: %s\n", "_sortVersion",
                 e.what());
        return std::nullopt;
    }
    return v;
}

}  // namespace

std::vector<std::string> UpdateServerRequest::SplitTessaLineVersion(const std::string& version) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
        size_t dot = version.find('.', start);
        parts.push_back(version.substr(start, dot - start));
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    if (parts.size() != 3) parts.clear();
    return parts;
}

std::vector<std::pair<std::string, std::string>> UpdateServerRequest::SortBuildsByVersion(
    const std::map<std::string, std::string>& builds) {
    struct Entry {
        std::pair<std::string, std::string> item;
        std::optional<Version> version;
    };
    std::vector<Entry> entries;
    entries.reserve(builds.size());
    for (const auto& item : builds) entries.push_back({item, sParseVersion(item.second)});

    // A strict weak order: well-formed versions newest first, then the rest in map order.
    std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        if (a.version && b.version) return *a.version > *b.version;
        return a.version.has_value() && !b.version.has_value();
    });

    std::vector<std::pair<std::string, std::string>> sorted;
    sorted.reserve(entries.size());
    for (Entry& e : entries) sorted.push_back(std::move(e.item));
    return sorted;
}
