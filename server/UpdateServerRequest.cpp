#include "UpdateServerRequest.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string_view>

#include "HTTPRequest.h"
#include "Log.h"
#include "ServerAnswer.h"

#ifndef UPDATER_DEFAULT_SERVER_HOST
#error "UPDATER_DEFAULT_SERVER_HOST is set by the build"
#endif

const char kDefaultUpdateServerHost[] = UPDATER_DEFAULT_SERVER_HOST;
const char kDefaultUpdateServerUrl[] = "http://" UPDATER_DEFAULT_SERVER_HOST "/cgi/u";

namespace {

using Query = std::map<std::string, std::string>;

std::string sSerialText(uint32_t serial) {
    char text[16];
    snprintf(text, sizeof(text), "%08X", serial);
    return text;
}

std::string sFingerprintText(const Fingerprint& fingerprint) {
    char text[64];
    snprintf(text, sizeof(text), "%08X%%20%08X%%20%08X%%20%08X", fingerprint.words[0],
             fingerprint.words[1], fingerprint.words[2], fingerprint.words[3]);
    return text;
}

// The common procedure of every operation: one GET, then status 200 and a first line "ok", then
// `parse` on the rest of the answer (its result is the operation's). Each failure is logged once.
template <typename Parse>
bool sExchange(const char* name, const char* url, const Query& query, Parse&& parse) {
    std::optional<HTTPResponse> response;
    try {
        response.emplace(HTTPRequest::GET(url ? url : kDefaultUpdateServerUrl, query));
    } catch (const std::exception& e) {
        Log::log(DEBUG_ServerComm, "%s ==> [%s]\n", name, e.what());
        return false;
    }
    if (response->get_status() != 200) {
        if (std::string_view(name) == "ping")
            Log::log(DEBUG_ServerComm, "PING ==> [%ld] [%s]\n", response->get_status(),
                     response->get_response());
        else
            Log::log(DEBUG_ServerComm, "%s ==> [%ld] [%s]\n", name, response->get_status(),
                     response->get_response());
        return false;
    }
    std::optional<ServerAnswer::Answer> answer = ServerAnswer::Open(
        std::string_view(response->get_response(), response->get_response_size()));
    if (!answer) {
        Log::log(DEBUG_ServerComm, "ServerCommClass: %s failed [%s]\n", name,
                 response->get_request());
        return false;
    }
    return parse(*answer);
}

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

bool UpdateServerRequest::ping(const char* url) {
    return sExchange("ping", url, {{"op", "hi"}, {"rv", "2"}},
                     [](ServerAnswer::Answer&) { return true; });
}

bool UpdateServerRequest::QueryBuild(uint32_t serial, std::string& build, std::string& firmware,
                                     const char* url) {
    return sExchange("QueryBuild", url, {{"op", "qu"}, {"sn", sSerialText(serial)}},
                     [&](ServerAnswer::Answer& answer) {
                         ServerAnswer::ReadQueryBuild(answer, build, firmware);
                         return true;
                     });
}

bool UpdateServerRequest::GetBuild(uint32_t serial, const std::string& firmware,
                                   const std::string& build, std::string& file_text,
                                   const char* url, bool noCal) {
    const Query query = {{"bld", build},
                         {"fw", firmware},
                         {"no_cal", noCal ? "true" : "false"},
                         {"op", "bird"},
                         {"sn", sSerialText(serial)}};
    return sExchange("GetBuild", url, query, [&](ServerAnswer::Answer& answer) {
        ServerAnswer::ReadBuild(answer, file_text);
        return true;
    });
}

bool UpdateServerRequest::GetBuildList(uint32_t serial, std::map<std::string, std::string>& builds,
                                       const char* url) {
    builds.clear();
    return sExchange("GetBuildList", url, {{"op", "builds"}, {"sn", sSerialText(serial)}},
                     [&](ServerAnswer::Answer& answer) {
                         ServerAnswer::ReadBuildList(answer, builds);
                         return true;
                     });
}

bool UpdateServerRequest::GetRecoveryInfo(const Fingerprint& fingerprint, uint32_t& serial,
                                          uint32_t& build, const char* url) {
    const Query query = {{"brief", "true"}, {"fp", sFingerprintText(fingerprint)}, {"op", "fix"}};
    return sExchange("GetRecoveryInfo", url, query, [&](ServerAnswer::Answer& answer) {
        ServerAnswer::ReadRecoveryInfo(answer, serial, build);
        return true;
    });
}

bool UpdateServerRequest::GetDeviceJWT(uint32_t serial, std::string& token, const char* url) {
    const Query query = {{"json", "false"}, {"op", "ent_jwt"}, {"sn", sSerialText(serial)}};
    return sExchange("GetDeviceJWT", url, query, [&](ServerAnswer::Answer& answer) {
        return ServerAnswer::ReadDeviceJWT(answer, token);
    });
}

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
