// Fuzzes the update server answer parsers with arbitrary bodies.
//
// Besides memory safety it checks what every parser promises: an answer is accepted only when
// its first line begins with "ok"; a device token is reported only in the three-part form with
// parts of at least 2 characters; build list entries never have an empty build or a build or
// version holding a separator; and sorting any resulting build list keeps every entry once.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>

#include "Log.h"
#include "ServerAnswer.h"
#include "UpdateServerRequest.h"

namespace {

void Check(bool condition) {
    if (!condition) abort();
}

void CheckToken(const std::string& token) {
    const size_t first = token.find('.');
    Check(first != std::string::npos && first >= 2);
    const size_t second = token.find('.', first + 1);
    Check(second != std::string::npos && second - first - 1 >= 2);
    Check(token.size() - second - 1 >= 2);
    Check(token.find('\n') == std::string::npos);
    Check(token.find('\r', second) == std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The debug lines are formatted too, as with -X, into nowhere.
    static FILE* sink = [] {
        FILE* f = fopen("/dev/null", "w");
        Log::SetOutput(f);
        Log::ActivatePackage(DEBUG_ServerComm);
        return f;
    }();
    (void)sink;

    const std::string_view body(reinterpret_cast<const char*>(data), size);
    const auto answer = ServerAnswer::Open(body);
    if (!answer) return 0;
    Check(answer->first.substr(0, 2) == "ok");

    auto query = *answer;
    std::string build = "-", firmware = "-";
    ServerAnswer::ReadQueryBuild(query, build, firmware);
    Check(firmware.find_first_of("\r\n") == std::string::npos);

    auto file = *answer;
    std::string text = "-";
    ServerAnswer::ReadBuild(file, text);
    Check(text.find('\n') == std::string::npos);

    auto list = *answer;
    std::map<std::string, std::string> builds;
    ServerAnswer::ReadBuildList(list, builds);
    for (const auto& [b, version] : builds) {
        Check(!b.empty() && b.find_first_of(";\r\n") == std::string::npos);
        Check(version.find_first_of(";\r\n") == std::string::npos);
    }
    const auto sorted = UpdateServerRequest::SortBuildsByVersion(builds);
    Check(sorted.size() == builds.size());
    for (const auto& [b, version] : sorted) Check(builds.count(b) && builds.at(b) == version);

    auto recovery = *answer;
    uint32_t serial = 0, number = 0;
    ServerAnswer::ReadRecoveryInfo(recovery, serial, number);

    auto jwt = *answer;
    std::string token = "untouched";
    if (ServerAnswer::ReadDeviceJWT(jwt, token))
        CheckToken(token);
    else
        Check(token == "untouched");
    return 0;
}
