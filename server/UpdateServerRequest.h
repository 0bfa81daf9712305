#pragma once
// Requests to the update server, and the ordering of the build lists it returns.

#include <map>
#include <string>
#include <utility>
#include <vector>

class UpdateServerRequest {
public:
    // The entries of `builds` (build text -> version text), newest version first. Entries whose
    // version is not three dot-separated numbers are neither newer nor older than any other; they
    // are placed after every well-formed one.
    static std::vector<std::pair<std::string, std::string>> SortBuildsByVersion(
        const std::map<std::string, std::string>& builds);

    // The pieces of `version` split at ".", when there are exactly three; else empty.
    static std::vector<std::string> SplitTessaLineVersion(const std::string& version);
};
