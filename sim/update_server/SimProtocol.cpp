#include "SimProtocol.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

namespace updatesim {

namespace {

namespace fs = std::filesystem;

const std::map<std::string, std::set<std::string>> kKeysOfOperation = {
    {"hi", {"op", "rv"}},
    {"qu", {"op", "sn"}},
    {"bird", {"bld", "fw", "no_cal", "op", "sn"}},
    {"builds", {"op", "sn"}},
    {"fix", {"brief", "fp", "op"}},
    {"ent_jwt", {"json", "op", "sn"}},
};

bool sReadFile(const fs::path& path, std::string& content) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream text;
    text << in.rdbuf();
    content = text.str();
    return true;
}

// The lines of a text file without line ends, blank lines and "#" comments.
std::vector<std::string> sReadLines(const fs::path& path) {
    std::vector<std::string> lines;
    std::string content;
    if (!sReadFile(path, content)) return lines;
    std::istringstream in(content);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        lines.push_back(line);
    }
    return lines;
}

std::map<std::string, std::string> sReadSettings(const fs::path& path) {
    std::map<std::string, std::string> settings;
    for (const std::string& line : sReadLines(path)) {
        const size_t equals = line.find('=');
        if (equals != std::string::npos) settings[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return settings;
}

bool sAllOf(const std::string& text, size_t length, int (*accept)(int)) {
    if (text.empty() || (length && text.size() != length)) return false;
    return std::all_of(text.begin(), text.end(),
                       [&](char c) { return accept(static_cast<unsigned char>(c)) != 0; });
}

int sIsUpperHex(int c) {
    return std::isdigit(c) || (c >= 'A' && c <= 'F');
}
int sIsOpChar(int c) {
    return std::islower(c) || c == '_';
}

bool sIsSerial(const std::string& text) {
    return sAllOf(text, 8, sIsUpperHex);
}

std::string sPercentDecode(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() &&
            std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out += static_cast<char>(std::strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

class Device {
  public:
    Device(const SimConfig& config, const std::string& serial)
        : folder_(fs::path(config.root) / serial),
          settings_(sReadSettings(folder_ / "device.txt")) {}

    bool Known() const { return !folder_.empty() && fs::is_directory(folder_); }
    std::string Setting(const std::string& key) const {
        auto found = settings_.find(key);
        return found == settings_.end() ? std::string() : found->second;
    }
    std::vector<std::string> BuildLines() const { return sReadLines(folder_ / "builds.txt"); }

    // "latest" from device.txt, else the highest build number of builds.txt.
    std::string Latest() const {
        std::string latest = Setting("latest");
        if (!latest.empty()) return latest;
        unsigned long best = 0;
        for (const std::string& line : BuildLines()) {
            const std::string build = line.substr(0, line.find(';'));
            if (!sAllOf(build, 0, [](int c) { return std::isdigit(c); })) continue;
            const unsigned long number = std::strtoul(build.c_str(), nullptr, 10);
            if (latest.empty() || number > best) {
                best = number;
                latest = build;
            }
        }
        return latest;
    }

    fs::path BuildFile(const std::string& build) const { return folder_ / (build + ".bird"); }

  private:
    fs::path folder_;
    std::map<std::string, std::string> settings_;
};

class AnswerText {
  public:
    explicit AnswerText(bool crlf) : end_(crlf ? "\r\n" : "\n") {}
    AnswerText& Line(const std::string& text) {
        body_ += text + end_;
        return *this;
    }
    SimAnswer Done(int status = 200) const { return {status, body_}; }

  private:
    std::string end_;
    std::string body_;
};

SimAnswer sError(const SimConfig& config, const std::string& text) {
    return AnswerText(config.crlf).Line("error: " + text).Done();
}

// Checks of the values a well-behaved client sends; also keeps every value that names a file
// inside the builds folder.
std::string sValueProblem(const Query& query) {
    for (const auto& [key, value] : query.values) {
        if (key == "sn" && !sIsSerial(value)) return "sn is not 8 upper-case hexadecimal digits";
        if (key == "bld" && !sAllOf(value, 0, [](int c) { return std::isdigit(c); }))
            return "bld is not a decimal number";
        if (key == "no_cal" && value != "true" && value != "false") return "no_cal is not a bool";
        if (key == "brief" && value != "true") return "brief is not true";
        if (key == "json" && value != "false") return "json is not false";
    }
    return {};
}

std::string sKeyProblem(const Query& query) {
    auto expected = kKeysOfOperation.find(query.op);
    if (expected == kKeysOfOperation.end()) return {};
    std::set<std::string> keys;
    for (const auto& pair : query.pairs) keys.insert(pair.first);
    if (keys == expected->second && keys.size() == query.pairs.size()) return {};
    return "keys do not match operation " + query.op;
}

SimAnswer sQueryBuild(const SimConfig& config, const Device& device) {
    AnswerText answer(config.crlf);
    answer.Line("ok");
    const std::string latest = device.Latest();
    if (latest.empty()) return answer.Done();
    return answer.Line(latest).Line(device.Setting("firmware")).Done();
}

SimAnswer sBuild(const SimConfig& config, const Device& device, const Query& query) {
    const std::string firmware = device.Setting("firmware");
    if (!firmware.empty() && query.values.at("fw") != firmware)
        return sError(config, "firmware identifier does not match");
    std::string file;
    if (!sReadFile(device.BuildFile(query.values.at("bld")), file))
        return sError(config, "unknown build");
    return AnswerText(config.crlf).Line("ok").Line(Base64Encode(file)).Done();
}

SimAnswer sBuildList(const SimConfig& config, const Device& device) {
    AnswerText answer(config.crlf);
    answer.Line("ok");
    for (const std::string& line : device.BuildLines()) answer.Line(line);
    return answer.Done();
}

// recovery.txt: "W0 W1 W2 W3 SERIAL [BUILD]", words and serial in hexadecimal.
SimAnswer sRecovery(const SimConfig& config, const std::string& fingerprint) {
    std::istringstream wanted(fingerprint);
    std::vector<unsigned long> words;
    for (std::string word; wanted >> word;)
        words.push_back(std::strtoul(word.c_str(), nullptr, 16));
    if (words.size() != 4) return sError(config, "malformed fingerprint");
    for (const std::string& line : sReadLines(fs::path(config.root) / "recovery.txt")) {
        std::istringstream in(line);
        std::vector<std::string> fields;
        for (std::string field; in >> field;) fields.push_back(field);
        if (fields.size() < 5) continue;
        bool same = true;
        for (size_t i = 0; i < 4; ++i)
            same = same && std::strtoul(fields[i].c_str(), nullptr, 16) == words[i];
        if (!same) continue;
        std::string build = fields.size() > 5 ? fields[5] : Device(config, fields[4]).Latest();
        return AnswerText(config.crlf).Line("ok").Line(fields[4]).Line(build).Done();
    }
    return sError(config, "unknown fingerprint");
}

SimAnswer sDeviceJWT(const SimConfig& config, const Device& device) {
    const std::string token = device.Setting("token");
    if (token.empty()) return sError(config, "no token for this device");
    return AnswerText(config.crlf).Line("ok").Line(token).Done();
}

bool sCannedAnswer(const SimConfig& config, const std::string& op, SimAnswer& answer) {
    if (config.canned.empty() || !sAllOf(op, 0, sIsOpChar)) return false;
    const fs::path base = fs::path(config.canned) / op;
    if (!sReadFile(base, answer.body)) return false;
    std::string status;
    answer.status = sReadFile(base.string() + ".status", status) ? std::atoi(status.c_str()) : 200;
    return true;
}

}  // namespace

Query ParseQuery(const std::string& raw) {
    Query query;
    if (raw.empty())
        query.malformed = "empty query";
    else if (raw.back() != '&')
        query.malformed = "query does not end with &";
    size_t start = 0;
    while (start < raw.size()) {
        size_t end = raw.find('&', start);
        if (end == std::string::npos) end = raw.size();
        const std::string pair = raw.substr(start, end - start);
        start = end + 1;
        const size_t equals = pair.find('=');
        if (pair.empty() || equals == std::string::npos) {
            if (query.malformed.empty()) query.malformed = "pair without =: [" + pair + "]";
            continue;
        }
        const std::string key = pair.substr(0, equals);
        if (!query.pairs.empty() && !(query.pairs.back().first < key) && query.malformed.empty())
            query.malformed = "key " + key + " out of byte-wise order";
        query.pairs.emplace_back(key, sPercentDecode(pair.substr(equals + 1)));
        query.values.emplace(query.pairs.back());
    }
    auto op = query.values.find("op");
    if (op != query.values.end()) query.op = op->second;
    return query;
}

SimAnswer Answer(const SimConfig& config, const std::string& path, const Query& query) {
    if (path != "/cgi/u") return {404, "not found\n"};
    std::string problem = sValueProblem(query);
    if (config.strict && problem.empty()) problem = query.malformed;
    if (config.strict && problem.empty()) problem = sKeyProblem(query);
    if (!problem.empty()) return {400, "error: malformed query: " + problem + "\n"};

    SimAnswer canned;
    if (sCannedAnswer(config, query.op, canned)) return canned;

    if (query.op == "hi") return AnswerText(config.crlf).Line("ok").Done();
    if (query.op == "fix")
        return sRecovery(config, query.values.count("fp") ? query.values.at("fp") : "");
    if (!kKeysOfOperation.count(query.op)) return sError(config, "unknown operation");
    if (!query.values.count("sn")) return sError(config, "no serial number");

    if (config.root.empty()) return sError(config, "unknown device");
    const Device device(config, query.values.at("sn"));
    if (!device.Known()) return sError(config, "unknown device");
    if (query.op == "qu") return sQueryBuild(config, device);
    if (query.op == "builds") return sBuildList(config, device);
    if (query.op == "ent_jwt") return sDeviceJWT(config, device);
    if (!query.values.count("bld") || !query.values.count("fw"))
        return sError(config, "incomplete build request");
    return sBuild(config, device, query);
}

std::string Base64Encode(const std::string& bytes) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const size_t n = std::min<size_t>(3, bytes.size() - i);
        unsigned long group = 0;
        for (size_t k = 0; k < 3; ++k)
            group = (group << 8) | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
        for (size_t k = 0; k < 4; ++k)
            out += k <= n ? kAlphabet[(group >> (18 - 6 * k)) & 0x3F] : '=';
    }
    return out;
}

}  // namespace updatesim
