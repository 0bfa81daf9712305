#include "ServerAnswer.h"

#include <cstdlib>

#include "Log.h"

namespace ServerAnswer {

namespace {

constexpr std::string_view kLine = "\n";
constexpr std::string_view kLineEnd = "\r\n";
constexpr std::string_view kBuildListFields = ";\r\n";
constexpr std::string_view kTokenParts = ".";

// Unsigned conversion as strtoul does it (leading blanks, sign, base prefix), low 32 bits kept.
uint32_t sToUnsigned(std::string_view text, int base) {
    const std::string copy(text);
    return static_cast<uint32_t>(strtoul(copy.c_str(), nullptr, base));
}

std::string sText(std::optional<std::string_view> token) {
    return token ? std::string(*token) : std::string();
}

}  // namespace

std::optional<std::string_view> Tokens::Next(std::string_view delimiters) {
    const size_t start = rest_.find_first_not_of(delimiters);
    if (start == std::string_view::npos) {
        rest_ = {};
        return std::nullopt;
    }
    const size_t end = rest_.find_first_of(delimiters, start);
    const std::string_view token = rest_.substr(start, end - start);
    rest_ = end == std::string_view::npos ? std::string_view{} : rest_.substr(end + 1);
    return token;
}

std::optional<Answer> Open(std::string_view body) {
    Tokens lines(body);
    const std::optional<std::string_view> first = lines.Next(kLine);
    if (!first || first->substr(0, 2) != "ok") return std::nullopt;
    return Answer{*first, lines};
}

void ReadQueryBuild(Answer& answer, std::string& build, std::string& firmware) {
    if (const auto line = answer.rest.Next(kLine)) build = *line;
    if (const auto line = answer.rest.Next(kLineEnd)) firmware = *line;
}

void ReadBuild(Answer& answer, std::string& file_text) {
    file_text.clear();
    if (const auto line = answer.rest.Next(kLine)) file_text = *line;
}

void ReadBuildList(Answer& answer, std::map<std::string, std::string>& builds) {
    while (const auto line = answer.rest.Next(kLine)) {
        if (line->size() < 3) continue;
        Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", "GetBuildList",
                 std::string(*line).c_str());
        Tokens fields(*line);
        const auto build = fields.Next(kBuildListFields);
        if (!build) continue;
        const std::string version = sText(fields.Next(kBuildListFields));
        builds.emplace(std::string(*build), version);
        Log::log(DEBUG_ServerComm, "%s [%.10s][%.10s]\n", "GetBuildList",
                 std::string(*build).c_str(), version.c_str());
    }
}

void ReadRecoveryInfo(Answer& answer, uint32_t& serial, uint32_t& build) {
    const auto serial_line = answer.rest.Next(kLine);
    const auto build_line = answer.rest.Next(kLine);
    Log::log(DEBUG_ServerComm, "%s [%.20s][%.20s][%.20s]\n", "GetRecoveryInfo",
             std::string(answer.first).c_str(), sText(serial_line).c_str(),
             sText(build_line).c_str());
    if (serial_line) serial = sToUnsigned(*serial_line, 16);
    if (build_line) build = sToUnsigned(*build_line, 0);
}

bool ReadDeviceJWT(Answer& answer, std::string& token) {
    const auto line = answer.rest.Next(kLine);
    if (!line || line->size() <= 2) return false;
    Log::log(DEBUG_ServerComm, "%s processing entry: [%s]\n", "GetDeviceJWT",
             std::string(*line).c_str());
    Tokens parts(*line);
    const auto header = parts.Next(kTokenParts);
    const auto payload = parts.Next(kTokenParts);
    const auto signature = parts.Next(kLineEnd);
    for (const auto& part : {header, payload, signature})
        if (!part || part->size() < 2) return false;
    token = std::string(*header) + "." + std::string(*payload) + "." + std::string(*signature);
    return true;
}

}  // namespace ServerAnswer
